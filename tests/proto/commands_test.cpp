#include "proto/commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/fmt_ring.h"

using namespace ferun;

namespace {

using bytes_t = std::vector<unsigned char>;

bytes_t body_of(const command_t& cmd, std::uint16_t capacity = 4092) {
  std::vector<unsigned char> buf(capacity);
  const std::uint16_t n = cmd.serialize(buf.data(), capacity);
  buf.resize(n);
  return buf;
}

template <class M>
M parse(const bytes_t& body) {
  M message;
  message.deserialize(body.data(), static_cast<std::uint16_t>(body.size()));
  return message;
}

bytes_t concat(std::initializer_list<bytes_t> parts) {
  bytes_t all;
  for (const bytes_t& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

bytes_t str(const std::string& s) {
  bytes_t b(s.size() + 1);
  b[0] = static_cast<unsigned char>(s.size());
  std::copy(s.begin(), s.end(), b.begin() + 1);
  return b;
}

}  // namespace

TEST(CommandHello, BodyWithEmptyPrefix) {
  command_hello_t hello;
  hello.version = 1;
  hello.sensor_id = 7;
  hello.sensor_name = "ab";
  const bytes_t body = {1, 0, 0, 0, 0x00, 7, 0, 0, 0, 2, 'a', 'b'};
  EXPECT_EQ(body_of(hello), body);

  const auto back = parse<command_hello_t>(body);
  EXPECT_EQ(back.version, 1u);
  EXPECT_EQ(back.prefix, "");
  EXPECT_EQ(back.sensor_id, 7u);
  EXPECT_EQ(back.sensor_name, "ab");
}

TEST(CommandHello, ExtraBytesIgnoredAndShortBodyFails) {
  bytes_t body = {1, 0, 0, 0, 1, 'p', 9, 0, 0, 0, 0, 0xee, 0xee};
  command_hello_t hello;
  EXPECT_EQ(hello.deserialize(body.data(), static_cast<std::uint16_t>(body.size())), 11);
  EXPECT_EQ(hello.prefix, "p");
  EXPECT_EQ(hello.sensor_id, 9u);

  body.resize(8);
  command_hello_t cut;
  EXPECT_THROW(cut.deserialize(body.data(), 8), serializer_exception_t);
  command_hello_t empty;
  EXPECT_THROW(empty.deserialize(nullptr, 0), serializer_exception_t);
}

TEST(CommandHello, Text) {
  fmt_ring_reset();
  command_hello_t hello;
  hello.version = 1;
  hello.prefix = "pfx";
  hello.sensor_id = 42;
  hello.sensor_name = std::string("name\0hidden", 11);
  EXPECT_STREQ(hello.to_str(),
               "command_hello\n{  version     : 1\n  prefix      : pfx\n  sensor_id   : 42\n"
               "  sensor_name : name\n}");
}

TEST(CommandSetup, WireOrderDiffersFromMemberOrder) {
  command_setup_t setup;
  setup.stats_period = 1;
  setup.options = 2;
  setup.interface = "i";
  setup.homenetwork = "h";
  setup.logdir = "d";
  setup.logpattern = "p";
  setup.config = "c";
  setup.sidmap = "s";
  setup.genmap = "g";
  setup.logtimestamp = 3;
  setup.logpos = 4;
  const bytes_t body = concat({{1, 0, 0, 0, 2, 0, 0, 0},
                               str("i"),
                               str("h"),
                               str("c"),
                               str("s"),
                               str("g"),
                               str("d"),
                               str("p"),
                               {3, 0, 0, 0, 4, 0, 0, 0}});
  EXPECT_EQ(body_of(setup), body);

  const auto back = parse<command_setup_t>(body);
  EXPECT_EQ(back.config, "c");
  EXPECT_EQ(back.sidmap, "s");
  EXPECT_EQ(back.genmap, "g");
  EXPECT_EQ(back.logdir, "d");
  EXPECT_EQ(back.logpattern, "p");
  EXPECT_EQ(back.logtimestamp, 3u);
  EXPECT_EQ(back.logpos, 4u);
}

TEST(CommandSetup, Text) {
  fmt_ring_reset();
  command_setup_t setup;
  setup.stats_period = 60000;
  setup.options = 0x2a;
  setup.interface = "eth0";
  setup.homenetwork = "10.0.0.0/8";
  setup.config = "snort.conf";
  setup.sidmap = "sid-msg.map";
  setup.genmap = "gen-msg.map";
  setup.logdir = "/var/log/snort";
  setup.logpattern = "threats.log";
  setup.logtimestamp = 1700000000;
  setup.logpos = 24;
  EXPECT_STREQ(setup.to_str(),
               "command_setup\n{\n  stats_period: 60000\n  options: 2a\n  interface: eth0\n"
               "  homenetwork: 10.0.0.0/8\n  config: snort.conf\n  sidmap: sid-msg.map\n"
               "  genmap: gen-msg.map\n  logdir: /var/log/snort\n  logpattern: threats.log\n"
               "  logtimestamp: 1700000000\n  logpos: 24\n}");
}

TEST(CommandIdsAction, BodyAndText) {
  command_ids_action_t empty;
  EXPECT_THROW(empty.deserialize(nullptr, 0), serializer_exception_t);

  const bytes_t body = {3, 0x55, 0x66};
  command_ids_action_t action;
  EXPECT_EQ(action.deserialize(body.data(), 3), 1);
  EXPECT_EQ(action.action, 3);

  const struct {
    std::uint8_t action;
    const char* word;
  } words[] = {{1, "START"}, {2, "STOP"}, {3, "RESTART"}, {0, "unk"}, {4, "unk"}, {255, "unk"}};
  for (const auto& w : words) {
    fmt_ring_reset();
    action.action = w.action;
    EXPECT_EQ(std::string(action.to_str()),
              std::string("command_ids_action\n{\n  action: ") + w.word + "\n}");
  }
}

TEST(CommandGetValue, EmptyListAndText) {
  fmt_ring_reset();
  const bytes_t body = {0x00};
  const auto get = parse<command_get_value_t>(body);
  EXPECT_TRUE(get.names.empty());
  const char* text = get.to_str();
  EXPECT_STREQ(text, "command_get_value: \n{}");
  // The joined pieces read as one text and the ring moves past its NUL only.
  EXPECT_EQ(g_fmt_buffer_pos, static_cast<int>(strlen(text) + 1));
}

TEST(CommandGetValue, NamesRoundTripAndText) {
  command_get_value_t get;
  get.names = {"alpha", "", "gamma"};
  const bytes_t body = concat({{3}, str("alpha"), str(""), str("gamma")});
  EXPECT_EQ(body_of(get), body);
  const auto back = parse<command_get_value_t>(body);
  EXPECT_EQ(back.names, get.names);

  fmt_ring_reset();
  EXPECT_STREQ(back.to_str(), "command_get_value: \n{  alpha\n  \n  gamma\n}");
}

TEST(CommandGetValue, CountWithBitThirtyOneIsEmptyList) {
  const bytes_t body = {0x80, 0x80, 0x80, 0x80, 0x08, 1, 'x'};
  command_get_value_t get;
  EXPECT_EQ(get.deserialize(body.data(), static_cast<std::uint16_t>(body.size())), 5);
  EXPECT_TRUE(get.names.empty());
}

TEST(CommandGetValue, CountLargerThanBodyOverflows) {
  // A count of 128 with one name: the second name is missing.
  const bytes_t body = concat({{0x80, 0x01}, str("a")});
  command_get_value_t get;
  EXPECT_THROW(get.deserialize(body.data(), static_cast<std::uint16_t>(body.size())),
               serializer_exception_t);
}

TEST(CommandSetValue, PairsRoundTripAndText) {
  command_set_value_t set;
  set.values = {{"k1", "v1"}, {"k2", ""}};
  const bytes_t body = concat({{2}, str("k1"), str("v1"), str("k2"), str("")});
  EXPECT_EQ(body_of(set), body);
  const auto back = parse<command_set_value_t>(body);
  ASSERT_EQ(back.values.size(), 2u);
  EXPECT_EQ(back.values[1].name, "k2");
  EXPECT_EQ(back.values[1].value, "");

  fmt_ring_reset();
  EXPECT_STREQ(back.to_str(), "command_set_value: \n{  k1: v1\n  k2: \n}");
}

TEST(CommandSetValue, CountTwoWithOnePairOverflows) {
  const bytes_t body = concat({{2}, str("k1"), str("v1")});
  command_set_value_t set;
  EXPECT_THROW(set.deserialize(body.data(), static_cast<std::uint16_t>(body.size())),
               serializer_exception_t);
  // A pair missing its value fails the same way.
  const bytes_t half = concat({{1}, str("k1")});
  command_set_value_t other;
  EXPECT_THROW(other.deserialize(half.data(), static_cast<std::uint16_t>(half.size())),
               serializer_exception_t);
}

TEST(CommandFile, BodyAndText) {
  command_file_t file;
  file.path = "rules/local.rules";
  file.flags = 0x1f;
  file.size = 70000;
  const bytes_t body = concat({str("rules/local.rules"), {0x1f, 0, 0, 0, 0x70, 0x11, 0x01, 0}});
  EXPECT_EQ(body_of(file), body);
  const auto back = parse<command_file_t>(body);
  EXPECT_EQ(back.path, file.path);
  EXPECT_EQ(back.flags, 0x1fu);
  EXPECT_EQ(back.size, 70000u);

  fmt_ring_reset();
  EXPECT_STREQ(back.to_str(),
               "command_file\n{  path  : rules/local.rules\n  flags : 1f\n  size  : 70000\n}");
}

TEST(Answer, BodyAndStatusWords) {
  answer_t answer(0x82, 1, "no");
  EXPECT_EQ(body_of(answer), (bytes_t{1, 2, 'n', 'o'}));

  for (std::uint8_t status : {0, 1, 7}) {
    fmt_ring_reset();
    answer.status = status;
    EXPECT_EQ(
        std::string(answer.to_str()),
        std::string("answer\n{  status : ") + (status == 0 ? "OK" : "FAIL") + "\n  message: no\n}");
  }
}

TEST(Answer, ZeroCapacityFailsBeforeWriting) {
  answer_t answer(0x83);
  unsigned char guard = 0x5a;
  EXPECT_THROW(answer.serialize(&guard, 0), serializer_exception_t);
  EXPECT_EQ(guard, 0x5a);

  answer_t empty(0x83);
  EXPECT_THROW(empty.deserialize(nullptr, 0), serializer_exception_t);
}

TEST(AnswerHello, SysinfoCarriesItsNul) {
  answer_hello_t hello;
  hello.status = 0;
  hello.message = "";
  hello.version = protocol_version;
  hello.sysinfo = std::string("host\n\0", 6);
  const bytes_t body = {0, 0, 1, 0, 0, 0, 6, 'h', 'o', 's', 't', '\n', 0};
  EXPECT_EQ(body_of(hello), body);

  const auto back = parse<answer_hello_t>(body);
  EXPECT_EQ(back.version, 1u);
  EXPECT_EQ(back.sysinfo, hello.sysinfo);

  fmt_ring_reset();
  EXPECT_STREQ(hello.to_str(), "answer_hello\n{  version: 1\n  host\n}");
}

TEST(AnswerGetValue, BodyAndTextWithoutStatus) {
  answer_get_value_t answer;
  answer.status = 1;
  answer.message = "m";
  answer.values = {{"a", "1"}};
  const bytes_t body = concat({{1}, str("m"), {1}, str("a"), str("1")});
  EXPECT_EQ(body_of(answer), body);
  const auto back = parse<answer_get_value_t>(body);
  ASSERT_EQ(back.values.size(), 1u);
  EXPECT_EQ(back.values[0].value, "1");

  fmt_ring_reset();
  EXPECT_STREQ(answer.to_str(), "answer_get_value: \n{  a: 1\n}");
  answer.values.clear();
  fmt_ring_reset();
  EXPECT_STREQ(answer.to_str(), "answer_get_value: \n{}");
}

TEST(AnswerGetValue, CountByteNeedsRoom) {
  answer_get_value_t answer;
  answer.values.resize(200);
  // status and empty message fit, the two-byte count does not.
  unsigned char buf[3];
  EXPECT_THROW(answer.serialize(buf, sizeof buf), serializer_exception_t);
}

TEST(CommandText, ListReachingRingEndStaysInsideRing) {
  command_set_value_t set;
  for (int i = 0; i < 40; ++i) set.values.push_back({"name" + std::to_string(i), "value"});
  fmt_ring_reset();
  g_fmt_buffer_pos = g_fmt_buffer_size - 100;
  const char* text = set.to_str();
  const char* const ring = &g_fmt_buffer[0];
  ASSERT_TRUE(text >= ring && text < ring + g_fmt_buffer_size);
  EXPECT_LT(text + strlen(text), ring + g_fmt_buffer_size);
  EXPECT_EQ(strncmp(text, "command_set_value: \n{", 21), 0);
  EXPECT_GE(g_fmt_buffer_pos, 0);
  EXPECT_LE(g_fmt_buffer_pos, g_fmt_buffer_size);
}
