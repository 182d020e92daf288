// The wrapper script's "info" output and the statistics message made from it: the parse and the
// figure conversions as pure functions, then the message on a real connection, sent by the test
// thread and by the sensor's own loop.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <boost/filesystem.hpp>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/sensor_fixture.h"
#include "proto/proto.h"
#include "sensor/ids_info.h"
#include "sensor/sensor.h"
#include "service/clock.h"

namespace fs = boost::filesystem;
using ferun::ids_info_map_t;
using ferun::parse_ids_info;
using ferun_test::sensor_fixture_t;
using ferun_test::temp_dir_t;

namespace {

ids_info_map_t defaults_with(const ids_info_map_t& changes) {
  ids_info_map_t info = ferun::ids_info_defaults();
  for (const auto& pair : changes) info[pair.first] = pair.second;
  return info;
}

}  // namespace

TEST(IdsInfoParse, EmptyOrUnreadableOutputKeepsTheDefaults) {
  const ids_info_map_t defaults = ferun::ids_info_defaults();
  EXPECT_EQ(defaults.size(), 11u);
  EXPECT_EQ(defaults.at("status"), "unk");
  EXPECT_EQ(defaults.at("uptime"), "");
  EXPECT_EQ(parse_ids_info(""), defaults);
  // Whole-file reading adds a NUL to what it read.
  EXPECT_EQ(parse_ids_info(std::string(1, '\0')), defaults);
  EXPECT_EQ(parse_ids_info("no pairs here\nat all\n"), defaults);
}

TEST(IdsInfoParse, TheCharacterAfterTheColonIsSkippedUnread) {
  EXPECT_EQ(parse_ids_info("status:running\n").at("status"), "unning");
  EXPECT_EQ(parse_ids_info("status:  two blanks\n").at("status"), " two blanks");
}

TEST(IdsInfoParse, PairWithoutLineEndIsDropped) {
  const auto info = parse_ids_info(std::string("status: ok\nuptime: 5") + '\0');
  EXPECT_EQ(info.at("status"), "ok");
  EXPECT_EQ(info.at("uptime"), "");
  // A colon in the last or next-to-last place leaves nothing to read.
  EXPECT_EQ(parse_ids_info("status:"), ferun::ids_info_defaults());
  EXPECT_EQ(parse_ids_info("status: "), ferun::ids_info_defaults());
  EXPECT_EQ(parse_ids_info("status:\n"), ferun::ids_info_defaults());
}

TEST(IdsInfoParse, LineWithoutColonStartsTheNextName) {
  const auto info = parse_ids_info("junk\nstatus: ok\n");
  EXPECT_EQ(info.at("junk\nstatus"), "ok");
  EXPECT_EQ(info.at("status"), "unk");
  EXPECT_EQ(info.size(), 12u);
}

TEST(IdsInfoParse, LineEndingAtItsColonTakesTheNextLine) {
  const auto info = parse_ids_info("status:\nuptime: 5\n");
  EXPECT_EQ(info.at("status"), "uptime: 5");
  EXPECT_EQ(info.at("uptime"), "");
}

TEST(IdsInfoParse, TakesTextAsItIsAndTheLastLineWins) {
  const auto info = parse_ids_info("status: a\r\n cpu_usage: 1\nstatus: b \nextra: x: y\n");
  EXPECT_EQ(info.at("status"), "b ");
  EXPECT_EQ(info.at(" cpu_usage"), "1");
  EXPECT_EQ(info.at("cpu_usage"), "0");
  EXPECT_EQ(info.at("extra"), "x: y");
}

TEST(StatsFigures, UsageIsHundredthsInSixteenBits) {
  using ferun::usage_from_text;
  EXPECT_EQ(usage_from_text("12.5"), 1250);
  EXPECT_EQ(usage_from_text("100"), 10000);
  // Single precision: 0.53 times 100 is just below 53.
  EXPECT_EQ(usage_from_text("0.53"), 52);
  EXPECT_EQ(usage_from_text("-1"), 65436);
  EXPECT_EQ(usage_from_text("655.36"), 0);
  EXPECT_EQ(usage_from_text("700"), 70000 - 65536);
  EXPECT_EQ(usage_from_text(" 7.5%"), 750);
  EXPECT_EQ(usage_from_text(""), 0);
  EXPECT_EQ(usage_from_text("busy"), 0);
}

TEST(StatsFigures, UsageThatIsNoFiniteHundredthsIsZero) {
  using ferun::usage_from_text;
  // 21474836 times 100 is exactly 2^31 in single precision.
  for (const char* text :
       {"nan", "inf", "-inf", "1e9", "-1e9", "3e38", "1e39", "21474836", "-21474838"})
    EXPECT_EQ(usage_from_text(text), 0) << text;
  // Products just inside the range keep their low 16 bits: 0x7fffff00 and -0x7fffff00.
  EXPECT_EQ(usage_from_text("21474834"), 0xff00);
  EXPECT_EQ(usage_from_text("-21474834"), 0x0100);
}

TEST(StatsFigures, IntegersAreReadFromTheStartOfTheText) {
  EXPECT_EQ(ferun::size_from_text("123456789012"), 123456789012u);
  EXPECT_EQ(ferun::size_from_text("12kB"), 12u);
  EXPECT_EQ(ferun::size_from_text("x12"), 0u);
  EXPECT_EQ(ferun::counter_from_text("18446744073709551615"), 18446744073709551615u);
  EXPECT_EQ(ferun::counter_from_text(""), 0u);
  EXPECT_EQ(ferun::uptime_from_text("3600s"), 3600u);
  EXPECT_EQ(ferun::uptime_from_text(""), 0u);
  EXPECT_EQ(ferun::uptime_from_text("4294967296"), 0u);
  EXPECT_EQ(ferun::uptime_from_text("4294967297"), 1u);
  EXPECT_EQ(ferun::uptime_from_text("-1"), 4294967295u);
}

TEST(StatsFigures, FillsEveryFieldFromItsName) {
  ferun::command_stats_t stats;
  ferun::fill_stats(defaults_with({{"status", "running"},
                                   {"uptime", "10"},
                                   {"cpu_usage", "1"},
                                   {"mem", "2"},
                                   {"mem_usage", "3"},
                                   {"disk", "4"},
                                   {"disk_usage", "5"},
                                   {"rx_bytes", "6"},
                                   {"rx_packets", "7"},
                                   {"tx_bytes", "8"},
                                   {"tx_packets", "9"}}),
                    stats);
  EXPECT_EQ(stats.ids_state, "running");
  EXPECT_EQ(
      std::vector<std::uint64_t>({stats.uptime, stats.cpu_usage, stats.memory, stats.mem_usage,
                                  stats.disk, stats.disk_usage, stats.ifrecv_bytes,
                                  stats.ifrecv_packets, stats.ifsend_bytes, stats.ifsend_packets}),
      std::vector<std::uint64_t>({10, 100, 2, 300, 4, 500, 6, 7, 8, 9}));

  // Names missing from the map count as their defaults.
  ferun::command_stats_t empty;
  ferun::fill_stats({}, empty);
  EXPECT_EQ(empty.ids_state, "unk");
}

TEST(StatsFigures, AnyStateWordFitsOneFrame) {
  ferun::command_stats_t stats;
  ferun::fill_stats(defaults_with({{"status", std::string(100000, 's')}}), stats);
  std::array<unsigned char, ferun::proto_t::send_body_size> body{};
  EXPECT_NO_THROW(stats.serialize(body.data(), static_cast<std::uint16_t>(body.size())));
  EXPECT_EQ(stats.ids_state, std::string(ferun::max_ids_state_length, 's'));
}

namespace {

void write_text(const fs::path& file, const std::string& text, unsigned mode = 0) {
  std::ofstream(file.string(), std::ios::binary | std::ios::trunc) << text;
  if (mode != 0) ::chmod(file.c_str(), mode);
}

// A program directory whose "tavrel-snort" prints `info_output` for "info" and exits with
// `info_rc`, and whose "sysinfo" describes a test host.
struct script_dir_t {
  explicit script_dir_t(const std::string& info_output, int info_rc = 0) {
    write_text(root / "info.out", info_output);
    write_text(root / "tavrel-snort",
               "#!/bin/sh\n"
               "here=$(dirname \"$0\")\n"
               "echo \"$1\" >>\"$here/calls\"\n"
               "[ \"$1\" = info ] || exit 0\n"
               "cat \"$here/info.out\"\n"
               "exit " +
                   std::to_string(info_rc) + "\n",
               0755);
    write_text(root / "sysinfo", "#!/bin/sh\necho test host\n", 0755);
  }
  std::string dir() const { return root.path().string(); }

  temp_dir_t root{"ferun-stats"};
};

// Stands in for the process clock thread: keeps stime_t::g_timestamp at the wall clock.
class test_clock_t {
 public:
  test_clock_t() {
    tick();
    thread_ = std::thread([this] {
      while (!stop_) {
        tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }
  ~test_clock_t() {
    stop_ = true;
    thread_.join();
  }
  test_clock_t(const test_clock_t&) = delete;
  test_clock_t& operator=(const test_clock_t&) = delete;

 private:
  static void tick() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    stime_t::g_timestamp = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now).count());
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Starts the sensor's own thread and completes its handshake.
void start_sensor(sensor_fixture_t& f, std::uint32_t sensor_id) {
  ferun::command_hello_t hello;
  hello.version = 1;
  hello.prefix = "ids";
  hello.sensor_id = sensor_id;
  hello.sensor_name = "probe";
  f.console->send(hello);
  f.sensor->start();
  auto frame = f.console->receive(std::chrono::seconds(10));
  ASSERT_TRUE(frame);
  ASSERT_EQ(frame->id, ferun::answer_hello_t::message_id);
  ASSERT_EQ(frame->as<ferun::answer_hello_t>().status, 0);
}

// A setup that succeeds (empty maps, a fresh spool directory), or fails when `refused`.
ferun::command_setup_t make_setup(const fs::path& root, std::uint32_t period_ms,
                                  bool refused = false) {
  fs::create_directories(root / "conf");
  write_text(root / "conf" / "sid-msg.map", "");
  write_text(root / "conf" / "gen-msg.map", "");
  ferun::command_setup_t setup;
  setup.stats_period = period_ms;
  setup.options = 0x2;
  setup.interface = "eth1";
  setup.homenetwork = "10.0.0.0/8";
  setup.config = (root / "conf" / "snort.conf").string();
  setup.sidmap = (root / "conf" / "sid-msg.map").string();
  setup.genmap = (root / "conf" / "gen-msg.map").string();
  setup.logdir = (root / (refused ? "spool/../x" : "spool")).string();
  setup.logpattern = "threats.log";
  return setup;
}

// The next frame, which must arrive within the deadline.
ferun_test::frame_t next_frame(sensor_fixture_t& f) {
  auto frame = f.console->receive(std::chrono::seconds(10));
  if (!frame) throw std::runtime_error("no frame");
  return *frame;
}

// Sends an IDS action that runs nothing and returns the frames received up to its answer: one
// whole pass of the sensor's loop lies between.
std::vector<ferun_test::frame_t> round_trip(sensor_fixture_t& f) {
  ferun::command_ids_action_t probe;
  probe.action = 0;
  f.console->send(probe);
  std::vector<ferun_test::frame_t> before;
  for (;;) {
    ferun_test::frame_t frame = next_frame(f);
    if (frame.id == 0x83) return before;
    before.push_back(frame);
  }
}

}  // namespace

TEST(Statistics, MessageCarriesTheScriptFigures) {
  // The script fails, but what it printed still counts.
  script_dir_t scripts("status: running\nuptime: 3600\ncpu_usage: 12.5\n", 1);
  sensor_fixture_t f(scripts.dir());
  f.sensor->sensor_id = 42;
  stime_t::g_timestamp = 1234567890123456u;

  f.sensor->send_stats();

  const ferun_test::frame_t frame = next_frame(f);
  ASSERT_EQ(frame.id, 0x8003u);
  const auto stats = frame.as<ferun::command_stats_t>();
  EXPECT_EQ(stats.sensor_id, 42u);
  EXPECT_EQ(stats.timestamp, 1234567890123456u);
  EXPECT_EQ(stats.ids_state, "running");
  EXPECT_EQ(stats.uptime, 3600u);
  EXPECT_EQ(stats.cpu_usage, 1250);
  EXPECT_EQ(stats.memory + stats.mem_usage + stats.disk + stats.disk_usage + stats.ifrecv_bytes +
                stats.ifrecv_packets + stats.ifsend_bytes + stats.ifsend_packets,
            0u);
}

TEST(Statistics, ScriptThatCannotRunGivesTheDefaults) {
  temp_dir_t empty("ferun-noscript");
  sensor_fixture_t f(empty.path().string());
  f.sensor->sensor_id = 3;

  f.sensor->send_stats();

  const auto stats = next_frame(f).as<ferun::command_stats_t>();
  EXPECT_EQ(stats.sensor_id, 3u);
  EXPECT_EQ(stats.ids_state, "unk");
  EXPECT_EQ(stats.cpu_usage, 0);
  EXPECT_EQ(stats.uptime, 0u);
}

TEST(Statistics, FollowTheSetupAtItsPeriod) {
  script_dir_t scripts("status: running\nmem: 1024\n");
  test_clock_t clock;
  sensor_fixture_t f(scripts.dir());
  start_sensor(f, 5);

  // Before a setup the loop sends nothing on its own.
  for (int pass = 0; pass < 3; ++pass) EXPECT_TRUE(round_trip(f).empty());
  EXPECT_FALSE(fs::exists(scripts.root / "calls"));

  f.console->send(make_setup(f.root.path(), 200));
  const ferun_test::frame_t answer = next_frame(f);
  ASSERT_EQ(answer.id, 0x82u);
  ASSERT_EQ(answer.as<ferun::answer_t>().status, 0) << answer.as<ferun::answer_t>().message;

  // The first message goes out on the first pass after the setup; then one per period.
  std::vector<ferun::command_stats_t> stats;
  while (stats.size() < 4) {
    const ferun_test::frame_t frame = next_frame(f);
    ASSERT_EQ(frame.id, 0x8003u);
    stats.push_back(frame.as<ferun::command_stats_t>());
  }
  for (const auto& s : stats) {
    EXPECT_EQ(s.sensor_id, 5u);
    EXPECT_EQ(s.ids_state, "running");
    EXPECT_EQ(s.memory, 1024u);
  }
  for (std::size_t i = 1; i < stats.size(); ++i) {
    const std::uint64_t gap = stats[i].timestamp - stats[i - 1].timestamp;
    EXPECT_GT(gap, 200000u) << i;
    // A period, a script run and a sleep, with room for slow sanitizer builds.
    EXPECT_LT(gap, 2000000u) << i;
  }
}

TEST(Statistics, StopAfterAFailedSetup) {
  script_dir_t scripts("status: running\n");
  test_clock_t clock;
  sensor_fixture_t f(scripts.dir());
  start_sensor(f, 6);

  f.console->send(make_setup(f.root.path(), 100));
  ASSERT_EQ(next_frame(f).id, 0x82u);
  ASSERT_EQ(next_frame(f).id, 0x8003u);

  f.console->send(make_setup(f.root.path(), 100, true));
  ferun_test::frame_t frame = next_frame(f);
  while (frame.id == 0x8003u) frame = next_frame(f);
  ASSERT_EQ(frame.id, 0x82u);
  ASSERT_EQ(frame.as<ferun::answer_t>().status, 1);

  // Several periods pass, pass by pass, without a statistics message.
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(500))
    EXPECT_TRUE(round_trip(f).empty());
}
