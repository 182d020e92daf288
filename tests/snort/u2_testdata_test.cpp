// Spool and map files written by real IDS installations, read where they lie.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <tuple>
#include <vector>

#include "snort/snort_msg_map.h"
#include "snort/u2_file.h"
#include "snort_test_util.h"

namespace {

const std::string testdata = FERUN_TESTDATA_DIR;

#define REQUIRE_TESTDATA()                        \
  if (!boost::filesystem::is_directory(testdata)) \
  GTEST_SKIP() << "sample spool and map files not present in " << testdata

using alert_t = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint8_t, uint64_t>;

struct tally_t {
  size_t events = 0, packets = 0, skips = 0;
  unsigned long end = 0;        // position when read() returned null
  std::vector<alert_t> alerts;  // gid, sid, rev, event id, ip version, time
  std::vector<uint16_t> packet_lengths;
};

std::string spool(const std::string& name) {
  return testdata + "/unified2/" + name;
}

tally_t read_all(const std::string& name) {
  tally_t t;
  u2_file_t u2;
  u2.open(spool(name));
  while (const u2_record_t* r = u2.read()) {
    if (r->type == u2_type_event) {
      const auto* e = static_cast<const u2_event_t*>(r);
      t.alerts.emplace_back(e->generator_id, e->signature_id, e->signature_revision, e->event_id,
                            e->ip_version, e->event_time);
      ++t.events;
    } else if (r->type == u2_type_packet) {
      t.packet_lengths.push_back(static_cast<const u2_packet_t*>(r)->packet_length);
      ++t.packets;
    } else {
      ++t.skips;
    }
  }
  t.end = u2.get_position();
  return t;
}

TEST(U2Testdata, RecordCountsOfEveryFile) {
  REQUIRE_TESTDATA();
  const std::tuple<const char*, size_t, size_t, size_t> files[] = {
      {"pyidstools-merged.log", 6, 6, 0},
      {"pyidstools-ipv6-alert.unified2", 1, 1, 0},
      {"pyidstools-multi-record-event.log", 1, 15, 0},  // E X P*15: packets after the pair alone
      {"gounified2-multi-record-event-x2.log", 2, 30, 0},
      {"djcas9-unified2-current.log", 5675, 5741, 1951},  // only event 1 has its extra behind it
      {"djcas9-unified2-legacy.log", 0, 4704, 4703},      // legacy types 7 and 72 are not read
      {"threatstack-bad.file", 0, 734, 734},
      {"zeek-unified2.u2", 2, 2, 0},
      {"unifiedbeat-snort.log.1452978988", 253, 253, 0},
      {"generated/snort2919-openappid.u2", 52, 74, 17},
      {"generated/snort2919-no-openappid.u2", 52, 74, 17},
      {"gounified2-short-read-on-body.log", 0, 0, 0},
      {"gounified2-short-read-on-header.log", 0, 0, 0}};
  for (const auto& f : files) {
    SCOPED_TRACE(std::get<0>(f));
    const tally_t t = read_all(std::get<0>(f));
    EXPECT_EQ(std::tie(t.events, t.packets, t.skips),
              std::tie(std::get<1>(f), std::get<2>(f), std::get<3>(f)));
    const auto size = boost::filesystem::file_size(spool(std::get<0>(f)));
    EXPECT_EQ(t.end, size < 20 ? 0 : size);  // everything read; a cut record stays unread
  }
}

TEST(U2Testdata, Snort3FilesDecodeEndToEnd) {
  REQUIRE_TESTDATA();
  tally_t legacy, fresh;  // totals over the eight files of each setting
  for (int i = 1; i <= 8; ++i) {
    for (auto* t : {&legacy, &fresh}) {
      const std::string name = std::string("generated/snort3-") +
                               (t == &legacy ? "legacy" : "default") + "/unified2.log." +
                               std::to_string(i);
      const tally_t one = read_all(name);
      EXPECT_EQ(one.end, boost::filesystem::file_size(spool(name))) << name;
      t->events += one.events, t->packets += one.packets, t->skips += one.skips;
    }
  }
  EXPECT_EQ(std::tie(legacy.events, legacy.packets), std::make_tuple(23u + 13u, 56u));
  EXPECT_EQ(fresh.events, 0u);  // types 114 and 3 are not read
  EXPECT_EQ(std::tie(fresh.skips, fresh.packets), std::make_tuple(36u + 10u + 10u, 46u));
}

TEST(U2Testdata, KnownFieldValues) {
  REQUIRE_TESTDATA();
  const tally_t merged = read_all("pyidstools-merged.log");
  ASSERT_EQ(merged.alerts.size(), 6u);
  for (uint32_t i = 0; i < 6; ++i) {
    const alert_t& a = merged.alerts[i];
    EXPECT_EQ(std::make_tuple(std::get<0>(a), std::get<1>(a), std::get<2>(a), std::get<3>(a)),
              std::make_tuple(1u, 498u, 10u, i + 1));
    EXPECT_EQ(std::get<4>(a), 1);
    EXPECT_EQ(merged.packet_lengths[i], 373);
  }
  const tally_t v6 = read_all("pyidstools-ipv6-alert.unified2");
  EXPECT_EQ(std::make_tuple(std::get<1>(v6.alerts.at(0)), std::get<4>(v6.alerts.at(0))),
            std::make_tuple(18474u, uint8_t{2}));
  EXPECT_EQ(v6.packet_lengths.at(0), 118);
  const alert_t multi = read_all("pyidstools-multi-record-event.log").alerts.at(0);
  EXPECT_EQ(std::make_tuple(std::get<0>(multi), std::get<1>(multi), std::get<3>(multi)),
            std::make_tuple(120u, 3u, 89u));
}

// Snort 2.9 with and without application names writes the same alerts in two record families.
TEST(U2Testdata, AppNameEventsMatchPlainEvents) {
  REQUIRE_TESTDATA();
  const tally_t app = read_all("generated/snort2919-openappid.u2");
  const tally_t plain = read_all("generated/snort2919-no-openappid.u2");
  EXPECT_EQ(app.alerts, plain.alerts);
  EXPECT_EQ(app.packet_lengths, plain.packet_lengths);
  size_t v6 = 0;
  for (const alert_t& a : app.alerts) v6 += std::get<4>(a) == 2;
  EXPECT_EQ(v6, 32u);
}

TEST(U2Testdata, SampleMapsGiveKnownMessages) {
  REQUIRE_TESTDATA();
  const std::string maps = testdata + "/maps/";
  snort_msg_map_t map;
  auto load = [&](const char* gen, const char* sid) {
    map.load((maps + gen).c_str(), (maps + sid).c_str());
  };
  // Every alert of the sample spools finds its message in the maps that go with it.
  const char* sets[][3] = {
      {"djcas9-unified2-current.log", "djcas9-gen-msg.map", "djcas9-sid-msg.map"},
      {"unifiedbeat-snort.log.1452978988", "djcas9-gen-msg.map", "djcas9-sid-msg.map"},
      {"zeek-unified2.u2", "zeek-test-gen-msg.map", "zeek-test-sid-msg.map"},
      {"generated/snort2919-openappid.u2", "snort-2.9.19-gen-msg.map",
       "local-test-rules-sid-msg.map"},
      {"pyidstools-multi-record-event.log", "snort-2.9.19-gen-msg.map", "djcas9-sid-msg.map"}};
  for (const auto& s : sets) {
    SCOPED_TRACE(s[0]);
    load(s[1], s[2]);
    snort_test::log_capture_t log("snort_parser", "error");
    for (const alert_t& a : read_all(s[0]).alerts) map.get(std::get<0>(a), std::get<1>(a));
    EXPECT_EQ(log.count("invalid key"), 0u);
  }

  load("snort-2.9.19-gen-msg.map", "djcas9-sid-msg.map");
  const std::tuple<unsigned, unsigned, std::string, std::string> known[] = {
      {1, 103, "BACKDOOR", "subseven 22 (DELETED)"},
      {1, 498, "ATTACK-RESPONSES", "id check returned root"},
      {120, 3, "http_inspect", "NO CONTENT-LENGTH OR TRANSFER-ENCODING IN HTTP RESPONSE"},
      {3, 1, "snort dynamic alert", ""}};
  for (const auto& k : known) {
    const snort_msg_t m = map.get(std::get<0>(k), std::get<1>(k));
    EXPECT_EQ(std::tie(m.group, m.message), std::tie(std::get<2>(k), std::get<3>(k)));
  }
  EXPECT_EQ(map.get(1, 103).refs[1], "url,www.hackfix.org/subseven/");

  load("snort-2.9.19-gen-msg.map", "snort-community-sid-msg.map");
  EXPECT_EQ(map.size(), 4005u + 530u);  // the gen map's generator-1 line is passed over
  load("pyidstools-gen-msg.map", "pyidstools-sid-msg.map");
  EXPECT_EQ(map.get(1, 1429).message, "DELETED poll.gotomypc.com access");
  snort_test::log_capture_t log("snort_parser", "warning");
  load("zeek-test-gen-msg.map", "pyidstools-sid-msg-v2.map");  // v2 read as v1: all on (1, 1)
  EXPECT_EQ(log.count("duplicate key"), 18355u);
}

}  // namespace
