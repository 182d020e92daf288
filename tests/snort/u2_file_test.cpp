#include "snort/u2_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "common/temp_dir.h"
#include "common/u2_writer.h"

namespace {

const std::array<uint8_t, 6> mac_a{{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}};
const std::array<uint8_t, 6> mac_b{{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}};

u2w::event_t event(uint32_t id, uint32_t type = u2w::event4_type, size_t body_length = 0) {
  u2w::event_t e;
  std::tie(e.event_id, e.type, e.body_length) = std::make_tuple(id, type, body_length);
  return e;
}
u2w::packet_t packet(uint32_t id) {
  u2w::packet_t p;
  p.event_id = id;
  p.data = u2w::ipv4_frame(mac_a, mac_b, 6, 0x0a000001, 0x0a000002, 40000, 80, 10);
  return p;
}
u2w::extra_t extra(uint32_t id) {
  u2w::extra_t x;
  x.event_id = id;
  return x;
}

// What read() hands out until null: "E<id>", "P<id>" or "S" for each record.
std::string drain(u2_file_t& u2) {
  std::string out;
  while (const u2_record_t* r = u2.read()) {
    if (r->type == u2_type_event)
      out += "E" + std::to_string(static_cast<const u2_event_t*>(r)->event_id);
    else if (r->type == u2_type_packet)
      out += "P" + std::to_string(static_cast<const u2_packet_t*>(r)->event_id);
    else
      out += "S";
  }
  return out;
}

class U2File : public ::testing::Test {
 protected:
  ferun_test::temp_dir_t dir;
  std::string path = (dir / "snort.u2").string();
  u2w::spool_t spool{path};
  u2_file_t u2;
};

// Main road: a file growing byte by byte yields every record once, none skipped. The events have
// the shortest bodies that hold every field: 58 bytes (104, 111) and 82 (105, 112).
TEST_F(U2File, GrowingFileYieldsEveryRecordOnce) {
  const std::string all = u2w::encode(event(1, u2w::event4_type, 58)) + u2w::encode(packet(1)) +
                          u2w::encode(event(2)) + u2w::encode(extra(2)) + u2w::record(42, "uuuuu") +
                          u2w::encode(event(3, u2w::event6_app_type, 82)) + u2w::encode(packet(3));
  u2.open(path);
  std::string seen;
  for (char c : all) {
    spool.append(std::string(1, c));
    seen += drain(u2);
  }
  EXPECT_EQ(seen, "E1P1E2SE3P3");
  EXPECT_EQ(u2.get_position(), all.size());
}

// The event takes the MACs (destination first) and link type of its packet.
TEST_F(U2File, EventTakesMacsFromItsPacket) {
  u2w::packet_t p = packet(7);
  p.linktype = 113;
  spool.append(u2w::encode(event(7)) + u2w::encode(p));
  u2.open(path);
  const auto* ev = static_cast<const u2_event_t*>(u2.read());
  ASSERT_NE(ev, nullptr);
  EXPECT_EQ(0, memcmp(ev->mac_dst, mac_a.data(), 6));
  EXPECT_EQ(0, memcmp(ev->mac_src, mac_b.data(), 6));
  EXPECT_EQ(ev->linktype, 113u);
  EXPECT_EQ(drain(u2), "P7");
}

// A record is taken only once all of it is in the file, also the packet bytes past the 8080-byte
// buffer, which are passed over while the position moves past the whole record.
TEST_F(U2File, RecordTailMustBeInTheFileBeforeTheRecordIsTaken) {
  u2w::packet_t big = packet(1);
  big.data.resize(9000);
  for (size_t i = 0; i < big.data.size(); ++i) big.data[i] = static_cast<char>(i * 7);
  const std::string rec = u2w::encode(big);
  spool.append(rec.substr(0, rec.size() - 1));
  u2.open(path);
  EXPECT_EQ(u2.read(), nullptr);
  EXPECT_EQ(u2.get_position(), 0u);
  spool.append(rec.substr(rec.size() - 1));
  const auto* pk = static_cast<const u2_packet_t*>(u2.read());
  ASSERT_NE(pk, nullptr);
  ASSERT_EQ(pk->packet_length, 8080u);
  EXPECT_EQ(0, memcmp(pk->data, big.data.data(), 8080));
  EXPECT_EQ(u2.get_position(), rec.size());
}

// A call that consumed records never returns null: the sensor would take it for the file's end.
TEST_F(U2File, UnpairedRecordsNeverReturnNull) {
  spool.append(u2w::encode(extra(8)) + u2w::encode(event(1)) + u2w::encode(packet(9)) +
               u2w::encode(event(2)) + u2w::encode(extra(3)));
  u2.open(path);
  EXPECT_EQ(drain(u2), "SP9S");  // lone extra, event + other packet, event + other extra
  EXPECT_EQ(u2.get_position(), spool.size());
}

}  // namespace
