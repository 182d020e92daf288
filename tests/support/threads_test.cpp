// Log channels and the formatting ring used from several threads at once.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/daemon_launcher.h"
#include "support/fmt_ring.h"
#include "support/log.h"

namespace {

log_t g_threads("test_threads");

}  // namespace

TEST(LogThreads, LinesOfDifferentThreadsNeverInterleave) {
  ferun_test::temp_dir_t dir;
  const auto file = dir / "threads.log";
  testing::internal::CaptureStdout();
  log_t::set_filename(file.string());
  log_t::enable("test_threads", 13);
  testing::internal::GetCapturedStdout();

  constexpr int kThreads = 8;
  constexpr int kMessages = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int m = 0; m < kMessages; ++m) {
        // Each message is one whole line; the address comes from the thread's own ring.
        g_threads.debug(m % 5, "thread %d message %d from %s\n", t, m, fmt_ip(0x0a000000u + t));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  log_t::disable("test_threads");
  testing::internal::CaptureStdout();
  log_t::set_filename("");
  testing::internal::GetCapturedStdout();

  const std::regex line_form(
      "DEBUG[0-4] test_threads: thread ([0-9]) message [0-9]+ from 10\\.0\\.0\\.([0-9])");
  std::istringstream lines(ferun_test::read_file(file));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, line_form)) << line;
    EXPECT_EQ(match[1], match[2]) << line;
    ++count;
  }
  EXPECT_EQ(count, kThreads * kMessages);
}

TEST(FmtRingThreads, AThreadsTextsSurviveOtherThreadsLogCalls) {
  ferun_test::temp_dir_t dir;
  testing::internal::CaptureStdout();
  log_t::set_filename((dir / "ring.log").string());
  log_t::enable("test_threads", 13);
  testing::internal::GetCapturedStdout();

  fmt_ring_reset();
  const char* mine = fmt_ip(0x7f000001u);

  std::thread other([] {
    // Wraps its ring many times over and empties it with every log call.
    for (int i = 0; i < 2000; ++i) {
      fmt_ip6(in6addr_loopback);
      g_threads.debug(0, "%s\n", fmt_ring_printf(false, "%0500d", i));
    }
  });
  other.join();

  EXPECT_STREQ(mine, "127.0.0.1");
  EXPECT_EQ(g_fmt_buffer_pos, 10);

  log_t::disable("test_threads");
  testing::internal::CaptureStdout();
  log_t::set_filename("");
  testing::internal::GetCapturedStdout();
}
