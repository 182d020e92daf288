// Record fields, body bounds, opening and positioning, and the debug texts of the reader.
#include "snort/u2_file.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "common/u2_writer.h"
#include "snort_test_util.h"
#include "support/string_utils.h"

using snort_test::log_capture_t;
using snort_test::temp_dir_t;

namespace {

const std::array<uint8_t, 6> mac_a{{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}};
const std::array<uint8_t, 6> mac_b{{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}};

class U2File : public ::testing::Test {
 protected:
  // Writes `bytes` as the whole file and opens the reader on it.
  void open_with(const std::string& bytes) {
    u2w::spool_t(path).append(bytes);
    u2.open(path);
  }

  temp_dir_t dir;
  std::string path = dir.file("snort.u2");
  u2_file_t u2;
};

u2w::packet_t packet_for(uint32_t id, std::string data) {
  u2w::packet_t p;
  p.event_id = id;
  p.data = std::move(data);
  return p;
}

TEST_F(U2File, Ipv4EventFieldsInHostOrder) {
  u2w::event_t e;
  e.event_id = 0x01020304;
  e.second = 1700000000;
  e.microsecond = 123456;
  e.signature_id = 2100498;
  e.generator_id = 119;
  e.signature_revision = 7;
  e.classification_id = 31;
  e.priority_id = 2;
  e.ip4_src = 0xc0a80101;
  e.ip4_dst = 0x08080808;
  e.port_src = 51234;
  e.port_dst = 443;
  e.protocol = 17;
  e.impact_flag = 0x20;
  e.impact = 9;
  e.blocked = 1;
  e.mpls = 29;
  e.vlan = 4093;
  open_with(u2w::encode(e) + u2w::encode(packet_for(e.event_id, "")));

  const auto* ev = static_cast<const u2_event_t*>(u2.read());
  ASSERT_NE(ev, nullptr);
  EXPECT_EQ(
      std::make_tuple(ev->ip_version, ev->event_id, ev->event_time, ev->signature_id,
                      ev->generator_id, ev->signature_revision, ev->classification_id,
                      ev->priority_id),
      std::make_tuple(uint8_t{1}, 0x01020304u, 1700000000123456ull, 2100498u, 119u, 7u, 31u, 2u));
  EXPECT_EQ(std::make_tuple(ev->ip_src.ip4, ev->ip_dst.ip4, ev->port_src, ev->port_dst,
                            ev->protocol, ev->impact_flag, ev->blocked, ev->mpls, ev->vlan),
            std::make_tuple(0xc0a80101u, 0x08080808u, uint16_t{51234}, uint16_t{443}, uint8_t{17},
                            uint8_t{0x20}, uint8_t{1}, 29u, uint16_t{4093}));
}

TEST_F(U2File, Ipv6EventFieldsAndLargestSecond) {
  u2w::event_t e;
  e.type = u2w::event6_type;
  e.event_id = 5;
  e.second = 0xffffffff;
  e.microsecond = 999999;
  for (uint8_t i = 0; i < 16; ++i) {
    e.ip6_src[i] = i;
    e.ip6_dst[i] = static_cast<uint8_t>(0xf0 + i);
  }
  e.port_src = 0x1234;
  e.port_dst = 0xabcd;
  e.protocol = 58;
  e.blocked = 2;
  e.mpls = 0xdeadbeef;
  e.vlan = 0x0fff;
  open_with(u2w::encode(e) + u2w::encode(packet_for(5, std::string(60, 'm'))));

  const auto* ev = static_cast<const u2_event_t*>(u2.read());
  ASSERT_NE(ev, nullptr);
  EXPECT_EQ(ev->ip_version, 2);
  EXPECT_EQ(ev->event_time, 0xffffffffull * 1000000 + 999999);
  EXPECT_EQ(0, memcmp(&ev->ip_src.ip6, e.ip6_src.data(), 16));
  EXPECT_EQ(0, memcmp(&ev->ip_dst.ip6, e.ip6_dst.data(), 16));
  EXPECT_EQ(ev->port_src, 0x1234);
  EXPECT_EQ(ev->port_dst, 0xabcd);
  EXPECT_EQ(ev->protocol, 58);
  EXPECT_EQ(ev->blocked, 2);
  EXPECT_EQ(ev->mpls, 0xdeadbeefu);
  EXPECT_EQ(ev->vlan, 0x0fff);
}

// Event bodies: every type is taken from the length that holds its fields up to 1024 bytes.
// A refused body is never skipped: the same call keeps returning null at the same position.
TEST_F(U2File, EventBodyBounds) {
  struct bound_t {
    uint32_t type;
    size_t length;
    bool accepted;
  };
  const bound_t bounds[] = {
      {104, 60, true},   {104, 58, true},    {104, 57, false},  {111, 124, true},
      {111, 58, true},   {111, 57, false},   {105, 84, true},   {105, 82, true},
      {105, 81, false},  {112, 148, true},   {112, 82, true},   {112, 81, false},
      {104, 1024, true}, {104, 1025, false}, {112, 1024, true}, {112, 1025, false}};
  for (const bound_t& b : bounds) {
    SCOPED_TRACE(string_utils::format("type %u length %zu", b.type, b.length));
    u2w::event_t e;
    e.type = b.type;
    e.event_id = 3;
    e.vlan = 77;
    e.body_length = b.length;
    const std::string bytes = u2w::encode(e) + u2w::encode(packet_for(3, std::string(20, 'x')));
    u2w::spool_t(path).append(bytes);
    u2_file_t reader;  // fresh: an accepted event leaves its packet pending
    reader.open(path);
    for (int attempt = 0; attempt < 2; ++attempt) {
      const u2_record_t* r = reader.read();
      if (!b.accepted) {
        EXPECT_EQ(r, nullptr);
        EXPECT_EQ(reader.get_position(), 0u);
        continue;
      }
      ASSERT_NE(r, nullptr);
      ASSERT_EQ(r->type, u2_type_event);
      EXPECT_EQ(static_cast<const u2_event_t*>(r)->vlan, 77);
      EXPECT_EQ(reader.get_position(), bytes.size());
      break;
    }
  }
}

TEST_F(U2File, PacketRecordBounds) {
  // A bare 28-byte head is a packet without bytes.
  open_with(u2w::encode(packet_for(1, "")));
  const auto* pk = static_cast<const u2_packet_t*>(u2.read());
  ASSERT_NE(pk, nullptr);
  EXPECT_EQ(pk->packet_length, 0);

  // Shorter than the head, or claiming more bytes than the record holds: refused, retried.
  const std::string bad[] = {u2w::record(2, std::string(27, '\0')), [] {
                               u2w::packet_t p = packet_for(1, "12345");
                               p.declared_length = 6;
                               return u2w::encode(p);
                             }()};
  for (const std::string& b : bad) {
    open_with(b + u2w::encode(packet_for(2, "")));
    EXPECT_EQ(u2.read(), nullptr);
    EXPECT_EQ(u2.read(), nullptr);
    EXPECT_EQ(u2.get_position(), 0u);
  }
}

TEST_F(U2File, OversizedPacketKeepsBufferAndPassesOverTheRest) {
  std::string data(9000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  u2w::event_t e;
  e.event_id = 1;
  const std::string event = u2w::encode(e);
  const std::string packet = u2w::encode(packet_for(1, data));
  const std::string next = u2w::encode(packet_for(2, "tail"));

  // Until the whole record is in the file, nothing is handed out.
  u2w::spool_t spool(path);
  spool.append(event + packet.substr(0, packet.size() - 1));
  u2.open(path);
  EXPECT_EQ(u2.read(), nullptr);
  EXPECT_EQ(u2.get_position(), 0u);

  spool.append(packet.substr(packet.size() - 1) + next);
  ASSERT_NE(u2.read(), nullptr);
  const auto* pk = static_cast<const u2_packet_t*>(u2.read());
  ASSERT_NE(pk, nullptr);
  ASSERT_EQ(pk->packet_length, u2_packet_t::data_capacity);
  EXPECT_EQ(0, memcmp(pk->data, data.data(), u2_packet_t::data_capacity));
  EXPECT_EQ(u2.get_position(), event.size() + packet.size());
  pk = static_cast<const u2_packet_t*>(u2.read());
  ASSERT_NE(pk, nullptr);
  EXPECT_EQ(pk->event_id, 2u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(pk->data), pk->packet_length), "tail");
}

TEST_F(U2File, ExtraDataBlobLengthBounds) {
  u2w::extra_t x;
  x.declared_blob_length = 8;
  open_with(u2w::encode(x));
  EXPECT_NE(u2.read(), nullptr);  // an empty blob

  log_capture_t log("u2_file", "warning");
  for (int64_t below : {7, 0}) {
    x.declared_blob_length = below;
    open_with(u2w::encode(x));
    EXPECT_EQ(u2.read(), nullptr);
    EXPECT_EQ(u2.read(), nullptr);
    EXPECT_EQ(u2.get_position(), 0u);
  }
  EXPECT_EQ(log.count("ERROR u2_file: len looks invalid: 18446744073709551615\n"), 2u);
  EXPECT_EQ(log.count("len looks invalid: 18446744073709551608\n"), 2u);

  open_with(u2w::record(110, std::string(31, '\0')));
  EXPECT_EQ(u2.read(), nullptr);
}

TEST_F(U2File, OpenAndPosition) {
  try {
    u2.open(dir.file("missing.u2"));
    FAIL() << "no exception";
  } catch (const exception_t& e) {
    EXPECT_EQ(e.message, "can't open unified2 log file \"" + dir.file("missing.u2") +
                             "\": No such file or directory\n");
  }
  EXPECT_FALSE(u2.is_open());
  EXPECT_EQ(u2.read(), nullptr);

  u2w::packet_t p1 = packet_for(1, "one");
  u2w::packet_t p2 = packet_for(2, "two");
  const std::string first = u2w::encode(p1);
  open_with(first + u2w::encode(p2));
  EXPECT_EQ(u2.get_position(), 0u);
  u2.set_position(first.size() + (1ull << 32));  // kept to 32 bits
  EXPECT_EQ(u2.get_position(), first.size());
  const auto* pk = static_cast<const u2_packet_t*>(u2.read());
  ASSERT_NE(pk, nullptr);
  EXPECT_EQ(pk->event_id, 2u);
  u2.set_position(0);
  pk = static_cast<const u2_packet_t*>(u2.read());
  ASSERT_NE(pk, nullptr);
  EXPECT_EQ(pk->event_id, 1u);
  EXPECT_FALSE(u2.eof());
}

TEST_F(U2File, DebugTextsWhenChannelEnabled) {
  u2w::event_t e;
  e.event_id = 11;
  e.second = 1700000000;
  e.microsecond = 42;
  e.ip4_src = 0x01020304;
  e.ip4_dst = 0x05060708;
  u2w::packet_t p =
      packet_for(11, u2w::ipv4_frame(mac_a, mac_b, 6, 0x01020304, 0x05060708, 1234, 80, 5, 0x12));
  p.second = 1700000001;
  p.microsecond = 9;
  u2w::extra_t x;
  x.event_id = 12;
  x.kind = 9;
  x.blob = "/index.html";
  open_with(u2w::encode(e) + u2w::encode(p) + u2w::encode(x));

  log_capture_t log("u2_file", "debug0");
  while (u2.read()) {
  }
  const std::string text = log.text();
  EXPECT_NE(
      text.find("DEBUG0 u2_file: offset: 8   \n  U2 header: \n    type: 104\n    length: 60\n"),
      std::string::npos);
  EXPECT_NE(text.find("      event_time: 1700000000.42\n"), std::string::npos);
  EXPECT_NE(text.find("      ip_src: 1.2.3.4\n      ip_dst: 5.6.7.8\n"), std::string::npos);
  EXPECT_NE(text.find("      packet_length: 59\n      ip_packet: 1700000001.9   "
                      "1.2.3.4:1234 -> 5.6.7.8:80 59 TCP 5 [SYN,ACK] seq: 1000 ack: 2000\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("HTTP URI: /index.html\n"), std::string::npos);
}

// Decoding is for the debug line only, but it walks untrusted bytes: it must stay inside them.
TEST(U2Decode, StaysInsideCapturedBytes) {
  // The IPv4 header claims a TCP header that was not captured.
  const std::string cut = u2w::ipv4_frame(mac_a, mac_b, 6, 1, 2, 3, 4, 0).substr(0, 40);
  auto s = u2_decode_packet(reinterpret_cast<const uint8_t*>(cut.data()), cut.size());
  EXPECT_EQ(s.network, 4);
  EXPECT_FALSE(s.has_ports);
  EXPECT_EQ(u2_decode_packet(reinterpret_cast<const uint8_t*>(cut.data()), 33).network, 0);

  std::string f(14, '\0');
  f[12] = '\x86';
  f[13] = '\xdd';
  std::string ip6(40, '\0');
  ip6[0] = 0x60;
  ip6[5] = 8 + 8 + 8;  // hop-by-hop, fragment, UDP
  ip6[6] = 0;          // hop-by-hop first
  ip6[8] = 0x20;
  ip6[8 + 15] = 1;
  ip6[24] = 0x20;
  ip6[24 + 15] = 2;
  const std::string hop = {44, 0, 1, 4, 0, 0, 0, 0};  // next: fragment; PadN option
  const std::string frag = {17, 0, 0, 0, 0, 0, 0, 1};
  const std::string udp = {0x01, 0x02, 0x03, 0x04, 0, 8, 0, 0};
  f += ip6 + hop + frag + udp;
  s = u2_decode_packet(reinterpret_cast<const uint8_t*>(f.data()), f.size());
  EXPECT_EQ(s.network, 6);
  EXPECT_EQ(s.ip6_src.s6_addr[15], 1);
  EXPECT_EQ(s.ip6_dst.s6_addr[15], 2);
  EXPECT_EQ(s.protocol, 17);
  EXPECT_EQ(s.transport_offset, 14 + 56);
  EXPECT_EQ(s.transport_length, 8u);
  EXPECT_EQ(s.port_src, 0x0102);
  EXPECT_EQ(s.port_dst, 0x0304);

  // Payload running past the captured bytes, and a header chain running past them.
  for (size_t length : {f.size() - 1, size_t{14 + 40 + 4}}) {
    s = u2_decode_packet(reinterpret_cast<const uint8_t*>(f.data()), length);
    EXPECT_EQ(s.network, 6);
    EXPECT_FALSE(s.has_transport);
  }
}

}  // namespace

// A record whose header promises more bytes than its fields use is taken only once those bytes
// are in the file too: the position moves past the whole record, never past the file's end.
TEST_F(U2File, RecordTailMustBeInTheFileBeforeTheRecordIsTaken) {
  u2w::extra_t extra;
  extra.event_id = 1;
  extra.blob = "GET /";
  for (const std::string& whole : {u2w::encode(packet_for(1, "abcd")), u2w::encode(extra)}) {
    std::string rec = whole;
    const uint32_t declared = (uint32_t(uint8_t(rec[4])) << 24 | uint32_t(uint8_t(rec[5])) << 16 |
                               uint32_t(uint8_t(rec[6])) << 8 | uint8_t(rec[7])) + 20;
    for (int i = 0; i < 4; ++i) rec[4 + i] = static_cast<char>(declared >> (24 - 8 * i));

    u2w::spool_t spool(path);
    spool.append(rec);
    u2.open(path);
    EXPECT_EQ(u2.read(), nullptr);
    EXPECT_EQ(u2.get_position(), 0u);

    spool.append(std::string(20, '\0'));
    ASSERT_NE(u2.read(), nullptr);
    EXPECT_EQ(u2.get_position(), rec.size() + 20);
  }
}
