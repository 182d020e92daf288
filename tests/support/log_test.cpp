// The log channels and the formatting ring, also from several threads at once.
#include "support/log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "common/daemon_launcher.h"
#include "support/fmt_ring.h"

using ferun_test::read_file;

log_t g_sensor("sensor"), g_proto("proto");

// A ring text that does not fit wraps to the start, one too long is cut within the ring. Only a
// format ending in a newline ends a log line; every log call empties the ring; a channel follows
// the log file it was moved to and never writes to a closed one; errors are echoed. One lock per
// whole message keeps the lines of threads apart; each thread has its own ring.
TEST(Log, RingGrammarLineRuleFilesAndThreads) {
  g_fmt_buffer_pos = g_fmt_buffer_size - 10;
  EXPECT_EQ(fmt_ip(0x7f000001u), g_fmt_buffer + g_fmt_buffer_size - 10);
  EXPECT_EQ(fmt_ip(0x01020304u), g_fmt_buffer) << "a full ring wraps the next text";
  EXPECT_EQ(strlen(fmt_ring_printf(false, "%s", std::string(20000, 'x').c_str())), 10239u);
  EXPECT_EQ(g_fmt_buffer_pos, g_fmt_buffer_size);
  EXPECT_STREQ(fmt_ip6(in6addr_loopback), "::1");
  EXPECT_STREQ(fmt(ether_addr{{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}}), "00:1a:2b:3c:4d:5e");
  EXPECT_STREQ(fmt_ring_printf(false, "x%ls", L"\x100"), "") << "no text in this locale";
  ferun_test::temp_dir_t dir;
  const std::string first = (dir / "1.log").string(), second = (dir / "2.log").string();
  testing::internal::CaptureStdout();
  log_t::set_filename(first);
  g_sensor.error("bad %d\n", 7);
  log_t::enable_from_string("sensor:debug4,proto:WARNING,x,sensor:debug1");
  g_sensor.debug(1, "d%d\n", 1);
  g_sensor.debug(2, "not written\n");
  log_t("proto").warning("first ");  // a handle made after the channel was enabled
  fmt_ip(1);
  g_proto.info("below the level keeps the line open\n");
  EXPECT_STREQ(g_fmt_buffer, "");
  fmt_ip(1);
  g_proto.error("half\n");
  EXPECT_EQ(g_fmt_buffer_pos, 0);
  log_t::disable("sensor");
  g_sensor.warning("disabled\n");
  log_t::set_filename(second);
  const char* mine = fmt_ip(0x7f000001u);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t] {
      for (int m = 0; m < 300; ++m) g_proto.warning("%d from %s\n", t, fmt_ip(0x0a000000u + t));
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_STREQ(mine, "127.0.0.1");
  EXPECT_ANY_THROW(log_t::set_filename((dir / "no" / "x.log").string()));
  g_proto.warning("lost\n");
  log_t::set_filename("");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "current logfile: " + first +
                "\nbad 7\nenable log: sensor debug4\nenable log: proto "
                "WARNING\nenable log: x info\nenable log: sensor debug1\nhalf\ncurrent logfile: " +
                second + "\ncurrent logfile: \n");
  EXPECT_EQ(read_file(first), "DEBUG1 sensor: d1\nWARNING proto: first half\n");
  std::istringstream lines(read_file(second));
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count)
    ASSERT_EQ(line, "WARNING proto: " + line.substr(15, 1) + " from 10.0.0." + line.substr(15, 1));
  EXPECT_EQ(count, 8 * 300);
}
