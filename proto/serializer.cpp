#include "proto/serializer.h"

#include <cstring>

serializer_exception_t::~serializer_exception_t() = default;

const char* serializer_exception_t::what() const noexcept {
  return code == 1 ? "buffer overflow" : "something wrong";
}

void serializer_t::overflow() {
  throw serializer_exception_t(1);
}

serializer_t& serializer_t::long_count(std::uint32_t n) {
  while (n > 0x7f) {
    check_buffer_length(1);
    buf[pos++] = static_cast<unsigned char>((n & 0x7f) | 0x80);
    n >>= 7;
  }
  check_buffer_length(1);
  buf[pos++] = static_cast<unsigned char>(n);
  return *this;
}

void deserializer_t::check_buffer_length(unsigned long n) const {
  if (static_cast<unsigned long>(size - pos) < n) throw serializer_exception_t(1);
}

std::uint32_t deserializer_t::count() {
  std::uint32_t value = 0;
  unsigned shift = 0;
  for (;;) {
    check_buffer_length(1);
    const unsigned char byte = buf[pos++];
    if (shift < 32) value |= static_cast<std::uint32_t>(byte & 0x7f) << shift;
    shift += 7;
    if (!(byte & 0x80)) return value;
  }
}

deserializer_t& deserializer_t::operator()(std::string& text) {
  byte_view_t block;
  view(block);
  text.assign(reinterpret_cast<const char*>(block.bytes), block.length);
  return *this;
}

deserializer_t& deserializer_t::view(byte_view_t& block) {
  const auto length = static_cast<std::uint16_t>(count());
  check_buffer_length(length);
  block.bytes = buf + pos;
  block.length = length;
  pos = static_cast<std::uint16_t>(pos + length);
  return *this;
}

deserializer_t& deserializer_t::raw(void* data, std::size_t n) {
  check_buffer_length(n);
  if (n > 0) memcpy(data, buf + pos, n);
  pos = static_cast<std::uint16_t>(pos + n);
  return *this;
}
