#include "service/clock.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>

// The exit flag is never cleared, so every case runs in a fresh process of its own.

namespace {

using namespace std::chrono_literals;

std::uint64_t wall_clock_us() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(now.tv_usec);
}

// Runs the clock thread body; the future is ready once it has returned.
std::future<void> start_clock(std::thread& thread) {
  std::packaged_task<void()> task(ferun::clock_thread);
  std::future<void> ended = task.get_future();
  thread = std::thread(std::move(task));
  return ended;
}

// Ends the process with 0 when `failure` is empty, otherwise prints it and ends with 1.
[[noreturn]] void finish(const std::string& failure) {
  fprintf(stderr, "%s", failure.c_str());
  fflush(stderr);
  _exit(failure.empty() ? 0 : 1);
}

std::string clock_tracks_the_wall_clock() {
  if (stime_t::g_timestamp.load() != 0) return "clock not 0 before the first pass";
  std::thread thread;
  std::future<void> ended = start_clock(thread);

  const auto deadline = std::chrono::steady_clock::now() + 10s;
  std::uint64_t first = 0;
  while ((first = stime_t::g_timestamp.load()) == 0) {
    if (std::chrono::steady_clock::now() > deadline) return "clock never written";
    std::this_thread::sleep_for(1ms);
  }
  // Within a generous bound of the wall clock: sanitizer builds are slow.
  const std::uint64_t now = wall_clock_us();
  if (first > now || now - first > 2000000u) return "clock far from the wall clock";

  // It keeps moving.
  while (stime_t::g_timestamp.load() == first) {
    if (std::chrono::steady_clock::now() > deadline) return "clock stands still";
    std::this_thread::sleep_for(1ms);
  }

  ferun::g_do_exit = true;
  if (ended.wait_for(10s) != std::future_status::ready) return "clock thread did not stop";
  thread.join();
  return "";
}

std::string clock_started_after_exit_writes_nothing() {
  ferun::g_do_exit = true;
  std::thread thread;
  std::future<void> ended = start_clock(thread);
  if (ended.wait_for(10s) != std::future_status::ready) return "clock thread did not end";
  thread.join();
  if (stime_t::g_timestamp.load() != 0) return "clock written with the exit flag set";
  return "";
}

}  // namespace

class Clock : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(Clock, TracksTheWallClockUntilTheExitFlag) {
  EXPECT_EXIT(finish(clock_tracks_the_wall_clock()), testing::ExitedWithCode(0), "^$");
}

TEST_F(Clock, StartedWithTheExitFlagSetEndsAtOnce) {
  EXPECT_EXIT(finish(clock_started_after_exit_writes_nothing()), testing::ExitedWithCode(0), "^$");
}
