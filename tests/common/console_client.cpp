#include "common/console_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

}  // namespace

console_client_t::console_client_t(std::uint16_t port, std::chrono::milliseconds timeout) {
  const auto deadline = clock_type::now() + timeout;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (;;) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) raise_errno("socket");
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return;
    const int error = errno;
    close();
    if (clock_type::now() >= deadline)
      throw std::system_error(error, std::generic_category(), "connect");
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

void console_client_t::send_raw(const std::string& data) {
  const char* bytes = data.data();
  std::size_t length = data.size();
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
  std::string frame{static_cast<char>(id), static_cast<char>(id >> 8), static_cast<char>(length),
                    static_cast<char>(length >> 8)};
  if (length > 0) frame.append(static_cast<const char*>(body), length);
  send_raw(frame);
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
  const auto end = pending_.begin() + 4 + static_cast<long>(length);
  frame.body.assign(pending_.begin() + 4, end);
  pending_.erase(pending_.begin(), end);
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
    if (ready < 0 && errno != EINTR) raise_errno("poll");
    if (ready <= 0) continue;

    unsigned char chunk[16384];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0 && errno != ECONNRESET) raise_errno("recv");
    if (n <= 0)
      peer_closed_ = true;
    else
      pending_.insert(pending_.end(), chunk, chunk + n);
  }
}

bool console_client_t::wait_closed(std::chrono::milliseconds timeout) {
  const auto deadline = clock_type::now() + timeout;
  while (!peer_closed_ && clock_type::now() < deadline)
    receive(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()));
  return peer_closed_;
}

}  // namespace ferun_test
