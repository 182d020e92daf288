#include "service/clock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

// Runs the clock thread in a process of its own (the exit flag is never cleared) and exits with 0
// when it behaved: 0 before its first pass, near the wall clock and moving, ended by the flag.
[[noreturn]] void run_clock(bool exit_first) {
  const auto check = [](bool ok, const char* why) {
    if (ok) return;
    fprintf(stderr, "%s", why);
    _exit(1);
  };
  const auto wait = [](auto done) {
    for (auto end = steady_clock::now() + 10s; !done() && steady_clock::now() < end;)
      std::this_thread::sleep_for(1ms);
    return done();
  };
  check(stime_t::g_timestamp == 0, "clock not 0 before its first pass");
  ferun::g_do_exit = exit_first;
  std::packaged_task<void()> task(ferun::clock_thread);
  std::future<void> ended = task.get_future();
  std::thread thread(std::move(task));
  if (!exit_first) {
    check(wait([] { return stime_t::g_timestamp != 0; }), "clock never written");
    const std::uint64_t first = stime_t::g_timestamp;
    const auto now = static_cast<std::uint64_t>(
        duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
    check(first <= now && now - first < 2000000u, "clock far from the wall clock");
    check(wait([&] { return stime_t::g_timestamp != first; }), "clock stands still");
    ferun::g_do_exit = true;
  }
  check(ended.wait_for(10s) == std::future_status::ready, "clock thread did not stop");
  thread.join();
  check(!exit_first || stime_t::g_timestamp == 0, "clock written with the exit flag set");
  _exit(0);
}

}  // namespace

TEST(Clock, TracksTheWallClockUntilTheExitFlag) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const bool exit_first : {false, true}) {
    SCOPED_TRACE(exit_first ? "exit flag set before the start" : "exit flag set later");
    EXPECT_EXIT(run_clock(exit_first), testing::ExitedWithCode(0), "^$");
  }
}
