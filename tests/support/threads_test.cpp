// Log channels and the formatting ring used from several threads at once.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/daemon_launcher.h"
#include "support/fmt_ring.h"
#include "support/log.h"

log_t g_threads("test_threads");

TEST(LogThreads, LinesNeverInterleaveAndEachThreadHasItsOwnRing) {
  ferun_test::temp_dir_t dir;
  testing::internal::CaptureStdout();
  log_t::set_filename((dir / "threads.log").string());
  testing::internal::GetCapturedStdout();
  log_t::enable("test_threads", 13);

  fmt_ring_reset();
  const char* mine = fmt_ip(0x7f000001u);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      // Each message is one whole line; each log call empties the thread's ring.
      for (int m = 0; m < 300; ++m)
        g_threads.debug(m % 5, "%d: thread %d from %s\n", m % 5, t, fmt_ip(0x0a000000u + t));
    });
  }
  for (std::thread& thread : threads) thread.join();
  log_t::disable("test_threads");
  testing::internal::CaptureStdout();
  log_t::set_filename("");
  testing::internal::GetCapturedStdout();
  EXPECT_STREQ(mine, "127.0.0.1");
  EXPECT_EQ(g_fmt_buffer_pos, 10);

  std::istringstream lines(ferun_test::read_file(dir / "threads.log"));
  int count = 0;
  for (std::string line; std::getline(lines, line) && line.size() > 8; ++count) {
    const std::string level(1, line[5]), t(1, line.back());
    ASSERT_EQ(line,
              "DEBUG" + level + " test_threads: " + level + ": thread " + t + " from 10.0.0." + t);
  }
  EXPECT_EQ(count, 8 * 300);
}
