// A test stand-in for the management console: one blocking TCP connection to 127.0.0.1 that
// sends messages as frames (or any raw bytes) and receives frames with a deadline.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "proto/commands.h"
#include "proto/sensor_messages.h"

namespace ferun_test {

// One received frame.
struct frame_t {
  std::uint16_t id = 0;
  std::vector<unsigned char> body;

  // Parses the body into a message of class M with this frame's id. Raises "buffer overflow"
  // when the body is too short. A packet's data view points into `body`.
  template <class M>
  M as() const {
    M message = make<M>();
    message.id = id;
    message.deserialize(body.data(), static_cast<std::uint16_t>(body.size()));
    return message;
  }

 private:
  template <class M>
  M make() const {
    if constexpr (std::is_default_constructible<M>::value)
      return M();
    else
      return M(id);
  }
};

class console_client_t {
 public:
  // Connects to 127.0.0.1:`port`, retrying until `timeout` has passed (zero: one attempt).
  // Raises std::system_error when no connection could be made.
  explicit console_client_t(std::uint16_t port,
                            std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
  ~console_client_t();
  console_client_t(const console_client_t&) = delete;
  console_client_t& operator=(const console_client_t&) = delete;

  // Sends `cmd` as one frame (id: low 16 bits of cmd.id).
  void send(const ferun::command_t& cmd);
  // Sends a frame with any id and body (up to 65535 bytes).
  void send_frame(std::uint16_t id, const void* body, std::size_t length);
  // Sends bytes as they are: upload content, half frames, garbage.
  void send_raw(const std::string& data);

  // The next frame, waiting at most `timeout`; nullopt on timeout or when the peer has closed.
  // Bytes of a frame cut by a timeout are kept for the next call.
  std::optional<frame_t> receive(std::chrono::milliseconds timeout);
  // Waits up to `timeout` for the peer to close, dropping any frames that arrive first.
  bool wait_closed(std::chrono::milliseconds timeout);

  void close();
  int fd() const { return fd_; }

 private:
  std::optional<frame_t> take_frame();

  int fd_ = -1;
  bool peer_closed_ = false;
  std::vector<unsigned char> pending_;
};

}  // namespace ferun_test
