// The signature map loader. Input: a byte placing the cut between the files (the sid map takes
// that share, in 255ths, of the rest), the sid map, the gen map. A failed load says why, loading
// again gives the same entries and the same failure, an unknown signature shows its number.
#include "fuzz_support.h"
#include "snort/snort_msg_map.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_stdout();
  static const std::string sid = fuzz::scratch_dir() + "/sid", gen = fuzz::scratch_dir() + "/gen";
  if (size < 1) return 0;
  const std::size_t sid_size = (size - 1) * data[0] / 255;
  fuzz::write_file(sid, data + 1, sid_size);
  fuzz::write_file(gen, data + 1 + sid_size, size - 1 - sid_size);
  snort_msg_map_t map;
  exception_t e(-1, ""), again(-1, "");
  const bool ok = map.load(gen.c_str(), sid.c_str(), e);
  FUZZ_CHECK(ok ? e.code == 0 : !e.message.empty());
  const std::size_t entries = map.size();
  FUZZ_CHECK(map.load(gen.c_str(), sid.c_str(), again) == ok && map.size() == entries &&
             again.message == e.message);
  FUZZ_CHECK(map.get(0xffffffffu, 0xffffffffu).message == "4294967295");
  return 0;
}
