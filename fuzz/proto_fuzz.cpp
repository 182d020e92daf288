// The framer reading a byte stream from a connected socket: frame headers, bodies (cut ones and
// oversized ones), unknown ids, messages 1 to 6 and the raw content that follows an upload.
//
// Input: one mode byte (bit 0: poll instead of run; bit 1: the "proto" log channel on, which
// renders every message read), then the stream. The stream is written to the far end of a
// socket pair, which is then shut for writing, and the framer reads until the stream ends or it
// raises. What it hands out is compared with a plain walk over the same bytes: the same
// messages in the same order, each upload's content stored whole, and the same way of ending.
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/system_error.hpp>
#include <fstream>
#include <iterator>
#include <thread>

#include "message_check.h"
#include "proto/proto.h"

namespace {

using namespace ferun;

std::unique_ptr<command_t> make_message(std::uint16_t id) {
  switch (id) {
    case command_hello_t::message_id: return std::make_unique<command_hello_t>();
    case command_setup_t::message_id: return std::make_unique<command_setup_t>();
    case command_ids_action_t::message_id: return std::make_unique<command_ids_action_t>();
    case command_get_value_t::message_id: return std::make_unique<command_get_value_t>();
    case command_set_value_t::message_id: return std::make_unique<command_set_value_t>();
    case command_file_t::message_id: return std::make_unique<command_file_t>();
    default: return nullptr;
  }
}

enum class ending_t { closed, bad_body, cut_upload };

struct expected_t {
  std::uint16_t id;
  std::vector<unsigned char> body;     // the canonical body of the message
  std::vector<unsigned char> content;  // an upload's content
};

// The plain walk: frames of u16 id, u16 length, body; bodies longer than the framer's buffer
// are cut to it and the rest dropped; unknown ids are skipped; an upload's content follows its
// frame.
ending_t walk(const std::uint8_t* s, std::size_t n, std::vector<expected_t>& out) {
  std::size_t pos = 0;
  for (;;) {
    if (n - pos < proto_t::header_size) return ending_t::closed;
    const auto id = static_cast<std::uint16_t>(fuzz::le(s + pos, 2));
    const std::size_t len = fuzz::le(s + pos + 2, 2);
    if (n - pos - proto_t::header_size < len) return ending_t::closed;
    const unsigned char* body = s + pos + proto_t::header_size;
    const auto kept = static_cast<std::uint16_t>(std::min<std::size_t>(len, proto_t::body_size));
    pos += proto_t::header_size + len;
    std::unique_ptr<command_t> message = make_message(id);
    if (!message) continue;
    try {
      message->deserialize(body, kept);
    } catch (const serializer_exception_t&) {
      return ending_t::bad_body;
    }
    expected_t e{id, fuzz::body_of(*message), {}};
    if (id == command_file_t::message_id) {
      const std::uint32_t size = static_cast<const command_file_t&>(*message).size;
      if (n - pos < size) return ending_t::cut_upload;
      e.content.assign(s + pos, s + pos + size);
      pos += size;
    }
    out.push_back(std::move(e));
  }
}

// Writes the stream to the far end and shuts it for writing; a stream the socket buffer does
// not take at once is finished by a thread while the framer reads.
class feeder_t {
 public:
  feeder_t(int fd, const std::uint8_t* data, std::size_t size) : fd_(fd) {
    const ssize_t n = size ? ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) : 0;
    const std::size_t sent = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (sent == size) {
      ::shutdown(fd, SHUT_WR);
      return;
    }
    thread_ = std::thread([fd, data, size, sent] {
      std::size_t at = sent;
      while (at < size) {
        const ssize_t m = ::send(fd, data + at, size - at, MSG_NOSIGNAL);
        if (m <= 0) break;  // the framer's end was closed
        at += static_cast<std::size_t>(m);
      }
      ::shutdown(fd, SHUT_WR);
    });
  }
  ~feeder_t() {
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  feeder_t(const feeder_t&) = delete;
  feeder_t& operator=(const feeder_t&) = delete;

 private:
  int fd_;
  std::thread thread_;
};

std::vector<unsigned char> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  FUZZ_CHECK(in.good());
  return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_stdout();
  static const boost::filesystem::path dir = fuzz::scratch_dir() + "/tmp";
  if (size < 1) return 0;
  const bool poll = data[0] & 1;
  const bool logging = data[0] & 2;
  const std::uint8_t* stream = data + 1;
  const std::size_t stream_size = size - 1;

  std::vector<expected_t> expected;
  const ending_t expected_end = walk(stream, stream_size, expected);

  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.assign(boost::asio::ip::tcp::v4(), fds[0]);
  if (logging) log_t::enable("proto", log_t::level_of("debug4"));

  std::size_t got = 0;
  ending_t end = ending_t::closed;
  {
    feeder_t feeder(fds[1], stream, stream_size);
    proto_t proto(&socket, dir);
    proto.async_read_header();
    // Every frame takes at least its four header bytes, so the stream bounds the calls that
    // hand something out or move on; polls that find nothing new are bounded apart.
    std::size_t idle = 0;
    while (socket.is_open()) {
      std::shared_ptr<command_t> message;
      try {
        message = proto.read(poll);
      } catch (const serializer_exception_t&) {
        end = ending_t::bad_body;
        break;
      } catch (const boost::system::system_error&) {
        end = ending_t::cut_upload;
        break;
      }
      if (!message) {
        FUZZ_CHECK(++idle < 10000000);
        if (poll) std::this_thread::yield();
        continue;
      }
      FUZZ_CHECK(got < expected.size());
      const expected_t& e = expected[got++];
      FUZZ_CHECK(message->id == e.id);
      FUZZ_CHECK(fuzz::body_of(*message) == e.body);
      if (e.id == command_file_t::message_id) {
        FUZZ_CHECK(proto.download_error().empty());
        FUZZ_CHECK(file_bytes(proto.download_path()) == e.content);
      }
    }
    // Closing our end lets a feeder still blocked on a full socket finish.
    boost::system::error_code ignored;
    socket.close(ignored);
  }
  if (logging) log_t::disable("proto");

  FUZZ_CHECK(got == expected.size());
  FUZZ_CHECK(end == expected_end);
  return 0;
}
