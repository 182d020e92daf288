#include "proto/commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "body_bytes.h"
#include "support/fmt_ring.h"

using namespace ferun;
using namespace proto_test;

TEST(Commands, BodiesAndTexts) {
  command_hello_t hello;
  hello.version = 1;
  hello.sensor_id = 7;
  hello.sensor_name = std::string("ab\0c", 4);
  EXPECT_EQ(body_of(hello), (bytes_t{1, 0, 0, 0, 0, 7, 0, 0, 0, 4, 'a', 'b', 0, 'c'}));
  fmt_ring_reset();
  EXPECT_STREQ(hello.to_str(),
               "command_hello\n{  version     : 1\n  prefix      : \n"
               "  sensor_id   : 7\n  sensor_name : ab\n}");
  // Bytes after the message are left unread.
  const bytes_t longer = {1, 0, 0, 0, 1, 'p', 9, 0, 0, 0, 0, 0xee, 0xee};
  EXPECT_EQ(hello.deserialize(longer.data(), 13), 11);
  EXPECT_EQ(hello.prefix, "p");
  EXPECT_EQ(hello.sensor_id, 9u);

  const auto file =
      round_trip<command_file_t>(concat({str("rules/local.rules"), le(0x1f, 4), le(70000, 4)}));
  fmt_ring_reset();
  EXPECT_STREQ(file.to_str(),
               "command_file\n{  path  : rules/local.rules\n  flags : 1f\n  size  : 70000\n}");

  answer_t answer(0x82, 1, "no");
  EXPECT_EQ(body_of(answer), (bytes_t{1, 2, 'n', 'o'}));
  for (std::uint8_t status : {0, 1, 7}) {
    fmt_ring_reset();
    answer.status = status;
    EXPECT_EQ(
        std::string(answer.to_str()),
        std::string("answer\n{  status : ") + (status == 0 ? "OK" : "FAIL") + "\n  message: no\n}");
  }

  answer_hello_t answer_hello;
  answer_hello.version = protocol_version;
  answer_hello.sysinfo = std::string("host\n\0", 6);
  EXPECT_EQ(body_of(answer_hello), (bytes_t{0, 0, 1, 0, 0, 0, 6, 'h', 'o', 's', 't', '\n', 0}));
  fmt_ring_reset();
  EXPECT_STREQ(answer_hello.to_str(), "answer_hello\n{  version: 1\n  host\n}");
}

TEST(Commands, SetupWireOrderDiffersFromMemberOrder) {
  const bytes_t body =
      concat({le(60000, 4), le(0x2a, 4), str("eth0"), str("10.0.0.0/8"), str("snort.conf"),
              str("sid-msg.map"), str("gen-msg.map"), str("/var/log/snort"), str("threats.log"),
              le(1700000000, 4), le(24, 4)});
  const auto setup = round_trip<command_setup_t>(body);
  fmt_ring_reset();
  EXPECT_STREQ(setup.to_str(),
               "command_setup\n{\n  stats_period: 60000\n  options: 2a\n  interface: eth0\n"
               "  homenetwork: 10.0.0.0/8\n  config: snort.conf\n  sidmap: sid-msg.map\n"
               "  genmap: gen-msg.map\n  logdir: /var/log/snort\n  logpattern: threats.log\n"
               "  logtimestamp: 1700000000\n  logpos: 24\n}");
  EXPECT_EQ(setup.logdir, "/var/log/snort");

  command_ids_action_t action;
  const bytes_t action_body = {3, 0x55};
  EXPECT_EQ(action.deserialize(action_body.data(), 2), 1);
  for (const auto& [value, word] : {std::pair<int, const char*>{1, "START"},
                                    {2, "STOP"},
                                    {3, "RESTART"},
                                    {0, "unk"},
                                    {4, "unk"}}) {
    fmt_ring_reset();
    action.action = static_cast<std::uint8_t>(value);
    EXPECT_EQ(std::string(action.to_str()),
              std::string("command_ids_action\n{\n  action: ") + word + "\n}");
  }
}

TEST(Commands, ListBodiesAndJoinedTexts) {
  command_get_value_t get;
  get.names = {"alpha", "", "gamma"};
  const bytes_t names = concat({{3}, str("alpha"), str(""), str("gamma")});
  EXPECT_EQ(body_of(get), names);
  EXPECT_EQ(parse<command_get_value_t>(names).names, get.names);
  fmt_ring_reset();
  EXPECT_STREQ(get.to_str(), "command_get_value: \n{  alpha\n  \n  gamma\n}");
  // A count with bit 31 set reads as an empty list; the joined text moves the ring past its NUL.
  const auto none = parse<command_get_value_t>({0x80, 0x80, 0x80, 0x80, 0x08, 1, 'x'});
  EXPECT_TRUE(none.names.empty());
  fmt_ring_reset();
  EXPECT_STREQ(none.to_str(), "command_get_value: \n{}");
  EXPECT_EQ(g_fmt_buffer_pos, 23);

  command_set_value_t set;
  set.values = {{"k1", "v1"}, {"k2", ""}};
  const bytes_t pairs = concat({{2}, str("k1"), str("v1"), str("k2"), str("")});
  EXPECT_EQ(body_of(set), pairs);
  EXPECT_EQ(parse<command_set_value_t>(pairs).values[1].name, "k2");
  fmt_ring_reset();
  EXPECT_STREQ(set.to_str(), "command_set_value: \n{  k1: v1\n  k2: \n}");

  answer_get_value_t answer;
  answer.status = 1;
  answer.message = "m";
  answer.values = {{"a", "1"}};
  EXPECT_EQ(body_of(answer), concat({{1}, str("m"), {1}, str("a"), str("1")}));
  fmt_ring_reset();
  EXPECT_STREQ(answer.to_str(), "answer_get_value: \n{  a: 1\n}");

  // A text reaching the ring's end starts over inside it.
  for (int i = 0; i < 40; ++i) set.values.push_back({"name" + std::to_string(i), "value"});
  fmt_ring_reset();
  fmt_ring_printf(false, "%*s", g_fmt_buffer_size - 101, "");  // 100 bytes left
  const char* text = set.to_str();
  ASSERT_TRUE(text >= g_fmt_buffer && text < g_fmt_buffer + g_fmt_buffer_size);
  EXPECT_LT(text + strlen(text), g_fmt_buffer + g_fmt_buffer_size);
  EXPECT_EQ(strncmp(text, "command_set_value: \n{  k1: v1", 29), 0);
}

TEST(Commands, ShortBodiesAndBuffersRaise) {
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"empty hello", [] { parse<command_hello_t>({}); }},
      {"cut hello",
       [] {
         parse<command_hello_t>({1, 0, 0, 0, 1, 'p', 9, 0});
       }},
      {"empty action", [] { parse<command_ids_action_t>({}); }},
      {"empty answer", [] { answer_t(0x83).deserialize(nullptr, 0); }},
      {"count 128, one name",
       [] {
         parse<command_get_value_t>(concat({{0x80, 1}, str("a")}));
       }},
      {"count 2, one pair",
       [] {
         parse<command_set_value_t>(concat({{2}, str("k"), str("v")}));
       }},
      {"pair without value",
       [] {
         parse<command_set_value_t>(concat({{1}, str("k")}));
       }},
      {"answer in no room", [] { answer_t(0x83).serialize(nullptr, 0); }},
      {"count in three bytes", [] {
         answer_get_value_t answer;
         answer.values.resize(200);
         unsigned char buf[3];
         answer.serialize(buf, sizeof buf);
       }}};
  for (const auto& [what, run] : cases) EXPECT_THROW(run(), serializer_exception_t) << what;
}
