// End-to-end catch-up of the real daemon against the I/O floor.
//
// Writes a spool of event+packet pairs (1,000,000 by default) into a sensor directory, starts the
// built `ferun` on a free loopback port, connects as the console, sends the hello and a setup and
// counts every event and packet message until the last one has arrived. Then, in the same run,
// the floor: the same file read with read() in 64 KiB chunks and written with send() to a
// loopback TCP socket whose peer reads and discards it. Prints alerts/s, the catch-up and floor
// times and their ratio, the worker's peak resident memory, and what one connected idle sensor
// costs (resident memory and CPU).
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
using bench::proc_cpu_ticks;
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

}  // namespace

int main(int argc, char** argv) {
  const size_t pairs = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
  const bool own_root = argc <= 2;
  const fs::path root =
      own_root ? fs::temp_directory_path() / fs::unique_path("ferun-spool-bench-%%%%-%%%%")
               : fs::path(argv[2]);
  const fs::path data = root / "data";
  const fs::path sensor1 = data / "bench-1";
  const fs::path sensor2 = data / "bench-2";
  fs::create_directories(sensor1 / "spool");
  fs::create_directories(sensor2);
  bench::write_maps(sensor1);
  bench::write_maps(sensor2);
  const std::string spool_path = (sensor1 / "spool" / "threats.log.1").string();

  std::printf("writing %zu event+packet pairs ...\n", pairs);
  bench::write_spool(spool_path, pairs, {1000, true});
  const uint64_t spool_size = fs::file_size(spool_path);
  std::printf("spool: %.1f MB\n", spool_size / 1e6);

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
  try {
    const int console = connect_loopback(port, std::chrono::seconds(10));
    const pid_t worker = bench::worker_of(monitor);
    frame_reader_t reader(console, 1u << 20);
    send_command(console, hello(1));
    if (wait_answer(reader, 0x81).status != 0) throw std::runtime_error("hello refused");

    // Catch-up: from the setup to the last packet message.
    size_t events = 0, packets = 0;
    const auto t0 = clock_type::now();
    send_command(console, setup(60000));
    while (events < pairs || packets < pairs) {
      if (!reader.pump([&](uint16_t id, const unsigned char*, size_t) {
            if (id == ferun::command_event_t::message_id) ++events;
            if (id == ferun::command_packet_t::message_id) ++packets;
            if (id == 0x82) {
            }
          }))
        throw std::runtime_error("connection closed during catch-up");
    }
    const double catch_up = seconds_since(t0);
    const long peak_kib = proc_status(worker, "VmHWM");

    // A second, idle sensor: its resident cost, then the CPU of the whole worker while both idle.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long rss_before = proc_status(worker, "VmRSS");
    const int idle = connect_loopback(port, std::chrono::seconds(5));
    frame_reader_t idle_reader(idle, 1u << 20);
    send_command(idle, hello(2));
    if (wait_answer(idle_reader, 0x81).status != 0) throw std::runtime_error("hello refused");
    send_command(idle, setup(60000));
    if (wait_answer(idle_reader, 0x82).status != 0) throw std::runtime_error("setup refused");
    std::this_thread::sleep_for(std::chrono::seconds(1));  // past the first statistics
    const long rss_after = proc_status(worker, "VmRSS");
    const long long ticks0 = proc_cpu_ticks(worker);
    const auto idle_t0 = clock_type::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double idle_cpu = 100.0 * (proc_cpu_ticks(worker) - ticks0) /
                            static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds_since(idle_t0);
    close(idle);
    close(console);

    const double floor = io_floor(spool_path, spool_size);

    std::printf("catch-up: %zu alerts (%zu events, %zu packets) in %.3f s: %.0f alerts/s\n", pairs,
                events, packets, catch_up, pairs / catch_up);
    std::printf("I/O floor: %.1f MB in %.3f s (%.0f MB/s); catch-up / floor = %.2f\n",
                spool_size / 1e6, floor, spool_size / 1e6 / floor, catch_up / floor);
    std::printf("worker peak RSS: %.1f MiB\n", peak_kib / 1024.0);
    std::printf("idle sensor: %+.2f MiB resident; worker with two idle sensors: %.2f%% of a core\n",
                (rss_after - rss_before) / 1024.0, idle_cpu);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "spool_bench: %s (daemon log: %s)\n", e.what(), log_path.c_str());
    rc = 1;
  }

  kill(-monitor, SIGTERM);
  int status = 0;
  waitpid(monitor, &status, 0);
  if (own_root && rc == 0) fs::remove_all(root);
  return rc;
}
