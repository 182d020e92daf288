// The read and write cursors driven by operation lists taken from the input.
//
// Input: one byte n, then n operation bytes, then the body the read cursor walks. Every item
// read is checked against a plain decode of the same bytes; the items read are then written
// again, once into a buffer of exactly the size they need (and read back equal) and once into a
// buffer one byte short (which must raise before a byte past it is touched).
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "proto/serializer.h"

namespace {

enum op_t : std::uint8_t { op_u8, op_u16, op_u32, op_u64, op_string, op_view, op_raw, op_count };

struct item_t {
  op_t op;
  std::uint64_t number = 0;  // integers and counts
  std::string bytes;         // strings, views and raw groups
};

std::size_t leb_size(std::uint32_t n) {
  std::size_t size = 1;
  while (n > 0x7f) {
    n >>= 7;
    ++size;
  }
  return size;
}

std::size_t encoded_size(const item_t& item) {
  switch (item.op) {
    case op_u8: return 1;
    case op_u16: return 2;
    case op_u32: return 4;
    case op_u64: return 8;
    case op_string:
    case op_view:
      return leb_size(static_cast<std::uint32_t>(item.bytes.size())) + item.bytes.size();
    case op_raw: return item.bytes.size();
    case op_count: return leb_size(static_cast<std::uint32_t>(item.number));
  }
  return 0;
}

std::uint64_t le_at(const unsigned char* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= std::uint64_t{p[i]} << (8 * i);
  return v;
}

template <class T>
bool read_int(deserializer_t& in, item_t& item) {
  const std::uint16_t before = in.pos;
  T value{};
  try {
    in(value);
  } catch (const serializer_exception_t& e) {
    FUZZ_CHECK(e.code == 1);
    FUZZ_CHECK(in.pos == before);
    FUZZ_CHECK(std::size_t{in.size} - before < sizeof(T));
    return false;
  }
  FUZZ_CHECK(in.pos == before + sizeof(T));
  FUZZ_CHECK(value == le_at(in.buf + before, sizeof(T)));
  item.number = value;
  return true;
}

// A plain LEB128 decode of the bytes at `at`; false when the body ends inside the number.
bool leb_at(const unsigned char* buf, std::size_t size, std::size_t at, std::uint32_t& value,
            std::size_t& used) {
  value = 0;
  for (std::size_t i = 0;; ++i) {
    if (at + i >= size) return false;
    const unsigned char byte = buf[at + i];
    if (7 * i < 32) value |= static_cast<std::uint32_t>(byte & 0x7f) << (7 * i);
    if (!(byte & 0x80)) {
      used = i + 1;
      return true;
    }
  }
}

// Reads one item; false once the cursor raised.
bool read_item(deserializer_t& in, op_t op, std::size_t raw_size, item_t& item) {
  item.op = op;
  const std::uint16_t before = in.pos;
  std::uint32_t expected = 0;
  std::size_t prefix = 0;
  const bool whole_number = leb_at(in.buf, in.size, before, expected, prefix);
  switch (op) {
    case op_u8: return read_int<std::uint8_t>(in, item);
    case op_u16: return read_int<std::uint16_t>(in, item);
    case op_u32: return read_int<std::uint32_t>(in, item);
    case op_u64: return read_int<std::uint64_t>(in, item);
    case op_count: try { item.number = in.count();
      } catch (const serializer_exception_t&) {
        FUZZ_CHECK(!whole_number);
        return false;
      }
      FUZZ_CHECK(whole_number && item.number == expected && in.pos == before + prefix);
      return true;
    case op_string:
    case op_view: {
      const std::size_t length = expected & 0xffff;
      const bool fits = whole_number && before + prefix + length <= in.size;
      try {
        if (op == op_string) {
          in(item.bytes);
        } else {
          byte_view_t view;
          in.view(view);
          FUZZ_CHECK(view.length == length);
          FUZZ_CHECK(view.bytes == in.buf + before + prefix);
          item.bytes.assign(reinterpret_cast<const char*>(view.bytes), view.length);
        }
      } catch (const serializer_exception_t&) {
        FUZZ_CHECK(!fits);
        return false;
      }
      FUZZ_CHECK(fits && in.pos == before + prefix + length);
      FUZZ_CHECK(item.bytes.size() == length &&
                 std::memcmp(item.bytes.data(), in.buf + before + prefix, length) == 0);
      return true;
    }
    case op_raw: {
      std::unique_ptr<unsigned char[]> group(new unsigned char[raw_size]);
      try {
        in.raw(group.get(), raw_size);
      } catch (const serializer_exception_t&) {
        FUZZ_CHECK(in.pos == before && before + raw_size > in.size);
        return false;
      }
      FUZZ_CHECK(in.pos == before + raw_size);
      item.bytes.assign(reinterpret_cast<const char*>(group.get()), raw_size);
      FUZZ_CHECK(std::memcmp(item.bytes.data(), in.buf + before, raw_size) == 0);
      return true;
    }
  }
  return false;
}

void write_item(serializer_t& out, const item_t& item) {
  switch (item.op) {
    case op_u8: out(static_cast<std::uint8_t>(item.number)); break;
    case op_u16: out(static_cast<std::uint16_t>(item.number)); break;
    case op_u32: out(static_cast<std::uint32_t>(item.number)); break;
    case op_u64: out(item.number); break;
    case op_string: out(item.bytes); break;
    case op_view:
      out(reinterpret_cast<const unsigned char*>(item.bytes.data()),
          static_cast<std::uint16_t>(item.bytes.size()));
      break;
    case op_raw: out.raw(item.bytes.data(), item.bytes.size()); break;
    case op_count: out.count(static_cast<std::uint32_t>(item.number)); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t op_count_ = data[0];
  if (size < 1 + op_count_) return 0;
  const std::uint8_t* ops = data + 1;
  const std::size_t body_size = size - 1 - op_count_;
  if (body_size > 0xffff) return 0;

  // An exact-size copy: a read past the body is a heap overflow, not a read of the next input byte.
  std::unique_ptr<unsigned char[]> body(new unsigned char[body_size]);
  if (body_size) std::memcpy(body.get(), data + 1 + op_count_, body_size);

  std::vector<item_t> items;
  deserializer_t in(body.get(), static_cast<std::uint16_t>(body_size));
  for (std::size_t i = 0; i < op_count_; ++i) {
    item_t item;
    const bool ok = read_item(in, static_cast<op_t>(ops[i] & 7), ops[i] >> 3, item);
    FUZZ_CHECK(in.pos <= in.size);
    if (!ok) break;
    items.push_back(std::move(item));
  }

  std::size_t needed = 0;
  for (const item_t& item : items) needed += encoded_size(item);
  if (needed > 0xffff) return 0;

  std::unique_ptr<unsigned char[]> exact(new unsigned char[needed]);
  serializer_t out(exact.get(), static_cast<std::uint16_t>(needed));
  for (const item_t& item : items) write_item(out, item);
  FUZZ_CHECK(out.pos == needed);

  deserializer_t back(exact.get(), static_cast<std::uint16_t>(needed));
  for (const item_t& item : items) {
    item_t again;
    FUZZ_CHECK(read_item(back, item.op, item.bytes.size(), again));
    FUZZ_CHECK(again.bytes == item.bytes);
    if (item.op != op_string && item.op != op_view && item.op != op_raw)
      FUZZ_CHECK(again.number == item.number);
  }
  FUZZ_CHECK(back.pos == needed);

  if (needed > 0) {
    std::unique_ptr<unsigned char[]> short_buffer(new unsigned char[needed - 1]);
    serializer_t cut(short_buffer.get(), static_cast<std::uint16_t>(needed - 1));
    bool raised = false;
    try {
      for (const item_t& item : items) write_item(cut, item);
    } catch (const serializer_exception_t& e) {
      FUZZ_CHECK(e.code == 1 && std::strcmp(e.what(), "buffer overflow") == 0);
      raised = true;
    }
    FUZZ_CHECK(raised && cut.pos <= cut.size);
  }
  return 0;
}
