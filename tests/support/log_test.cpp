#include "support/log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "common/daemon_launcher.h"
#include "support/fmt_ring.h"
#include "support/string_utils.h"

using ferun_test::read_file;

namespace {

log_t g_sensor("sensor");
log_t g_proto("proto");

std::string stdout_of(const std::function<void()>& action) {
  testing::internal::CaptureStdout();
  action();
  return testing::internal::GetCapturedStdout();
}

// Each test starts with its channels disabled and the log in a fresh file.
class Log : public testing::Test {
 protected:
  void SetUp() override {
    stdout_of([&] { log_t::set_filename(file_.string()); });
  }
  void TearDown() override {
    for (const char* name : {"sensor", "proto"}) log_t::disable(name);
    stdout_of([] { log_t::set_filename(""); });
  }
  ferun_test::temp_dir_t dir_;
  const boost::filesystem::path file_ = dir_ / "ferun.log";
};

}  // namespace

// A text that does not fit (printf counts its NUL) wraps to the start; one too long for the ring
// is cut to 10239 characters and nothing is written past the ring's end.
TEST(FmtRing, WrapsAndCutsALongTextWithinTheRing) {
  fmt_ring_reset();
  g_fmt_buffer_pos = g_fmt_buffer_size - 10;
  const char* at = g_fmt_buffer + g_fmt_buffer_pos;
  EXPECT_EQ(fmt_ip(0x7f000001u), at);
  EXPECT_EQ(fmt_ip(0x01020304u), g_fmt_buffer) << "a full ring wraps the next text";
  const std::string huge(3 * g_fmt_buffer_size, 'x');
  const char* text = fmt_ring_printf(false, "%s", huge.c_str());
  EXPECT_EQ(strlen(text), 10239u);
  EXPECT_EQ(g_fmt_buffer_pos, g_fmt_buffer_size);
}

TEST_F(Log, GrammarEnablesChannelsAndOnlyANewlineFormatEndsTheLine) {
  EXPECT_EQ(stdout_of([] { g_sensor.error("bad %d\n", 7); }), "bad 7\n") << "disabled: echoed";
  EXPECT_EQ(stdout_of([] { log_t::enable_from_string("sensor:debug1,proto:warning"); }),
            "enable log: sensor debug1\nenable log: proto warning\n");
  stdout_of([] {
    g_sensor.debug(1, "d%d\n", 1);
    g_proto.warning("first ");
    g_proto.info("below the level keeps the line open\n");
    g_proto.error("half\n");
  });
  EXPECT_EQ(read_file(file_), "DEBUG1 sensor: d1\nWARNING proto: first half\n");
}

// A file that cannot be opened throws and leaves no channel writing to a closed stream.
TEST_F(Log, SetFilenameMovesChannelsAndNeverLeavesAClosedStream) {
  const auto second = dir_ / "second.log";
  log_t::enable("proto", 2);
  g_proto.info("before\n");
  EXPECT_EQ(stdout_of([&] { log_t::set_filename(second.string()); }),
            "current logfile: " + second.string() + "\n");
  g_proto.info("after\n");
  EXPECT_THROW(log_t::set_filename((dir_ / "no" / "x.log").string()), exception_t);
  g_proto.info("lost\n");
  EXPECT_EQ(stdout_of([] { g_proto.error("still echoed\n"); }), "still echoed\n");
  EXPECT_EQ(read_file(file_), "INFO proto: before\n");
  EXPECT_EQ(read_file(second), "INFO proto: after\n");
}
