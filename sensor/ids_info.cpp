#include "sensor/ids_info.h"

#include <cmath>
#include <cstdlib>

namespace ferun {

ids_info_map_t ids_info_defaults() {
  return {
      {"status", "unk"},   {"uptime", ""},    {"cpu_usage", "0"},  {"mem", "0"},
      {"mem_usage", "0"},  {"disk", "0"},     {"disk_usage", "0"}, {"rx_bytes", "0"},
      {"rx_packets", "0"}, {"tx_bytes", "0"}, {"tx_packets", "0"},
  };
}

void parse_ids_info(const std::string& text, ids_info_map_t& info) {
  std::string::size_type pos = 0;
  while (pos < text.size()) {
    const auto colon = text.find(':', pos);
    if (colon == std::string::npos) return;
    // The character after the colon is skipped without a look; find() treats a start past the
    // end as "not found", which covers a colon in the last or next-to-last place.
    const auto value_start = colon + 2;
    const auto line_end = text.find('\n', value_start);
    if (line_end == std::string::npos) return;
    info[text.substr(pos, colon - pos)] = text.substr(value_start, line_end - value_start);
    pos = line_end + 1;
  }
}

ids_info_map_t parse_ids_info(const std::string& text) {
  ids_info_map_t info = ids_info_defaults();
  parse_ids_info(text, info);
  return info;
}

std::uint16_t usage_from_text(const std::string& text) {
  const float value = std::strtof(text.c_str(), nullptr);
  const float hundredths = value * 100.0f;
  // Converting a float outside the target's range is undefined: such figures (and inf, nan) are
  // sent as 0.
  if (!std::isfinite(hundredths) || hundredths < -2147483648.0f || hundredths >= 2147483648.0f)
    return 0;
  const auto whole = static_cast<std::int32_t>(hundredths);
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(whole) & 0xffffu);
}

std::uint64_t size_from_text(const std::string& text) {
  return std::strtoul(text.c_str(), nullptr, 10);
}

std::uint64_t counter_from_text(const std::string& text) {
  return std::strtoull(text.c_str(), nullptr, 10);
}

std::uint32_t uptime_from_text(const std::string& text) {
  return static_cast<std::uint32_t>(std::strtol(text.c_str(), nullptr, 10));
}

namespace {

const std::string& value_of(const ids_info_map_t& info, const ids_info_map_t& defaults,
                            const std::string& name) {
  auto it = info.find(name);
  return it != info.end() ? it->second : defaults.at(name);
}

}  // namespace

void fill_stats(const ids_info_map_t& info, command_stats_t& stats) {
  static const ids_info_map_t defaults = ids_info_defaults();
  auto text = [&](const char* name) -> const std::string& {
    return value_of(info, defaults, name);
  };
  // A state word too long for one frame would fail every statistics message and so end the
  // connection each period; it is cut instead.
  stats.ids_state = text("status").substr(0, max_ids_state_length);
  stats.cpu_usage = usage_from_text(text("cpu_usage"));
  stats.memory = size_from_text(text("mem"));
  stats.mem_usage = usage_from_text(text("mem_usage"));
  stats.disk = size_from_text(text("disk"));
  stats.disk_usage = usage_from_text(text("disk_usage"));
  stats.ifrecv_bytes = counter_from_text(text("rx_bytes"));
  stats.ifrecv_packets = counter_from_text(text("rx_packets"));
  stats.ifsend_bytes = counter_from_text(text("tx_bytes"));
  stats.ifsend_packets = counter_from_text(text("tx_packets"));
  stats.uptime = uptime_from_text(text("uptime"));
}

}  // namespace ferun
