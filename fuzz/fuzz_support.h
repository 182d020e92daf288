// What the fuzz targets share: a check that aborts (reported as a crash), a scratch directory,
// exact-size copies (a read past one is a heap overflow), the message body checks, and the
// replay driver the normal builds link instead of libFuzzer.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "proto/sensor_messages.h"
#include "support/fmt_ring.h"

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

inline std::unique_ptr<unsigned char[]> exact_copy(const void* data, std::size_t size) {
  std::unique_ptr<unsigned char[]> copy(new unsigned char[size]);
  std::copy_n(static_cast<const unsigned char*>(data), size, copy.get());
  return copy;
}

// Whether `f` raised the cursors' one failure, "buffer overflow".
template <class F>
bool raises(F f) {
  try {
    f();
  } catch (const serializer_exception_t& e) {
    FUZZ_CHECK(e.code == 1);
    return true;
  }
  return false;
}

// The six commands (index: id - 1), the answer kinds, the event, packet and statistics messages.
inline std::unique_ptr<ferun::command_t> make_message(std::size_t i) {
  using namespace ferun;
  switch (i) {
    case 0: return std::make_unique<command_hello_t>();
    case 1: return std::make_unique<command_setup_t>();
    case 2: return std::make_unique<command_ids_action_t>();
    case 3: return std::make_unique<command_get_value_t>();
    case 4: return std::make_unique<command_set_value_t>();
    case 5: return std::make_unique<command_file_t>();
    case 6: return std::make_unique<answer_t>(command_setup_t::message_id | answer_bit);
    case 7: return std::make_unique<answer_hello_t>();
    case 8: return std::make_unique<answer_get_value_t>();
    case 9: return std::make_unique<command_event_t>();
    case 10: return std::make_unique<command_packet_t>();
    default: return std::make_unique<command_stats_t>();
  }
}

inline std::vector<unsigned char> body_of(const ferun::command_t& message) {
  std::vector<unsigned char> body(0xffff);
  body.resize(message.serialize(body.data(), 0xffff));
  return body;
}

// One selector byte picks message class `first + byte % count`, the rest is its body. A body the
// class takes writes back no longer than it was read (numbers and counts may be padded), that
// form reads back to itself, and a buffer one byte short raises rather than being overrun.
inline void check_selected(const std::uint8_t* data, std::size_t size, std::size_t first,
                           std::size_t count) {
  if (size < 1 || size > 0x10000) return;
  const auto length = static_cast<std::uint16_t>(size - 1);
  const auto body = exact_copy(data + 1, length);
  const auto message = make_message(first + data[0] % count);
  std::uint16_t used = 0;
  if (raises([&] { used = message->deserialize(body.get(), length); })) return;
  FUZZ_CHECK(used <= length && message->to_str());
  fmt_ring_reset();
  const std::vector<unsigned char> written = body_of(*message);
  const auto n = static_cast<std::uint16_t>(written.size());
  FUZZ_CHECK(n > 0 && n <= used);
  const auto again = make_message(first + data[0] % count);
  const auto exact = exact_copy(written.data(), n);
  FUZZ_CHECK(again->deserialize(exact.get(), n) == n && body_of(*again) == written);
  const auto cut = exact_copy(written.data(), n - 1);
  FUZZ_CHECK(raises([&] { message->serialize(cut.get(), n - 1); }));
}

}  // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

#ifdef FUZZ_REPLAY
// Replays the saved inputs named on the command line.
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    FUZZ_CHECK(in.is_open());
    std::fprintf(stderr, "replay %s\n", argv[i]);
    LLVMFuzzerTestOneInput(fuzz::exact_copy(bytes.data(), bytes.size()).get(), bytes.size());
  }
  return argc > 1 ? 0 : 1;
}
#endif
