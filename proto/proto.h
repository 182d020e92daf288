// The message framer of one console connection.
//
// Frames on the stream, both directions: u16 id, u16 body length (little-endian), then the body.
// A frame with the file command's id is followed by exactly `size` raw bytes of file content.
//
// Use from the connection's own thread only:
//   proto_t proto(&socket, config.tmpdir);   // socket: connected, owned by the caller
//   proto.async_read_header();               // once, after the connection is accepted
//   proto.write(answer);                     // synchronous; raises on a failed write
//   auto cmd = proto.read(true);             // poll: at most one message, or empty
//   auto cmd = proto.read(false);            // run: blocks until a frame or the end of the stream
//   if (!proto.socket()->is_open()) ...      // the console has gone
//
// `read` raises `serializer_exception_t` for a body too short for its message, and the Boost
// system or file-system error for a failed upload read or temporary directory. A failed header or
// body read (the peer's close included) is not raised: it closes the socket, after which `read`
// returns empty and `write` sends nothing.
//
// After `read` has handed out a file command (id 6), its content is already in `download_path()`,
// open as `download_fd()`; `download_error()` is empty when the content was stored whole, and
// otherwise holds the reason (the temporary directory refused, open or write failed: the content
// was still taken off the stream). A cut upload (the stream ends first) raises and leaves no
// download file. The temporary directory is checked at every upload and the file created in it by
// descriptor, never through a link.
//
// The framer arms asynchronous reads that refer to it: destroy it only after its socket is
// closed or when its I/O context is never run again.
#pragma once

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "proto/commands.h"
#include "support/held_dir.h"
#include "support/log.h"

namespace ferun {

class proto_t {
 public:
  static log_t L;  // "proto"

  static constexpr std::uint16_t header_size = 4;
  static constexpr std::uint16_t frame_size = 4096;  // largest sent frame
  static constexpr std::uint16_t send_body_size = frame_size - header_size;
  static constexpr std::uint16_t body_size = 10240;  // largest body parsed; upload chunk

  // `socket` must stay valid for the framer's life; its I/O context is the one the framer runs.
  // `dir` is the temporary directory that receives the download file.
  proto_t(boost::asio::ip::tcp::socket* socket, const boost::filesystem::path& dir);
  // Removes the download file, if one is left.
  ~proto_t();
  proto_t(const proto_t&) = delete;
  proto_t& operator=(const proto_t&) = delete;

  // Sends `cmd` as one frame of at most 4096 bytes. Does nothing on a closed socket. A status
  // answer (`answer_t` itself) or a hello answer whose texts would not fit goes out with them cut
  // (a host description keeps its closing NUL), and a warning. Raises "buffer overflow" (nothing
  // sent) when any other body does not fit, the Boost system error "write" when the socket write
  // fails.
  void write(const command_t& cmd);

  // Frame gathering, for a burst of messages: after `gather()` each `write` only appends its
  // frame to a 64 KiB buffer, which is written whole when the next frame would not fit, on
  // `flush()` and on `end_gather()` (which also ends the gathering). The bytes on the wire are
  // those of one write per frame; the caller decides how long frames may wait.
  void gather();
  void flush();
  void end_gather();

  // Arms the reading of the next frame.
  void async_read_header();

  // From now on only frames with this id are received (0: any id, as at construction). A header
  // with another id is not followed by a read of its body: the I/O context runs out of work with
  // the id in `refused_id()` and nothing more is read, so a console that must say hello first
  // cannot make the daemon take an upload (or any body) before it has.
  void accept_only(std::uint16_t id) { only_id_ = id; }
  // The id of the header refused by `accept_only`, or -1.
  int refused_id() const { return refused_id_; }

  // Polls (`nonblocking`) or runs the socket's I/O context and hands out at most one received
  // message; empty when no whole frame is there yet, the frame had an unknown id, or the socket
  // is closed. Unknown ids (anything but 1 to 6) are dropped.
  std::shared_ptr<command_t> read(bool nonblocking);

  boost::asio::ip::tcp::socket* socket() const { return socket_; }
  // Full path of the last upload's file; empty before the first upload.
  const std::string& download_path() const { return download_path_; }
  // The download file, open for reading and writing; -1 when it could not be made.
  int download_fd() const { return download_fd_.get(); }
  // Empty when the last upload was stored whole, else why it was not.
  const std::string& download_error() const { return download_error_; }
  // Removes and closes the download file once it has been placed or refused; the destructor
  // does the same for a connection that ends first.
  void remove_download();

 private:
  struct header_t {
    std::uint16_t id = 0;
    std::uint16_t len = 0;
  };

  static std::size_t encode_frame(const command_t& cmd, unsigned char* frame);
  static void log_written(std::uint32_t id, std::size_t frame_length, const char* text);
  void send_bytes(const unsigned char* data, std::size_t n);
  boost::asio::io_context& context() const;
  void on_header(const boost::system::error_code& error);
  void async_read_body();
  void on_body(const boost::system::error_code& error);
  void async_discard();
  void on_discard(const boost::system::error_code& error, std::size_t n);
  void body_done();
  void close_socket();
  void receive_upload(std::uint32_t size);

  boost::asio::ip::tcp::socket* socket_;
  const boost::filesystem::path& dir_;
  std::string download_path_;
  std::string download_error_;
  fd_t download_dir_;  // the temporary directory, as checked for the last upload
  fd_t download_fd_;
  header_t header_;
  std::array<unsigned char, header_size> header_bytes_{};
  std::array<unsigned char, body_size> body_{};
  // Bytes of a declared body beyond `body_size` still to be read and dropped, so that the next
  // header is read from the next frame and not from the middle of this one.
  std::uint16_t discard_left_ = 0;
  std::array<unsigned char, 1024> discard_buf_{};
  bool ready_ = false;
  std::uint16_t only_id_ = 0;
  int refused_id_ = -1;

  static constexpr std::size_t gather_capacity = 64 * 1024;
  std::unique_ptr<unsigned char[]> gather_buf_;  // made on the first gathered write
  std::size_t gather_length_ = 0;
  bool gathering_ = false;
  // The log texts of the gathered frames, kept only while the channel is enabled.
  struct gathered_t {
    std::uint32_t id;
    std::size_t length;
    std::string text;
  };
  std::vector<gathered_t> gathered_;
};

}  // namespace ferun
