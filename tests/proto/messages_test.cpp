// Wire bodies and texts the console relies on.
#include <gtest/gtest.h>

#include "common/console_client.h"
#include "proto/commands.h"
#include "proto/sensor_messages.h"

using namespace ferun;
using ferun_test::le, ferun_test::text;

namespace {

std::string body_of(const command_t& cmd) {
  unsigned char buf[4092];
  return std::string(buf, buf + cmd.serialize(buf, sizeof buf));
}

template <class M>
M round_trip(const std::string& body) {
  M message = ferun_test::frame_t{0, {body.begin(), body.end()}}.as<M>();
  EXPECT_EQ(body_of(message), body);
  return message;
}

}  // namespace

TEST(Messages, SetupWireOrderAndAnswerText) {
  // Texts of 127 and 128 bytes (the latter's two-byte length as it goes out).
  const std::string body = le(60000, 4) + le(0x2a, 4) + text("eth0") + text("10.0.0.0/8") +
                           text(std::string(127, 'c')) + text("sid-msg.map") + text("gen-msg.map") +
                           "\x80\x01" + std::string(128, 'l') + text("threats.log") +
                           le(1700000000, 4) + le(24, 4);
  const auto setup = round_trip<command_setup_t>(body);
  EXPECT_EQ(setup.config + setup.logdir, std::string(127, 'c') + std::string(128, 'l'));
  try {
    command_setup_t().deserialize(reinterpret_cast<const unsigned char*>(body.data()), 3);
    ADD_FAILURE() << "a cut body raises";
  } catch (const serializer_exception_t& e) {
    EXPECT_STREQ(e.what(), "buffer overflow");  // a sensor's log shows it
  }

  const answer_t answer(0x82, 1, "no");
  EXPECT_EQ(body_of(answer), "\1\2no");
  // Each text ends where the next one starts.
  const char* texts[] = {answer.to_str(), round_trip<command_ids_action_t>("\2").to_str(),
                         round_trip<command_set_value_t>("\1\1k\1v").to_str(),
                         round_trip<command_get_value_t>("\2\1a\1b").to_str(), answer.to_str()};
  EXPECT_STREQ(texts[0], "answer\n{  status : FAIL\n  message: no\n}");
  EXPECT_STREQ(texts[1], "command_ids_action\n{\n  action: STOP\n}");
  EXPECT_STREQ(texts[2], "command_set_value: \n{  k: v\n}");
  EXPECT_STREQ(texts[3], "command_get_value: \n{  a\n  b\n}");
}

TEST(Messages, EventAddressesMostSignificantFirstAndPortsByProtocol) {
  const std::string ids = le(1, 4) + le(2, 4) + le(1700000000123456, 8) + le(2003, 4) + le(1, 4) +
                          le(5, 4) + le(6, 4) + text("") + text("") + le(3, 4);
  const std::string macs("\x00\x1a\x2b\x3c\x4d\x5e\xff\xff\xff\xff\xff\xff", 12);
  const std::string ip("\x01\xc0\xa8\x07\x01\x0a\x00\x00\x02\x06", 10);  // v4, from, to, TCP
  const std::string body = ids + macs + ip + le(0x1234, 2) + le(80, 2) + le(1, 2) + le(9, 4) +
                           le(10, 2) + le(1, 4) + le(1600000000, 4) + le(4096, 4);
  auto e = round_trip<command_event_t>(body);
  EXPECT_NE(std::string(e.to_str()).find("  ip_source: 192.168.7.1\n  ip_destination: 10.0.0.2\n"),
            std::string::npos);
  e.protocol = 59;  // no port fields
  EXPECT_EQ(body_of(e).size(), 80u);
}
