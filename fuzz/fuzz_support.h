// What the fuzz targets share: a check that aborts (a crash to the fuzzer), the message body
// checks, the replay driver for normal builds. Bodies are read from and written into vectors of
// exactly their size, so a read or write past one is a heap overflow.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "proto/sensor_messages.h"

using namespace ferun;

#define FUZZ_CHECK(c)                                                                      \
  ((c) ? (void)0                                                                           \
       : (std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #c, __FILE__, __LINE__), \
          std::abort()))

namespace fuzz {

// A directory under /tmp, removed when the process ends normally.
inline const std::string& scratch_dir() {
  static struct scratch_t {
    std::string path = mkdtemp(&std::string("/tmp/ferun_fuzz.XXXXXX")[0]);
    std::error_code ignored;
    ~scratch_t() { std::filesystem::remove_all(path, ignored); }
  } dir;
  return dir.path;
}

inline void write_file(const std::string& path, const void* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  FUZZ_CHECK(out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size)));
}

// Sends standard output, where the readers echo every bad input, to /dev/null.
inline void quiet_stdout() {
  static const bool done = std::freopen("/dev/null", "w", stdout) != nullptr;
  FUZZ_CHECK(done);
}

// Little-endian number from up to 4 bytes at `p`.
inline std::uint32_t le(const std::uint8_t* p, std::size_t n) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= std::uint32_t{p[i]} << (8 * i);
  return v;
}

// Whether `f` raised the cursors' one failure, "buffer overflow".
template <class F>
bool raises(F f) {
  try {
    f();
    return false;
  } catch (const serializer_exception_t&) {
    return true;
  }
}

template <class T, std::uint32_t... id>
std::unique_ptr<command_t> make() {
  return std::make_unique<T>(id...);
}

// The six commands (index: id - 1), the three answer kinds, the event, packet and statistics.
using factory_t = std::unique_ptr<command_t> (*)();
inline const factory_t messages[] = {
    make<command_hello_t>,          make<command_setup_t>,     make<command_ids_action_t>,
    make<command_get_value_t>,      make<command_set_value_t>, make<command_file_t>,
    make<answer_t, 2 | answer_bit>, make<answer_hello_t>,      make<answer_get_value_t>,
    make<command_event_t>,          make<command_packet_t>,    make<command_stats_t>};

inline std::vector<unsigned char> body_of(const command_t& message) {
  unsigned char body[0xffff];
  return {body, body + message.serialize(body, sizeof body)};
}

// A selector byte picks message class `first + byte % count`, the rest is its body. A body taken
// writes back no longer (padding dropped) and reads back to itself; one byte less space raises.
inline void check_selected(const std::uint8_t* data, std::size_t size, std::size_t first,
                           std::size_t count) {
  if (size < 1 || size > 0x10000) return;
  const auto length = static_cast<std::uint16_t>(size - 1);
  const std::vector<unsigned char> body(data + 1, data + size);
  const factory_t kind = messages[first + data[0] % count];
  const auto message = kind(), again = kind();
  std::uint16_t used = 0;
  if (raises([&] { used = message->deserialize(body.data(), length); })) return;
  FUZZ_CHECK(used <= length && message->to_str());
  const std::vector<unsigned char> written = body_of(*message);
  const auto n = static_cast<std::uint16_t>(written.size());
  FUZZ_CHECK(n > 0 && n <= used);
  FUZZ_CHECK(again->deserialize(written.data(), n) == n && body_of(*again) == written);
  std::vector<unsigned char> cut(n - 1);
  FUZZ_CHECK(raises([&] { message->serialize(cut.data(), n - 1); }));
}

}  // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

#ifdef FUZZ_REPLAY
// Replays the saved inputs named on the command line.
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    FUZZ_CHECK(in.is_open());
    std::fprintf(stderr, "replay %s\n", argv[i]);
    const std::vector<std::uint8_t> bytes(text.begin(), text.end());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  return argc > 1 ? 0 : 1;
}
#endif
