#include "support/clock.h"

#include <sys/time.h>
#include <unistd.h>

namespace ferun {

std::atomic<bool> g_do_exit{false};

void clock_thread() {
  while (!g_do_exit.load()) {
    timeval now{};
    gettimeofday(&now, nullptr);
    stime_t::g_timestamp.store(static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                               static_cast<std::uint64_t>(now.tv_usec));
    usleep(10000);
  }
}

}  // namespace ferun

std::atomic<std::uint64_t> stime_t::g_timestamp{0};
