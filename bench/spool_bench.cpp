// End-to-end catch-up of the real daemon against the I/O floor, for two shapes of alert.
//
// Writes two spools of event+packet pairs (1,000,000 by default) into two sensor directories:
// "large" packets of the usual mix of sizes (handshakes to full segments), and "small" packets
// carrying 40 bytes of payload each (scans and probes, where the per-alert work dominates).
// Starts the built `ferun` on a free loopback port and, for each shape, connects as that
// sensor's console, sends the hello and a setup and counts every event and packet message until
// the last one has arrived (timed from the setup's answer), reading the worker's CPU time
// meanwhile. After the large run, with its console still connected, it measures what one more
// connected idle sensor costs (resident memory, and the worker's CPU with the two idle sensors).
// Once the daemon has stopped, the floor of each shape: the same file read with read() in
// 64 KiB chunks and written with send() to a loopback TCP socket whose peer reads and discards
// it, best of three. Prints per shape alerts/s (an alert is one event+packet pair), catch-up and
// floor times and their ratio, the worker's CPU per alert, and the worker's peak resident memory.
//
//   spool_bench [pairs] [directory]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "common/daemon_launcher.h"
#include "proto/commands.h"
#include "proto/sensor_messages.h"

namespace fs = boost::filesystem;

namespace {

using bench::clock_type;
using bench::connect_loopback;
using bench::fail;
using bench::frame_reader_t;
using bench::proc_status;
using bench::seconds_since;
using bench::send_command;

ferun::answer_t wait_answer(frame_reader_t& reader, uint16_t id) {
  ferun::answer_t answer(0);
  bool got = false;
  while (!got) {
    if (!reader.pump([&](uint16_t fid, const unsigned char* body, size_t len) {
          if (fid != id) return;
          answer.id = fid;
          answer.deserialize(body, static_cast<uint16_t>(len));
          got = true;
        }))
      throw std::runtime_error("connection closed while waiting for an answer");
  }
  return answer;
}

ferun::command_hello_t hello(uint32_t id) {
  ferun::command_hello_t h;
  h.version = 1;
  h.prefix = "bench";
  h.sensor_id = id;
  h.sensor_name = "bench";
  return h;
}

ferun::command_setup_t setup(uint32_t period_ms) {
  ferun::command_setup_t s;
  s.stats_period = period_ms;
  s.logdir = "spool";
  s.logpattern = "threats.log";
  s.sidmap = "sid-msg.map";
  s.genmap = "gen-msg.map";
  return s;
}

// The floor: the spool file through read() in 64 KiB chunks into a loopback socket whose peer
// reads and discards. Seconds until the peer has everything.
double io_floor(const std::string& path, uint64_t size) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail("bind");
  listen(listener, 1);
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  const int out = connect_loopback(ntohs(a.sin_port), std::chrono::seconds(5));
  const int in = accept(listener, nullptr, nullptr);
  close(listener);

  const auto t0 = clock_type::now();
  std::thread sink([in, size] {
    std::vector<char> buf(1u << 18);
    uint64_t got = 0;
    while (got < size) {
      const ssize_t n = ::read(in, buf.data(), buf.size());
      if (n <= 0) break;
      got += static_cast<uint64_t>(n);
    }
  });
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<unsigned char> chunk(64 * 1024);
  for (;;) {
    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n <= 0) break;
    bench::send_all(out, chunk.data(), static_cast<size_t>(n));
  }
  close(fd);
  sink.join();
  const double elapsed = seconds_since(t0);
  close(out);
  close(in);
  return elapsed;
}

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

struct shape_t {
  const char* name;
  uint32_t sensor_id;
  size_t payload;  // see bench::spool_shape_t
  std::string spool_path;
  uint64_t spool_size = 0;
};

struct catch_up_t {
  double answer_seconds = 0;       // from the setup to its answer
  double seconds = 0;              // from the setup's answer to the last packet message
  double cpu_seconds = 0;          // the worker's, all threads, from the setup to the last message
  double console_cpu_seconds = 0;  // the console's (this thread's) over the same time
  uint64_t bytes = 0;              // received in frames, headers included
};

// Sends the setup to a hello'd console and counts its event and packet messages up to the last.
// The catch-up is timed from the setup's answer: a sensor waiting for its setup looks at the
// connection only every 100 ms, a wait that says nothing about the cost of the alerts.
catch_up_t catch_up(int console, frame_reader_t& reader, pid_t worker, size_t pairs) {
  size_t events = 0, packets = 0;
  catch_up_t r;
  const long long cpu0 = bench::proc_cpu_ns(worker);
  const double console0 = thread_cpu_seconds();
  const auto t0 = clock_type::now();
  auto t_answer = t0;
  send_command(console, setup(60000));
  while (events < pairs || packets < pairs) {
    if (!reader.pump([&](uint16_t id, const unsigned char*, size_t len) {
          r.bytes += 4 + len;
          if (id == ferun::command_event_t::message_id) ++events;
          if (id == ferun::command_packet_t::message_id) ++packets;
          if (id == 0x82) t_answer = clock_type::now();
        }))
      throw std::runtime_error("connection closed during catch-up");
  }
  r.seconds = seconds_since(t_answer);
  r.answer_seconds = std::chrono::duration<double>(t_answer - t0).count();
  r.cpu_seconds = (bench::proc_cpu_ns(worker) - cpu0) / 1e9;
  r.console_cpu_seconds = thread_cpu_seconds() - console0;
  return r;
}

// A console connection whose hello for sensor `id` has been answered; closed with the object.
struct console_t {
  console_t(uint16_t port, uint32_t id)
      : fd(connect_loopback(port, std::chrono::seconds(10))), reader(fd, 1u << 20) {
    send_command(fd, hello(id));
    if (wait_answer(reader, 0x81).status != 0) throw std::runtime_error("hello refused");
  }
  ~console_t() { close(fd); }
  console_t(const console_t&) = delete;
  console_t& operator=(const console_t&) = delete;

  int fd;
  frame_reader_t reader;
};

}  // namespace

int main(int argc, char** argv) {
  const size_t pairs = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
  const bool own_root = argc <= 2;
  const fs::path root =
      own_root ? fs::temp_directory_path() / fs::unique_path("ferun-spool-bench-%%%%-%%%%")
               : fs::path(argv[2]);
  const fs::path data = root / "data";
  shape_t shapes[] = {{"large", 1, 0, {}}, {"small", 3, 40, {}}};
  fs::create_directories(data / "bench-2");
  bench::write_maps(data / "bench-2");
  for (shape_t& shape : shapes) {
    const fs::path dir = data / ("bench-" + std::to_string(shape.sensor_id));
    fs::create_directories(dir / "spool");
    bench::write_maps(dir);
    shape.spool_path = (dir / "spool" / "threats.log.1").string();
    std::printf("writing %zu event+packet pairs (%s packets) ...\n", pairs, shape.name);
    std::fflush(stdout);
    bench::write_spool(shape.spool_path, pairs, {1000, true, shape.payload});
    shape.spool_size = fs::file_size(shape.spool_path);
  }

  const uint16_t port = ferun_test::daemon_launcher_t::free_port();
  const std::string program = std::string(FERUN_BINARY_DIR) + "/ferun";
  const std::string log_path = (root / "daemon.log").string();
  const pid_t monitor = fork();
  if (monitor == 0) {
    setpgid(0, 0);
    const int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(log_fd, 1);
    dup2(log_fd, 2);
    const std::string port_text = std::to_string(port);
    execl(program.c_str(), program.c_str(), "--port", port_text.c_str(), "--datadir", data.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }

  int rc = 0;
  catch_up_t runs[std::size(shapes)];
  long peak_kib = 0, rss_before = 0, rss_after = 0;
  double idle_cpu = 0;
  try {
    const pid_t worker = bench::worker_of(monitor);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long threads = proc_status(worker, "Threads");
    for (size_t s = 0; s < std::size(shapes); ++s) {
      // The threads of the last run's consoles gone first: proc_cpu_ns counts live threads only.
      const auto deadline = clock_type::now() + std::chrono::seconds(10);
      while (proc_status(worker, "Threads") > threads && clock_type::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      console_t console(port, shapes[s].sensor_id);
      runs[s] = catch_up(console.fd, console.reader, worker, pairs);
      if (s == 0) {
        peak_kib = proc_status(worker, "VmHWM");
        // A second, idle sensor: its resident cost, then the CPU of the whole worker while both
        // idle.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        rss_before = proc_status(worker, "VmRSS");
        console_t idle(port, 2);
        send_command(idle.fd, setup(60000));
        if (wait_answer(idle.reader, 0x82).status != 0) throw std::runtime_error("setup refused");
        std::this_thread::sleep_for(std::chrono::seconds(1));  // past the first statistics
        rss_after = proc_status(worker, "VmRSS");
        const long long cpu0 = bench::proc_cpu_ns(worker);
        const auto idle_t0 = clock_type::now();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        idle_cpu = 100.0 * (bench::proc_cpu_ns(worker) - cpu0) / 1e9 / seconds_since(idle_t0);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "spool_bench: %s (daemon log: %s)\n", e.what(), log_path.c_str());
    rc = 1;
  }

  kill(-monitor, SIGTERM);
  int status = 0;
  waitpid(monitor, &status, 0);

  if (rc == 0) {
    for (size_t s = 0; s < std::size(shapes); ++s) {
      const shape_t& shape = shapes[s];
      double floor = 0;
      for (int i = 0; i < 3; ++i) {
        const double t = io_floor(shape.spool_path, shape.spool_size);
        if (i == 0 || t < floor) floor = t;
      }
      const catch_up_t& r = runs[s];
      std::printf(
          "%s packets, %.1f MB: setup answered in %.3f s, then catch-up %.3f s (%.0f alerts/s); "
          "floor %.3f s (%.0f MB/s, best of 3); catch-up / floor = %.2f; worker CPU %.3f us per "
          "alert; console received %.1f MB, its CPU %.3f us per alert\n",
          shape.name, shape.spool_size / 1e6, r.answer_seconds, r.seconds, pairs / r.seconds, floor,
          shape.spool_size / 1e6 / floor, r.seconds / floor, 1e6 * r.cpu_seconds / pairs,
          r.bytes / 1e6, 1e6 * r.console_cpu_seconds / pairs);
    }
    std::printf("worker peak RSS after the large run: %.1f MiB\n", peak_kib / 1024.0);
    std::printf("idle sensor: %+.2f MiB resident; worker with two idle sensors: %.2f%% of a core\n",
                (rss_after - rss_before) / 1024.0, idle_cpu);
  }
  if (own_root && rc == 0) fs::remove_all(root);
  return rc;
}
