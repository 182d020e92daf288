// Wire bodies and texts the console relies on.
#include <gtest/gtest.h>

#include "proto/commands.h"
#include "proto/sensor_messages.h"

using namespace ferun;
using bytes_t = std::vector<unsigned char>;

namespace {

bytes_t le(std::uint64_t value, int n) {
  bytes_t b;
  for (int i = 0; i < n; ++i) b.push_back(static_cast<unsigned char>(value >> (8 * i)));
  return b;
}

bytes_t concat(std::initializer_list<bytes_t> parts) {
  bytes_t all;
  for (const bytes_t& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

bytes_t str(const std::string& s) {
  return concat({{static_cast<unsigned char>(s.size())}, bytes_t(s.begin(), s.end())});
}

bytes_t body_of(const command_t& cmd) {
  bytes_t buf(4092);
  buf.resize(cmd.serialize(buf.data(), 4092));
  return buf;
}

template <class M>
M round_trip(const bytes_t& body) {
  M message;
  message.deserialize(body.data(), static_cast<std::uint16_t>(body.size()));
  EXPECT_EQ(body_of(message), body);
  return message;
}

}  // namespace

TEST(Messages, SetupWireOrderAndAnswerText) {
  const bytes_t logdir = concat({{0x80, 1}, bytes_t(128, 'l')});  // lengths 128 and 127
  const bytes_t body = concat({le(60000, 4), le(0x2a, 4), str("eth0"), str("10.0.0.0/8"),
                               str(std::string(127, 'c')), str("sid-msg.map"), str("gen-msg.map"),
                               logdir, str("threats.log"), le(1700000000, 4), le(24, 4)});
  const auto setup = round_trip<command_setup_t>(body);
  EXPECT_EQ(setup.config + setup.logdir, std::string(127, 'c') + std::string(128, 'l'));
  try {
    command_setup_t().deserialize(body.data(), 3);
    ADD_FAILURE() << "a cut body raises";
  } catch (const serializer_exception_t& e) {
    EXPECT_STREQ(e.what(), "buffer overflow");  // a sensor's log shows it
  }

  const answer_t answer(0x82, 1, "no");
  EXPECT_EQ(body_of(answer), (bytes_t{1, 2, 'n', 'o'}));
  // Each text ends where the next one starts.
  const char* texts[] = {answer.to_str(), round_trip<command_ids_action_t>({2}).to_str(),
                         round_trip<command_set_value_t>({1, 1, 'k', 1, 'v'}).to_str(),
                         round_trip<command_get_value_t>({2, 1, 'a', 1, 'b'}).to_str(),
                         answer.to_str()};
  EXPECT_STREQ(texts[0], "answer\n{  status : FAIL\n  message: no\n}");
  EXPECT_STREQ(texts[1], "command_ids_action\n{\n  action: STOP\n}");
  EXPECT_STREQ(texts[2], "command_set_value: \n{  k: v\n}");
  EXPECT_STREQ(texts[3], "command_get_value: \n{  a\n  b\n}");
}

TEST(Messages, EventAddressesMostSignificantFirstAndPortsByProtocol) {
  const bytes_t ids = concat({le(1, 4), le(2, 4), le(1700000000123456, 8), le(2003, 4), le(1, 4),
                              le(5, 4), le(6, 4), str(""), str(""), le(3, 4)});
  const bytes_t macs = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  const bytes_t ip = {1, 192, 168, 7, 1, 10, 0, 0, 2, 6};  // version, source, destination, protocol
  const bytes_t body = concat({ids, macs, ip, le(0x1234, 2), le(80, 2), le(1, 2), le(9, 4),
                               le(10, 2), le(1, 4), le(1600000000, 4), le(4096, 4)});
  auto e = round_trip<command_event_t>(body);
  EXPECT_NE(std::string(e.to_str()).find("  ip_source: 192.168.7.1\n  ip_destination: 10.0.0.2\n"),
            std::string::npos);
  e.protocol = 59;  // no port fields
  EXPECT_EQ(body_of(e).size(), 80u);
}
