// The signature map loader over arbitrary sid-map and gen-map contents.
//
// Input: one byte that places the cut between the two files (the sid map takes that share, in
// 255ths, of the rest), then the sid map, then the gen map.
#include <cstring>

#include "fuzz_support.h"
#include "snort/snort_msg_map.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_stdout();
  static const std::string sid_path = fuzz::scratch_dir() + "/sid-msg.map";
  static const std::string gen_path = fuzz::scratch_dir() + "/gen-msg.map";
  if (size < 1) return 0;
  const std::size_t rest = size - 1;
  const std::size_t sid_size = rest * data[0] / 255;
  fuzz::write_file(sid_path, data + 1, sid_size);
  fuzz::write_file(gen_path, data + 1 + sid_size, rest - sid_size);

  snort_msg_map_t map;
  exception_t e;
  e.code = -1;
  const bool ok = map.load(gen_path.c_str(), sid_path.c_str(), e);
  if (ok)
    FUZZ_CHECK(e.code == 0);
  else
    FUZZ_CHECK(!e.message.empty());
  const std::size_t entries = map.size();

  // Loading again replaces the entries rather than adding to them, and the throwing form agrees.
  bool thrown = false;
  try {
    map.load(gen_path.c_str(), sid_path.c_str());
  } catch (const exception_t& again) {
    thrown = true;
    FUZZ_CHECK(again.message == e.message);
  }
  FUZZ_CHECK(thrown == !ok);
  FUZZ_CHECK(map.size() == entries);

  // Lookups: generator 1 and the generators and signatures of the first bytes of either file.
  for (std::size_t i = 0; i + 4 <= size && i < 64; i += 4) {
    const unsigned gid = i == 0 ? 1 : data[i] % 4;
    const unsigned sid = fuzz::le(data + i, 4) % 4096;
    const snort_msg_t m = map.get(gid, sid);
    FUZZ_CHECK(m.group.size() + m.message.size() < size + 64);
  }
  FUZZ_CHECK(map.get(0xffffffffu, 0xffffffffu).message == "4294967295");
  return 0;
}
