// How the reader pairs events with the record behind them, and how it follows a growing file.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/u2_writer.h"
#include "snort/u2_file.h"
#include "snort_test_util.h"

using snort_test::log_capture_t;
using snort_test::temp_dir_t;

namespace {

const std::array<uint8_t, 6> mac_a{{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}};
const std::array<uint8_t, 6> mac_b{{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}};

u2w::event_t make_event(uint32_t id) {
  u2w::event_t e;
  e.event_id = id;
  e.second = 1700000000;
  e.signature_id = 1000000 + id;
  return e;
}

u2w::packet_t make_packet(uint32_t id, size_t payload = 10) {
  u2w::packet_t p;
  p.event_id = id;
  p.event_second = 1700000000;
  p.second = 1700000000;
  p.microsecond = 5;
  p.data = u2w::ipv4_frame(mac_a, mac_b, 6, 0x0a000001, 0x0a000002, 40000, 80, payload);
  return p;
}

u2w::extra_t make_extra(uint32_t id, const std::string& blob = "/index.html") {
  u2w::extra_t x;
  x.event_id = id;
  x.blob = blob;
  return x;
}

// A compact trace of what read() hands out: "E<id>", "P<id>", "S", or "-" for null.
std::string describe(const u2_record_t* r) {
  if (!r) return "-";
  switch (r->type) {
    case u2_type_event: return "E" + std::to_string(static_cast<const u2_event_t*>(r)->event_id);
    case u2_type_packet: return "P" + std::to_string(static_cast<const u2_packet_t*>(r)->event_id);
    default: return "S";
  }
}

// Reads until null and returns the trace with the position after each record.
std::vector<std::pair<std::string, unsigned long>> drain(u2_file_t& u2) {
  std::vector<std::pair<std::string, unsigned long>> out;
  while (const u2_record_t* r = u2.read()) out.emplace_back(describe(r), u2.get_position());
  return out;
}

class U2Pairing : public ::testing::Test {
 protected:
  temp_dir_t dir;
  std::string path = dir.file("snort.u2");
  u2w::spool_t spool{path};
  u2_file_t u2;
};

TEST_F(U2Pairing, EventTakesMacsAndLinkTypeFromItsPacket) {
  u2w::packet_t p = make_packet(7);
  p.linktype = 113;
  const std::string e = u2w::encode(make_event(7));
  spool.append(e);
  spool.append(u2w::encode(p));
  u2.open(path);

  const auto* ev = static_cast<const u2_event_t*>(u2.read());
  ASSERT_EQ(describe(ev), "E7");
  EXPECT_EQ(0, memcmp(ev->mac_dst, mac_a.data(), 6));
  EXPECT_EQ(0, memcmp(ev->mac_src, mac_b.data(), 6));
  EXPECT_EQ(ev->linktype, 113u);
  EXPECT_EQ(u2.get_position(), spool.size());

  const auto* pk = static_cast<const u2_packet_t*>(u2.read());
  ASSERT_EQ(describe(pk), "P7");
  EXPECT_EQ(pk->packet_length, p.data.size());
  EXPECT_EQ(0, memcmp(pk->data, p.data.data(), p.data.size()));
  EXPECT_EQ(u2.get_position(), spool.size());
  EXPECT_EQ(u2.read(), nullptr);

  // A packet too short for two MAC addresses leaves them zero.
  p.event_id = 8;
  p.data = std::string(11, '\x7f');
  spool.append(u2w::encode(make_event(8)) + u2w::encode(p));
  ev = static_cast<const u2_event_t*>(u2.read());
  ASSERT_EQ(describe(ev), "E8");
  const uint8_t zero[6] = {};
  EXPECT_EQ(0, memcmp(ev->mac_dst, zero, 6));
  EXPECT_EQ(0, memcmp(ev->mac_src, zero, 6));
}

TEST_F(U2Pairing, EventWithOwnExtraDataHasNoMacsAndConsumesBoth) {
  // The first event of a reader must not inherit anything from an earlier pair either.
  spool.append(u2w::encode(make_event(1)));
  spool.append(u2w::encode(make_packet(1)));
  spool.append(u2w::encode(make_event(2)));
  spool.append(u2w::encode(make_extra(2)));
  u2.open(path);
  ASSERT_EQ(describe(u2.read()), "E1");
  ASSERT_EQ(describe(u2.read()), "P1");
  const auto* ev = static_cast<const u2_event_t*>(u2.read());
  ASSERT_EQ(describe(ev), "E2");
  const uint8_t zero[6] = {};
  EXPECT_EQ(0, memcmp(ev->mac_dst, zero, 6));
  EXPECT_EQ(0, memcmp(ev->mac_src, zero, 6));
  EXPECT_EQ(ev->linktype, 0u);
  EXPECT_EQ(u2.get_position(), spool.size());
  EXPECT_EQ(u2.read(), nullptr);
}

TEST_F(U2Pairing, MismatchedNeighbourDropsEventWithoutReturningNull) {
  // A null here would tell the consumer the file is exhausted while records remain behind it.
  spool.append(u2w::encode(make_event(1)));
  spool.append(u2w::encode(make_packet(9)));
  const uint64_t after_first = spool.size();
  spool.append(u2w::encode(make_event(2)));
  spool.append(u2w::encode(make_extra(8)));
  const uint64_t after_second = spool.size();
  spool.append(u2w::encode(make_event(3)));
  spool.append(u2w::encode(make_packet(3)));
  log_capture_t log("u2_file", "warning");
  u2.open(path);

  const auto trace = drain(u2);
  ASSERT_EQ(trace.size(), 4u);
  EXPECT_EQ(trace[0], std::make_pair(std::string("P9"), static_cast<unsigned long>(after_first)));
  EXPECT_EQ(trace[1], std::make_pair(std::string("S"), static_cast<unsigned long>(after_second)));
  EXPECT_EQ(trace[2].first, "E3");
  EXPECT_EQ(trace[3].first, "P3");
  EXPECT_EQ(log.count("WARNING u2_file: packet.event_id does not equal event.event_id - event "
                      "without packet?\n"),
            1u);
  EXPECT_EQ(log.count("WARNING u2_file: extra.event_id does not equal event.event_id\n"), 1u);
}

TEST_F(U2Pairing, EventFollowedByOtherRecordIsHandedOutAlone) {
  const std::string event = u2w::encode(make_event(4));
  spool.append(event);
  spool.append(u2w::record(7, std::string(52, '\0')));
  spool.append(u2w::encode(make_event(5)));
  spool.append(u2w::encode(make_event(6)));
  spool.append(u2w::encode(make_packet(6)));
  log_capture_t log("u2_file", "warning");
  u2.open(path);

  const auto* ev = static_cast<const u2_event_t*>(u2.read());
  ASSERT_EQ(describe(ev), "E4");
  EXPECT_EQ(u2.get_position(), event.size());
  const uint8_t zero[6] = {};
  EXPECT_EQ(0, memcmp(ev->mac_dst, zero, 6));
  EXPECT_EQ(describe(u2.read()), "S");  // the type-7 record, skipped as unknown
  EXPECT_EQ(u2.get_position(), event.size() + 60);
  EXPECT_EQ(describe(u2.read()), "E5");  // followed by another event
  EXPECT_EQ(describe(u2.read()), "E6");
  EXPECT_EQ(describe(u2.read()), "P6");
  EXPECT_EQ(u2.read(), nullptr);
  EXPECT_EQ(log.count("WARNING u2_file: expected packet, but got 7\n"), 1u);
  EXPECT_EQ(log.count("expected packet, but got 104\n"), 1u);
  EXPECT_EQ(log.count("ERROR u2_file: got unknown type 7\n"), 1u);
}

TEST_F(U2Pairing, LonePacketAndLoneExtraDataAreConsumedAlone) {
  const std::string packet = u2w::encode(make_packet(5));
  const std::string extra = u2w::encode(make_extra(5));
  spool.append(packet);
  spool.append(extra);
  spool.append(u2w::record(999, "xyz"));
  u2.open(path);
  EXPECT_EQ(describe(u2.read()), "P5");
  EXPECT_EQ(u2.get_position(), packet.size());
  EXPECT_EQ(describe(u2.read()), "S");
  EXPECT_EQ(u2.get_position(), packet.size() + extra.size());
  EXPECT_EQ(describe(u2.read()), "S");
  EXPECT_EQ(u2.get_position(), spool.size());
  EXPECT_EQ(u2.read(), nullptr);
}

TEST_F(U2Pairing, PendingPacketSurvivesReopenAndIsReturnedFirst) {
  spool.append(u2w::encode(make_event(1)));
  spool.append(u2w::encode(make_packet(1)));
  u2.open(path);
  ASSERT_EQ(describe(u2.read()), "E1");
  u2.close();
  EXPECT_EQ(describe(u2.read()), "P1");  // no file needed for it
  EXPECT_EQ(u2.read(), nullptr);
}

// Every cut inside a sequence of records: what was complete comes out, the cut record does not,
// and once the rest is appended each record comes out exactly once.
TEST_F(U2Pairing, RecordCutAnywhereIsReadOnceCompleted) {
  std::vector<std::string> records = {
      u2w::encode(make_event(1)), u2w::encode(make_packet(1)), u2w::encode(make_event(2)),
      u2w::encode(make_extra(2)), u2w::encode(make_packet(2)), u2w::record(42, std::string(5, 'u')),
      u2w::encode(make_extra(3))};
  std::string all;
  for (const auto& r : records) all += r;

  std::vector<std::pair<std::string, unsigned long>> whole;
  {
    temp_dir_t d;
    u2w::spool_t s(d.file("whole"));
    s.append(all);
    u2_file_t r;
    r.open(s.path());
    whole = drain(r);
  }
  ASSERT_EQ(whole.size(), 6u);
  for (size_t cut = 0; cut < all.size(); ++cut) {
    u2w::spool_t s(path);
    s.append(all.substr(0, cut));
    u2_file_t r;
    r.open(path);
    auto first = drain(r);
    for (const auto& step : first) ASSERT_LE(step.second, cut) << "cut " << cut;
    EXPECT_EQ(r.read(), nullptr);
    s.append(all.substr(cut));
    auto rest = drain(r);
    first.insert(first.end(), rest.begin(), rest.end());
    ASSERT_EQ(first, whole) << "cut " << cut;
  }
}

// One reader following a file that grows by one byte at a time: the stream is re-read after
// every short read, so nothing is lost or repeated.
TEST_F(U2Pairing, FollowsFileGrowingByteByByte) {
  std::string all;
  for (uint32_t id = 1; id <= 4; ++id) {
    all += u2w::encode(make_event(id));
    all += u2w::encode(make_packet(id, 100 * id));
  }
  all += u2w::encode(make_extra(9, std::string(300, 'x')));
  u2.open(path);
  std::vector<std::pair<std::string, unsigned long>> seen;
  for (char c : all) {
    spool.append(std::string(1, c));
    auto step = drain(u2);
    seen.insert(seen.end(), step.begin(), step.end());
  }
  const std::vector<std::pair<std::string, unsigned long>> expected = {
      {"E1", 258},  {"P1", 258},  {"E2", 616},  {"P2", 616},      {"E3", 1074},
      {"P3", 1074}, {"E4", 1632}, {"P4", 1632}, {"S", all.size()}};
  EXPECT_EQ(seen, expected);
}

}  // namespace
