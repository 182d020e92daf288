#include "proto/sensor_messages.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fmt_ring.h"

using namespace ferun;

namespace {

using bytes_t = std::vector<unsigned char>;

bytes_t body_of(const command_t& cmd, std::uint16_t capacity = 4092) {
  std::vector<unsigned char> buf(capacity);
  buf.resize(cmd.serialize(buf.data(), capacity));
  return buf;
}

bytes_t slice(const bytes_t& b, std::size_t offset, std::size_t n) {
  return bytes_t(b.begin() + static_cast<long>(offset), b.begin() + static_cast<long>(offset + n));
}

in6_addr ip6(const char* text) {
  in6_addr a{};
  inet_pton(AF_INET6, text, &a);
  return a;
}

command_event_t ipv4_tcp_event() {
  command_event_t e;
  e.sensor_id = 1;
  e.event_id = 2;
  e.timestamp = 1700000000123456;
  e.signature_id = 2003;
  e.generator_id = 1;
  e.signature_revision = 5;
  e.classification_id = 6;
  e.priority_id = 3;
  e.mac_source = ether_addr{{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}};
  e.mac_destination = ether_addr{{0xff, 0xff, 0xff, 0xff, 0xff, 0xff}};
  e.ip_version = 1;
  e.ip_source.v4 = 0xc0a80001;       // 192.168.0.1
  e.ip_destination.v4 = 0x0a000002;  // 10.0.0.2
  e.protocol = 6;
  e.port_source = 0x1234;
  e.port_destination = 80;
  e.impact_flag = 1;
  e.blocked = 0;
  e.mpls_label = 9;
  e.vlan_id = 10;
  e.linktype = 1;
  e.logtimestamp = 1600000000;
  e.logpos = 4096;
  return e;
}

}  // namespace

TEST(CommandEvent, Ipv4TcpBodyLayout) {
  const bytes_t body = body_of(ipv4_tcp_event());
  ASSERT_EQ(body.size(), 84u);
  EXPECT_EQ(slice(body, 0, 4), (bytes_t{1, 0, 0, 0}));
  EXPECT_EQ(slice(body, 16, 4), (bytes_t{0xd3, 0x07, 0, 0}));  // signature_id at its fixed offset
  EXPECT_EQ(slice(body, 28, 4), (bytes_t{6, 0, 0, 0}));        // classification_id before strings
  EXPECT_EQ(slice(body, 32, 2), (bytes_t{0, 0}));              // empty group and message
  EXPECT_EQ(slice(body, 34, 4), (bytes_t{3, 0, 0, 0}));        // priority_id after them
  EXPECT_EQ(slice(body, 38, 6), (bytes_t{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}));
  EXPECT_EQ(body[50], 1);
  EXPECT_EQ(slice(body, 51, 4), (bytes_t{0xc0, 0xa8, 0x00, 0x01}));  // most significant first
  EXPECT_EQ(slice(body, 55, 4), (bytes_t{0x0a, 0x00, 0x00, 0x02}));
  EXPECT_EQ(body[59], 6);
  EXPECT_EQ(slice(body, 60, 4), (bytes_t{0x34, 0x12, 80, 0}));
  EXPECT_EQ(slice(body, 76, 8), (bytes_t{0x00, 0x10, 0x5e, 0x5f, 0x00, 0x10, 0, 0}));
}

TEST(CommandEvent, PortsOnlyForIcmpTcpUdpAndIcmp6) {
  command_event_t e;
  e.ip_version = 2;
  for (unsigned protocol = 0; protocol < 256; ++protocol) {
    e.protocol = static_cast<std::uint8_t>(protocol);
    const bool ports = protocol == 1 || protocol == 6 || protocol == 17 || protocol == 58;
    EXPECT_EQ(body_of(e).size(), ports ? 108u : 104u) << "protocol " << protocol;
  }
}

TEST(CommandEvent, AnyVersionButOneCarriesIpv6Addresses) {
  for (std::uint8_t version : {0, 2, 3}) {
    command_event_t e;
    e.ip_version = version;
    e.protocol = 59;
    e.ip_source.v6 = ip6("2001:db8::1");
    e.ip_destination.v6 = in6addr_loopback;
    const bytes_t body = body_of(e);
    ASSERT_EQ(body.size(), 104u);
    EXPECT_EQ(slice(body, 51, 16), bytes_t(e.ip_source.v6.s6_addr, e.ip_source.v6.s6_addr + 16));
    EXPECT_EQ(body[82], 1);  // last byte of ::1

    fmt_ring_reset();
    const std::string text = e.to_str();
    EXPECT_NE(text.find("  ip_source: 2001:db8::1\n  ip_destination: ::1\n"), std::string::npos);
  }
}

TEST(CommandEvent, RoundTripRestoresHostOrderAddresses) {
  command_event_t e = ipv4_tcp_event();
  e.group = "web";
  e.message = "attack";
  const bytes_t body = body_of(e);
  command_event_t back;
  EXPECT_EQ(back.deserialize(body.data(), static_cast<std::uint16_t>(body.size())), body.size());
  EXPECT_EQ(back.ip_source.v4, 0xc0a80001u);
  EXPECT_EQ(back.ip_destination.v4, 0x0a000002u);
  EXPECT_EQ(back.group, "web");
  EXPECT_EQ(back.message, "attack");
  EXPECT_EQ(back.port_destination, 80);
  EXPECT_EQ(back.logpos, 4096u);
  EXPECT_THROW(back.deserialize(body.data(), 83), serializer_exception_t);
}

TEST(CommandEvent, Text) {
  command_event_t e = ipv4_tcp_event();
  e.group = "grp";
  e.message = "msg";
  fmt_ring_reset();
  EXPECT_STREQ(e.to_str(),
               "event \n  sensor_id: 1\n  event_id: 2\n  timestamp: 1700000000123456\n"
               "  signature_id: 2003\n  generator_id: 1\n  signature_revision: 5\n"
               "  classification_id: 6\n  group: grp\n  message: msg\n  priority_id: 3\n"
               "  mac_source: 00:1a:2b:3c:4d:5e\n  mac_destination: ff:ff:ff:ff:ff:ff\n"
               "  ip_version: 1\n  ip_source: 192.168.0.1\n  ip_destination: 10.0.0.2\n"
               "  protocol: 6\n  port_source: 4660\n  port_destination: 80\n  icmp_type: 4660\n"
               "  icmp_code: 80\n  impact_flag: 1\n  blocked: 0\n  mpls_label: 9\n  vlan_id: 10\n"
               "  linktype: 1\n  logtimestamp: 1600000000\n  logpos: 4096");
}

TEST(CommandEvent, StringsThatDoNotFitOverflow) {
  command_event_t e = ipv4_tcp_event();
  // 82 fixed bytes, and the two strings with their prefixes take the remaining 4010.
  e.group = std::string(2000, 'g');
  e.message = std::string(2006, 'm');
  EXPECT_EQ(body_of(e).size(), 4092u);
  e.message.push_back('m');
  std::vector<unsigned char> buf(4092);
  EXPECT_THROW(e.serialize(buf.data(), 4092), serializer_exception_t);
}

TEST(CommandPacket, BodySizesAndLimit) {
  std::vector<unsigned char> data(4063, 0xab);
  command_packet_t p;
  p.sensor_id = 1;
  p.event_id = 2;
  p.event_second = 3;
  p.timestamp = 4;
  p.logtimestamp = 5;
  p.logpos = 6;
  p.data = {data.data(), 60};
  const bytes_t body = body_of(p);
  ASSERT_EQ(body.size(), 89u);
  EXPECT_EQ(slice(body, 8, 4), (bytes_t{3, 0, 0, 0}));
  EXPECT_EQ(slice(body, 12, 8), (bytes_t{4, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(body[20], 60);
  EXPECT_EQ(slice(body, 81, 8), (bytes_t{5, 0, 0, 0, 6, 0, 0, 0}));

  p.data.length = 4062;
  EXPECT_EQ(body_of(p).size(), 4092u);
  p.data.length = 4063;
  std::vector<unsigned char> buf(4092);
  try {
    p.serialize(buf.data(), 4092);
    FAIL() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "buffer overflow");
  }
}

TEST(CommandPacket, ReadsDataAsViewAndTextIsConstant) {
  const unsigned char payload[] = {1, 2, 3};
  command_packet_t p;
  p.data = {payload, 3};
  const bytes_t body = body_of(p);
  command_packet_t back;
  back.deserialize(body.data(), static_cast<std::uint16_t>(body.size()));
  EXPECT_EQ(back.data.bytes, body.data() + 21);
  EXPECT_EQ(back.data.length, 3);

  fmt_ring_reset();
  EXPECT_STREQ(back.to_str(), "{todo}");
  EXPECT_EQ(g_fmt_buffer_pos, 0);
}

TEST(CommandStats, BodyAndText) {
  command_stats_t s;
  s.sensor_id = 1;
  s.timestamp = 1700000000000000;
  s.ids_state = "unk";
  s.cpu_usage = 1234;
  s.memory = 8000000000;
  s.mem_usage = 5000;
  s.disk = 100;
  s.disk_usage = 1;
  s.ifrecv_bytes = 11;
  s.ifrecv_packets = 12;
  s.ifsend_bytes = 13;
  s.ifsend_packets = 14;
  s.uptime = 99;
  const bytes_t body = body_of(s);
  ASSERT_EQ(body.size(), 74u);
  EXPECT_EQ(slice(body, 12, 4), (bytes_t{3, 'u', 'n', 'k'}));
  EXPECT_EQ(slice(body, 70, 4), (bytes_t{99, 0, 0, 0}));

  command_stats_t back;
  back.deserialize(body.data(), 74);
  EXPECT_EQ(back.memory, 8000000000u);
  EXPECT_EQ(back.ifsend_packets, 14u);

  fmt_ring_reset();
  EXPECT_STREQ(s.to_str(),
               "command_stats\n  timestamp: 1700000000000000\n  ids_state: unk\n  cpu_usage: 1234\n"
               "  memory: 8000000000\n  mem_usage: 5000\n  disk: 100\n  disk_usage: 1\n"
               "  ifrecv_bytes: 11\n  ifrecv_packets: 12\n  ifsend_bytes: 13\n"
               "  ifsend_packets: 14 ");
}
