// The wrapper script's "info" output parsed, and the usage figures made from it.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "sensor/ids_info.h"

using ferun::ids_info_map_t;

TEST(IdsInfo, ParseGrammar) {
  const struct {
    std::string text;
    ids_info_map_t changes;
  } cases[] = {
      {"status: running\nuptime: 3600\n", {{"status", "running"}, {"uptime", "3600"}}},
      {"status:running\n", {{"status", "unning"}}},  // the character after ":" is skipped
      {std::string("status: ok\nuptime: 5") + '\0', {{"status", "ok"}}},  // no line end: dropped
      {"junk\nstatus: ok\n", {{"junk\nstatus", "ok"}}},  // a line without ":" starts the name
  };
  for (const auto& c : cases) {
    ids_info_map_t expected = ferun::ids_info_defaults();
    for (const auto& pair : c.changes) expected[pair.first] = pair.second;
    EXPECT_EQ(ferun::parse_ids_info(c.text), expected) << c.text;
  }
}

TEST(IdsInfo, UsageIsHundredthsInSixteenBits) {
  // Not finite, or outside 32 bits once times 100: 0.
  const std::pair<const char*, int> cases[] = {
      {"12.5", 1250}, {"0.53", 52}, {"-1", 65436}, {"nan", 0}, {"21474836", 0}};
  for (const auto& c : cases) EXPECT_EQ(ferun::usage_from_text(c.first), c.second) << c.first;
}
