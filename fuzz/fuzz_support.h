// Small helpers shared by the fuzz targets: a check that aborts with a message (so libFuzzer and
// the replay driver report it as a crash), a scratch directory per process, and quiet output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#define FUZZ_CHECK(condition)                                                                  \
  do {                                                                                         \
    if (!(condition)) {                                                                        \
      std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                            \
    }                                                                                          \
  } while (0)

namespace fuzz {

// A directory under /tmp that lives as long as the process; files the targets write go there.
const std::string& scratch_dir();

// Replaces the contents of `path` with `size` bytes of `data`.
void write_file(const std::string& path, const void* data, std::size_t size);

// Sends standard output to /dev/null: error lines of the readers are echoed there on every bad
// input, which would bury the fuzzer's own report. Called once per process.
void quiet_stdout();

// Little-endian number from up to `n` bytes at `p`.
inline std::uint32_t le(const std::uint8_t* p, std::size_t n) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= std::uint32_t{p[i]} << (8 * i);
  return v;
}

// An input read as one selector byte and a message body, the body copied into a buffer of
// exactly its size so that a read past its end is caught.
struct selected_body_t {
  std::uint8_t which = 0;
  std::unique_ptr<unsigned char[]> body;
  std::uint16_t length = 0;
};

// False when there is no selector byte or the body is longer than a frame can carry.
inline bool split_selector(const std::uint8_t* data, std::size_t size, selected_body_t& out) {
  if (size < 1 || size - 1 > 0xffff) return false;
  out.which = data[0];
  out.length = static_cast<std::uint16_t>(size - 1);
  out.body.reset(new unsigned char[out.length]);
  std::memcpy(out.body.get(), data + 1, out.length);
  return true;
}

}  // namespace fuzz
