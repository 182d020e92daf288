// Many consoles on one daemon: the cost of each connected sensor.
//
// For each console count N (100 and 500 by default) a fresh daemon is started on a free loopback
// port. Every console gets a spool directory of its own holding one spool file of event+packet
// pairs (1000 by default). The benchmark connects all N consoles, sends each its hello, and once
// every hello is answered sends every setup at once (paths as sent, from the first spool file);
// it then counts each console's event and packet messages until every console has all of its
// alerts. With everything caught up and all N consoles still connected, it reads the worker's
// threads and resident memory and the CPU time of the whole daemon (monitor and worker) over an
// idle window, and then, over a window as long, the CPU time of N threads of its own that only
// sleep 100 ms in a loop (what the wake-ups of N idle sensors cost at the least). Then it closes
// every console and reads threads and memory again. Finally, on a fresh daemon, it connects N
// consoles again and times the orderly stop (SIGTERM to the monitor) while every one of them is
// still receiving its alerts.
//
// Prints, per N: the time to connect, to answer every hello and to deliver every alert; the
// worker's threads; resident memory per connection (growth over the daemon with no console,
// divided by N); the daemon's idle CPU in percent of one core, next to that of the sleepers; and
// the orderly stop's time.
//
//   scale_bench [counts] [pairs] [directory]
//
// counts: console counts separated by commas ("100,500"); pairs: event+packet pairs in each
// console's spool (1000); directory: where the spools are written (a fresh temporary directory
// by default, removed at the end; a given one is kept).
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_util.h"
#include "common/daemon_launcher.h"
#include "proto/commands.h"
#include "proto/sensor_messages.h"

namespace fs = boost::filesystem;

namespace {

using bench::clock_type;
using bench::fail;
using bench::proc_status;
using bench::seconds_since;
using namespace std::chrono_literals;

constexpr uint16_t hello_answer_id = 0x81;
constexpr uint16_t setup_answer_id = 0x82;

// Every wait of the benchmark ends by itself.
constexpr auto connect_deadline = 60s;
constexpr auto hello_deadline = 120s;
constexpr auto alerts_deadline = 300s;
constexpr auto leave_deadline = 20s;
// After the last alert: time for every sensor to reach its idle sleep and for the statistics
// that follow each setup to have gone out; then the window over which idle CPU is measured.
constexpr auto settle_time = 2s;
constexpr auto idle_window = 10s;
// Statistics every 60 s: none falls inside the idle window.
constexpr uint32_t stats_period_ms = 60000;

double mib(long kib) {
  return kib / 1024.0;
}

// Waits until the worker runs `threads` threads (or fewer); the last count read.
long wait_threads(pid_t worker, long threads, std::chrono::seconds deadline) {
  const auto end = clock_type::now() + deadline;
  long now = proc_status(worker, "Threads");
  while (now > threads && clock_type::now() < end) {
    std::this_thread::sleep_for(50ms);
    now = proc_status(worker, "Threads");
  }
  return now;
}

// Room for N consoles in this process (the daemon, started afterwards, inherits the limit).
void raise_descriptor_limit(size_t consoles) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = static_cast<rlim_t>(2 * consoles + 256);
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < wanted)
    std::printf("note: open-file limit %lu is below the %lu wanted\n",
                static_cast<unsigned long>(limit.rlim_cur), static_cast<unsigned long>(wanted));
}

// One console: a loopback connection to the daemon, its unread bytes and what has arrived on it.
class console_t {
 public:
  explicit console_t(uint16_t port)
      : fd_(bench::connect_loopback(port, connect_deadline)), reader_(fd_, 1u << 17) {}
  ~console_t() { close(fd_); }
  console_t(const console_t&) = delete;
  console_t& operator=(const console_t&) = delete;

  int fd() const { return fd_; }
  void send(const ferun::command_t& cmd) { bench::send_command(fd_, cmd); }
  // One read (the caller knows bytes are waiting); see bench::frame_reader_t::pump.
  template <class F>
  bool pump(F&& on_frame) {
    return reader_.pump(std::forward<F>(on_frame));
  }

  bool hello_answered = false;
  bool setup_answered = false;
  size_t events = 0;
  size_t packets = 0;

 private:
  int fd_;
  bench::frame_reader_t reader_;
};

using consoles_t = std::vector<std::unique_ptr<console_t>>;

// Receives from every console until `done(console)` holds for all of them or `deadline` passes;
// `on_frame(console, id, body, length)` sees every frame. False on the deadline.
template <class Done, class OnFrame>
bool pump(consoles_t& consoles, std::chrono::seconds deadline, Done&& done, OnFrame&& on_frame) {
  const auto end = clock_type::now() + deadline;
  std::vector<pollfd> fds(consoles.size());
  for (;;) {
    size_t waiting = 0;
    for (size_t i = 0; i < consoles.size(); ++i) {
      const bool finished = done(*consoles[i]);
      // A negative descriptor is left out by poll.
      fds[i] = pollfd{finished ? -1 : consoles[i]->fd(), POLLIN, 0};
      if (!finished) ++waiting;
    }
    if (waiting == 0) return true;
    if (clock_type::now() >= end) return false;
    if (::poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) fail("poll");
    for (size_t i = 0; i < consoles.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      console_t& c = *consoles[i];
      if (!c.pump([&](uint16_t id, const unsigned char* body, size_t length) {
            on_frame(c, id, body, length);
          }))
        throw std::runtime_error("console " + std::to_string(i + 1) + " closed by the daemon");
    }
  }
}

ferun::answer_t answer_of(uint16_t id, const unsigned char* body, size_t length) {
  ferun::answer_t answer(id);
  answer.deserialize(body, static_cast<uint16_t>(length));
  return answer;
}

struct figures_t {
  size_t consoles = 0;
  double connect_s = 0, hello_s = 0, alerts_s = 0;
  long threads_none = 0, threads_all = 0, threads_after = 0;
  long rss_none_kib = 0, rss_all_kib = 0, rss_peak_kib = 0, rss_after_kib = 0;
  double idle_cpu_percent = 0;
  double sleepers_cpu_percent = 0;
};

// CPU time of this process's threads `tids`, in nanoseconds (see bench::proc_cpu_ns).
long long threads_cpu_ns(const std::vector<pid_t>& tids) {
  long long total = 0;
  for (const pid_t tid : tids) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    long long ns = 0;
    if (in >> ns) total += ns;
  }
  return total;
}

// What the wake-ups alone cost: `count` threads of this process that only sleep 100 ms in a
// loop, as an idle sensor does; their CPU over the idle window in percent of one core.
double sleepers_cpu_percent(size_t count) {
  std::atomic<bool> stop{false};
  std::vector<pid_t> tids(count);
  std::atomic<size_t> started{0};
  std::vector<std::thread> threads;
  for (size_t i = 0; i < count; ++i)
    threads.emplace_back([&stop, &started, &tid = tids[i]] {
      tid = static_cast<pid_t>(syscall(SYS_gettid));
      ++started;
      while (!stop) std::this_thread::sleep_for(100ms);
    });
  while (started < count) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(1s);
  const long long cpu0 = threads_cpu_ns(tids);
  const auto t0 = clock_type::now();
  std::this_thread::sleep_for(idle_window);
  const double percent = 100.0 * (threads_cpu_ns(tids) - cpu0) / 1e9 / seconds_since(t0);
  stop = true;
  for (std::thread& t : threads) t.join();
  return percent;
}

figures_t run(size_t count, size_t pairs, const std::string& spool, const fs::path& root) {
  figures_t f;
  f.consoles = count;
  const fs::path data = root / "data";
  fs::create_directories(data);
  bench::write_maps(root);
  for (size_t i = 0; i < count; ++i) {
    const fs::path dir = root / "spools" / std::to_string(i + 1);
    fs::create_directories(dir);
    u2w::spool_t((dir / "threats.log.1").string()).append(spool);
  }

  ferun_test::daemon_launcher_t launcher;
  const uint16_t port = ferun_test::daemon_launcher_t::free_port();
  launcher.start({"--port", std::to_string(port), "--datadir", data.string()});
  if (!launcher.wait_listening(port, 10s))
    throw std::runtime_error("the daemon does not listen: " + launcher.output());
  const pid_t monitor = launcher.pid();
  const pid_t worker = bench::worker_of(monitor);
  std::this_thread::sleep_for(500ms);
  f.threads_none = proc_status(worker, "Threads");
  f.rss_none_kib = proc_status(worker, "VmRSS");

  consoles_t consoles;
  const auto t_connect = clock_type::now();
  for (size_t i = 0; i < count; ++i) consoles.push_back(std::make_unique<console_t>(port));
  f.connect_s = seconds_since(t_connect);

  // The hellos; each answer waits for the host-description script the daemon runs.
  const auto t_hello = clock_type::now();
  for (size_t i = 0; i < count; ++i) {
    ferun::command_hello_t h;
    h.version = 1;
    h.prefix = "scale";
    h.sensor_id = static_cast<uint32_t>(i + 1);
    h.sensor_name = "scale-" + std::to_string(i + 1);
    consoles[i]->send(h);
  }
  if (!pump(
          consoles, hello_deadline, [](const console_t& c) { return c.hello_answered; },
          [](console_t& c, uint16_t id, const unsigned char* body, size_t length) {
            if (id != hello_answer_id) return;
            const ferun::answer_t answer = answer_of(id, body, length);
            if (answer.status != 0) throw std::runtime_error("hello refused: " + answer.message);
            c.hello_answered = true;
          }))
    throw std::runtime_error("not every hello was answered in time");
  f.hello_s = seconds_since(t_hello);

  // Every setup at once; then every alert of every console.
  const auto t_alerts = clock_type::now();
  for (size_t i = 0; i < count; ++i) {
    ferun::command_setup_t s;
    s.stats_period = stats_period_ms;
    s.options = 0x2;  // paths as sent
    s.logdir = (root / "spools" / std::to_string(i + 1)).string();
    s.logpattern = "threats.log";
    s.sidmap = (root / "sid-msg.map").string();
    s.genmap = (root / "gen-msg.map").string();
    s.logtimestamp = 0;  // from the first spool file
    consoles[i]->send(s);
  }
  const bool all = pump(
      consoles, alerts_deadline,
      [pairs](const console_t& c) {
        return c.setup_answered && c.events >= pairs && c.packets >= pairs;
      },
      [](console_t& c, uint16_t id, const unsigned char* body, size_t length) {
        if (id == ferun::command_event_t::message_id) {
          ++c.events;
        } else if (id == ferun::command_packet_t::message_id) {
          ++c.packets;
        } else if (id == setup_answer_id) {
          const ferun::answer_t answer = answer_of(id, body, length);
          if (answer.status != 0) throw std::runtime_error("setup refused: " + answer.message);
          c.setup_answered = true;
        }
      });
  f.alerts_s = seconds_since(t_alerts);
  if (!all) {
    size_t complete = 0;
    for (const auto& c : consoles) complete += c->events >= pairs && c->packets >= pairs;
    throw std::runtime_error(std::to_string(complete) + " of " + std::to_string(count) +
                             " consoles had every alert after " +
                             std::to_string(alerts_deadline.count()) + " s");
  }

  // Everyone connected and caught up: threads, memory, and the CPU of the idle daemon.
  std::this_thread::sleep_for(settle_time);
  std::printf("%zu consoles caught up; measuring the idle daemon for %lld s ...\n", count,
              static_cast<long long>(idle_window.count()));
  std::fflush(stdout);
  f.threads_all = proc_status(worker, "Threads");
  f.rss_all_kib = proc_status(worker, "VmRSS");
  f.rss_peak_kib = proc_status(worker, "VmHWM");
  const long long ticks0 = bench::proc_cpu_ticks(monitor) + bench::proc_cpu_ticks(worker);
  const auto idle_t0 = clock_type::now();
  std::this_thread::sleep_for(idle_window);
  const long long ticks = bench::proc_cpu_ticks(monitor) + bench::proc_cpu_ticks(worker) - ticks0;
  f.idle_cpu_percent =
      100.0 * ticks / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds_since(idle_t0);
  // The same window for as many threads that only sleep, with the daemon still idle.
  std::printf("measuring %zu sleeping threads for %lld s ...\n", count,
              static_cast<long long>(idle_window.count()));
  std::fflush(stdout);
  f.sleepers_cpu_percent = sleepers_cpu_percent(count);
  // Anything that arrived meanwhile (statistics) is dropped with the connections.
  if (proc_status(worker, "Threads") < f.threads_all)
    throw std::runtime_error("a connection ended while idle: " + launcher.output().substr(0, 2000));

  // Every console leaves; the daemon should come back to where it started.
  consoles.clear();
  f.threads_after = wait_threads(worker, f.threads_none, leave_deadline);
  std::this_thread::sleep_for(500ms);
  f.rss_after_kib = proc_status(worker, "VmRSS");

  launcher.stop();
  return f;
}

// The orderly stop under load: N consoles connected, every one of them still receiving its
// alerts, then SIGTERM to the monitor. Seconds until the monitor has exited.
double measure_stop(size_t count, const fs::path& root) {
  ferun_test::daemon_launcher_t launcher;
  const uint16_t port = ferun_test::daemon_launcher_t::free_port();
  launcher.start({"--port", std::to_string(port), "--datadir", (root / "data").string()});
  if (!launcher.wait_listening(port, 10s))
    throw std::runtime_error("the daemon does not listen: " + launcher.output());
  consoles_t consoles;
  for (size_t i = 0; i < count; ++i) {
    consoles.push_back(std::make_unique<console_t>(port));
    ferun::command_hello_t h;
    h.version = 1;
    h.prefix = "stop";
    h.sensor_id = static_cast<uint32_t>(i + 1);
    consoles.back()->send(h);
    ferun::command_setup_t s;
    s.options = 0x2;
    s.logdir = (root / "spools" / std::to_string(i + 1)).string();
    s.logpattern = "threats.log";
    s.sidmap = (root / "sid-msg.map").string();
    s.genmap = (root / "gen-msg.map").string();
    consoles.back()->send(s);
  }
  // Busy: every console has had alerts and more are on their way (the spools are far larger).
  if (!pump(
          consoles, alerts_deadline, [](const console_t& c) { return c.events >= 10; },
          [](console_t& c, uint16_t id, const unsigned char*, size_t) {
            c.events += id == ferun::command_event_t::message_id;
          }))
    throw std::runtime_error("not every console had alerts in time");
  const auto t_stop = clock_type::now();
  launcher.send_signal(SIGTERM);
  if (!launcher.wait_exit(30s)) throw std::runtime_error("the daemon did not stop in 30 s");
  return seconds_since(t_stop);
}

void print(const figures_t& f, size_t pairs) {
  const double n = static_cast<double>(f.consoles);
  const double per_connection = mib(f.rss_all_kib - f.rss_none_kib) / n;
  std::printf("\n%zu consoles, %zu event+packet pairs each\n", f.consoles, pairs);
  std::printf("  connected in %.2f s; every hello answered in %.2f s\n", f.connect_s, f.hello_s);
  std::printf("  every console has its alerts %.2f s after the setups (%.0f alerts/s in all)\n",
              f.alerts_s, n * pairs / f.alerts_s);
  std::printf(
      "  worker threads: %ld without consoles, %ld with all connected, %ld after they left\n",
      f.threads_none, f.threads_all, f.threads_after);
  std::printf(
      "  worker resident: %.1f MiB without consoles, %.1f MiB with all connected "
      "(peak %.1f MiB), %.1f MiB after they left\n",
      mib(f.rss_none_kib), mib(f.rss_all_kib), mib(f.rss_peak_kib), mib(f.rss_after_kib));
  std::printf("  resident memory per connection: %.3f MiB (goal under 2 MiB): %s\n", per_connection,
              per_connection < 2.0 ? "met" : "NOT met");
  std::printf("  idle CPU, all connected: %.2f%% of one core over %lld s (goal under 5%%): %s\n",
              f.idle_cpu_percent, static_cast<long long>(idle_window.count()),
              f.idle_cpu_percent < 5.0 ? "met" : "NOT met");
  std::printf("  %zu threads that only sleep 100 ms in a loop, same window: %.2f%% of one core\n",
              f.consoles, f.sleepers_cpu_percent);
}

std::vector<size_t> parse_counts(const std::string& text) {
  std::vector<size_t> counts;
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const size_t n = std::strtoul(item.c_str(), nullptr, 10);
    if (n == 0) throw std::runtime_error("bad console count: " + item);
    counts.push_back(n);
  }
  return counts;
}

}  // namespace

int main(int argc, char** argv) {
  int rc = 0;
  const bool own_root = argc <= 3;
  const fs::path root =
      own_root ? fs::temp_directory_path() / fs::unique_path("ferun-scale-bench-%%%%-%%%%")
               : fs::path(argv[3]);
  try {
    const std::vector<size_t> counts = parse_counts(argc > 1 ? argv[1] : "100,500");
    const size_t pairs = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000;
    if (pairs == 0) throw std::runtime_error("bad pair count");
    size_t most = 0;
    for (size_t n : counts) most = std::max(most, n);
    raise_descriptor_limit(most);

    const std::string spool = bench::spool_bytes(pairs, {100, true});
    std::printf("each console's spool: %zu pairs, %.2f MB\n", pairs, spool.size() / 1e6);
    for (size_t n : counts) {
      const fs::path dir = root / ("consoles-" + std::to_string(n));
      fs::remove_all(dir);
      const figures_t f = run(n, pairs, spool, dir);
      print(f, pairs);
      std::printf("  orderly stop (SIGTERM) with %zu consoles receiving alerts: %.2f s\n", n,
                  measure_stop(n, dir));
      std::fflush(stdout);
      if (own_root) fs::remove_all(dir);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "scale_bench: %s (files kept in %s)\n", e.what(), root.c_str());
    rc = 1;
  }
  if (own_root && rc == 0) fs::remove_all(root);
  return rc;
}
