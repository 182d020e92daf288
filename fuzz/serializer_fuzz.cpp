// The read and write cursors. Input: one byte n, n operation bytes (low 3 bits the item kind, the
// rest a raw group's size), then the body. Each item read is written out again: reads stay inside
// the body, the written form is no longer than what was read and copies to itself, and a buffer
// one byte short for it raises.
#include "fuzz_support.h"

namespace {

void copy_item(std::uint8_t op, deserializer_t& in, serializer_t& out) {
  const auto number = [&](auto value) {
    in(value);
    out(value);
  };
  std::string text;
  byte_view_t view;
  char group[32];
  switch (op & 7) {
    case 0: return number(std::uint8_t{});
    case 1: return number(std::uint16_t{});
    case 2: return number(std::uint32_t{});
    case 3: return number(std::uint64_t{});
    case 4: in(text), out(text); return;
    case 5: in.view(view), out(view.bytes, view.length); return;
    case 6: in.raw(group, op >> 3), out.raw(group, op >> 3); return;
    default: out.count(in.count());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1u + (size ? data[0] : 0) || size - 1 - data[0] > 0xffff) return 0;
  const std::uint8_t* ops = data + 1;
  const auto length = static_cast<std::uint16_t>(size - 1 - data[0]);
  const auto body = fuzz::exact_copy(ops + data[0], length);
  std::vector<unsigned char> first(0xffff), second(0xffff);
  deserializer_t in(body.get(), length);
  serializer_t out(first.data(), 0xffff);
  std::size_t n = 0;
  while (n < data[0] && !fuzz::raises([&] { copy_item(ops[n], in, out); })) ++n;
  FUZZ_CHECK(in.pos <= length && out.pos <= in.pos);

  const auto written = fuzz::exact_copy(first.data(), out.pos);
  deserializer_t back(written.get(), out.pos), again(written.get(), out.pos);
  serializer_t copy(second.data(), 0xffff);
  for (std::size_t i = 0; i < n; ++i) copy_item(ops[i], back, copy);
  FUZZ_CHECK(back.pos == out.pos && copy.pos == out.pos && first == second);
  if (out.pos == 0) return 0;
  const auto cut = fuzz::exact_copy(first.data(), out.pos - 1);
  serializer_t short_out(cut.get(), static_cast<std::uint16_t>(out.pos - 1));
  FUZZ_CHECK(fuzz::raises([&] {
    for (std::size_t i = 0; i < n; ++i) copy_item(ops[i], again, short_out);
  }));
  return 0;
}
