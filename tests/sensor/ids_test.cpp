// IDS control through the wrapper script, driven on the test thread over a real loopback
// connection. The script is a small shell script written by each test: it records its arguments,
// one bracketed word each, as a line of "calls" beside itself, prints COMMAND.out and exits with
// COMMAND.rc when those files exist.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "common/sensor_fixture.h"
#include "sensor/sensor.h"
#include "support/log.h"
#include "support/string_utils.h"

namespace fs = boost::filesystem;
using ferun_test::sensor_fixture_t;
using ferun_test::temp_dir_t;

namespace {

void write_text(const fs::path& file, const std::string& text, unsigned mode = 0) {
  std::ofstream(file.string(), std::ios::binary | std::ios::trunc) << text;
  if (mode != 0) ::chmod(file.c_str(), mode);
}

std::string read_text(const fs::path& file) {
  std::ifstream in(file.string(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

const char* const recording_script =
    "#!/bin/sh\n"
    "here=$(dirname \"$0\")\n"
    "for a in \"$@\"; do printf '[%s]' \"$a\"; done >>\"$here/calls\"\n"
    "echo >>\"$here/calls\"\n"
    "[ -f \"$here/$1.out\" ] && cat \"$here/$1.out\"\n"
    "rc=0\n"
    "[ -f \"$here/$1.rc\" ] && rc=$(cat \"$here/$1.rc\")\n"
    "exit $rc\n";

// A program directory holding the recording script (named in a way that needs quoting).
struct script_dir_t {
  script_dir_t() {
    fs::create_directories(dir);
    write_text(dir / "tavrel-snort", recording_script, 0755);
  }
  void set(const std::string& command, const std::string& output, int rc = 0) const {
    write_text(dir / (command + ".out"), output);
    write_text(dir / (command + ".rc"), std::to_string(rc));
  }
  std::string calls() const { return read_text(dir / "calls"); }

  temp_dir_t root{"ferun-ids"};
  fs::path dir = root / "prog dir 'x'";
};

// Sends the sensor's log channel to a file for the life of the object.
class log_capture_t {
 public:
  explicit log_capture_t(fs::path file) : file_(std::move(file)) {
    log_t::disable("sensor");
    log_t::set_filename(file_.string());
    log_t::enable("sensor", "info");
  }
  ~log_capture_t() {
    log_t::disable("sensor");
    log_t::set_filename("");
  }
  log_capture_t(const log_capture_t&) = delete;
  log_capture_t& operator=(const log_capture_t&) = delete;

  std::string text() const { return read_text(file_); }

 private:
  fs::path file_;
};

// Runs one IDS action on the test thread and returns the answer the console receives.
ferun::answer_t act(sensor_fixture_t& f, std::uint8_t action) {
  ferun::command_ids_action_t cmd;
  cmd.action = action;
  f.sensor->on_ids_action(cmd);
  auto frame = f.console->receive(std::chrono::seconds(10));
  if (!frame) throw std::runtime_error("no answer");
  EXPECT_EQ(frame->id, 0x83u);
  return frame->as<ferun::answer_t>();
}

void configure(ferun::sensor_t& sensor, const std::string& interface, const std::string& config,
               const std::string& home, const std::string& logdir) {
  sensor.interface = interface;
  sensor.config = config;
  sensor.homenetwork = home;
  sensor.logdir = logdir;
}

// Digits, optionally followed by a point and more digits.
bool is_decimal(const std::string& text) {
  const auto point = text.find('.');
  const std::string whole = text.substr(0, point);
  const std::string fraction = point == std::string::npos ? "0" : text.substr(point + 1);
  auto digits = [](const std::string& part) {
    return !part.empty() && part.find_first_not_of("0123456789") == std::string::npos;
  };
  return digits(whole) && digits(fraction);
}

}  // namespace

TEST(IdsControl, StartPassesEachValueAsOneWord) {
  script_dir_t scripts;
  sensor_fixture_t f(scripts.dir.string());
  log_capture_t log(f.root / "log");
  configure(*f.sensor, "eth1", "/etc/snort x.conf", "10.0.0.0/8", "/var/spool/ids");

  const ferun::answer_t answer = act(f, 1);

  EXPECT_EQ(answer.status, 0);
  EXPECT_EQ(answer.message, "");
  EXPECT_EQ(scripts.calls(), "[start][eth1][/etc/snort x.conf][10.0.0.0/8][/var/spool/ids][-q]\n");
  const std::string text = log.text();
  EXPECT_NE(text.find("INFO sensor: IDS starting: /etc/snort x.conf 10.0.0.0/8 /var/spool/ids\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("IDS cmd: "), std::string::npos);
  EXPECT_NE(text.find(", ret[0]: "), std::string::npos);
  EXPECT_NE(text.find("INFO sensor:     OK\n"), std::string::npos);
}

TEST(IdsControl, ConsoleValuesCannotRunCommands) {
  script_dir_t scripts;
  sensor_fixture_t f(scripts.dir.string());
  const fs::path mark = f.root / "pwned";
  const std::string m = mark.string();
  const std::string interface = "eth0; touch " + m;
  const std::string config = "$(touch " + m + ")";
  const std::string home = "`touch " + m + "` | touch " + m;
  const std::string logdir = "it's && touch " + m + " #";
  configure(*f.sensor, interface, config, home, logdir);

  EXPECT_EQ(act(f, 1).status, 0);
  EXPECT_EQ(act(f, 2).status, 0);

  EXPECT_FALSE(fs::exists(mark));
  EXPECT_EQ(scripts.calls(), "[start][" + interface + "][" + config + "][" + home + "][" + logdir +
                                 "][-q]\n[stop][" + interface + "][-q]\n");
}

TEST(IdsControl, StopAndReloadPassTheInterfaceAndEmptyValuesNoWord) {
  script_dir_t scripts;
  sensor_fixture_t f(scripts.dir.string());
  log_capture_t log(f.root / "log");

  // Before any setup everything is empty.
  EXPECT_EQ(act(f, 1).status, 0);
  configure(*f.sensor, "", "cfg", "", "spool");
  EXPECT_EQ(act(f, 1).status, 0);
  EXPECT_EQ(act(f, 4).status, 0);
  configure(*f.sensor, "eth1", "cfg", "home", "spool");
  EXPECT_EQ(act(f, 2).status, 0);
  EXPECT_EQ(act(f, 4).status, 0);

  EXPECT_EQ(scripts.calls(),
            "[start][-q]\n[start][cfg][spool][-q]\n[reload][-q]\n[stop][eth1][-q]\n"
            "[reload][eth1][-q]\n");
  const std::string text = log.text();
  EXPECT_NE(text.find("INFO sensor: IDS stopping... \n"), std::string::npos) << text;
  EXPECT_NE(text.find("INFO sensor: IDS reload config\n"), std::string::npos) << text;
}

TEST(IdsControl, FailedStartAnswersWithTheScriptOutput) {
  script_dir_t scripts;
  scripts.set("start", "snort: not installed\nsecond line\n", 2);
  sensor_fixture_t f(scripts.dir.string());
  log_capture_t log(f.root / "log");
  configure(*f.sensor, "eth1", "cfg", "home", "spool");

  const ferun::answer_t answer = act(f, 1);

  EXPECT_EQ(answer.status, 1);
  EXPECT_EQ(answer.message, "snort: not installed\nsecond line\n");
  const std::string text = log.text();
  EXPECT_NE(text.find("IDS starting: cfg home spool\n"), std::string::npos) << text;
  EXPECT_NE(text.find(", ret[512]: snort: not installed\n"), std::string::npos) << text;
  EXPECT_NE(text.find("ERROR sensor: IDS start cfg home spool failed with error: snort: not "
                      "installed\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("    OK"), std::string::npos) << text;

  // The connection stays usable: a later action is answered.
  scripts.set("start", "", 0);
  EXPECT_EQ(act(f, 1).status, 0);
}

TEST(IdsControl, OtherActionsRunNothing) {
  script_dir_t scripts;
  sensor_fixture_t f(scripts.dir.string());

  for (int action : {0, 5, 128, 255}) {
    const ferun::answer_t answer = act(f, static_cast<std::uint8_t>(action));
    EXPECT_EQ(answer.status, 0) << action;
    EXPECT_EQ(answer.message, "") << action;
  }
  EXPECT_FALSE(fs::exists(scripts.dir / "calls"));
}

TEST(IdsControl, RestartStopsThenStartsAndAnswersTheStart) {
  script_dir_t scripts;
  sensor_fixture_t f(scripts.dir.string());
  configure(*f.sensor, "eth1", "cfg", "home", "spool");
  const std::string both = "[stop][eth1][-q]\n[start][eth1][cfg][home][spool][-q]\n";

  EXPECT_EQ(act(f, 3).status, 0);
  EXPECT_EQ(scripts.calls(), both);

  // A failing stop (nothing running) does not keep the IDS from being started.
  scripts.set("stop", "not running\n", 1);
  const ferun::answer_t answer = act(f, 3);
  EXPECT_EQ(answer.status, 0);
  EXPECT_EQ(answer.message, "");
  EXPECT_EQ(scripts.calls(), both + both);

  scripts.set("start", "bad config\n", 1);
  const ferun::answer_t failed = act(f, 3);
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.message, "bad config\n");
}

TEST(IdsControl, StatusIsLoggedWithoutTheCommandLine) {
  script_dir_t scripts;
  scripts.set("status", "stopped\n", 1);
  sensor_fixture_t f(scripts.dir.string());
  log_capture_t log(f.root / "log");

  int rc = 0;
  EXPECT_EQ(f.sensor->ids_status(rc), std::string("stopped\n") + '\0');
  EXPECT_EQ(rc, 256);

  const std::string text = log.text();
  EXPECT_NE(text.find("INFO sensor: IDS checking status... \n"), std::string::npos) << text;
  EXPECT_NE(text.find("INFO sensor:     stopped\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("IDS cmd:"), std::string::npos) << text;

  // The strict form raises the output as its message.
  try {
    f.sensor->ids_status();
    ADD_FAILURE() << "no exception";
  } catch (const exception_t& e) {
    EXPECT_EQ(e.message, "stopped\n");
  }
}

TEST(IdsControl, ArgumentOfTheGeneralCallIsOneWord) {
  script_dir_t scripts;
  scripts.set("custom", "done\n", 0);
  sensor_fixture_t f(scripts.dir.string());

  int rc = -5;
  EXPECT_EQ(f.sensor->ids_cmd("custom", "two words; echo x", rc), std::string("done\n") + '\0');
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(f.sensor->ids_cmd("custom", ""), std::string("done\n") + '\0');

  EXPECT_EQ(scripts.calls(), "[custom][two words; echo x][-q]\n[custom][-q]\n");
}

TEST(IdsControl, OutputFileIsNamedByInterfaceAndSocket) {
  script_dir_t scripts;
  scripts.set("stop", "stopping snort\n", 0);
  sensor_fixture_t f(scripts.dir.string());
  // A temporary directory whose name needs quoting.
  f.conf.tmpdir = f.root / "tmp dir; x";
  const int fd = f.sensor->tcp_socket.native_handle();

  configure(*f.sensor, "eth1", "", "", "");
  EXPECT_EQ(act(f, 2).status, 0);
  const fs::path out = f.conf.tmpdir / ("sensor_eth1_" + std::to_string(fd) + ".out");
  EXPECT_EQ(read_text(out), "stopping snort\n");
  struct stat st {};
  ASSERT_EQ(::stat(f.conf.tmpdir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777 & ~0770u, 0u);

  // A '/' in the interface cannot steer the file into another directory.
  configure(*f.sensor, "../../x", "", "", "");
  scripts.set("stop", "failed here\n", 1);
  const ferun::answer_t answer = act(f, 2);
  EXPECT_EQ(answer.status, 1);
  EXPECT_EQ(answer.message, "failed here\n");
  EXPECT_TRUE(fs::exists(f.conf.tmpdir / ("sensor_.._.._x_" + std::to_string(fd) + ".out")));
}

TEST(IdsControl, MissingScriptFailsWithTheShellMessage) {
  temp_dir_t empty("ferun-noscript");
  sensor_fixture_t f(empty.path().string());

  int rc = 0;
  const std::string output = f.sensor->ids_cmd("stop", "", rc);
  EXPECT_EQ(rc, 127 * 256);
  EXPECT_NE(output.find("tavrel-snort"), std::string::npos) << output;

  const ferun::answer_t answer = act(f, 2);
  EXPECT_EQ(answer.status, 1);
  EXPECT_NE(answer.message.find("tavrel-snort"), std::string::npos) << answer.message;
}

TEST(IdsControl, EarlierOutputIsNeverReadAsTheCurrentOne) {
  script_dir_t scripts;
  scripts.set("stop", "old output\n", 0);
  sensor_fixture_t f(scripts.dir.string());
  EXPECT_EQ(act(f, 2).status, 0);

  // Now the script cannot be run at all: the shell reports it into the output file, and nothing
  // of the earlier call's output is read.
  fs::remove(scripts.dir / "tavrel-snort");
  const ferun::answer_t answer = act(f, 2);
  EXPECT_EQ(answer.status, 1);
  EXPECT_EQ(answer.message.find("old output"), std::string::npos) << answer.message;
}

TEST(IdsControl, RealScriptInfoReportsEveryFigure) {
  const fs::path script = fs::path(FERUN_BINARY_DIR) / "tavrel-snort";
  if (!fs::exists(script)) GTEST_SKIP() << "no built wrapper script";
  sensor_fixture_t f(FERUN_BINARY_DIR);
  f.sensor->interface = "lo";

  const auto info = f.sensor->ids_info();

  for (const char* name : {"uptime", "cpu_usage", "mem", "mem_usage", "disk", "disk_usage",
                           "rx_bytes", "rx_packets", "tx_bytes", "tx_packets"}) {
    ASSERT_EQ(info.count(name), 1u) << name;
    EXPECT_TRUE(is_decimal(info.at(name))) << name << ": " << info.at(name);
  }
  const std::string status = info.at("status");
  EXPECT_TRUE(status == "running" || status == "stopped") << status;
}
