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

// Only a format ending in a newline ends the line; a channel follows the log file it was moved
// to and never writes to a closed one; errors are echoed on standard output in any case.
TEST(Log, GrammarLineRuleAndFiles) {
  ferun_test::temp_dir_t dir;
  const auto first = dir / "first.log", second = dir / "second.log";
  EXPECT_EQ(stdout_of([&] { log_t::set_filename(first.string()); }),
            "current logfile: " + first.string() + "\n");
  EXPECT_EQ(stdout_of([] { g_sensor.error("bad %d\n", 7); }), "bad 7\n") << "disabled: echoed";
  EXPECT_EQ(stdout_of([] { log_t::enable_from_string("sensor:debug1,proto:warning"); }),
            "enable log: sensor debug1\nenable log: proto warning\n");
  stdout_of([&] {
    g_sensor.debug(1, "d%d\n", 1);
    g_sensor.debug(2, "not written\n");
    g_proto.warning("first ");
    g_proto.info("below the level keeps the line open\n");
    g_proto.error("half\n");
    log_t::set_filename(second.string());
    g_proto.warning("after\n");
    EXPECT_THROW(log_t::set_filename((dir / "no" / "x.log").string()), exception_t);
    g_proto.warning("lost\n");
  });
  EXPECT_EQ(read_file(first), "DEBUG1 sensor: d1\nWARNING proto: first half\n");
  EXPECT_EQ(read_file(second), "WARNING proto: after\n");
  stdout_of([] { log_t::set_filename(""); });
}
