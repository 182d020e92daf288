// The wrapper script's "info" output parsed, and the statistics figures made from it.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "proto/proto.h"
#include "sensor/ids_info.h"

using ferun::ids_info_map_t;

namespace {

ids_info_map_t defaults_with(const ids_info_map_t& changes) {
  ids_info_map_t info = ferun::ids_info_defaults();
  for (const auto& pair : changes) info[pair.first] = pair.second;
  return info;
}

}  // namespace

TEST(IdsInfo, ParseGrammar) {
  EXPECT_EQ(ferun::ids_info_defaults().size(), 11u);
  const struct {
    std::string text;
    ids_info_map_t changes;
  } cases[] = {
      {"", {}},
      {std::string(1, '\0'), {}},  // whole-file reading adds a NUL
      {"no pairs here\nat all\n", {}},
      {"status:running\n", {{"status", "unning"}}},  // the character after ":" is skipped
      {std::string("status: ok\nuptime: 5") + '\0', {{"status", "ok"}}},  // no line end: dropped
      {"status:", {}},
      {"status:\n", {}},
      {"junk\nstatus: ok\n", {{"junk\nstatus", "ok"}}},  // a line without ":" starts the name
      {"status:\nuptime: 5\n", {{"status", "uptime: 5"}}},
      {"status: a\r\n cpu_usage: 1\nstatus: b \nextra: x: y\n",
       {{"status", "b "}, {" cpu_usage", "1"}, {"extra", "x: y"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ferun::parse_ids_info(c.text), defaults_with(c.changes));
  }
}

TEST(IdsInfo, UsageIsHundredthsInSixteenBits) {
  // Single precision: 0.53 times 100 is just below 53; 21474836 times 100 is exactly 2^31.
  const std::pair<const char*, int> cases[] = {
      {"12.5", 1250},   {"0.53", 52},         {"-1", 65436},
      {"655.36", 0},    {"700", 4464},        {" 7.5%", 750},
      {"", 0},          {"busy", 0},          {"nan", 0},
      {"-inf", 0},      {"1e39", 0},          {"21474836", 0},
      {"-21474838", 0}, {"21474834", 0xff00}, {"-21474834", 0x0100}};
  for (const auto& c : cases) EXPECT_EQ(ferun::usage_from_text(c.first), c.second) << c.first;
}

TEST(IdsInfo, FillsEveryFieldFromItsText) {
  ferun::command_stats_t stats;
  ferun::fill_stats(defaults_with({{"status", std::string(100000, 's')},
                                   {"uptime", "4294967297"},
                                   {"cpu_usage", "1"},
                                   {"mem", "12kB"},
                                   {"mem_usage", "3"},
                                   {"disk", "x12"},
                                   {"disk_usage", "5"},
                                   {"rx_bytes", "18446744073709551615"},
                                   {"rx_packets", "7"},
                                   {"tx_bytes", ""},
                                   {"tx_packets", "123456789012"}}),
                    stats);
  EXPECT_EQ(
      std::vector<std::uint64_t>({stats.uptime, stats.cpu_usage, stats.memory, stats.mem_usage,
                                  stats.disk, stats.disk_usage, stats.ifrecv_bytes,
                                  stats.ifrecv_packets, stats.ifsend_bytes, stats.ifsend_packets}),
      std::vector<std::uint64_t>(
          {1, 100, 12, 300, 0, 500, 18446744073709551615u, 7, 0, 123456789012u}));
  EXPECT_EQ(ferun::uptime_from_text("-1"), 4294967295u);
  // Any state word still fits one frame.
  EXPECT_EQ(stats.ids_state, std::string(ferun::max_ids_state_length, 's'));
  std::array<unsigned char, ferun::proto_t::send_body_size> body{};
  EXPECT_NO_THROW(stats.serialize(body.data(), static_cast<std::uint16_t>(body.size())));
}
