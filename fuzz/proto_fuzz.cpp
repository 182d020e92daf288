// The framer reading a stream from a socket. Input: a mode byte (bit 0: poll rather than run; bit
// 1: the "proto" log channel on), then the stream. The framer hands out what a plain walk over the
// stream finds (the same messages in order, each upload's content stored whole) and ends the same.
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "proto/proto.h"

namespace {

std::string record_of(const command_t& message) {
  const std::vector<unsigned char> body = fuzz::body_of(message);
  return std::to_string(message.id) + ":" + std::string(body.begin(), body.end());
}

// Frames of u16 id, u16 length and body; a body past the framer's buffer is cut to it, unknown ids
// are skipped, an upload's content follows its frame. Ends with how the stream ends.
void walk(const std::uint8_t* s, std::size_t n, std::vector<std::string>& out) {
  for (std::size_t pos = 0;;) {
    if (n - pos < 4 || n - pos - 4 < fuzz::le(s + pos + 2, 2)) return out.push_back("closed");
    const std::uint32_t id = fuzz::le(s + pos, 2), length = fuzz::le(s + pos + 2, 2);
    const std::uint8_t* body = s + pos + 4;
    pos += 4 + length;
    if (id < 1 || id > 6) continue;
    const auto message = fuzz::messages[id - 1]();
    const auto kept = static_cast<std::uint16_t>(std::min<std::size_t>(length, proto_t::body_size));
    if (fuzz::raises([&] { message->deserialize(body, kept); })) return out.push_back("bad body");
    const std::uint32_t size = id == 6 ? static_cast<const command_file_t&>(*message).size : 0;
    if (n - pos < size) return out.push_back("cut upload");
    out.push_back(record_of(*message));
    if (id == 6) out.emplace_back(s + pos, s + pos + size);
    pos += size;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_stdout();
  static const boost::filesystem::path dir = fuzz::scratch_dir();  // the framer keeps a reference
  if (size < 1) return 0;
  std::vector<std::string> expected, got;
  walk(data + 1, size - 1, expected);

  // The stream is sent at once (one the socket does not take is skipped) and the far end closed.
  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
  const ssize_t sent = ::send(fds[1], data + 1, size - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  ::close(fds[1]);
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.assign(boost::asio::ip::tcp::v4(), fds[0]);
  if (sent != static_cast<ssize_t>(size - 1)) return 0;

  if (data[0] & 2) log_t::enable("proto", log_t::level_of("debug4"));
  proto_t proto(&socket, dir);
  proto.async_read_header();
  std::string end = "closed";
  while (socket.is_open()) {
    try {
      const std::shared_ptr<command_t> message = proto.read(data[0] & 1);
      if (!message) continue;
      got.push_back(record_of(*message));
      if (message->id != command_file_t::message_id) continue;
      FUZZ_CHECK(proto.download_error().empty());
      std::ifstream in(proto.download_path(), std::ios::binary);
      got.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception& e) {
      end = dynamic_cast<const serializer_exception_t*>(&e) ? "bad body" : "cut upload";
      break;
    }
  }
  got.push_back(end);
  log_t::disable("proto");
  FUZZ_CHECK(got == expected);
  return 0;
}
