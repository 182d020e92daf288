// The IDS wrapper script's info output: its parse into the info map and the statistics message
// made from that map, which must always fit one frame.
#include <cmath>
#include <cstring>

#include "fuzz_support.h"
#include "proto/proto.h"
#include "sensor/ids_info.h"

namespace {

using namespace ferun;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const ids_info_map_t info = parse_ids_info(text);
  for (const auto& name : ids_info_defaults()) FUZZ_CHECK(info.count(name.first) == 1);

  // Every pair stored came from one line: neither side holds a line end, and the parse added
  // at most one pair per line.
  std::size_t lines = 0;
  for (const char c : text) lines += c == '\n';
  FUZZ_CHECK(info.size() <= ids_info_defaults().size() + lines);
  for (const auto& pair : info) {
    FUZZ_CHECK(pair.second.find('\n') == std::string::npos);
    FUZZ_CHECK(pair.first.find(':') == std::string::npos);
  }

  command_stats_t stats;
  fill_stats(info, stats);
  FUZZ_CHECK(stats.ids_state.size() <= max_ids_state_length);

  unsigned char body[proto_t::send_body_size];
  std::uint16_t n = 0;
  try {
    n = stats.serialize(body, sizeof body);
  } catch (const serializer_exception_t&) {
    FUZZ_CHECK(!"a statistics message must fit one frame");
  }
  command_stats_t back;
  FUZZ_CHECK(back.deserialize(body, n) == n);
  FUZZ_CHECK(back.ids_state == stats.ids_state && back.cpu_usage == stats.cpu_usage &&
             back.memory == stats.memory && back.uptime == stats.uptime);

  // The figure readers over the whole text as well as over each value.
  usage_from_text(text);
  size_from_text(text);
  counter_from_text(text);
  uptime_from_text(text);
  return 0;
}
