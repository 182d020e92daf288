#include "proto/sensor_messages.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "body_bytes.h"
#include "support/fmt_ring.h"

using namespace ferun;
using namespace proto_test;

TEST(CommandEvent, Ipv4TcpBodyAndText) {
  const bytes_t body =
      concat({le(1, 4),
              le(2, 4),
              le(1700000000123456, 8),
              le(2003, 4),
              le(1, 4),
              le(5, 4),
              le(6, 4),
              str(""),
              str(""),
              le(3, 4),
              {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
              {1, 192, 168, 0, 1, 10, 0, 0, 2, 6},
              le(0x1234, 2),
              le(80, 2),
              {1, 0},
              le(9, 4),
              le(10, 2),
              le(1, 4),
              le(1600000000, 4),
              le(4096, 4)});
  ASSERT_EQ(body.size(), 84u);
  command_event_t e = round_trip<command_event_t>(body);
  EXPECT_EQ(e.ip_source.v4, 0xc0a80001u);  // host order in memory, most significant first on wire
  EXPECT_EQ(e.ip_destination.v4, 0x0a000002u);
  EXPECT_THROW(parse<command_event_t>(bytes_t(body.begin(), body.end() - 1)),
               serializer_exception_t);
  fmt_ring_reset();
  EXPECT_STREQ(e.to_str(),
               "event \n  sensor_id: 1\n  event_id: 2\n  timestamp: 1700000000123456\n"
               "  signature_id: 2003\n  generator_id: 1\n  signature_revision: 5\n"
               "  classification_id: 6\n  group: \n  message: \n  priority_id: 3\n"
               "  mac_source: 00:1a:2b:3c:4d:5e\n  mac_destination: ff:ff:ff:ff:ff:ff\n"
               "  ip_version: 1\n  ip_source: 192.168.0.1\n  ip_destination: 10.0.0.2\n"
               "  protocol: 6\n  port_source: 4660\n  port_destination: 80\n  icmp_type: 4660\n"
               "  icmp_code: 80\n  impact_flag: 1\n  blocked: 0\n  mpls_label: 9\n  vlan_id: 10\n"
               "  linktype: 1\n  logtimestamp: 1600000000\n  logpos: 4096");

  // 82 fixed bytes; the two strings with their prefixes take the remaining 4010.
  e.group = std::string(2000, 'g');
  e.message = std::string(2006, 'm');
  EXPECT_EQ(body_of(e).size(), 4092u);
  e.message.push_back('m');
  EXPECT_THROW(body_of(e), serializer_exception_t);
}

TEST(CommandEvent, Ipv6AddressesAndPortsByProtocol) {
  for (std::uint8_t version : {0, 2, 3}) {
    SCOPED_TRACE(static_cast<int>(version));
    command_event_t e;
    e.ip_version = version;
    e.protocol = 59;
    inet_pton(AF_INET6, "2001:db8::1", &e.ip_source.v6);
    e.ip_destination.v6 = in6addr_loopback;
    const bytes_t body = body_of(e);
    ASSERT_EQ(body.size(), 104u);
    EXPECT_EQ(bytes_t(body.begin() + 51, body.begin() + 84),
              concat({{0x20, 0x01, 0x0d, 0xb8}, bytes_t(11, 0), {1}, bytes_t(15, 0), {1, 59}}));
    fmt_ring_reset();
    EXPECT_NE(std::string(e.to_str()).find("  ip_source: 2001:db8::1\n  ip_destination: ::1\n"),
              std::string::npos);
  }
  command_event_t e;
  e.ip_version = 2;
  for (unsigned protocol = 0; protocol < 256; ++protocol) {
    e.protocol = static_cast<std::uint8_t>(protocol);
    const bool ports = protocol == 1 || protocol == 6 || protocol == 17 || protocol == 58;
    EXPECT_EQ(body_of(e).size(), ports ? 108u : 104u) << "protocol " << protocol;
  }
}

TEST(CommandPacket, BodySizesAndLimit) {
  const bytes_t body =
      concat({le(1, 4), le(2, 4), le(3, 4), le(4, 8), {60}, bytes_t(60, 0xab), le(5, 4), le(6, 4)});
  ASSERT_EQ(body.size(), 89u);
  command_packet_t p = round_trip<command_packet_t>(body);
  EXPECT_EQ(p.data.bytes, body.data() + 21);  // a view, not a copy
  EXPECT_EQ(p.logpos, 6u);
  fmt_ring_reset();
  EXPECT_STREQ(p.to_str(), "{todo}");

  const bytes_t data(4063, 0xab);
  p.data = {data.data(), 4062};
  EXPECT_EQ(body_of(p).size(), 4092u);
  p.data.length = 4063;
  try {
    body_of(p);
    FAIL() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "buffer overflow");
  }
}

TEST(CommandStats, BodyAndText) {
  const bytes_t body = concat({le(1, 4), le(1700000000000000, 8), str("unk"), le(1234, 2),
                               le(8000000000, 8), le(5000, 2), le(100, 8), le(1, 2), le(11, 8),
                               le(12, 8), le(13, 8), le(14, 8), le(99, 4)});
  ASSERT_EQ(body.size(), 74u);
  const auto s = round_trip<command_stats_t>(body);
  EXPECT_EQ(s.sensor_id, 1u);
  EXPECT_EQ(s.uptime, 99u);
  fmt_ring_reset();
  EXPECT_STREQ(s.to_str(),
               "command_stats\n  timestamp: 1700000000000000\n  ids_state: unk\n  cpu_usage: 1234\n"
               "  memory: 8000000000\n  mem_usage: 5000\n  disk: 100\n  disk_usage: 1\n"
               "  ifrecv_bytes: 11\n  ifrecv_packets: 12\n  ifsend_bytes: 13\n"
               "  ifsend_packets: 14 ");
}
