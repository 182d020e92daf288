// The IDS wrapper script's info output: the parsed map holds every name a statistics message
// needs, and the message made from it fits one frame.
#include "fuzz_support.h"
#include "proto/proto.h"
#include "sensor/ids_info.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ids_info_map_t info = parse_ids_info({reinterpret_cast<const char*>(data), size});
  for (const auto& pair : ids_info_defaults()) FUZZ_CHECK(info.count(pair.first) == 1);
  command_stats_t stats;
  fill_stats(info, stats);
  unsigned char body[proto_t::send_body_size];
  FUZZ_CHECK(!fuzz::raises([&] { stats.serialize(body, sizeof body); }));
  return 0;
}
