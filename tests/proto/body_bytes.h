// Expected bodies built piece by piece, and a message serialized or parsed in one call.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "proto/commands.h"

namespace proto_test {

using bytes_t = std::vector<unsigned char>;

// `n` bytes of `value`, least significant first.
inline bytes_t le(std::uint64_t value, int n) {
  bytes_t b;
  for (int i = 0; i < n; ++i) b.push_back(static_cast<unsigned char>(value >> (8 * i)));
  return b;
}

// A string shorter than 128 bytes with its length prefix.
inline bytes_t str(const std::string& s) {
  bytes_t b{static_cast<unsigned char>(s.size())};
  b.insert(b.end(), s.begin(), s.end());
  return b;
}

inline bytes_t concat(std::initializer_list<bytes_t> parts) {
  bytes_t all;
  for (const bytes_t& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

inline bytes_t body_of(const ferun::command_t& cmd) {
  bytes_t buf(4092);
  buf.resize(cmd.serialize(buf.data(), 4092));
  return buf;
}

template <class M>
M parse(const bytes_t& body) {
  M message;
  message.deserialize(body.data(), static_cast<std::uint16_t>(body.size()));
  return message;
}

// Parses `body` and expects the message to serialize back to the same bytes.
template <class M>
M round_trip(const bytes_t& body) {
  M message = parse<M>(body);
  EXPECT_EQ(body_of(message), body);
  return message;
}

}  // namespace proto_test
