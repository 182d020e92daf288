#include "snort/snort_msg_map.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <cerrno>

#include "snort_test_util.h"

using snort_test::log_capture_t;
using snort_test::temp_dir_t;
using snort_test::write_text;

namespace {

class MsgMap : public ::testing::Test {
 protected:
  // Writes both map files and loads them; returns the load's result.
  bool load(const std::string& sid_text, const std::string& gen_text) {
    write_text(sid_path, sid_text);
    write_text(gen_path, gen_text);
    return map.load(gen_path.c_str(), sid_path.c_str(), error);
  }

  temp_dir_t dir;
  std::string sid_path = dir.file("sid-msg.map");
  std::string gen_path = dir.file("gen-msg.map");
  snort_msg_map_t map;
  exception_t error{-1, "untouched"};
};

TEST_F(MsgMap, EmptyFilesGiveDecimalFallbackEveryTime) {
  log_capture_t log("snort_parser", "error");
  ASSERT_TRUE(load("", ""));
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(error.message, "untouched");
  EXPECT_EQ(map.size(), 0u);
  for (int i = 0; i < 2; ++i) {
    const snort_msg_t m = map.get(4294967295u, 7);
    EXPECT_TRUE(m.gen_entry);
    EXPECT_EQ(m.group, "4294967295");
    EXPECT_EQ(m.message, "7");
    EXPECT_TRUE(m.refs[0].empty());
  }
  EXPECT_EQ(log.count("ERROR snort_parser: invalid key: 4294967295:7"), 1u);  // no newline
  EXPECT_EQ(log.count("invalid key: 4294967295:7"), 2u);
}

TEST_F(MsgMap, SidMessagesSplitIntoGroupAndMessage) {
  ASSERT_TRUE(
      load("103 || DELETED   BACKDOOR subseven  22 || arachnids,485 || url,x || ignored\n"
           "104 || single\n"
           "105 || DELETED single\n"
           "106 || DELETED\n"
           "107 ||    GPL DELETED poll access\n"
           "108\n"
           "109||a\tb c||r1\n",
           ""));
  snort_msg_t m = map.get(1, 103);
  EXPECT_FALSE(m.gen_entry);
  EXPECT_EQ(m.group, "BACKDOOR");
  EXPECT_EQ(m.message, "subseven  22 (DELETED)");
  EXPECT_EQ(m.refs[0], "arachnids,485");
  EXPECT_EQ(m.refs[1], "url,x");

  m = map.get(1, 104);
  EXPECT_EQ(m.group, "");
  EXPECT_EQ(m.message, "single");
  m = map.get(1, 105);
  EXPECT_EQ(m.group, "");
  EXPECT_EQ(m.message, "single (DELETED)");
  m = map.get(1, 106);  // no blank inside the field: not a deleted mark
  EXPECT_EQ(m.group, "");
  EXPECT_EQ(m.message, "DELETED");
  m = map.get(1, 107);
  EXPECT_EQ(m.group, "GPL");
  EXPECT_EQ(m.message, "DELETED poll access");
  m = map.get(1, 109);  // tabs are text, the separator takes the blanks around it
  EXPECT_EQ(m.group, "a\tb");
  EXPECT_EQ(m.message, "c");
  EXPECT_EQ(m.refs[0], "r1");
  EXPECT_EQ(map.size(), 6u);  // 108 has no message field
}

TEST_F(MsgMap, GenMessagesSplitAtFirstColon) {
  ASSERT_TRUE(load("",
                   "119 || 32 || http_inspect:   a: b\n"
                   "3 || 1 || snort dynamic alert\n"
                   "1 || 1 || snort general alert\n"
                   "# 116 || 1 || comment\n"));
  snort_msg_t m = map.get(119, 32);
  EXPECT_TRUE(m.gen_entry);
  EXPECT_EQ(m.group, "http_inspect");
  EXPECT_EQ(m.message, "a: b");
  m = map.get(3, 1);
  EXPECT_EQ(m.group, "snort dynamic alert");
  EXPECT_EQ(m.message, "");
  EXPECT_EQ(map.size(), 2u);  // generator 1 belongs to the sid map; the comment is skipped
}

TEST_F(MsgMap, DuplicateKeysRefillTheEntry) {
  log_capture_t log("snort_parser", "warning");
  ASSERT_TRUE(load("5 || A one || r1 || r2\n5 || B two || r3\n",
                   "7 || 1 || g1: m1\n7 || 1 || g2\n7 || 2 || x: y\n"));
  snort_msg_t m = map.get(1, 5);
  EXPECT_EQ(m.group, "B");
  EXPECT_EQ(m.message, "two");
  EXPECT_EQ(m.refs[0], "r3");
  EXPECT_EQ(m.refs[1], "r2");  // the later line has no second reference
  m = map.get(7, 1);
  EXPECT_EQ(m.group, "g2");
  EXPECT_EQ(m.message, "m1");  // no colon: the message stays
  EXPECT_EQ(log.count("WARNING snort_parser: duplicate key " + sid_path + ":2\n"), 1u);
  EXPECT_EQ(log.count("ERROR snort_parser: duplicate key " + gen_path + ":2\n"), 1u);
}

TEST_F(MsgMap, GenLineWithoutThreeFieldsFailsTheLoad) {
  struct case_t {
    const char* gen;
    unsigned line;
    size_t kept;  // entries left in the map
  };
  const case_t cases[] = {
      {"9 || 1 || a: b\n9 || 2 ||\n", 2, 2},          // trailing separator: two fields
      {"9 || 1 || a: b || extra\n", 1, 2},            // the failing line's entry stays
      {"1 || 1 || general || extra\n", 1, 1},         // generator 1 still must have three
      {"9 || 1 || a: b\n9\n9 || 3 || c: d\n", 2, 2},  // the rest is not read
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.gen);
    error = exception_t(-1, "");
    EXPECT_FALSE(load("5 || A one\n", c.gen));
    const std::string text =
        "unknown format of gid map file " + gen_path + ":" + std::to_string(c.line) + "\n";
    EXPECT_EQ(error.message, text);
    EXPECT_EQ(map.size(), c.kept);
    try {
      map.load(gen_path.c_str(), sid_path.c_str());
      ADD_FAILURE() << "no exception";
    } catch (const exception_t& e) {
      EXPECT_EQ(e.message, text);
    }
  }
}

TEST_F(MsgMap, MissingFilesFailBeforeAnyLineIsRead) {
  ASSERT_TRUE(load("5 || A one\n", "9 || 1 || a: b\n"));
  ASSERT_EQ(map.size(), 2u);

  // Missing gen map: the sid map is not read, the map ends empty.
  boost::filesystem::remove(gen_path);
  EXPECT_FALSE(map.load(gen_path.c_str(), sid_path.c_str(), error));
  EXPECT_EQ(error.code, ENOENT);
  EXPECT_EQ(error.message, "No such file or directory");
  EXPECT_EQ(map.size(), 0u);

  // Missing sid map: named in the log, reported with the bare system text.
  write_text(gen_path, "9 || 1 || a: b\n");
  boost::filesystem::remove(sid_path);
  log_capture_t log("snort_parser", "error");
  try {
    map.load(gen_path.c_str(), sid_path.c_str());
    ADD_FAILURE() << "no exception";
  } catch (const exception_t& e) {
    EXPECT_EQ(e.code, ENOENT);
    EXPECT_EQ(e.message, "No such file or directory");
  }
  EXPECT_EQ(map.size(), 0u);
  EXPECT_EQ(log.count("can't open file " + sid_path + ": No such file or directory\n"), 1u);
}

TEST_F(MsgMap, LinesThatDoNotConvertAreSkipped) {
  // Filed under the previous line's id they would overwrite signature 5's message.
  log_capture_t log("snort_parser", "error");
  ASSERT_TRUE(
      load("5 || A one\nabc || B two\n #6 || C three\n", "x || 1 || g: m\n9 || y || g: m\n"));
  EXPECT_EQ(map.size(), 1u);
  EXPECT_EQ(map.get(1, 5).group, "A");
  EXPECT_EQ(log.count("unable parse line " + sid_path + ":2\n"), 1u);
  EXPECT_EQ(log.count("unable parse line " + sid_path + ":3\n"), 1u);  // "#" not in column 1
  EXPECT_EQ(log.count("unable parse line " + gen_path + ":1\n"), 1u);
  EXPECT_EQ(log.count("unable parse line " + gen_path + ":2\n"), 1u);
}

TEST_F(MsgMap, LineReadingEdges) {
  log_capture_t log("snort_parser", "error");
  // 8191 characters in one line: one read without newline (last character dropped), then a
  // read holding only the newline. 8190 characters plus newline fit in one read.
  const std::string long_line = "20 || g " + std::string(8191 - 8, 'm');
  const std::string fitting = "21 || g " + std::string(8190 - 8, 'n');
  ASSERT_TRUE(load(long_line + "\n" + fitting + "\n" + "22 || g crlf\r\n\n" + "23 || g last", ""));
  EXPECT_EQ(map.get(1, 20).message, std::string(8191 - 8 - 1, 'm'));
  EXPECT_EQ(map.get(1, 21).message, std::string(8190 - 8, 'n'));
  EXPECT_EQ(map.get(1, 22).message, "crlf\r");
  EXPECT_EQ(map.get(1, 23).message, "las");  // no newline at the end: last character lost
  EXPECT_EQ(log.count("very long string\n"), 2u);
}

TEST_F(MsgMap, SampleMaps) {
  const std::string maps = std::string(FERUN_TESTDATA_DIR) + "/maps/";
  if (!boost::filesystem::is_directory(maps)) GTEST_SKIP() << "sample maps not present in " << maps;

  ASSERT_TRUE(map.load((maps + "snort-2.9.19-gen-msg.map").c_str(),
                       (maps + "djcas9-sid-msg.map").c_str(), error));
  snort_msg_t m = map.get(1, 103);
  EXPECT_EQ(m.group, "BACKDOOR");
  EXPECT_EQ(m.message, "subseven 22 (DELETED)");
  EXPECT_EQ(m.refs[1], "url,www.hackfix.org/subseven/");
  m = map.get(1, 498);
  EXPECT_EQ(m.group, "ATTACK-RESPONSES");
  EXPECT_EQ(m.message, "id check returned root");
  m = map.get(120, 3);
  EXPECT_EQ(m.group, "http_inspect");
  EXPECT_EQ(m.message, "NO CONTENT-LENGTH OR TRANSFER-ENCODING IN HTTP RESPONSE");
  m = map.get(3, 1);
  EXPECT_EQ(m.group, "snort dynamic alert");
  EXPECT_EQ(m.message, "");

  // 4005 sid lines with distinct keys, 531 gen entries of which one is generator 1.
  ASSERT_TRUE(map.load((maps + "snort-2.9.19-gen-msg.map").c_str(),
                       (maps + "snort-community-sid-msg.map").c_str(), error));
  EXPECT_EQ(map.size(), 4005u + 530u);

  ASSERT_TRUE(map.load((maps + "pyidstools-gen-msg.map").c_str(),
                       (maps + "pyidstools-sid-msg.map").c_str(), error));
  m = map.get(1, 1429);
  EXPECT_EQ(m.group, "GPL");
  EXPECT_EQ(m.message, "DELETED poll.gotomypc.com access");

  // The v2 layout read as v1: every line lands on key (1, 1).
  {
    log_capture_t log("snort_parser", "warning");
    ASSERT_TRUE(map.load((maps + "zeek-test-gen-msg.map").c_str(),
                         (maps + "pyidstools-sid-msg-v2.map").c_str(), error));
    EXPECT_EQ(log.count("duplicate key"), 18355u);
  }
  EXPECT_EQ(map.get(1, 1).group, "");
  EXPECT_FALSE(map.get(1, 1).message.empty());
}

}  // namespace
