#include "snort/u2_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "common/temp_dir.h"
#include "common/u2_writer.h"
#include "snort_test_util.h"
#include "support/string_utils.h"

using snort_test::log_capture_t;

namespace {

const std::array<uint8_t, 6> mac_a{{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}};
const std::array<uint8_t, 6> mac_b{{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}};
const uint8_t zero_mac[6] = {};

u2w::event_t event(uint32_t id) {
  u2w::event_t e;
  e.event_id = id;
  return e;
}
u2w::packet_t packet(uint32_t id, size_t payload = 10) {
  u2w::packet_t p;
  p.event_id = id;
  p.data = u2w::ipv4_frame(mac_a, mac_b, 6, 0x0a000001, 0x0a000002, 40000, 80, payload);
  return p;
}
u2w::extra_t extra(uint32_t id, const std::string& blob = "/index.html") {
  u2w::extra_t x;
  x.event_id = id;
  x.blob = blob;
  return x;
}

// What read() hands out: "E<id>", "P<id>" or "S", each with the position after it.
using trace_t = std::vector<std::pair<std::string, unsigned long>>;
trace_t drain(u2_file_t& u2) {
  trace_t out;
  while (const u2_record_t* r = u2.read()) {
    std::string s = "S";
    if (r->type == u2_type_event) {
      s = "E" + std::to_string(static_cast<const u2_event_t*>(r)->event_id);
    } else if (r->type == u2_type_packet) {
      s = "P" + std::to_string(static_cast<const u2_packet_t*>(r)->event_id);
    }
    out.emplace_back(s, u2.get_position());
  }
  return out;
}

class U2File : public ::testing::Test {
 protected:
  void open_with(const std::string& bytes) {
    u2w::spool_t(path).append(bytes);
    u2.open(path);
  }

  ferun_test::temp_dir_t dir;
  std::string path = (dir / "snort.u2").string();
  u2_file_t u2;
};

TEST_F(U2File, EventFieldsInHostOrderWith64BitTime) {
  u2w::event_t e4 = event(0x01020304);
  e4.second = 1700000000;
  e4.microsecond = 123456;
  std::tie(e4.signature_id, e4.generator_id, e4.signature_revision) =
      std::make_tuple(2100498, 119, 7);
  std::tie(e4.classification_id, e4.priority_id, e4.ip4_src, e4.ip4_dst) =
      std::make_tuple(31, 2, 0xc0a80101, 0x08080808);
  std::tie(e4.port_src, e4.port_dst, e4.protocol, e4.impact_flag, e4.blocked, e4.mpls, e4.vlan) =
      std::make_tuple(51234, 443, 17, 0x20, 1, 29, 4093);
  u2w::event_t e6 = event(5);
  e6.type = u2w::event6_type;
  e6.second = 0xffffffff;
  e6.microsecond = 999999;
  for (uint8_t i = 0; i < 16; ++i)
    e6.ip6_src[i] = i, e6.ip6_dst[i] = static_cast<uint8_t>(0xf0 + i);
  open_with(u2w::encode(e4) + u2w::encode(packet(e4.event_id)) + u2w::encode(e6) +
            u2w::encode(packet(5)));

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
  ASSERT_NE(u2.read(), nullptr);
  ev = static_cast<const u2_event_t*>(u2.read());
  ASSERT_NE(ev, nullptr);
  EXPECT_EQ(ev->ip_version, 2);
  EXPECT_EQ(ev->event_time, 0xffffffffull * 1000000 + 999999);
  EXPECT_EQ(0, memcmp(&ev->ip_src.ip6, e6.ip6_src.data(), 16));
  EXPECT_EQ(0, memcmp(&ev->ip_dst.ip6, e6.ip6_dst.data(), 16));
}

// A refused record is never skipped: every call returns null at the same position.
TEST_F(U2File, RecordBodyBounds) {
  auto ev = [](uint32_t type, size_t length) {
    u2w::event_t e = event(3);
    e.type = type;
    e.vlan = 77;
    e.body_length = length;
    return u2w::encode(e);
  };
  auto short_packet = [] {
    u2w::packet_t p = packet(1);
    p.data = "12345";
    p.declared_length = 6;
    return u2w::encode(p);
  };
  auto blob = [](int64_t declared) {
    u2w::extra_t x = extra(1);
    x.declared_blob_length = declared;
    return u2w::encode(x);
  };
  std::vector<std::pair<std::string, bool>> bounds = {
      // record, accepted
      {u2w::record(2, std::string(28, '\0')), true},
      {u2w::record(2, std::string(27, '\0')), false},
      {short_packet(), false},
      {blob(8), true},
      {blob(7), false},
      {blob(0), false},
      {u2w::record(110, std::string(31, '\0')), false}};
  for (uint32_t type : {104u, 105u, 111u, 112u}) {
    const size_t min = type == 104 || type == 111 ? 58 : 82;  // 0: the length Snort writes
    for (size_t length : {size_t{0}, min, size_t{1024}})
      bounds.emplace_back(ev(type, length), true);
    for (size_t length : {min - 1, size_t{1025}}) bounds.emplace_back(ev(type, length), false);
  }
  log_capture_t log("u2_file", "warning");
  for (const auto& b : bounds) {
    SCOPED_TRACE(testing::PrintToString(b.first.substr(0, 8)));
    const std::string bytes = b.first + u2w::encode(packet(3));
    u2_file_t reader;  // fresh: an accepted event leaves its packet pending
    u2w::spool_t(path).append(bytes);
    reader.open(path);
    if (!b.second) {
      EXPECT_EQ(reader.read(), nullptr);
      EXPECT_EQ(reader.read(), nullptr);
      EXPECT_EQ(reader.get_position(), 0u);
      continue;
    }
    const u2_record_t* r = reader.read();
    ASSERT_NE(r, nullptr);
    if (r->type == u2_type_event) {
      EXPECT_EQ(static_cast<const u2_event_t*>(r)->vlan, 77);
    }
    drain(reader);
    EXPECT_EQ(reader.get_position(), bytes.size());
  }
  EXPECT_EQ(log.count("ERROR u2_file: len looks invalid: 18446744073709551615\n"), 2u);
  EXPECT_EQ(log.count("len looks invalid: 18446744073709551608\n"), 2u);
}

// A record is taken only once all its bytes are in the file: padding behind the fields, and the
// bytes of a packet beyond the 8080-byte buffer, which are passed over.
TEST_F(U2File, RecordTailMustBeInTheFileBeforeTheRecordIsTaken) {
  auto padded = [](const std::string& r) {
    return u2w::record(uint8_t(r[3]), r.substr(8) + std::string(20, '\0'));
  };
  u2w::packet_t big = packet(1);
  big.data.resize(9000);
  for (size_t i = 0; i < big.data.size(); ++i) big.data[i] = static_cast<char>(i * 7);
  const std::string next = u2w::encode(packet(2));
  for (const std::string& rec :
       {padded(u2w::encode(packet(1))), padded(u2w::encode(extra(1))), u2w::encode(big)}) {
    u2w::spool_t spool(path);
    spool.append(rec.substr(0, rec.size() - 1));
    u2.open(path);
    EXPECT_EQ(u2.read(), nullptr);
    EXPECT_EQ(u2.get_position(), 0u);
    spool.append(rec.back() + next);
    EXPECT_EQ(drain(u2),
              (trace_t{{rec[3] == 2 ? "P1" : "S", rec.size()}, {"P2", rec.size() + next.size()}}));
  }
  u2.set_position(0);
  const auto* pk = static_cast<const u2_packet_t*>(u2.read());
  ASSERT_NE(pk, nullptr);
  ASSERT_EQ(pk->packet_length, u2_packet_t::data_capacity);
  EXPECT_EQ(0, memcmp(pk->data, big.data.data(), u2_packet_t::data_capacity));
}

TEST_F(U2File, OpenErrorText) {
  const std::string missing = (dir / "missing.u2").string();
  try {
    u2.open(missing);
    ADD_FAILURE() << "no exception";
  } catch (const exception_t& e) {
    EXPECT_EQ(e.message,
              "can't open unified2 log file \"" + missing + "\": No such file or directory\n");
  }
}

TEST_F(U2File, PacketSummaryLineWhenChannelEnabled) {
  u2w::packet_t p = packet(11);
  p.data = u2w::ipv4_frame(mac_a, mac_b, 6, 0x01020304, 0x05060708, 1234, 80, 5, 0x12);
  std::tie(p.second, p.microsecond) = std::make_tuple(1700000001, 9);
  open_with(u2w::encode(p));
  log_capture_t log("u2_file", "debug0");
  drain(u2);
  EXPECT_EQ(log.count("DEBUG0 u2_file: offset: 8   \n  U2 header: \n    type: 2\n    length: 87\n"),
            1u);
  EXPECT_EQ(log.count("      packet_length: 59\n      ip_packet: 1700000001.9   1.2.3.4:1234 -> "
                      "5.6.7.8:80 59 TCP 5 [SYN,ACK] seq: 1000 ack: 2000\n"),
            1u);
}

// Decoding walks untrusted bytes for the debug line: offsets right, never past the capture.
TEST(U2Decode, Ipv6ExtensionOffsetsInsideCapturedBytes) {
  std::string f(14, '\0');
  f[12] = '\x86', f[13] = '\xdd';
  std::string ip6(40, '\0');
  ip6[0] = 0x60, ip6[5] = 24, ip6[6] = 0;  // hop-by-hop, fragment, UDP
  ip6[8 + 15] = 1, ip6[24 + 15] = 2;
  f += ip6 + std::string{44, 0, 1, 4, 0, 0, 0, 0} + std::string{17, 0, 0, 0, 0, 0, 0, 1} +
       std::string{1, 2, 3, 4, 0, 8, 0, 0};
  const auto* d = reinterpret_cast<const uint8_t*>(f.data());
  const u2_packet_summary_t s = u2_decode_packet(d, f.size());
  EXPECT_EQ(std::make_tuple(s.network, s.ip6_src.s6_addr[15], s.ip6_dst.s6_addr[15], s.protocol),
            std::make_tuple(uint8_t{6}, uint8_t{1}, uint8_t{2}, uint8_t{17}));
  EXPECT_EQ(std::make_tuple(s.transport_offset, s.transport_length, s.port_src, s.port_dst),
            std::make_tuple(uint16_t{14 + 56}, 8u, uint16_t{0x0102}, uint16_t{0x0304}));
  for (size_t length : {f.size() - 1, size_t{14 + 40 + 4}, size_t{14 + 39}})
    EXPECT_FALSE(u2_decode_packet(d, length).has_transport) << length;
}

TEST_F(U2File, EventTakesMacsAndLinkTypeOfItsPacketOnly) {
  u2w::packet_t p7 = packet(7);
  p7.linktype = 113;
  u2w::packet_t p9 = packet(9);
  p9.data = std::string(11, '\x7f');  // too short for two MAC addresses
  open_with(u2w::encode(event(7)) + u2w::encode(p7) + u2w::encode(event(8)) +
            u2w::encode(extra(8)) + u2w::encode(event(9)) + u2w::encode(p9));

  const auto* ev = static_cast<const u2_event_t*>(u2.read());
  ASSERT_NE(ev, nullptr);
  EXPECT_EQ(0, memcmp(ev->mac_dst, mac_a.data(), 6));
  EXPECT_EQ(0, memcmp(ev->mac_src, mac_b.data(), 6));
  EXPECT_EQ(ev->linktype, 113u);
  const auto* pk = static_cast<const u2_packet_t*>(u2.read());
  ASSERT_NE(pk, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(pk->data), pk->packet_length), p7.data);
  for (uint32_t id : {8, 9}) {  // paired with extra data, and with a short packet
    ev = static_cast<const u2_event_t*>(u2.read());
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(ev->event_id, id);
    EXPECT_EQ(0, memcmp(ev->mac_dst, zero_mac, 6));
    EXPECT_EQ(0, memcmp(ev->mac_src, zero_mac, 6));
    EXPECT_EQ(ev->linktype, id == 8 ? 0u : 1u);
  }
  u2.close();
  EXPECT_EQ(drain(u2), (trace_t{{"P9", u2.get_position()}}));  // pending, needs no file
}

// A call that consumed records never returns null: the consumer would take it for the file's end.
TEST_F(U2File, PairingTrace) {
  const std::vector<std::string> recs = {
      u2w::encode(event(1)),  u2w::encode(packet(9)), u2w::encode(event(2)),
      u2w::encode(extra(8)),  u2w::encode(event(4)),  u2w::record(7, std::string(52, '\0')),
      u2w::encode(event(5)),  u2w::encode(event(6)),  u2w::encode(extra(6)),
      u2w::encode(packet(5)), u2w::encode(extra(5)),  u2w::record(999, "xyz"),
      u2w::encode(event(3)),  u2w::encode(packet(3))};
  std::string all;
  std::vector<unsigned long> at = {0};
  for (const std::string& r : recs) all += r, at.push_back(all.size());
  log_capture_t log("u2_file", "warning");
  open_with(all);
  EXPECT_EQ(drain(u2), (trace_t{{"P9", at[2]},
                                {"S", at[4]},
                                {"E4", at[5]},
                                {"S", at[6]},
                                {"E5", at[7]},
                                {"E6", at[9]},
                                {"P5", at[10]},
                                {"S", at[11]},
                                {"S", at[12]},
                                {"E3", at[14]},
                                {"P3", at[14]}}));
  EXPECT_EQ(log.count("WARNING u2_file: packet.event_id does not equal event.event_id - event "
                      "without packet?\n"),
            1u);
  EXPECT_EQ(log.count("WARNING u2_file: extra.event_id does not equal event.event_id\n"), 1u);
  EXPECT_EQ(log.count("WARNING u2_file: expected packet, but got 7\n"), 1u);
  EXPECT_EQ(log.count("expected packet, but got 104\n"), 1u);
  EXPECT_EQ(log.count("ERROR u2_file: got unknown type 7\n"), 1u);
}

// A file growing by one byte, or 97 bytes, at a time: every record comes out once, when complete.
TEST_F(U2File, GrowingFileYieldsEveryRecordOnce) {
  const std::string all = u2w::encode(event(1)) + u2w::encode(packet(1)) + u2w::encode(event(2)) +
                          u2w::encode(extra(2)) + u2w::encode(packet(2, 300)) +
                          u2w::record(42, "uuuuu") + u2w::encode(extra(3, std::string(300, 'x')));
  open_with(all);
  const trace_t whole = drain(u2);
  ASSERT_EQ(whole.size(), 6u);
  for (size_t step : {1, 97}) {
    u2w::spool_t spool(path);
    u2_file_t r;
    r.open(path);
    trace_t seen;
    for (size_t at = 0; at < all.size(); at += step) {
      spool.append(all.substr(at, step));
      for (const auto& got : drain(r)) {
        ASSERT_LE(got.second, at + step);
        seen.push_back(got);
      }
    }
    EXPECT_EQ(seen, whole) << "step " << step;
  }
}

}  // namespace
