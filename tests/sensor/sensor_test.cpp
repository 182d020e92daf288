// The connection thread: hello handshake, command dispatch, the loop's two modes and its end.
#include "sensor/sensor.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "common/poll_until.h"
#include "common/sensor_fixture.h"
#include "sensor/sensor_test_util.h"
#include "service/clock.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using ferun_test::log_capture_t;
using ferun_test::poll_until;
using ferun_test::sensor_fixture_t;
using ferun_test::temp_dir_t;

namespace {

std::size_t count_entries(const fs::path& dir) {
  if (!fs::exists(dir)) return 0;
  return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
}

ferun::command_hello_t hello(const std::string& prefix, std::uint32_t version = 1) {
  ferun::command_hello_t h;
  h.version = version;
  h.prefix = prefix;
  h.sensor_id = 7;
  h.sensor_name = "probe";
  return h;
}

}  // namespace

// The answer carries the script's output and a NUL (here the name of its output file, gone
// afterwards), or the failure. An existing sensor directory is reused.
TEST(SensorHandshake, AnswersWithScriptOutputOrFailure) {
  struct case_t {
    const char* script;  // nullptr: no script; the message is then only a prefix
    bool dir_is_file;
    std::string message;
  } cases[] = {
      {"readlink /proc/$$/fd/1\n", false, "hello from sensor!"},
      {"readlink /proc/$$/fd/1\n", false, "hello from sensor!"},
      {"echo broken; exit 3\n", false, "sysinfo failed with error: broken\n"},
      {nullptr, false, "sysinfo failed with error: "},
      {"true\n", true, "can't create data directory for sensor probe (File exists)"},
  };
  for (const auto& c : cases) {
    const bool reuse = &c == &cases[1];
    SCOPED_TRACE(c.message + (reuse ? " (directory exists)" : ""));
    temp_dir_t progdir("ferun-progdir");
    if (c.script) {
      std::ofstream((progdir / "sysinfo").string()) << "#!/bin/sh\n" << c.script;
      fs::permissions(progdir / "sysinfo", fs::perms(0755));
    }
    sensor_fixture_t f(progdir.path().string());
    if (c.dir_is_file) std::ofstream((f.conf.datadir / "ids-7").string()) << "file";
    if (reuse) fs::create_directory(f.conf.datadir / "ids-7");
    const ferun::answer_hello_t a = f.handshake("ids", 7, "probe");
    const bool ok = c.message == "hello from sensor!";
    EXPECT_EQ(a.id, 0x81u);
    EXPECT_EQ(a.status, ok ? 0 : 1);
    EXPECT_EQ(c.script ? a.message : a.message.substr(0, c.message.size()), c.message);
    EXPECT_EQ(a.version, 1u);
    const std::string fd = std::to_string(f.sensor->socket().native_handle());
    const std::string out = (f.conf.tmpdir / ("sysinfo__" + fd + ".out")).string();
    EXPECT_EQ(a.sysinfo, ok ? out + "\n" + std::string(1, '\0') : "");
    EXPECT_EQ(count_entries(f.conf.tmpdir), 0u);
  }
}

// Every way the thread ends before following: a refused hello (wrong version, or a prefix that
// would leave the data directory) answered first, a setup before the hello, an unknown id before
// the hello (no answer, the connection closed), a console closing at once or after the hello, and
// a silent console ended by stop or by the exit flag.
TEST(SensorConnection, ThreadEndsWithAnswerAndLog) {
  using act_t = std::function<void(sensor_fixture_t&)>;
  auto send = [](ferun::command_t* cmd) {
    return [cmd](sensor_fixture_t& f) { f.console->send(*cmd); };
  };
  ferun::command_hello_t v2 = hello("ids", 2);
  ferun::command_setup_t setup;
  struct case_t {
    act_t act;
    std::string answer;  // empty: none
    std::vector<std::string> log;
  };
  std::vector<case_t> cases = {
      {send(&v2), "incompatible version", {"got incompatible version"}},
      {send(&setup), "", {"ERROR sensor: waiting hello command, but got 2"}},
      {[](sensor_fixture_t& f) {
         f.console->send_frame(9, "xyz", 3);
         EXPECT_FALSE(f.console->receive(10s));
         EXPECT_TRUE(f.console->closed());
       },
       "",
       {"exception_t: waiting hello command, but got null, connection is closed\n",
        "ERROR sensor: waiting hello command, but got null"}},
      {[](sensor_fixture_t& f) { f.console->close(); },
       "",
       {"ERROR sensor: waiting hello command, but got null",
        "exception_t: waiting hello command, but got null, connection is closed\n"}},
      {[](sensor_fixture_t& f) {
         f.console->send(hello("ids"));
         ASSERT_TRUE(f.console->receive(10s));
         f.console->close();
       },
       "",
       {"ERROR sensor: connection is closed by peer\n"}},
      {[](sensor_fixture_t& f) { f.sensor->stop(); },
       "",
       {"stop requested while waiting for the hello\n"}},
      {[](sensor_fixture_t&) { ferun::g_do_exit = true; },
       "",
       {"stop requested while waiting for the hello\n"}},
  };
  std::vector<ferun::command_hello_t> attacks;
  for (const std::string prefix : {"../evil", "a/b", "/abs", "a..b", ".."})
    attacks.push_back(hello(prefix));
  for (auto& h : attacks) {
    const std::string text = "path attack detected (" + h.prefix + ")";
    cases.push_back({send(&h), text, {"ERROR sensor: " + text + "\n"}});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log.front());
    log_capture_t log;
    sensor_fixture_t f;
    f.sensor->start();
    const auto begin = std::chrono::steady_clock::now();
    c.act(f);
    if (!c.answer.empty()) {
      auto frame = f.console->receive(10s);
      ASSERT_TRUE(frame);
      const auto a = frame->as<ferun::answer_hello_t>();
      EXPECT_EQ(a.id, 0x81u);
      EXPECT_EQ(a.status, 1);
      EXPECT_EQ(a.message, c.answer);
      EXPECT_TRUE(a.sysinfo.empty());
    }
    const bool ended = poll_until([&] { return !f.sensor->is_active(); }, 10s);
    ferun::g_do_exit = false;
    ASSERT_TRUE(ended);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    EXPECT_FALSE(f.sensor->socket().is_open());
    const std::string text = log.text();
    for (const auto& line : c.log) EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_NE(text.find("_socket.close\n"), std::string::npos);
    // Only an accepted hello creates anything.
    EXPECT_EQ(count_entries(f.conf.datadir),
              c.log.front().find("by peer") != std::string::npos ? 1u : 0u);
    EXPECT_EQ(count_entries(f.root.path()), 1u + fs::exists(f.conf.tmpdir));
  }
}

// Before the setup a second hello and unknown ids are ignored and commands answered. Statistics go
// out on the first pass after the setup, then once the period has passed; 5,000,000 ms must not
// wrap (32 bits would give about 705 s). A stop ends the following loop within a pass.
TEST(SensorConnection, DispatchesStatisticsAndStop) {
  const std::uint64_t t0 = 1'000'000'000'000'000ull;
  stime_t::g_timestamp = t0;
  sensor_fixture_t f;
  f.sensor->start();
  f.console->send(hello("ids"));
  auto frame = f.console->receive(10s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->as<ferun::answer_hello_t>().status, 0);
  f.console->send(hello("other"));
  f.console->send_frame(9, "xyz", 3);
  f.console->send_frame(0, nullptr, 0);
  ferun::command_get_value_t get;
  get.names = {"a"};
  f.console->send(get);
  frame = f.console->receive(10s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->id, 0x84u);

  const fs::path dir = f.conf.datadir / "ids-7";
  std::ofstream((dir / "sid-msg.map").string()) << "1000001 || TEST one rule\n";
  std::ofstream((dir / "gen-msg.map").string()) << "1 || 1 || snort general alert\n";
  ferun::command_setup_t setup;
  setup.stats_period = 5'000'000;
  setup.logdir = "spool";
  setup.sidmap = "sid-msg.map";
  setup.genmap = "gen-msg.map";
  f.console->send(setup);
  frame = f.console->receive(10s);  // the answer is written before the next pass
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->id, 0x82u);
  EXPECT_EQ(frame->as<ferun::answer_t>().status, 0);
  frame = f.console->receive(10s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->id, ferun::command_stats_t::message_id);

  stime_t::g_timestamp = t0 + 1000ull * 1000000ull;  // within the period
  EXPECT_FALSE(f.console->receive(500ms));
  stime_t::g_timestamp = t0 + 6001ull * 1000000ull;  // past it from either last time
  frame = f.console->receive(20s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->id, ferun::command_stats_t::message_id);

  const auto begin = std::chrono::steady_clock::now();
  f.sensor->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
  EXPECT_FALSE(f.sensor->is_active());
  EXPECT_EQ(f.sensor->sensor_dir, dir);
  stime_t::g_timestamp = 0;
}
