// The checks every message body goes through, shared by the message targets and the framer's.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "proto/commands.h"
#include "support/fmt_ring.h"

namespace fuzz {

// The body as `message` writes it now; raises when it does not fit 65535 bytes.
inline std::vector<unsigned char> body_of(const ferun::command_t& message) {
  std::vector<unsigned char> buffer(0xffff);
  const std::uint16_t n = message.serialize(buffer.data(), 0xffff);
  buffer.resize(n);
  return buffer;
}

// Reads `length` bytes of `body` into the message `make()` returns; when that succeeds, checks
// that the message writes back at most what it read, that the written form reads back to the
// same message, and that a buffer one byte short raises instead of being overrun. Returns
// whether the body was taken.
template <class Make>
bool check_body(Make make, const unsigned char* body, std::uint16_t length) {
  std::unique_ptr<ferun::command_t> first = make();
  const std::uint32_t id = first->id;
  std::uint16_t used;
  try {
    used = first->deserialize(body, length);
  } catch (const serializer_exception_t& e) {
    FUZZ_CHECK(e.code == 1);
    return false;
  }
  FUZZ_CHECK(used <= length);
  FUZZ_CHECK(first->id == id);
  FUZZ_CHECK(first->to_str() != nullptr);
  fmt_ring_reset();

  // Encodings are not unique (a number may be padded with 0x80 groups, a list count with bit 31
  // set reads as empty), so the canonical form is never longer than what was read.
  const std::vector<unsigned char> written = body_of(*first);
  FUZZ_CHECK(written.size() <= used);

  std::unique_ptr<unsigned char[]> exact(new unsigned char[written.size()]);
  if (!written.empty()) std::memcpy(exact.get(), written.data(), written.size());
  std::unique_ptr<ferun::command_t> second = make();
  const auto size = static_cast<std::uint16_t>(written.size());
  FUZZ_CHECK(second->deserialize(exact.get(), size) == size);
  FUZZ_CHECK(body_of(*second) == written);

  if (!written.empty()) {
    std::unique_ptr<unsigned char[]> short_buffer(new unsigned char[written.size() - 1]);
    bool raised = false;
    try {
      first->serialize(short_buffer.get(), static_cast<std::uint16_t>(written.size() - 1));
    } catch (const serializer_exception_t& e) {
      raised = e.code == 1;
    }
    FUZZ_CHECK(raised);
  }
  return true;
}

}  // namespace fuzz
