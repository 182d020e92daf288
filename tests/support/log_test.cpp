#include "support/log.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/daemon_launcher.h"
#include "support/fmt_ring.h"
#include "support/string_utils.h"

using ferun_test::read_file;

namespace {

// Handles registered like the daemon's own: two under "sensor", one under "proto".
log_t g_sensor("sensor");
log_t g_sensor_too("sensor");
log_t g_proto("proto");

std::string stdout_of(const std::function<void()>& action) {
  testing::internal::CaptureStdout();
  action();
  return testing::internal::GetCapturedStdout();
}

int level_of(const log_t& handle) {
  return handle.impl ? handle.impl->level : -1;
}

// Every test starts with its channels disabled and the output going to a fresh log file.
class Log : public testing::Test {
 protected:
  static void disable_all() {
    for (const char* name : {"sensor", "proto", "test_late"}) log_t::disable(name);
  }
  void SetUp() override {
    stdout_of([&] { log_t::set_filename(file_.string()); });
  }
  void TearDown() override {
    disable_all();
    stdout_of([] { log_t::set_filename(""); });
  }
  std::string logged() const { return read_file(file_); }

  ferun_test::temp_dir_t dir_;
  const boost::filesystem::path file_ = dir_ / "ferun.log";
};

}  // namespace

TEST_F(Log, GrammarEchoesEveryItemAndEnablesNamedChannels) {
  const struct {
    const char *spec, *echo;
    int sensor, proto;
  } cases[] = {
      {"", "enable log:  info\n", -1, -1},
      {"sensor:debug1,proto", "enable log: sensor debug1\nenable log: proto info\n", 4, 2},
      {"sensor:WARNING", "enable log: sensor WARNING\n", 1, -1},
      {"Sensor:info", "enable log: Sensor info\n", -1, -1},
      {"sensor:", "enable log: sensor \n", 13, -1},
      {"proto:x,proto:debug0", "enable log: proto x\nenable log: proto debug0\n", -1, 3},
      {",proto,", "enable log:  info\nenable log: proto info\nenable log:  info\n", -1, 2},
      {"sensor:debug1:x", "enable log: sensor debug1:x\n", 13, -1},
      {" sensor,proto ", "enable log:  sensor info\nenable log: proto  info\n", -1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.spec);
    disable_all();
    EXPECT_EQ(stdout_of([&] { log_t::enable_from_string(c.spec); }), c.echo);
    EXPECT_EQ(level_of(g_sensor), c.sensor);
    EXPECT_EQ(level_of(g_proto), c.proto);
  }
}

TEST_F(Log, WritesUpToTheLevelWithPrefixesAndOnlyANewlineFormatEndsTheLine) {
  stdout_of([] {
    log_t::enable_from_string("sensor:debug1,proto:warning");
    g_sensor.debug(1, "d%d\n", 1);
    g_sensor.debug(2, "dropped\n");
    g_proto.warning("first ");
    g_proto.info("below the level keeps the line open\n");
    g_proto.error("half\n");
    g_sensor.info("%s", "arg\n");  // the text ends in a newline, the format does not
    g_sensor.warning("no prefix\n");
    g_sensor.info("open ");
    log_t::enable_from_string("sensor:warning");  // changes only the level
    g_sensor.info("dropped\n");
    g_sensor.warning("rest ");
    log_t::disable("sensor");  // drops the line state
    log_t::enable("sensor", "all");
    g_sensor.debug(10, "fresh\n");
    g_sensor.debug(11, "too deep\n");
  });
  EXPECT_EQ(logged(),
            "DEBUG1 sensor: d1\nWARNING proto: first half\nINFO sensor: arg\nno prefix\n"
            "INFO sensor: open rest DEBUG10 sensor: fresh\n");
}

TEST_F(Log, ErrorsAreEchoedEvenWhenDisabledAndLogCallsEmptyTheRing) {
  fmt_ring_reset();
  fmt_ip(0x01020304u);
  g_sensor.info("disabled\n");
  EXPECT_EQ(g_fmt_buffer_pos, 8) << "a disabled channel touches nothing";
  EXPECT_EQ(stdout_of([] { g_sensor.error("bad %d", 7); }), "bad 7");
  EXPECT_EQ(g_fmt_buffer_pos, 0);
  EXPECT_EQ(logged(), "");

  log_t::enable("sensor", 1);
  fmt_ip(0x01020304u);
  g_sensor.info("below the level\n");
  EXPECT_EQ(g_fmt_buffer_pos, 0);
  g_sensor.warning("%s -> %s\n", fmt_ip(0x01020304u), fmt_ip(0x05060708u));
  EXPECT_EQ(stdout_of([] { g_sensor.error("bad\n"); }), "bad\n");
  EXPECT_EQ(logged(), "WARNING sensor: 1.2.3.4 -> 5.6.7.8\nERROR sensor: bad\n");

  // With the log on standard output an enabled channel shows the error twice.
  stdout_of([] { log_t::set_filename(""); });
  EXPECT_EQ(stdout_of([] { g_sensor.error("twice\n"); }), "ERROR sensor: twice\ntwice\n");
}

TEST_F(Log, HandlesFollowTheirChannelAndLateHandlesJoinIt) {
  log_t::enable("sensor", 2);
  log_t::enable("nobody", 2);  // a name nobody registered is ignored
  ASSERT_NE(g_sensor.impl, nullptr);
  EXPECT_EQ(g_sensor_too.impl, g_sensor.impl);
  EXPECT_EQ(g_proto.impl, nullptr);
  log_t::disable("sensor");
  EXPECT_EQ(g_sensor_too.impl, nullptr);

  static log_t first("test_late");
  log_t::enable("test_late", 4);
  static log_t late("test_late");  // registered after its channel was enabled: joins it
  late.debug(1, "late\n");
  EXPECT_EQ(logged(), "DEBUG1 test_late: late\n");
}

TEST_F(Log, SetFilenameEmptiesTheFileAndChannelsFollowIt) {
  const auto second = dir_ / "second.log";
  ferun_test::write_file(second, "old content\n");
  stdout_of([&] {
    log_t::set_filename("");
    log_t::enable("sensor", 2);  // on the terminal
    log_t::set_filename(file_.string());
  });
  log_t::enable("proto", 2);  // on the first file
  g_proto.info("before\n");
  EXPECT_EQ(stdout_of([&] { log_t::set_filename(second.string()); }),
            "current logfile: " + second.string() + "\n");
  g_proto.info("after\n");
  EXPECT_EQ(stdout_of([] { g_sensor.info("terminal\n"); }), "INFO sensor: terminal\n");
  EXPECT_EQ(logged(), "INFO proto: before\n");
  EXPECT_EQ(read_file(second), "INFO proto: after\n");

  // A file that cannot be opened (its message is checked at start-up): channels on the old one
  // fall silent, errors still reach standard output.
  EXPECT_THROW(log_t::set_filename((dir_ / "no" / "x.log").string()), exception_t);
  EXPECT_EQ(stdout_of([] { g_proto.error("lost\n"); }), "lost\n");
  EXPECT_EQ(read_file(second), "INFO proto: after\n");
}
