#include "snort/snort_msg_map.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <cerrno>
#include <fstream>
#include <tuple>

#include "common/temp_dir.h"
#include "snort_test_util.h"

using snort_test::log_capture_t;

namespace {

class MsgMap : public ::testing::Test {
 protected:
  bool load(const std::string& sid_text, const std::string& gen_text) {
    std::ofstream(sid_path, std::ios::binary) << sid_text;
    std::ofstream(gen_path, std::ios::binary) << gen_text;
    return map.load(gen_path.c_str(), sid_path.c_str(), error);
  }

  ferun_test::temp_dir_t dir;
  std::string sid_path = (dir / "sid-msg.map").string();
  std::string gen_path = (dir / "gen-msg.map").string();
  snort_msg_map_t map;
  exception_t error{-1, "untouched"};
};

TEST_F(MsgMap, UnknownKeyGivesDecimalFallback) {
  log_capture_t log("snort_parser", "error");
  ASSERT_TRUE(load("", ""));
  EXPECT_EQ(error.message, "untouched");
  for (int i = 0; i < 2; ++i) {
    const snort_msg_t m = map.get(4294967295u, 7);
    EXPECT_EQ(std::tie(m.gen_entry, m.group, m.message), std::make_tuple(true, "4294967295", "7"));
  }
  EXPECT_EQ(log.count("ERROR snort_parser: invalid key: 4294967295:7"), 1u);  // no newline
  EXPECT_EQ(log.count("invalid key: 4294967295:7"), 2u);
}

TEST_F(MsgMap, LinesSplitIntoGroupAndMessage) {
  ASSERT_TRUE(
      load("103 || DELETED   BACKDOOR subseven  22 || arachnids,485 || url,x || ignored\n"
           "104 || single\n105 || DELETED single\n106 || DELETED\n107 ||    GPL DELETED poll\n"
           "108\n109||a\tb c||r1\n",
           "119 || 32 || http_inspect:   a: b\n3 || 1 || snort dynamic alert\n"
           "1 || 1 || snort general alert\n# 116 || 1 || comment\n"));
  const std::tuple<unsigned, unsigned, bool, std::string, std::string> rows[] = {
      {1, 103, false, "BACKDOOR", "subseven  22 (DELETED)"},
      {1, 104, false, "", "single"},
      {1, 105, false, "", "single (DELETED)"},
      {1, 106, false, "", "DELETED"},  // no blank inside the field: not a deleted mark
      {1, 107, false, "GPL", "DELETED poll"},
      {1, 109, false, "a\tb", "c"},  // tabs are text; the separator takes the blanks around it
      {119, 32, true, "http_inspect", "a: b"},
      {3, 1, true, "snort dynamic alert", ""}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::get<1>(r));
    const snort_msg_t m = map.get(std::get<0>(r), std::get<1>(r));
    EXPECT_EQ(std::tie(m.gen_entry, m.group, m.message),
              std::tie(std::get<2>(r), std::get<3>(r), std::get<4>(r)));
  }
  EXPECT_EQ(map.get(1, 103).refs, (std::array<std::string, 2>{{"arachnids,485", "url,x"}}));
  EXPECT_EQ(map.get(1, 109).refs[0], "r1");
  EXPECT_EQ(map.size(), 8u);  // not 108 (no message), nor generator 1 of the gen map, nor comments
}

TEST_F(MsgMap, DuplicateKeysRefillTheEntry) {
  log_capture_t log("snort_parser", "warning");
  ASSERT_TRUE(load("5 || A one || r1 || r2\n5 || B two || r3\n",
                   "7 || 1 || g1: m1\n7 || 1 || g2\n7 || 2 || x: y\n"));
  snort_msg_t m = map.get(1, 5);
  EXPECT_EQ(std::tie(m.group, m.message, m.refs[0], m.refs[1]),
            std::make_tuple("B", "two", "r3", "r2"));
  m = map.get(7, 1);
  EXPECT_EQ(std::tie(m.group, m.message), std::make_tuple("g2", "m1"));  // no colon: message stays
  EXPECT_EQ(log.count("WARNING snort_parser: duplicate key " + sid_path + ":2\n"), 1u);
  EXPECT_EQ(log.count("ERROR snort_parser: duplicate key " + gen_path + ":2\n"), 1u);
}

TEST_F(MsgMap, GenLineWithoutThreeFieldsFailsTheLoad) {
  const std::tuple<const char*, unsigned, size_t> cases[] = {
      {"9 || 1 || a: b\n9 || 2 ||\n", 2, 2},           // trailing separator: two fields
      {"9 || 1 || a: b || extra\n", 1, 2},             // the failing line's entry stays
      {"1 || 1 || general || extra\n", 1, 1},          // generator 1 still must have three
      {"9 || 1 || a: b\n9\n9 || 3 || c: d\n", 2, 2}};  // the rest is not read
  for (const auto& c : cases) {
    SCOPED_TRACE(std::get<0>(c));
    EXPECT_FALSE(load("5 || A one\n", std::get<0>(c)));
    EXPECT_EQ(error.message, "unknown format of gid map file " + gen_path + ":" +
                                 std::to_string(std::get<1>(c)) + "\n");
    EXPECT_EQ(map.size(), std::get<2>(c));
    EXPECT_THROW(map.load(gen_path.c_str(), sid_path.c_str()), exception_t);
  }
}

// Both files are opened before either is read.
TEST_F(MsgMap, MissingFileFailsBeforeAnyLineIsRead) {
  ASSERT_TRUE(load("5 || A one\n", "9 || 1 || a: b\n"));
  log_capture_t log("snort_parser", "error");
  for (const std::string& gone : {gen_path, sid_path}) {
    std::ofstream(gen_path) << "9 || 1 || a: b\n";
    boost::filesystem::remove(gone);
    EXPECT_FALSE(map.load(gen_path.c_str(), sid_path.c_str(), error));
    EXPECT_EQ(std::tie(error.code, error.message),
              std::make_tuple(ENOENT, "No such file or directory"));
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(log.count("can't open file " + gone + ": No such file or directory\n"), 1u);
  }
}

// Filed under the previous line's id they would overwrite signature 5's message.
TEST_F(MsgMap, LinesThatDoNotConvertAreSkipped) {
  log_capture_t log("snort_parser", "error");
  ASSERT_TRUE(
      load("5 || A one\nabc || B two\n #6 || C three\n", "x || 1 || g: m\n9 || y || g: m\n"));
  EXPECT_EQ(map.size(), 1u);
  EXPECT_EQ(map.get(1, 5).group, "A");
  for (const std::string& at : {sid_path + ":2", sid_path + ":3", gen_path + ":1", gen_path + ":2"})
    EXPECT_EQ(log.count("unable parse line " + at + "\n"), 1u) << at;
}

// Lines are read 8191 characters at a time: a longer line loses its last character.
TEST_F(MsgMap, LineReadingEdges) {
  log_capture_t log("snort_parser", "error");
  const std::string too_long = "20 || g " + std::string(8191 - 8, 'm');
  const std::string fitting = "21 || g " + std::string(8190 - 8, 'n');
  ASSERT_TRUE(load(too_long + "\n" + fitting + "\n22 || g crlf\r\n\n23 || g last", ""));
  EXPECT_EQ(map.get(1, 20).message, std::string(8191 - 8 - 1, 'm'));
  EXPECT_EQ(map.get(1, 21).message, std::string(8190 - 8, 'n'));
  EXPECT_EQ(map.get(1, 22).message, "crlf\r");
  EXPECT_EQ(map.get(1, 23).message, "las");  // no newline at the end: last character lost
  EXPECT_EQ(log.count("very long string\n"), 2u);
}

}  // namespace
