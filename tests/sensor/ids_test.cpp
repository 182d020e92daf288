// IDS control and statistics through a recording wrapper script, over a real connection. The
// script appends its arguments, one bracketed word each, as a line of "calls", prints COMMAND.out
// and exits with COMMAND.rc when those exist.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/daemon_launcher.h"
#include "common/sensor_fixture.h"
#include "service/clock.h"
#include "support/log.h"

namespace fs = boost::filesystem;
using ferun_test::read_file;
using ferun_test::sensor_fixture_t;
using ferun_test::write_file;

namespace {

struct script_dir_t {
  script_dir_t() {
    fs::create_directories(dir);
    write_file(dir / "tavrel-snort",
               "#!/bin/sh\nhere=$(dirname \"$0\")\n"
               "for a in \"$@\"; do printf '[%s]' \"$a\"; done >>\"$here/calls\"\n"
               "echo >>\"$here/calls\"\n[ -f \"$here/$1.out\" ] && cat \"$here/$1.out\"\n"
               "rc=0; [ -f \"$here/$1.rc\" ] && rc=$(cat \"$here/$1.rc\"); exit $rc\n",
               0755);
    write_file(dir / "sysinfo", "#!/bin/sh\necho test host\n", 0755);
  }
  void set(const std::string& command, const std::string& output, int rc) const {
    write_file(dir / (command + ".out"), output);
    write_file(dir / (command + ".rc"), std::to_string(rc));
  }
  std::string calls() const { return read_file(dir / "calls"); }

  ferun_test::temp_dir_t root{"ferun-ids"};
  fs::path dir = root / "prog dir 'x'";  // a program directory that needs quoting
};

// Sends the sensor's log channel to a file while it lives.
struct log_capture_t {
  explicit log_capture_t(fs::path f) : file(std::move(f)) {
    log_t::disable("sensor");
    log_t::set_filename(file.string());
    log_t::enable("sensor", "info");
  }
  ~log_capture_t() {
    log_t::disable("sensor");
    log_t::set_filename("");
  }
  std::string text() const { return read_file(file); }
  fs::path file;
};

ferun_test::frame_t next_frame(sensor_fixture_t& f) {
  auto frame = f.console->receive(std::chrono::seconds(10));
  if (!frame) throw std::runtime_error("no frame");
  return *frame;
}

ferun::answer_t act(sensor_fixture_t& f, std::uint8_t action) {
  ferun::command_ids_action_t cmd;
  cmd.action = action;
  f.sensor->on_ids_action(cmd);
  const ferun_test::frame_t frame = next_frame(f);
  EXPECT_EQ(frame.id, 0x83u);
  return frame.as<ferun::answer_t>();
}

void configure(ferun::sensor_t& s, const std::string& interface, const std::string& config,
               const std::string& home, const std::string& logdir) {
  s.interface = interface;
  s.config = config;
  s.homenetwork = home;
  s.logdir = logdir;
}

#define EXPECT_LOGGED(text, line) EXPECT_NE((text).find(line), std::string::npos) << (text)

}  // namespace

TEST(IdsControl, EachValueReachesTheScriptAsOneWordAndRunsNothing) {
  script_dir_t scripts;
  sensor_fixture_t f(scripts.dir.string());
  log_capture_t log(f.root / "log");
  const std::string mark = (f.root / "pwned").string();
  const std::string interface = "eth0; touch " + mark;
  const std::string config = "$(touch " + mark + ") x.conf";
  const std::string home = "`touch " + mark + "` | touch " + mark;
  const std::string logdir = "it's && touch " + mark + " #";

  EXPECT_EQ(act(f, 1).status, 0);  // before any setup every value is empty: no words
  configure(*f.sensor, "", "cfg", "", "spool");
  EXPECT_EQ(act(f, 4).status, 0);
  configure(*f.sensor, interface, config, home, logdir);
  const ferun::answer_t started = act(f, 1);
  EXPECT_EQ(started.status, 0);
  EXPECT_EQ(started.message, "");
  EXPECT_EQ(act(f, 2).status, 0);
  EXPECT_EQ(act(f, 4).status, 0);
  f.sensor->ids_cmd("custom", "two words; echo x");

  EXPECT_FALSE(fs::exists(mark));
  const std::string i = "[" + interface + "]";
  EXPECT_EQ(scripts.calls(), "[start][-q]\n[reload][-q]\n[start]" + i + "[" + config + "][" + home +
                                 "][" + logdir + "][-q]\n[stop]" + i + "[-q]\n[reload]" + i +
                                 "[-q]\n[custom]" + i + "[two words; echo x][-q]\n");
  const std::string text = log.text();
  EXPECT_LOGGED(text, "INFO sensor: IDS starting: " + config + " " + home + " " + logdir + "\n");
  EXPECT_LOGGED(text, "INFO sensor: IDS cmd: ");
  EXPECT_LOGGED(text, ", ret[0]: ");
  EXPECT_LOGGED(text, "INFO sensor:     OK\n");
  EXPECT_LOGGED(text, "INFO sensor: IDS stopping... \n");
  EXPECT_LOGGED(text, "INFO sensor: IDS reload config\n");
}

TEST(IdsControl, FailuresAnswerAndLogTheScriptOutput) {
  script_dir_t scripts;
  scripts.set("start", "snort: not installed\nsecond line\n", 2);
  scripts.set("status", "stopped\n", 1);
  sensor_fixture_t f(scripts.dir.string());
  log_capture_t log(f.root / "log");
  configure(*f.sensor, "eth1", "cfg", "home", "spool");

  const ferun::answer_t answer = act(f, 1);
  EXPECT_EQ(answer.status, 1);
  EXPECT_EQ(answer.message, "snort: not installed\nsecond line\n");
  const std::string text = log.text();
  EXPECT_LOGGED(text, "IDS starting: cfg home spool\n");
  EXPECT_LOGGED(text, ", ret[512]: snort: not installed\n");
  EXPECT_LOGGED(text,
                "ERROR sensor: IDS start cfg home spool failed with error: snort: not "
                "installed\n");
  EXPECT_EQ(text.find("    OK"), std::string::npos) << text;

  int rc = 0;
  EXPECT_EQ(f.sensor->ids_status(rc), std::string("stopped\n") + '\0');
  EXPECT_EQ(rc, 256);
  EXPECT_THROW(f.sensor->ids_status(), exception_t);
  const std::string status = log.text().substr(text.size());
  EXPECT_LOGGED(status, "INFO sensor: IDS checking status... \n");
  EXPECT_LOGGED(status, "INFO sensor:     stopped\n");
  EXPECT_EQ(status.find("IDS cmd:"), std::string::npos) << status;
}

TEST(IdsControl, RestartStopsThenStartsAndOtherActionsRunNothing) {
  script_dir_t scripts;
  sensor_fixture_t f(scripts.dir.string());
  for (int action : {0, 5, 255}) {
    const ferun::answer_t answer = act(f, static_cast<std::uint8_t>(action));
    EXPECT_EQ(answer.status, 0) << action;
    EXPECT_EQ(answer.message, "") << action;
  }
  EXPECT_FALSE(fs::exists(scripts.dir / "calls"));

  configure(*f.sensor, "eth1", "cfg", "home", "spool");
  const std::string both = "[stop][eth1][-q]\n[start][eth1][cfg][home][spool][-q]\n";
  EXPECT_EQ(act(f, 3).status, 0);
  // A failing stop (nothing running) does not keep the IDS from being started.
  scripts.set("stop", "not running\n", 1);
  EXPECT_EQ(act(f, 3).status, 0);
  EXPECT_EQ(scripts.calls(), both + both);
  scripts.set("start", "bad config\n", 1);
  const ferun::answer_t failed = act(f, 3);
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.message, "bad config\n");
}

TEST(IdsControl, OutputFileIsFreshAndStaysInTheTemporaryDirectory) {
  script_dir_t scripts;
  scripts.set("stop", "old output\n", 0);
  sensor_fixture_t f(scripts.dir.string());
  f.conf.tmpdir = f.root / "tmp dir; x";
  const std::string fd = std::to_string(f.sensor->tcp_socket.native_handle());

  configure(*f.sensor, "eth1", "", "", "");
  EXPECT_EQ(act(f, 2).status, 0);
  EXPECT_EQ(read_file(f.conf.tmpdir / ("sensor_eth1_" + fd + ".out")), "old output\n");

  // A '/' in the interface cannot steer the file elsewhere; a script that cannot run fails with
  // the shell's message, and the earlier output is never read as the current one.
  configure(*f.sensor, "../../x", "", "", "");
  fs::remove(scripts.dir / "tavrel-snort");
  const ferun::answer_t answer = act(f, 2);
  EXPECT_EQ(answer.status, 1);
  EXPECT_NE(answer.message.find("tavrel-snort"), std::string::npos) << answer.message;
  EXPECT_EQ(answer.message.find("old output"), std::string::npos) << answer.message;
  EXPECT_TRUE(fs::exists(f.conf.tmpdir / ("sensor_.._.._x_" + fd + ".out")));
}

TEST(IdsControl, RealScriptInfoReportsEveryFigure) {
  if (!fs::exists(fs::path(FERUN_BINARY_DIR) / "tavrel-snort")) GTEST_SKIP() << "no script";
  sensor_fixture_t f(FERUN_BINARY_DIR);
  f.sensor->interface = "lo";
  const auto info = f.sensor->ids_info();
  for (const char* name : {"uptime", "cpu_usage", "mem", "mem_usage", "disk", "disk_usage",
                           "rx_bytes", "rx_packets", "tx_bytes", "tx_packets"}) {
    ASSERT_EQ(info.count(name), 1u) << name;
    const std::string v = info.at(name);
    EXPECT_TRUE(!v.empty() && std::isdigit(static_cast<unsigned char>(v.front())) &&
                std::isdigit(static_cast<unsigned char>(v.back())) &&
                v.find_first_not_of("0123456789.") == std::string::npos &&
                std::count(v.begin(), v.end(), '.') <= 1)
        << name << ": " << v;
  }
  EXPECT_TRUE(info.at("status") == "running" || info.at("status") == "stopped");
}

namespace {

// Stands in for the process clock thread: keeps stime_t::g_timestamp at the wall clock.
struct test_clock_t {
  test_clock_t() {
    thread = std::thread([this] {
      for (; !stop; std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        stime_t::g_timestamp =
            static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count());
    });
  }
  ~test_clock_t() {
    stop = true;
    thread.join();
  }
  std::atomic<bool> stop{false};
  std::thread thread;
};

// A setup that succeeds (empty maps, a fresh spool directory), or is refused.
ferun::command_setup_t make_setup(const fs::path& root, std::uint32_t period_ms, bool refused) {
  fs::create_directories(root / "conf");
  write_file(root / "conf" / "sid-msg.map", "");
  write_file(root / "conf" / "gen-msg.map", "");
  ferun::command_setup_t setup;
  setup.stats_period = period_ms;
  setup.options = 0x2;
  setup.config = (root / "conf" / "snort.conf").string();
  setup.sidmap = (root / "conf" / "sid-msg.map").string();
  setup.genmap = (root / "conf" / "gen-msg.map").string();
  setup.logdir = (root / (refused ? "spool/../x" : "spool")).string();
  setup.logpattern = "threats.log";
  return setup;
}

// The frames received before the answer to an action that runs nothing: one whole loop pass.
std::vector<ferun_test::frame_t> round_trip(sensor_fixture_t& f) {
  ferun::command_ids_action_t probe;
  probe.action = 0;
  f.console->send(probe);
  std::vector<ferun_test::frame_t> before;
  for (ferun_test::frame_t frame = next_frame(f); frame.id != 0x83; frame = next_frame(f))
    before.push_back(frame);
  return before;
}

}  // namespace

TEST(Statistics, SentByTheLoopAtThePeriodOnlyAfterAGoodSetup) {
  script_dir_t scripts;
  // The script fails, but what it printed still counts.
  scripts.set("info", "status: running\nuptime: 3600\ncpu_usage: 12.5\nmem: 1024\n", 1);
  test_clock_t clock;
  sensor_fixture_t f(scripts.dir.string());
  ferun::command_hello_t hello;
  hello.version = 1;
  hello.prefix = "ids";
  hello.sensor_id = 5;
  hello.sensor_name = "probe";
  f.console->send(hello);
  f.sensor->start();
  ASSERT_EQ(next_frame(f).as<ferun::answer_hello_t>().status, 0);

  for (int pass = 0; pass < 3; ++pass) EXPECT_TRUE(round_trip(f).empty());
  EXPECT_FALSE(fs::exists(scripts.dir / "calls"));

  f.console->send(make_setup(f.root.path(), 200, false));
  const ferun_test::frame_t answer = next_frame(f);
  ASSERT_EQ(answer.id, 0x82u);
  ASSERT_EQ(answer.as<ferun::answer_t>().status, 0) << answer.as<ferun::answer_t>().message;
  std::vector<ferun::command_stats_t> stats;
  while (stats.size() < 4) {  // the first on the first pass after the setup
    const ferun_test::frame_t frame = next_frame(f);
    ASSERT_EQ(frame.id, 0x8003u);
    stats.push_back(frame.as<ferun::command_stats_t>());
    const ferun::command_stats_t& s = stats.back();
    EXPECT_EQ(std::make_tuple(s.sensor_id, s.ids_state, s.uptime, s.cpu_usage, s.memory, s.disk),
              std::make_tuple(5u, std::string("running"), 3600u, std::uint16_t(1250), 1024ul, 0ul));
  }
  for (std::size_t i = 1; i < stats.size(); ++i) {
    const std::uint64_t gap = stats[i].timestamp - stats[i - 1].timestamp;
    EXPECT_GT(gap, 200000u) << i;
    EXPECT_LT(gap, 2000000u) << i;  // room for slow sanitizer builds
  }

  f.console->send(make_setup(f.root.path(), 100, true));
  ferun_test::frame_t frame = next_frame(f);
  while (frame.id == 0x8003u) frame = next_frame(f);
  ASSERT_EQ(frame.id, 0x82u);
  ASSERT_EQ(frame.as<ferun::answer_t>().status, 1);
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(500))
    EXPECT_TRUE(round_trip(f).empty());
}
