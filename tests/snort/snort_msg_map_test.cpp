#include "snort/snort_msg_map.h"

#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

#include "common/daemon_launcher.h"
#include "common/temp_dir.h"

// Separator, group and message split, "DELETED ", duplicates refilling the entry, ids that do
// not convert (skipped, never filed under the previous line's id), decimal fallback reported
// once per missing key and load; a gen map line without three fields fails the load.
TEST(MsgMap, LineRules) {
  ferun_test::temp_dir_t dir;
  const std::string sid = (dir / "sid").string(), gen = (dir / "gen").string();
  const std::string log = (dir / "log").string();
  log_t::set_filename(log);
  log_t::enable("snort_parser", log_t::level_of("warning"));
  std::ofstream(sid)
      << "103 || DELETED   BACKDOOR subseven  22 || arachnids,485 || url,x\n"
         "5 || A one || r1 || r2\n5||B two||r3\nabc || C three\n6 || G m\n6 || solo\n";
  std::ofstream(gen) << "119 || 32 || http_inspect:   a: b\n3 || 1 || snort dynamic alert\n"
                        "x || 1 || g\n";
  snort_msg_map_t map;
  exception_t error{-1, "untouched"};
  ASSERT_TRUE(map.load(gen.c_str(), sid.c_str(), error));
  const std::tuple<unsigned, unsigned, bool, std::string, std::string, std::string> rows[] = {
      {1, 103, false, "BACKDOOR", "subseven  22 (DELETED)", "url,x"},
      {1, 5, false, "B", "two", "r2"},  // the duplicate refills the fields it has
      {1, 6, false, "", "solo", ""},
      {119, 32, true, "http_inspect", "a: b", ""},
      {3, 1, true, "snort dynamic alert", "", ""},
      {4294967295u, 7, true, "4294967295", "7", ""}};
  for (const auto& r : rows) {
    const snort_msg_t m = map.get(std::get<0>(r), std::get<1>(r));
    EXPECT_EQ(std::tie(m.gen_entry, m.group, m.message, m.refs[1]),
              std::tie(std::get<2>(r), std::get<3>(r), std::get<4>(r), std::get<5>(r)))
        << std::get<1>(r);
  }
  EXPECT_EQ(map.size(), 5u);
  map.get(4294967295u, 7);  // reported once per load
  std::ofstream(gen) << "9 || 1 || a: b\n9 || 2 ||\n";
  EXPECT_FALSE(map.load(gen.c_str(), sid.c_str(), error));
  EXPECT_EQ(error.message, "unknown format of gid map file " + gen + ":2\n");
  map.get(4294967295u, 7);
  const std::string text = ferun_test::read_file(log);
  for (const std::string& line :
       {"WARNING snort_parser: duplicate key " + sid + ":3\n", "unable parse line " + sid + ":4\n",
        "unable parse line " + gen + ":3\n",
        "invalid key: 4294967295:7\nWARNING snort_parser: duplicate key " + sid + ":3\n",
        "unknown format of gid map file " + gen +
            ":2\nERROR snort_parser: invalid key: 4294967295:7\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  log_t::disable("snort_parser");
  log_t::set_filename("");
}
