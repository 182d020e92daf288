#include "common/console_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace ferun_test {

namespace {

using clock_type = std::chrono::steady_clock;

[[noreturn]] void raise_errno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

int connect_once(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) raise_errno("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  const int error = errno;
  ::close(fd);
  errno = error;
  return -1;
}

}  // namespace

console_client_t::console_client_t(std::uint16_t port, std::chrono::milliseconds timeout) {
  const auto deadline = clock_type::now() + timeout;
  for (;;) {
    fd_ = connect_once(port);
    if (fd_ >= 0) return;
    if (clock_type::now() >= deadline) raise_errno("connect");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

console_client_t::~console_client_t() {
  close();
}

void console_client_t::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void console_client_t::shutdown_send() {
  if (::shutdown(fd_, SHUT_WR) != 0) raise_errno("shutdown");
}

void console_client_t::send_raw(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (length > 0) {
    const ssize_t n = ::send(fd_, bytes, length, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      raise_errno("send");
    }
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
}

void console_client_t::send_frame(std::uint16_t id, const void* body, std::size_t length) {
  if (length > 0xffff) throw std::length_error("frame body longer than 65535 bytes");
  std::vector<unsigned char> frame(4 + length);
  frame[0] = static_cast<unsigned char>(id);
  frame[1] = static_cast<unsigned char>(id >> 8);
  frame[2] = static_cast<unsigned char>(length);
  frame[3] = static_cast<unsigned char>(length >> 8);
  if (length > 0) std::copy_n(static_cast<const unsigned char*>(body), length, frame.begin() + 4);
  send_raw(frame.data(), frame.size());
}

void console_client_t::send(const ferun::command_t& cmd) {
  std::vector<unsigned char> body(0xffff);
  const std::uint16_t length = cmd.serialize(body.data(), static_cast<std::uint16_t>(body.size()));
  send_frame(static_cast<std::uint16_t>(cmd.id), body.data(), length);
}

std::optional<frame_t> console_client_t::take_frame() {
  if (pending_.size() < 4) return std::nullopt;
  const std::size_t length = pending_[2] | pending_[3] << 8;
  if (pending_.size() < 4 + length) return std::nullopt;
  frame_t frame;
  frame.id = static_cast<std::uint16_t>(pending_[0] | pending_[1] << 8);
  frame.body.assign(pending_.begin() + 4, pending_.begin() + 4 + static_cast<long>(length));
  pending_.erase(pending_.begin(), pending_.begin() + 4 + static_cast<long>(length));
  return frame;
}

std::optional<frame_t> console_client_t::receive(std::chrono::milliseconds timeout) {
  const auto deadline = clock_type::now() + timeout;
  for (;;) {
    if (auto frame = take_frame()) return frame;
    if (peer_closed_ || fd_ < 0) return std::nullopt;

    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      raise_errno("poll");
    }
    if (ready == 0) continue;

    unsigned char chunk[16384];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      if (errno == ECONNRESET) {
        peer_closed_ = true;
        continue;
      }
      raise_errno("recv");
    }
    if (n == 0) {
      peer_closed_ = true;
      continue;
    }
    pending_.insert(pending_.end(), chunk, chunk + n);
  }
}

bool console_client_t::wait_closed(std::chrono::milliseconds timeout) {
  const auto deadline = clock_type::now() + timeout;
  while (!peer_closed_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    if (left.count() <= 0) return false;
    receive(left);
  }
  return true;
}

}  // namespace ferun_test
