#include "proto/proto.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <typeinfo>
#include <vector>

#include "proto/sensor_messages.h"
#include "support/path_utils.h"
#include "support/string_utils.h"

namespace ferun {

log_t proto_t::L("proto");

namespace {

using string_utils::system_text;

// The last component of `path`.
std::string fs_name(const std::string& path) {
  return boost::filesystem::path(path).filename().string();
}

// Writes all `n` bytes; false with errno set when the file takes fewer.
bool write_all(int fd, const unsigned char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t written = ::write(fd, data, n);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = ENOSPC;
      return false;
    }
    data += written;
    n -= static_cast<std::size_t>(written);
  }
  return true;
}

// Bytes of the LEB128 length prefix of a string of `n` bytes.
std::size_t prefix_size(std::size_t n) {
  std::size_t bytes = 1;
  for (; n > 0x7f; n >>= 7) ++bytes;
  return bytes;
}

// Bytes of a string of `n` bytes on the wire.
std::size_t encoded_size(std::size_t n) {
  return prefix_size(n) + n;
}

// The longest part of a text of `n` bytes, at most `n`, that fits `room` bytes with its prefix.
std::size_t fitting(std::size_t n, std::size_t room) {
  if (room == 0) return 0;
  n = std::min(n, room - 1);
  while (n > 0 && encoded_size(n) > room) --n;
  return n;
}

std::shared_ptr<command_t> make_message(std::uint16_t id) {
  switch (id) {
    case command_hello_t::message_id: return std::make_shared<command_hello_t>();
    case command_setup_t::message_id: return std::make_shared<command_setup_t>();
    case command_ids_action_t::message_id: return std::make_shared<command_ids_action_t>();
    case command_get_value_t::message_id: return std::make_shared<command_get_value_t>();
    case command_set_value_t::message_id: return std::make_shared<command_set_value_t>();
    case command_file_t::message_id: return std::make_shared<command_file_t>();
    default: return nullptr;
  }
}

}  // namespace

proto_t::proto_t(boost::asio::ip::tcp::socket* socket, const boost::filesystem::path& dir)
    : socket_(socket), dir_(dir) {}

proto_t::~proto_t() {
  remove_download();
}

void proto_t::remove_download() {
  if (download_dir_) ::unlinkat(download_dir_.get(), fs_name(download_path_).c_str(), 0);
  download_fd_.reset();
  download_dir_.reset();
}

boost::asio::io_context& proto_t::context() const {
  return static_cast<boost::asio::io_context&>(
      boost::asio::query(socket_->get_executor(), boost::asio::execution::context));
}

// Puts the frame of `cmd` (u16 id, u16 body length, body) at `frame`; returns its size.
std::size_t proto_t::encode_frame(const command_t& cmd, unsigned char* frame) {
  const auto id = static_cast<std::uint16_t>(cmd.id);
  const std::uint16_t len = cmd.serialize(frame + header_size, send_body_size);
  frame[0] = static_cast<unsigned char>(id);
  frame[1] = static_cast<unsigned char>(id >> 8);
  frame[2] = static_cast<unsigned char>(len);
  frame[3] = static_cast<unsigned char>(len >> 8);
  return std::size_t{header_size} + len;
}

void proto_t::log_written(std::uint32_t id, std::size_t frame_length, const char* text) {
  L.debug(0, "write [%u:%u] %s\n", id, static_cast<unsigned>(frame_length - header_size), text);
}

void proto_t::send_bytes(const unsigned char* data, std::size_t n) {
  boost::system::error_code error;
  boost::asio::write(*socket_, boost::asio::buffer(data, n), error);
  if (error) throw boost::system::system_error(error, "write");
}

void proto_t::write(const command_t& cmd) {
  if (!socket_->is_open()) return;

  // A failure text may repeat what the console sent (a long path, a long prefix), and a host
  // description is whatever the script printed: such an answer is sent with its texts cut to fit
  // the frame, rather than ending the connection unanswered.
  if (typeid(cmd) == typeid(answer_t)) {
    const auto& answer = static_cast<const answer_t&>(cmd);
    const std::size_t n = fitting(answer.message.size(), send_body_size - 1);  // after the status
    if (n < answer.message.size()) {
      L.warning("answer %u: message of %zu bytes cut to %zu to fit one frame\n", answer.id,
                answer.message.size(), n);
      write(answer_t(answer.id, answer.status, answer.message.substr(0, n)));
      return;
    }
  } else if (typeid(cmd) == typeid(answer_hello_t)) {
    const auto& hello = static_cast<const answer_hello_t&>(cmd);
    const std::size_t room = send_body_size - 1 - sizeof hello.version;  // after status, version
    const std::size_t message_room = encoded_size(hello.message.size());
    const std::size_t info =
        fitting(hello.sysinfo.size(), room > message_room ? room - message_room : std::size_t{1});
    const std::size_t message = fitting(hello.message.size(), room - encoded_size(info));
    if (info < hello.sysinfo.size() || message < hello.message.size()) {
      L.warning(
          "answer %u: message of %zu and host description of %zu bytes cut to %zu and %zu to "
          "fit one frame\n",
          hello.id, hello.message.size(), hello.sysinfo.size(), message, info);
      answer_hello_t cut = hello;
      cut.message.resize(message);
      cut.sysinfo.resize(info);
      // The host description is a C string to the console.
      if (info > 0) cut.sysinfo.back() = '\0';
      write(cut);
      return;
    }
  }

  if (gathering_) {
    if (!gather_buf_) gather_buf_.reset(new unsigned char[gather_capacity]);
    if (gather_capacity - gather_length_ < frame_size) flush();
    const std::size_t n = encode_frame(cmd, gather_buf_.get() + gather_length_);
    gather_length_ += n;
    // Logged by the flush that sends it: a frame that never goes out is never logged.
    if (L.impl) gathered_.push_back({cmd.id, n, cmd.to_str()});
    return;
  }

  unsigned char frame[frame_size];
  const std::size_t n = encode_frame(cmd, frame);
  send_bytes(frame, n);
  // Only a frame that went out is logged: a failed write raises before this line.
  if (L.impl) log_written(cmd.id, n, cmd.to_str());
}

void proto_t::gather() {
  gathering_ = true;
}

void proto_t::flush() {
  const std::size_t n = gather_length_;
  gather_length_ = 0;
  std::vector<gathered_t> sent;
  sent.swap(gathered_);
  if (n == 0 || !socket_->is_open()) return;
  send_bytes(gather_buf_.get(), n);
  for (const gathered_t& frame : sent) log_written(frame.id, frame.length, frame.text.c_str());
}

void proto_t::end_gather() {
  gathering_ = false;
  flush();
}

void proto_t::async_read_header() {
  L.debug(4, "wait header\n");
  ready_ = false;
  boost::asio::async_read(
      *socket_, boost::asio::buffer(header_bytes_),
      [this](const boost::system::error_code& error, std::size_t) { on_header(error); });
}

void proto_t::on_header(const boost::system::error_code& error) {
  if (error) {
    close_socket();
    return;
  }
  header_.id = static_cast<std::uint16_t>(header_bytes_[0] | header_bytes_[1] << 8);
  header_.len = static_cast<std::uint16_t>(header_bytes_[2] | header_bytes_[3] << 8);
  L.debug(4, "got header: id %u, len: %u\n", unsigned{header_.id}, unsigned{header_.len});
  if (only_id_ != 0 && header_.id != only_id_) {
    refused_id_ = header_.id;
    return;
  }
  L.debug(4, "wait body\n");
  async_read_body();
}

void proto_t::async_read_body() {
  const std::size_t n = std::min<std::size_t>(header_.len, body_size);
  boost::asio::async_read(
      *socket_, boost::asio::buffer(body_.data(), n),
      [this](const boost::system::error_code& error, std::size_t) { on_body(error); });
}

void proto_t::on_body(const boost::system::error_code& error) {
  if (error) {
    close_socket();
    return;
  }
  if (header_.len > body_size) {
    discard_left_ = static_cast<std::uint16_t>(header_.len - body_size);
    L.debug(0, "body of %u bytes: the last %u are dropped\n", unsigned{header_.len},
            unsigned{discard_left_});
    async_discard();
    return;
  }
  body_done();
}

void proto_t::async_discard() {
  const std::size_t n = std::min<std::size_t>(discard_left_, discard_buf_.size());
  boost::asio::async_read(
      *socket_, boost::asio::buffer(discard_buf_.data(), n),
      [this](const boost::system::error_code& error, std::size_t got) { on_discard(error, got); });
}

void proto_t::on_discard(const boost::system::error_code& error, std::size_t n) {
  if (error) {
    close_socket();
    return;
  }
  discard_left_ = static_cast<std::uint16_t>(discard_left_ - n);
  if (discard_left_ > 0) {
    async_discard();
    return;
  }
  body_done();
}

void proto_t::body_done() {
  L.debug(4, "got body\n");
  ready_ = true;
}

void proto_t::close_socket() {
  boost::system::error_code error;
  socket_->close(error);
  if (error) throw boost::system::system_error(error, "close");
}

std::shared_ptr<command_t> proto_t::read(bool nonblocking) {
  if (!socket_->is_open()) return nullptr;

  boost::asio::io_context& io = context();
  io.restart();
  if (nonblocking)
    io.poll();
  else
    io.run();
  if (!ready_) return nullptr;
  // Taken now, so that a frame whose parse or upload failed is never handed out a second time.
  ready_ = false;

  std::shared_ptr<command_t> cmd = make_message(header_.id);
  if (cmd) {
    // Bytes after the message's fields are ignored, as are those of a body cut to `body_size`.
    cmd->deserialize(body_.data(), std::min<std::uint16_t>(header_.len, body_size));
    if (L.impl) L.debug(0, "read %s\n", cmd->to_str());
    // The raw file bytes follow the frame directly: take them before the next header is armed.
    if (cmd->id == command_file_t::message_id)
      receive_upload(static_cast<const command_file_t&>(*cmd).size);
  }
  async_read_header();
  return cmd;
}

void proto_t::receive_upload(std::uint32_t size) {
  remove_download();
  download_path_ =
      path_join(dir_, string_utils::format("sensor_%p.download", static_cast<const void*>(this)))
          .string();
  download_error_.clear();
  // Private to the daemon's user, checked each time (a cleaner may have removed it, another user
  // made it again): the directory holds what consoles upload. The file is new and not a link.
  std::string why;
  download_dir_.reset(open_private_dir(dir_.string(), 0700, why));
  if (!download_dir_)
    download_error_ = string_utils::format("temporary directory %s %s", dir_.c_str(), why.c_str());
  else
    download_fd_.reset(create_fresh(download_dir_.get(), fs_name(download_path_), O_RDWR, 0600));
  if (download_dir_ && !download_fd_) download_error_ = system_text(errno);
  const int file_fd = download_fd_.get();

  // The whole content is taken off the stream even when it cannot be stored, so that the next
  // frame is read from where it starts.
  std::uint32_t received = 0;
  while (received < size) {
    const std::size_t n = std::min<std::uint32_t>(size - received, body_size);
    boost::system::error_code error;
    boost::asio::read(*socket_, boost::asio::buffer(body_.data(), n), error);
    if (error) {
      // The connection is about to end: a cut upload is never placed, so it is not kept.
      remove_download();
      throw boost::system::system_error(error, "read");
    }
    if (download_error_.empty() && !write_all(file_fd, body_.data(), n))
      download_error_ = system_text(errno);
    received += static_cast<std::uint32_t>(n);
  }
}

}  // namespace ferun
