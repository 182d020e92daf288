#include "snort/snort_msg_map.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <tuple>

#include "common/temp_dir.h"
#include "support/log.h"

namespace {

class MsgMap : public ::testing::Test {
 protected:
  void SetUp() override {
    log_t::set_filename(log_path);
    log_t::enable("snort_parser", log_t::level_of("warning"));
  }
  void TearDown() override {
    log_t::disable("snort_parser");
    log_t::set_filename("");
  }
  bool load(const std::string& sid_text, const std::string& gen_text) {
    std::ofstream(sid_path, std::ios::binary) << sid_text;
    std::ofstream(gen_path, std::ios::binary) << gen_text;
    return map.load(gen_path.c_str(), sid_path.c_str(), error);
  }
  std::string log() const {
    std::ostringstream s;
    s << std::ifstream(log_path).rdbuf();
    return s.str();
  }

  ferun_test::temp_dir_t dir;
  std::string sid_path = (dir / "sid-msg.map").string();
  std::string gen_path = (dir / "gen-msg.map").string();
  std::string log_path = (dir / "log").string();
  snort_msg_map_t map;
  exception_t error{-1, "untouched"};
};

// Separator, group and message split, "DELETED ", duplicates refilling the entry, ids that do
// not convert (skipped, never filed under the previous line's id), decimal fallback with one
// report per missing key and load.
TEST_F(MsgMap, LineRules) {
  ASSERT_TRUE(
      load("103 || DELETED   BACKDOOR subseven  22 || arachnids,485 || url,x\n"
           "5 || A one || r1 || r2\n5||B two||r3\nabc || C three\n6 || G m\n6 || solo\n",
           "119 || 32 || http_inspect:   a: b\n3 || 1 || snort dynamic alert\nx || 1 || g\n"));
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
  map.get(4294967295u, 7);  // reported once per load: the rows' lookup and one after reload
  map.load(gen_path.c_str(), sid_path.c_str());
  map.get(4294967295u, 7);
  const std::string text = log(), invalid = "ERROR snort_parser: invalid key: 4294967295:7\n";
  for (const std::string& line : {"WARNING snort_parser: duplicate key " + sid_path + ":3\n",
                                  "unable parse line " + sid_path + ":4\n",
                                  "unable parse line " + gen_path + ":3\n", invalid})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  EXPECT_EQ(text.find(invalid, text.find(invalid) + 1), text.rfind(invalid));
  EXPECT_NE(text.find(invalid), text.rfind(invalid));
}

// A gen map line needs three fields; the load fails at it.
TEST_F(MsgMap, GenLineWithoutThreeFieldsFailsTheLoad) {
  EXPECT_FALSE(load("5 || A one\n", "9 || 1 || a: b\n9 || 2 ||\n"));
  EXPECT_EQ(error.message, "unknown format of gid map file " + gen_path + ":2\n");
}

}  // namespace
