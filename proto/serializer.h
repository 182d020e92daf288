// Bounded cursors over a caller's buffer, used to write and read every console message body.
//
// Encodings: integers little-endian (1, 2, 4 or 8 bytes); fixed byte groups (hardware and IPv6
// addresses) as they are stored; byte blocks and strings as an unsigned LEB128 length followed by
// the bytes; lists as an unsigned LEB128 count followed by the elements. Nothing is aligned, tagged
// or terminated.
//
// Every item is checked against the bytes left before any of it is written or read; an item that
// does not fit raises `serializer_exception_t` ("buffer overflow") and the caller abandons the
// whole body. Neither cursor allocates (reading a string fills the caller's string).
#pragma once

#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <type_traits>

// The one failure of the cursors: code 1, the buffer is exhausted.
class serializer_exception_t : public std::exception {
 public:
  explicit serializer_exception_t(int error_code = 1) : code(error_code) {}
  ~serializer_exception_t() override;

  // "buffer overflow" for code 1, "something wrong" for anything else.
  const char* what() const noexcept override;

  int code;
};

// A byte block read without a copy: points into the body it was read from and is valid only as
// long as that body buffer is.
struct byte_view_t {
  const unsigned char* bytes = nullptr;
  std::uint16_t length = 0;
};

// Write cursor: `pos` bytes of `buf` (capacity `size`) have been written. The calls made for
// every field are defined here so that they inline into each message's serialize.
class serializer_t {
 public:
  serializer_t(unsigned char* buffer, std::uint16_t capacity) : buf(buffer), size(capacity) {}

  // A fixed-size unsigned integer, least significant byte first.
  template <class T>
  serializer_t& operator()(const T& value) {
    static_assert(std::is_integral<T>::value && std::is_unsigned<T>::value,
                  "fixed-size fields are unsigned integers");
    check_buffer_length(sizeof(T));
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The host's order is the wire's: one copy, where the byte loop below is not always merged
    // into a single store by the compiler.
    memcpy(buf + pos, &value, sizeof(T));
#else
    for (std::size_t i = 0; i < sizeof(T); ++i)
      buf[pos + i] = static_cast<unsigned char>(static_cast<std::uint64_t>(value) >> (8 * i));
#endif
    pos = static_cast<std::uint16_t>(pos + sizeof(T));
    return *this;
  }

  // A byte block: LEB128 length, then the bytes. The length prefix may already stand in the
  // buffer when the bytes themselves do not fit.
  serializer_t& operator()(const unsigned char* data, std::uint16_t length) {
    count(length);
    return raw(data, length);
  }

  // A string as a byte block. A string longer than 65535 bytes cannot be carried and raises
  // before anything of it is written.
  serializer_t& operator()(const std::string& text) {
    if (text.size() > 0xffff) overflow();
    return (*this)(reinterpret_cast<const unsigned char*>(text.data()),
                   static_cast<std::uint16_t>(text.size()));
  }

  // A fixed group of `n` raw bytes (hardware or IPv6 address), copied as stored.
  serializer_t& raw(const void* data, std::size_t n) {
    check_buffer_length(n);
    if (n > 0) memcpy(buf + pos, data, n);
    pos = static_cast<std::uint16_t>(pos + n);
    return *this;
  }

  // A list count: unsigned LEB128 of up to 32 bits, each byte checked on its own.
  serializer_t& count(std::uint32_t n) {
    if (n > 0x7f) return long_count(n);
    check_buffer_length(1);
    buf[pos++] = static_cast<unsigned char>(n);
    return *this;
  }

  // Raises "buffer overflow" when fewer than `n` bytes are left.
  void check_buffer_length(unsigned long n) const {
    if (static_cast<unsigned long>(size - pos) < n) overflow();
  }

  unsigned char* buf;
  std::uint16_t size;
  std::uint16_t pos = 0;

 private:
  [[noreturn]] static void overflow();
  serializer_t& long_count(std::uint32_t n);
};

// Read cursor: `pos` of the `size` bytes of `buf` have been consumed.
class deserializer_t {
 public:
  deserializer_t(const unsigned char* buffer, std::uint16_t length) : buf(buffer), size(length) {}

  // A fixed-size unsigned integer, least significant byte first.
  template <class T>
  deserializer_t& operator()(T& value) {
    static_assert(std::is_integral<T>::value && std::is_unsigned<T>::value,
                  "fixed-size fields are unsigned integers");
    check_buffer_length(sizeof(T));
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
      v |= static_cast<std::uint64_t>(buf[pos++]) << (8 * i);
    value = static_cast<T>(v);
    return *this;
  }

  // A string: replaces the contents of `text`.
  deserializer_t& operator()(std::string& text);

  // A byte block as a view into the body (no copy).
  deserializer_t& view(byte_view_t& block);

  // A fixed group of `n` raw bytes.
  deserializer_t& raw(void* data, std::size_t n);

  // An unsigned LEB128 number accumulated into 32 bits (list counts; block lengths take its low
  // 16 bits). Groups beyond the 32nd bit are dropped, but every byte is still bound-checked.
  std::uint32_t count();

  // Raises "buffer overflow" when fewer than `n` bytes are left.
  void check_buffer_length(unsigned long n) const;

  const unsigned char* buf;
  std::uint16_t size;
  std::uint16_t pos = 0;
};
