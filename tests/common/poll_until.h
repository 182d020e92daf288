// Waiting for a condition that another thread or process brings about.
#pragma once

#include <chrono>
#include <thread>

namespace ferun_test {

// Polls `done` every 5 ms until it holds or `deadline` has passed; whether it held.
template <class F>
bool poll_until(F done, std::chrono::milliseconds deadline) {
  using clock = std::chrono::steady_clock;
  for (const auto end = clock::now() + deadline; !done();
       std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (clock::now() >= end) return false;
  return true;
}

}  // namespace ferun_test
