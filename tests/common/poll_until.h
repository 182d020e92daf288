// Waiting for a condition that another thread or process brings about.
#pragma once

#include <chrono>
#include <thread>

namespace ferun_test {

// Polls `done` every 5 ms until it holds or `deadline` has passed; whether it held.
template <class F>
bool poll_until(F done, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace ferun_test
