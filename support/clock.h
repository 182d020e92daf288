// The process-wide exit flag and coarse clock, shared without locks: both are lock-free atomics,
// so the flag can be set from a signal handler and the clock is never read half-written.
#pragma once

#include <atomic>
#include <cstdint>

namespace ferun {

// Set once (by a signal handler or the monitor) and never cleared; every service loop tests it.
extern std::atomic<bool> g_do_exit;

// Body of the clock thread: stores the wall clock in stime_t::g_timestamp about every 10 ms until
// the exit flag is set.
void clock_thread();

}  // namespace ferun

struct stime_t {
  // Microseconds since the epoch; 0 until the process's clock thread first writes it.
  static std::atomic<std::uint64_t> g_timestamp;
};

static_assert(std::atomic<bool>::is_always_lock_free, "the exit flag is set from a signal handler");
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the clock must be lock-free");
