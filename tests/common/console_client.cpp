#include "common/console_client.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

namespace ferun_test {

using std::chrono::steady_clock;

static void check(bool ok, const char* what) {
  if (!ok && errno != EINTR) throw std::system_error(errno, std::generic_category(), what);
}

console_client_t::console_client_t(std::uint16_t port, std::chrono::milliseconds timeout) {
  const auto deadline = steady_clock::now() + timeout;
  sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  for (;;) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(fd_ >= 0, "socket");
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return;
    close();
    check(steady_clock::now() < deadline, "connect");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void console_client_t::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void console_client_t::send_raw(const std::string& data) {
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    check(n >= 0, "send");
    done += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
}

void console_client_t::send_frame(std::uint16_t id, const void* body, std::size_t length) {
  std::string frame{static_cast<char>(id), static_cast<char>(id >> 8), static_cast<char>(length),
                    static_cast<char>(length >> 8)};
  send_raw(frame.append(static_cast<const char*>(body), length));
}

void console_client_t::send(const ferun::command_t& cmd) {
  std::vector<unsigned char> body(0xffff);
  send_frame(static_cast<std::uint16_t>(cmd.id), body.data(), cmd.serialize(body.data(), 0xffff));
}

std::optional<frame_t> console_client_t::receive(std::chrono::milliseconds timeout) {
  const auto deadline = steady_clock::now() + timeout;
  for (;;) {
    const std::size_t length = pending_.size() < 4 ? 0 : pending_[2] | pending_[3] << 8;
    if (pending_.size() >= 4 + length) {
      const auto body = pending_.begin() + 4, end = body + static_cast<long>(length);
      frame_t frame{static_cast<std::uint16_t>(pending_[0] | pending_[1] << 8), {body, end}};
      pending_.erase(pending_.begin(), end);
      return frame;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock::now());
    if (peer_closed_ || fd_ < 0 || left.count() <= 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;  // time out or interrupted
    unsigned char chunk[16384];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    check(n >= 0 || errno == EAGAIN || errno == ECONNRESET, "recv");
    if (n > 0) pending_.insert(pending_.end(), chunk, chunk + n);
    peer_closed_ = n == 0 || (n < 0 && errno == ECONNRESET);
  }
}

}  // namespace ferun_test
