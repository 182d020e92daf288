// Pieces the benchmark programs share: timing, synthetic spools and their maps, what /proc says
// about the daemon's processes, and a console's side of a loopback connection.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/daemon_launcher.h"
#include "common/u2_writer.h"
#include "proto/commands.h"

namespace bench {

using clock_type = std::chrono::steady_clock;

inline double seconds_since(clock_type::time_point t) {
  return std::chrono::duration<double>(clock_type::now() - t).count();
}

// Throws `what` with the text of errno.
[[noreturn]] inline void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// ---- Synthetic spools ----

// Packet sizes seen in real spools: handshakes, small requests, full-size segments.
constexpr size_t payloads[] = {12, 20, 96, 536, 1460};

// An Ethernet frame from 06:07:08:09:0a:0b to 00:01:02:03:04:05 carrying a TCP segment (PSH ACK)
// from 10.0.0.1:40000 to 10.0.0.2:80 with `payload` zero bytes.
inline std::string ipv4_frame(size_t payload) {
  std::string f;
  for (char mac = 0; mac < 12; ++mac) f += mac;
  // Ether type IPv4; version, header length, TOS, length; id, fragment; TTL, protocol, checksum;
  // addresses; ports; sequence and acknowledgement numbers; offset, flags, window; checksum,
  // urgent pointer.
  f += std::string("\x08\x00", 2) +
       u2w::words({0x45000000u | static_cast<uint32_t>(40 + payload), 0, 64u << 24 | 6u << 16,
                   0x0a000001, 0x0a000002, 40000u << 16 | 80, 1000, 2000, 0x5018ffff, 0});
  return f.append(payload, '\0');
}

struct spool_shape_t {
  // Consecutive pairs stamped with the same second.
  uint32_t pairs_per_second = 1000;
  // Signature ids 1000001 to 1000005 in turn (the ones write_maps names); false leaves every
  // event at the writer's default id.
  bool signatures = true;
  // Payload bytes of every packet; 0 cycles through `payloads`.
  size_t payload = 0;
};

// Hands `sink(bytes)` the records of `pairs` event+packet pairs, in pieces of a little over 1 MiB
// (the last one shorter, possibly empty).
template <class Sink>
void spool_records(size_t pairs, const spool_shape_t& shape, Sink&& sink) {
  std::string frames[std::size(payloads)];
  for (size_t i = 0; i < std::size(payloads); ++i)
    frames[i] = ipv4_frame(shape.payload ? shape.payload : payloads[i]);
  u2w::event_t e;
  u2w::packet_t p;
  std::string chunk;
  for (size_t i = 0; i < pairs; ++i) {
    e.event_id = p.event_id = static_cast<uint32_t>(i + 1);
    e.second = p.event_second = p.second =
        1700000000 + static_cast<uint32_t>(i / shape.pairs_per_second);
    if (shape.signatures) e.signature_id = 1000001 + static_cast<uint32_t>(i % 5);
    p.data = frames[i % std::size(payloads)];
    chunk += u2w::encode(e);
    chunk += u2w::encode(p);
    if (chunk.size() > (1u << 20)) {
      sink(chunk);
      chunk.clear();
    }
  }
  sink(chunk);
}

// The whole spool in memory.
inline std::string spool_bytes(size_t pairs, const spool_shape_t& shape) {
  std::string bytes;
  spool_records(pairs, shape, [&](const std::string& piece) { bytes += piece; });
  return bytes;
}

// The spool written to a new (or emptied) file at `path`.
inline void write_spool(const std::string& path, size_t pairs, const spool_shape_t& shape) {
  u2w::spool_t spool(path);
  spool_records(pairs, shape, [&](const std::string& piece) { spool.append(piece); });
}

// "sid-msg.map" naming the five signatures of the spools, and "gen-msg.map", in `dir`.
inline void write_maps(const boost::filesystem::path& dir) {
  ferun_test::write_file(
      dir / "sid-msg.map",
      "1000001 || BENCH first rule || url,example.com/1\n"
      "1000002 || BENCH second rule with a longer message text\n"
      "1000003 || POLICY third rule\n"
      "1000004 || BENCH fourth rule\n"
      "1000005 || MALWARE-CNC fifth rule, a message of typical length for a signature\n");
  ferun_test::write_file(dir / "gen-msg.map", "1 || 1 || snort general alert\n");
}

// ---- /proc ----

// A value in KiB ("VmRSS", "VmHWM") or a count ("Threads") from /proc/PID/status; -1 if absent.
inline long proc_status(pid_t pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(in, line))
    if (line.compare(0, prefix.size(), prefix) == 0) return std::atol(line.c_str() + prefix.size());
  return -1;
}

// utime + stime of a process (all its threads), in clock ticks.
inline long long proc_cpu_ticks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return 0;
  std::istringstream rest(text.substr(close_paren + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15; ++i) {
    rest >> field;
    if (i == 14) utime = std::atoll(field.c_str());
    if (i == 15) stime = std::atoll(field.c_str());
  }
  return utime + stime;
}

// CPU time of a process in nanoseconds: the sum over its live threads of what
// /proc/PID/task/TID/schedstat counts (finer than the clock ticks of proc_cpu_ticks; a thread
// that ended meanwhile drops out, so compare only windows in which the threads stay the same).
inline long long proc_cpu_ns(pid_t pid) {
  long long total = 0;
  const boost::filesystem::path tasks("/proc/" + std::to_string(pid) + "/task");
  boost::system::error_code error;
  for (boost::filesystem::directory_iterator it(tasks, error), end; !error && it != end;
       it.increment(error)) {
    std::ifstream in((it->path() / "schedstat").string());
    long long ns = 0;
    if (in >> ns) total += ns;
  }
  return total;
}

// The daemon's worker: the monitor's child, waited for up to 10 s.
inline pid_t worker_of(pid_t monitor) {
  const auto deadline = clock_type::now() + std::chrono::seconds(10);
  while (clock_type::now() < deadline) {
    std::ifstream in("/proc/" + std::to_string(monitor) + "/task/" + std::to_string(monitor) +
                     "/children");
    pid_t child = 0;
    if (in >> child && child > 0) return child;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("no worker process");
}

// ---- A console's connection ----

// A connection to 127.0.0.1:`port`, tried again every 20 ms until `timeout` has passed.
inline int connect_loopback(uint16_t port, std::chrono::seconds timeout) {
  const auto deadline = clock_type::now() + timeout;
  for (;;) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    const int error = errno;
    close(fd);
    errno = error;
    if (clock_type::now() > deadline) fail("connect");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// All `n` bytes to the socket `fd`; a closed peer raises instead of signalling.
inline void send_all(int fd, const unsigned char* data, size_t n) {
  while (n > 0) {
    const ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EINTR) continue;
      fail("send");
    }
    data += w;
    n -= static_cast<size_t>(w);
  }
}

// One frame: the command's id and body length (little-endian), then its body.
inline void send_command(int fd, const ferun::command_t& cmd) {
  unsigned char frame[4096];
  const uint16_t len = cmd.serialize(frame + 4, sizeof frame - 4);
  frame[0] = static_cast<unsigned char>(cmd.id);
  frame[1] = static_cast<unsigned char>(cmd.id >> 8);
  frame[2] = static_cast<unsigned char>(len);
  frame[3] = static_cast<unsigned char>(len >> 8);
  send_all(fd, frame, 4u + len);
}

// Reads frames off a console connection in large chunks, without copying their bodies.
class frame_reader_t {
 public:
  frame_reader_t(int fd, size_t buffer_size) : fd_(fd), buf_(buffer_size) {}

  // One read; `on_frame(id, body, length)` for every whole frame, bodies seen in place. False
  // when the daemon closed the connection.
  template <class F>
  bool pump(F&& on_frame) {
    if (begin_ > 0) {
      memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    const ssize_t n = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) return true;
      if (errno == ECONNRESET) return false;
      fail("read");
    }
    if (n == 0) return false;
    end_ += static_cast<size_t>(n);
    while (end_ - begin_ >= 4) {
      const unsigned char* h = buf_.data() + begin_;
      const uint16_t id = static_cast<uint16_t>(h[0] | h[1] << 8);
      const size_t len = static_cast<size_t>(h[2] | h[3] << 8);
      if (end_ - begin_ < 4 + len) break;
      on_frame(id, h + 4, len);
      begin_ += 4 + len;
    }
    return true;
  }

 private:
  int fd_;
  std::vector<unsigned char> buf_;
  size_t begin_ = 0, end_ = 0;
};

}  // namespace bench
