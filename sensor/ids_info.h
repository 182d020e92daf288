// The text side of the IDS wrapper script's "info" output: the parse of its "name: value" lines
// into the info map, and the conversion of the map into the fields of a statistics message.
// Pure functions over strings, so that they can be tested and fuzzed without running a script.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "proto/sensor_messages.h"

namespace ferun {

using ids_info_map_t = std::map<std::string, std::string>;

// The eleven names a statistics message is made from, each with the value it has when the
// script does not report it ("unk" for "status", empty for "uptime", "0" for the rest).
ids_info_map_t ids_info_defaults();

// Stores the pairs of `text` in `info`. One pair per line: the name up to the first ":", one
// character that is skipped unread (meant to be a blank), the value up to the line end. Names and
// values are kept as they are (no trimming); a later line replaces an earlier one of the same
// name. A line without ":" becomes the start of the next line's name, a pair without a line end
// is dropped, and the parse stops at the first position from which no ":" follows.
void parse_ids_info(const std::string& text, ids_info_map_t& info);

// The defaults with the pairs of `text` stored over them.
ids_info_map_t parse_ids_info(const std::string& text);

// A usage figure ("12.5") as hundredths in 16 bits: read as by strtof, multiplied by 100 in single
// precision, truncated toward zero, low 16 bits kept (so -1 gives 65436). A product that is not
// finite or lies outside the 32-bit signed range gives 0.
std::uint16_t usage_from_text(const std::string& text);

// A size figure ("mem", "disk"), read as by strtoul in base 10.
std::uint64_t size_from_text(const std::string& text);

// An interface counter, read as by strtoull in base 10.
std::uint64_t counter_from_text(const std::string& text);

// The uptime, read as by strtol in base 10, low 32 bits kept.
std::uint32_t uptime_from_text(const std::string& text);

// The longest state word a statistics message carries: with it the message still fits one frame.
constexpr std::size_t max_ids_state_length = 4020;

// Fills `ids_state` and every figure of `stats` from `info`; a name missing from `info` counts as
// its default. `sensor_id` and `timestamp` are left alone.
void fill_stats(const ids_info_map_t& info, command_stats_t& stats);

}  // namespace ferun
