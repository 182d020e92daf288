// A test console: one TCP connection to 127.0.0.1 that sends frames and receives them in time.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "proto/commands.h"
#include "proto/sensor_messages.h"

namespace ferun_test {

// For golden bytes: `v` in `n` bytes, least significant first; a text after its LEB128 length.
inline std::string le(std::uint64_t v, int n) {
  return n ? static_cast<char>(v) + le(v >> 8, n - 1) : std::string();
}
inline std::string text(const std::string& t) {
  std::string s;
  for (std::size_t n = t.size(); s.empty() || n; n >>= 7)
    s += static_cast<char>((n & 0x7f) | (n > 0x7f) << 7);
  return s + t;
}

struct frame_t {
  std::uint16_t id = 0;
  std::vector<unsigned char> body;

  // The body as a message M with this frame's id (a packet's data points into `body`).
  template <class M>
  M as() const {
    M message = [&] {
      if constexpr (std::is_default_constructible<M>::value)
        return M();
      else
        return M(id);
    }();
    message.id = id;
    message.deserialize(body.data(), static_cast<std::uint16_t>(body.size()));
    return message;
  }
};

class console_client_t {
 public:
  // Connects, retrying until `timeout` has passed; raises std::system_error when it cannot.
  explicit console_client_t(std::uint16_t port,
                            std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
  ~console_client_t() { close(); }
  console_client_t(const console_client_t&) = delete;
  console_client_t& operator=(const console_client_t&) = delete;

  void send(const ferun::command_t& cmd);  // id: the low 16 bits of cmd.id
  void send_frame(std::uint16_t id, const void* body, std::size_t length);  // length < 65536
  void send_raw(const std::string& data);
  // The next frame, or nullopt on timeout or once the peer has closed; a frame cut by the
  // timeout is kept for the next call.
  std::optional<frame_t> receive(std::chrono::milliseconds timeout);
  void close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  bool peer_closed_ = false;
  std::vector<unsigned char> pending_;
};

}  // namespace ferun_test
