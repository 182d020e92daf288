#include "support/log.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/daemon_launcher.h"
#include "support/fmt_ring.h"
#include "support/string_utils.h"

using ferun_test::read_file;
using ferun_test::temp_dir_t;
using ferun_test::write_file;

namespace {

// Handles of this test, registered like the daemon's own: two under "sensor", one under "proto".
log_t g_sensor("sensor");
log_t g_sensor_too("sensor");
log_t g_proto("proto");
log_t g_words("test_words");
log_t g_late_first("test_late");

std::string stdout_of(const std::function<void()>& action) {
  testing::internal::CaptureStdout();
  try {
    action();
  } catch (...) {
    testing::internal::GetCapturedStdout();
    throw;
  }
  return testing::internal::GetCapturedStdout();
}

int level_of(const log_t& handle) {
  return handle.impl ? handle.impl->level : -1;
}

void disable_all() {
  for (const char* name : {"sensor", "proto", "test_words", "test_late"}) log_t::disable(name);
}

// Every test starts with its channels disabled and the output going to a fresh log file.
class Log : public testing::Test {
 protected:
  void SetUp() override {
    disable_all();
    stdout_of([&] { log_t::set_filename(log_file_.string()); });
  }
  void TearDown() override {
    disable_all();
    stdout_of([] { log_t::set_filename(""); });
  }
  std::string logged() const { return read_file(log_file_); }

  temp_dir_t dir_;
  const boost::filesystem::path log_file_ = dir_ / "ferun.log";
};

}  // namespace

TEST_F(Log, GrammarEchoesEveryItemAndEnablesNamedChannels) {
  struct grammar_case_t {
    const char* spec;
    const char* echo;
    int sensor;
    int proto;
  };
  const grammar_case_t cases[] = {
      {"", "enable log:  info\n", -1, -1},
      {"sensor:debug1,proto", "enable log: sensor debug1\nenable log: proto info\n", 4, 2},
      {"proto,sensor:warning", "enable log: proto info\nenable log: sensor warning\n", 1, 2},
      {"sensor,proto", "enable log: sensor info\nenable log: proto info\n", 2, 2},
      {"sensor:error", "enable log: sensor error\n", 13, -1},
      {"sensor:WARNING", "enable log: sensor WARNING\n", 1, -1},
      {"Sensor:info", "enable log: Sensor info\n", -1, -1},
      {"sensor:", "enable log: sensor \n", 13, -1},
      {"control:warning", "enable log: control warning\n", -1, -1},
      {"sensor:debug4,sensor:warning", "enable log: sensor debug4\nenable log: sensor warning\n", 1,
       -1},
      {"sensor,,proto,",
       "enable log: sensor info\nenable log:  info\nenable log: proto info\nenable log:  info\n", 2,
       2},
      {"sensor:debug1:x", "enable log: sensor debug1:x\n", 13, -1},
      {" sensor,proto ", "enable log:  sensor info\nenable log: proto  info\n", -1, -1},
      {"proto:debug3 ", "enable log: proto debug3 \n", -1, 13},
  };
  for (const grammar_case_t& c : cases) {
    SCOPED_TRACE(c.spec);
    disable_all();
    EXPECT_EQ(stdout_of([&] { log_t::enable_from_string(c.spec); }), c.echo);
    EXPECT_EQ(level_of(g_sensor), c.sensor);
    EXPECT_EQ(level_of(g_proto), c.proto);
  }
}

TEST_F(Log, LevelWordsIgnoreCaseAndOthersSelectEverything) {
  const std::pair<const char*, int> words[] = {
      {"warning", 1}, {"info", 2},    {"debug0", 3}, {"debug1", 4}, {"debug2", 5},
      {"debug3", 6},  {"debug4", 7},  {"INFO", 2},   {"Debug2", 5}, {"error", 13},
      {"", 13},       {"debug5", 13}, {"debug", 13}, {"3", 13},
  };
  for (const auto& word : words) {
    SCOPED_TRACE(word.first);
    log_t::disable("test_words");
    log_t::enable("test_words", word.first);
    EXPECT_EQ(level_of(g_words), word.second);
  }
}

TEST_F(Log, ChannelWritesMessagesUpToItsLevelWithTheirPrefix) {
  stdout_of([] { log_t::enable_from_string("sensor:debug1,proto:warning"); });
  stdout_of([] {
    g_sensor.debug(0, "d0\n");
    g_sensor.debug(1, "d1 %d\n", 1);
    g_sensor.debug(2, "d2\n");
    g_sensor.info("i %s\n", "x");
    g_sensor.warning("w\n");
    g_sensor.error("e\n");
    g_proto.debug(0, "no\n");
    g_proto.info("no\n");
    g_proto.warning("pw\n");
    g_proto.error("pe\n");
  });
  EXPECT_EQ(logged(),
            "DEBUG0 sensor: d0\n"
            "DEBUG1 sensor: d1 1\n"
            "INFO sensor: i x\n"
            "WARNING sensor: w\n"
            "ERROR sensor: e\n"
            "WARNING proto: pw\n"
            "ERROR proto: pe\n");

  // Every level the system uses reaches a channel enabled with a word it does not know.
  log_t::enable("proto", "all");
  g_proto.debug(4, "d4\n");
  g_proto.debug(10, "d10\n");
  g_proto.debug(11, "too deep\n");
  EXPECT_NE(logged().find("DEBUG4 proto: d4\nDEBUG10 proto: d10\n"), std::string::npos);
  EXPECT_EQ(logged().find("too deep"), std::string::npos);
}

TEST_F(Log, OnlyAFormatEndingInNewlineEndsTheLine) {
  stdout_of([] { log_t::enable_from_string("sensor:warning"); });
  g_sensor.warning("first ");
  g_sensor.warning("half\n");
  // The text argument ends in a newline, the format does not: the line stays open.
  g_sensor.warning("%s", "arg\n");
  g_sensor.warning("no prefix\n");
  // A message below the level leaves the line state alone.
  g_sensor.warning("open ");
  g_sensor.info("skipped\n");
  g_sensor.debug(0, "skipped\n");
  // The continuation keeps the prefix of the message that opened the line.
  stdout_of([] { g_sensor.error("closed\n"); });
  EXPECT_EQ(logged(),
            "WARNING sensor: first half\n"
            "WARNING sensor: arg\n"
            "no prefix\n"
            "WARNING sensor: open closed\n");
}

TEST_F(Log, EnablingAgainChangesOnlyTheLevel) {
  stdout_of([] { log_t::enable_from_string("sensor:debug4"); });
  g_sensor.info("open ");
  stdout_of([] { log_t::enable_from_string("sensor:warning"); });
  EXPECT_EQ(level_of(g_sensor), 1);
  g_sensor.info("dropped\n");
  g_sensor.warning("rest\n");
  EXPECT_EQ(logged(), "INFO sensor: open rest\n");

  // A disable drops the line state: the next enable starts with a prefix.
  g_sensor.warning("open again ");
  log_t::disable("sensor");
  log_t::enable("sensor", 2);
  g_sensor.info("fresh\n");
  EXPECT_EQ(logged(), "INFO sensor: open rest\nWARNING sensor: open again INFO sensor: fresh\n");
}

TEST_F(Log, ErrorsAreEchoedOnStandardOutputEvenWhenDisabled) {
  EXPECT_EQ(stdout_of([] { g_sensor.error("bad %d", 7); }), "bad 7");
  EXPECT_EQ(stdout_of([] { g_sensor.info("not shown\n"); }), "");
  EXPECT_EQ(logged(), "");

  stdout_of([] { log_t::enable_from_string("sensor"); });
  EXPECT_EQ(stdout_of([] { g_sensor.error("bad %s\n", "file"); }), "bad file\n");
  EXPECT_EQ(logged(), "ERROR sensor: bad file\n");

  // With the log on standard output an enabled channel shows the error twice.
  stdout_of([] { log_t::set_filename(""); });
  log_t::disable("sensor");
  stdout_of([] { log_t::enable_from_string("sensor"); });
  EXPECT_EQ(stdout_of([] { g_sensor.error("twice\n"); }), "ERROR sensor: twice\ntwice\n");
}

TEST_F(Log, LogCallsEmptyTheRing) {
  const auto ring_is_empty = [] { return g_fmt_buffer_pos == 0 && g_fmt_buffer[0] == '\0'; };

  fmt_ring_reset();
  fmt_ip(0x01020304u);
  g_sensor.info("disabled\n");
  EXPECT_EQ(g_fmt_buffer_pos, 8) << "a disabled channel touches nothing";
  stdout_of([] { g_sensor.error("disabled\n"); });
  EXPECT_TRUE(ring_is_empty());

  stdout_of([] { log_t::enable_from_string("sensor:warning"); });
  fmt_ip(0x01020304u);
  g_sensor.info("below the level\n");
  EXPECT_TRUE(ring_is_empty());
  fmt_ip(0x01020304u);
  g_sensor.debug(4, "below the level\n");
  EXPECT_TRUE(ring_is_empty());

  // Two addresses for one line are distinct texts; after the call the next starts at offset 0.
  g_sensor.warning("%s -> %s\n", fmt_ip(0x01020304u), fmt_ip(0x05060708u));
  EXPECT_EQ(logged(), "WARNING sensor: 1.2.3.4 -> 5.6.7.8\n");
  EXPECT_TRUE(ring_is_empty());
  EXPECT_EQ(fmt_ip(0x7f000001u), g_fmt_buffer);
}

TEST_F(Log, HandlesFollowTheirChannel) {
  EXPECT_EQ(g_sensor.impl, nullptr);
  log_t::enable("sensor", 2);
  ASSERT_NE(g_sensor.impl, nullptr);
  EXPECT_EQ(g_sensor_too.impl, g_sensor.impl);
  EXPECT_EQ(g_proto.impl, nullptr);

  // A handle registered after its channel was enabled joins it.
  log_t::enable("test_late", 4);
  ASSERT_NE(g_late_first.impl, nullptr);
  static log_t late("test_late");
  EXPECT_EQ(late.impl, g_late_first.impl);
  ASSERT_NE(late.impl, nullptr);
  EXPECT_EQ(late.impl->level, 4);
  late.debug(1, "late\n");
  EXPECT_EQ(logged(), "DEBUG1 test_late: late\n");

  log_t::disable("sensor");
  EXPECT_EQ(g_sensor.impl, nullptr);
  EXPECT_EQ(g_sensor_too.impl, nullptr);

  // Names nobody registered are ignored.
  log_t::enable("nobody", 2);
  log_t::disable("nobody");
  log_t::disable("sensor");
}

TEST_F(Log, SetFilenameEmptiesTheFileAndAnnouncesIt) {
  const auto other = dir_ / "other.log";
  write_file(other, "old content\n");
  EXPECT_EQ(stdout_of([&] { log_t::set_filename(other.string()); }),
            "current logfile: " + other.string() + "\n");
  EXPECT_EQ(read_file(other), "");
  log_t::enable("sensor", 2);
  g_sensor.info("new\n");
  EXPECT_EQ(read_file(other), "INFO sensor: new\n");

  log_t::disable("sensor");
  EXPECT_EQ(stdout_of([] { log_t::set_filename(""); }), "current logfile: \n");
  log_t::enable("sensor", 2);
  EXPECT_EQ(stdout_of([] { g_sensor.info("on the terminal\n"); }),
            "INFO sensor: on the terminal\n");
}

TEST_F(Log, SetFilenameInMissingDirectoryThrows) {
  const auto missing = dir_ / "no" / "such.log";
  try {
    stdout_of([&] { log_t::set_filename(missing.string()); });
    FAIL() << "no exception";
  } catch (const exception_t& e) {
    EXPECT_EQ(e.message, "can't open logfile: No such file or directory");
  }
  // Channels enabled now have no stream: they write nothing, and errors still reach stdout.
  log_t::enable("sensor", 13);
  ASSERT_NE(g_sensor.impl, nullptr);
  g_sensor.info("nowhere\n");
  EXPECT_EQ(stdout_of([] { g_sensor.error("still echoed\n"); }), "still echoed\n");
}

TEST_F(Log, LaterSetFilenameNeverLeavesAChannelOnAClosedFile) {
  // "sensor" is enabled on the terminal, "proto" on the first file.
  stdout_of([] { log_t::set_filename(""); });
  log_t::enable("sensor", 2);
  stdout_of([&] { log_t::set_filename(log_file_.string()); });
  log_t::enable("proto", 2);
  g_proto.info("before\n");

  const auto second = dir_ / "second.log";
  stdout_of([&] { log_t::set_filename(second.string()); });
  g_proto.info("after\n");
  EXPECT_EQ(stdout_of([] { g_sensor.info("terminal\n"); }), "INFO sensor: terminal\n");
  EXPECT_EQ(logged(), "INFO proto: before\n");
  EXPECT_EQ(read_file(second), "INFO proto: after\n");

  // When the next file cannot be opened the channel falls silent instead.
  EXPECT_THROW(stdout_of([&] { log_t::set_filename((dir_ / "no" / "x.log").string()); }),
               exception_t);
  g_proto.info("lost\n");
  EXPECT_EQ(read_file(second), "INFO proto: after\n");
}
