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

// One lock per whole message, one ring per thread.
TEST(LogThreads, LinesNeverInterleaveAndEachThreadHasItsOwnRing) {
  ferun_test::temp_dir_t dir;
  testing::internal::CaptureStdout();
  log_t::set_filename((dir / "threads.log").string());
  log_t::enable("test_threads", 13);
  fmt_ring_reset();
  const char* mine = fmt_ip(0x7f000001u);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t] {
      for (int m = 0; m < 300; ++m)
        g_threads.debug(1, "thread %d from %s\n", t, fmt_ip(0x0a000000u + t));
    });
  for (std::thread& thread : threads) thread.join();
  log_t::set_filename("");
  testing::internal::GetCapturedStdout();
  EXPECT_STREQ(mine, "127.0.0.1");

  std::istringstream lines(ferun_test::read_file(dir / "threads.log"));
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count)
    ASSERT_EQ(line, "DEBUG1 test_threads: thread " + line.substr(line.size() - 1) +
                        " from 10.0.0." + line.substr(line.size() - 1));
  EXPECT_EQ(count, 8 * 300);
}
