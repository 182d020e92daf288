// The connection thread: hello handshake, command dispatch, the loop's two modes and its end.
#include "sensor/sensor.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "common/sensor_fixture.h"
#include "service/clock.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using ferun_test::sensor_fixture_t;
using ferun_test::temp_dir_t;

namespace {

// Sends the log to a file and enables the "sensor" channel; declare it before the fixture so
// that the sensor's thread has ended before logging is switched back.
class log_capture_t {
 public:
  explicit log_capture_t(const std::string& level = "debug0") {
    log_t::set_filename((dir_ / "log").string());
    log_t::enable("sensor", level);
  }
  ~log_capture_t() {
    log_t::disable("sensor");
    log_t::set_filename("");
  }
  std::string text() const {
    std::ifstream in((dir_ / "log").string());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  bool wait_for(const std::string& needle, std::chrono::milliseconds deadline = 10s) const {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
      if (text().find(needle) != std::string::npos) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

 private:
  temp_dir_t dir_{"ferun-log"};
};

// A program directory holding only a `sysinfo` script with the given body.
struct script_dir_t {
  explicit script_dir_t(const std::string& body) {
    const fs::path script = dir.path() / "sysinfo";
    std::ofstream(script.string()) << "#!/bin/sh\n" << body;
    fs::permissions(script, fs::perms(0755));
  }
  std::string path() const { return dir.path().string(); }
  temp_dir_t dir{"ferun-progdir"};
};

bool wait_inactive(const ferun::sensor_t& sensor, std::chrono::milliseconds deadline = 10s) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (sensor.is_active()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::size_t count_entries(const fs::path& dir) {
  std::size_t n = 0;
  for (fs::directory_iterator it(dir), end; it != end; ++it) ++n;
  return n;
}

ferun::command_hello_t hello(const std::string& prefix, std::uint32_t id, const std::string& name,
                             std::uint32_t version = 1) {
  ferun::command_hello_t h;
  h.version = version;
  h.prefix = prefix;
  h.sensor_id = id;
  h.sensor_name = name;
  return h;
}

// A setup that the sensor accepts: maps and spool directory inside the sensor directory.
ferun::command_setup_t good_setup(const fs::path& sensor_dir, std::uint32_t period = 5) {
  std::ofstream((sensor_dir / "sid-msg.map").string()) << "1000001 || TEST one rule\n";
  std::ofstream((sensor_dir / "gen-msg.map").string()) << "1 || 1 || snort general alert\n";
  ferun::command_setup_t s;
  s.stats_period = period;
  s.logdir = "spool";
  s.logpattern = "threats.log";
  s.sidmap = "sid-msg.map";
  s.genmap = "gen-msg.map";
  return s;
}

// The next frame that is not a statistics message.
std::optional<ferun_test::frame_t> next_answer(ferun_test::console_client_t& console,
                                               std::chrono::milliseconds timeout = 10s) {
  for (;;) {
    auto frame = console.receive(timeout);
    if (!frame || frame->id != ferun::command_stats_t::message_id) return frame;
  }
}

}  // namespace

TEST(SensorHandshake, AnswersHelloAndMakesSensorDirectory) {
  sensor_fixture_t f;
  const ferun::answer_hello_t a = f.handshake("ids", 7, "probe");
  EXPECT_EQ(a.id, 0x81u);
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.message, "hello from sensor!");
  EXPECT_EQ(a.version, 1u);
  ASSERT_FALSE(a.sysinfo.empty());
  EXPECT_EQ(a.sysinfo.back(), '\0');
  EXPECT_NE(a.sysinfo.find("hostname: "), std::string::npos);
  EXPECT_TRUE(fs::is_directory(f.conf.datadir / "ids-7"));
  EXPECT_EQ(f.sensor->sensor_dir, f.conf.datadir / "ids-7");
  EXPECT_EQ(f.sensor->ini_path, f.conf.datadir / "ids-7" / "sensor.ini");
  EXPECT_EQ(f.sensor->sensor_id, 7u);
  EXPECT_EQ(f.sensor->sensor_name, "probe");
}

TEST(SensorHandshake, ReusesExistingSensorDirectory) {
  sensor_fixture_t f;
  fs::create_directory(f.conf.datadir / "ids-7");
  std::ofstream((f.conf.datadir / "ids-7" / "keep").string()) << "x";
  EXPECT_EQ(f.handshake("ids", 7, "probe").status, 0);
  EXPECT_TRUE(fs::exists(f.conf.datadir / "ids-7" / "keep"));
}

TEST(SensorHandshake, SysinfoCarriesScriptOutputAndNul) {
  script_dir_t scripts("printf abc\n");
  sensor_fixture_t f(scripts.path());
  const ferun::answer_hello_t a = f.handshake("ids", 7, "probe");
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.sysinfo, std::string("abc\0", 4));
  // The output file is gone.
  EXPECT_EQ(count_entries(f.conf.tmpdir), 0u);
}

TEST(SensorHandshake, OutputFileIsNamedAfterDescriptor) {
  // The script reports the name of the file its output goes to.
  script_dir_t named("readlink /proc/$$/fd/1\n");
  sensor_fixture_t g(named.path());
  const ferun::answer_hello_t a = g.handshake("ids", 7, "probe");
  const std::string expected =
      (g.conf.tmpdir / ("sysinfo__" + std::to_string(g.sensor->socket().native_handle()) + ".out"))
          .string();
  EXPECT_EQ(a.sysinfo, expected + "\n" + std::string(1, '\0'));
}

TEST(SensorHandshake, FailingScriptAnswersFailure) {
  script_dir_t scripts("echo broken; exit 3\n");
  sensor_fixture_t f(scripts.path());
  const ferun::answer_hello_t a = f.handshake("ids", 7, "probe");
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.message, "sysinfo failed with error: broken\n");
  EXPECT_EQ(a.version, 1u);
  EXPECT_TRUE(a.sysinfo.empty());
  EXPECT_EQ(count_entries(f.conf.tmpdir), 0u);
}

TEST(SensorHandshake, MissingScriptQuotesShell) {
  temp_dir_t empty("ferun-progdir");
  sensor_fixture_t f(empty.path().string());
  const ferun::answer_hello_t a = f.handshake("ids", 7, "probe");
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.message.rfind("sysinfo failed with error: ", 0), 0u);
  EXPECT_NE(a.message.find("sysinfo"), std::string::npos);
}

TEST(SensorHandshake, VersionTwoRefusedAndClosed) {
  log_capture_t log;
  sensor_fixture_t f;
  f.sensor->start();
  f.console->send(hello("ids", 7, "probe", 2));
  auto frame = f.console->receive(10s);
  ASSERT_TRUE(frame);
  const auto a = frame->as<ferun::answer_hello_t>();
  EXPECT_EQ(a.id, 0x81u);
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.message, "incompatible version");
  EXPECT_EQ(a.version, 1u);
  EXPECT_TRUE(a.sysinfo.empty());
  EXPECT_TRUE(f.console->wait_closed(10s));
  EXPECT_TRUE(wait_inactive(*f.sensor));
  EXPECT_NE(log.text().find("got incompatible version"), std::string::npos);
  EXPECT_FALSE(fs::exists(f.conf.datadir / "ids-7"));
}

TEST(SensorHandshake, PrefixThatLeavesDataDirectoryIsRefused) {
  for (const std::string prefix : {"../evil", "a/b", "/abs", "a..b", ".."}) {
    SCOPED_TRACE(prefix);
    log_capture_t log;
    sensor_fixture_t f;
    f.sensor->start();
    f.console->send(hello(prefix, 7, "probe"));
    auto frame = f.console->receive(10s);
    ASSERT_TRUE(frame);
    const auto a = frame->as<ferun::answer_hello_t>();
    EXPECT_EQ(a.status, 1);
    EXPECT_EQ(a.message, "path attack detected (" + prefix + ")");
    EXPECT_TRUE(f.console->wait_closed(10s));
    EXPECT_TRUE(wait_inactive(*f.sensor));
    EXPECT_NE(log.text().find("path attack detected (" + prefix + ")"), std::string::npos);
    // Nothing was created, inside the data directory or next to it.
    EXPECT_EQ(count_entries(f.conf.datadir), 0u);
    EXPECT_EQ(count_entries(f.root.path()), 1u);
    EXPECT_TRUE(f.sensor->sensor_dir.empty());
  }
}

TEST(SensorHandshake, DirectoryThatIsAFileFails) {
  sensor_fixture_t f;
  std::ofstream((f.conf.datadir / "ids-7").string()) << "not a directory";
  const ferun::answer_hello_t a = f.handshake("ids", 7, "probe");
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.message, "can't create data directory for sensor probe (File exists)");
  EXPECT_TRUE(a.sysinfo.empty());
}

TEST(SensorConnection, SetupBeforeHelloIsNotAnswered) {
  log_capture_t log;
  sensor_fixture_t f;
  f.sensor->start();
  f.console->send(good_setup(f.root.path()));
  EXPECT_FALSE(f.console->receive(10s));
  EXPECT_TRUE(f.console->closed());
  EXPECT_TRUE(wait_inactive(*f.sensor));
  EXPECT_NE(log.text().find("waiting hello command, but got 2"), std::string::npos);
}

TEST(SensorConnection, ConsoleClosingAtOnceEndsConnection) {
  log_capture_t log;
  sensor_fixture_t f;
  f.sensor->start();
  f.console->close();
  ASSERT_TRUE(wait_inactive(*f.sensor));
  const std::string text = log.text();
  EXPECT_NE(text.find("ERROR sensor: waiting hello command, but got null"), std::string::npos);
  EXPECT_NE(text.find("exception_t: waiting hello command, but got null, connection is closed\n"),
            std::string::npos);
  EXPECT_NE(text.find("_socket.close\n"), std::string::npos);
  EXPECT_FALSE(f.sensor->socket().is_open());
}

TEST(SensorConnection, StopEndsWaitForSilentConsole) {
  log_capture_t log;
  sensor_fixture_t f;
  f.sensor->start();
  std::this_thread::sleep_for(50ms);  // let the thread enter its wait
  const auto begin = std::chrono::steady_clock::now();
  f.sensor->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
  EXPECT_FALSE(f.sensor->is_active());
  EXPECT_TRUE(f.console->wait_closed(10s));
  EXPECT_NE(log.text().find("_socket.close\n"), std::string::npos);
}

TEST(SensorConnection, ExitFlagEndsWaitForSilentConsole) {
  sensor_fixture_t f;
  f.sensor->start();
  ferun::g_do_exit = true;
  const bool ended = wait_inactive(*f.sensor, 5s);
  ferun::g_do_exit = false;
  EXPECT_TRUE(ended);
}

TEST(SensorConnection, SecondHelloAndUnknownIdsAreIgnored) {
  sensor_fixture_t f;
  f.sensor->start();
  f.console->send(hello("ids", 7, "probe"));
  auto first = f.console->receive(10s);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->as<ferun::answer_hello_t>().status, 0);

  f.console->send(hello("ids", 8, "other"));
  f.console->send_frame(9, "xyz", 3);
  f.console->send_frame(0, nullptr, 0);
  f.console->send(good_setup(f.conf.datadir / "ids-7"));
  auto next = next_answer(*f.console);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->id, 0x82u);
  EXPECT_EQ(f.sensor->sensor_id, 7u);  // read only after the answer: written before it was sent
}

TEST(SensorConnection, CommandsAreDispatchedBeforeSetup) {
  sensor_fixture_t f;
  f.sensor->start();
  f.console->send(hello("ids", 7, "probe"));
  ASSERT_TRUE(f.console->receive(10s));
  ferun::command_get_value_t get;
  get.names = {"a"};
  f.console->send(get);
  auto answer = next_answer(*f.console);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->id, 0x84u);
}

TEST(SensorConnection, PeerClosingAfterHandshakeEndsConnection) {
  log_capture_t log;
  sensor_fixture_t f;
  f.sensor->start();
  f.console->send(hello("ids", 7, "probe"));
  ASSERT_TRUE(f.console->receive(10s));
  f.console->close();
  ASSERT_TRUE(wait_inactive(*f.sensor));
  EXPECT_NE(log.text().find("ERROR sensor: connection is closed by peer\n"), std::string::npos);
  EXPECT_NE(log.text().find("_socket.close\n"), std::string::npos);
}

TEST(SensorConnection, StopWhileFollowingEndsAfterPass) {
  sensor_fixture_t f;
  f.sensor->start();
  f.console->send(hello("ids", 7, "probe"));
  ASSERT_TRUE(f.console->receive(10s));
  f.console->send(good_setup(f.conf.datadir / "ids-7"));
  auto answer = next_answer(*f.console);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->as<ferun::answer_t>().status, 0);
  const auto begin = std::chrono::steady_clock::now();
  f.sensor->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
  EXPECT_FALSE(f.sensor->is_active());
}

// The statistics timing: the first message on the first pass after the setup, the next when more
// than the period has passed, with the period product taken in 64 bits.
TEST(SensorConnection, StatisticsPeriodIsSixtyFourBit) {
  const std::uint64_t t0 = 1'000'000'000'000'000ull;
  stime_t::g_timestamp = t0;
  sensor_fixture_t f;
  f.sensor->start();
  f.console->send(hello("ids", 7, "probe"));
  ASSERT_TRUE(f.console->receive(10s));
  // 5,000,000 ms: a 32-bit product would wrap to about 705 s.
  f.console->send(good_setup(f.conf.datadir / "ids-7", 5'000'000));
  bool answered = false, first_stats = false;
  for (int i = 0; i < 2; ++i) {
    auto frame = f.console->receive(20s);
    ASSERT_TRUE(frame);
    if (frame->id == 0x82) answered = true;
    if (frame->id == ferun::command_stats_t::message_id) first_stats = true;
  }
  EXPECT_TRUE(answered);
  EXPECT_TRUE(first_stats);

  stime_t::g_timestamp = t0 + 1000ull * 1000000ull;  // 1000 s later: within the period
  EXPECT_FALSE(f.console->receive(500ms));
  // Past the period whether the sensor took its last time before or after the change above.
  stime_t::g_timestamp = t0 + 6001ull * 1000000ull;
  auto late = f.console->receive(20s);
  ASSERT_TRUE(late);
  EXPECT_EQ(late->id, ferun::command_stats_t::message_id);
  f.sensor->stop();
  stime_t::g_timestamp = 0;
}
