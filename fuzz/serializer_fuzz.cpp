// The cursors on what the messages do not reach: raw groups of any size, views, long counts.
// Input: a byte n, n operations (low 2 bits the item kind, the rest a raw group's size), the
// body. Each item read is written out again: reads stay inside the body, the written form is no
// longer, and a buffer one byte (last input byte odd: two) short for it raises, never overrun.
#include "fuzz_support.h"

namespace {

void copy_item(std::uint8_t op, deserializer_t& in, serializer_t& out) {
  byte_view_t view;
  unsigned char group[64];
  switch (op & 3) {
    case 0: in.raw(group, op >> 2), out.raw(group, op >> 2); return;
    case 1: in.view(view), out(view.bytes, view.length); return;
    default: out.count(in.count());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1u + (size ? data[0] : 0) || size - 1 - data[0] > 0xffff) return 0;
  const auto length = static_cast<std::uint16_t>(size - 1 - data[0]);
  const std::vector<unsigned char> body(data + 1 + data[0], data + size);
  std::vector<unsigned char> written(0xffff);
  deserializer_t in(body.data(), length), again(body.data(), length);
  serializer_t out(written.data(), 0xffff);
  std::size_t n = 0;
  while (n < data[0] && !fuzz::raises([&] { copy_item(data[1 + n], in, out); })) ++n;
  FUZZ_CHECK(in.pos <= length && out.pos <= in.pos);
  if (out.pos == 0) return 0;
  std::vector<unsigned char> cut(out.pos - 1u - (out.pos > 1 && data[size - 1] & 1));
  serializer_t short_out(cut.data(), static_cast<std::uint16_t>(cut.size()));
  FUZZ_CHECK(fuzz::raises([&] {
    for (std::size_t i = 0; i < n; ++i) copy_item(data[1 + i], again, short_out);
  }));
  return 0;
}
