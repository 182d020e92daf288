// Spool and map files written by real IDS installations, read where they lie.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <cstring>
#include <vector>

#include "snort/snort_msg_map.h"
#include "snort/u2_file.h"
#include "snort_test_util.h"

namespace {

const std::string testdata = FERUN_TESTDATA_DIR;

#define REQUIRE_TESTDATA()                                                      \
  do {                                                                          \
    if (!boost::filesystem::is_directory(testdata))                             \
      GTEST_SKIP() << "sample spool and map files not present in " << testdata; \
  } while (0)

struct alert_t {
  uint32_t gid, sid, rev, event_id;
  uint8_t ip_version;
  uint64_t event_time;
};

struct tally_t {
  size_t events = 0, packets = 0, skips = 0;
  unsigned long end = 0;  // position when read() returned null
  std::vector<alert_t> alerts;
  std::vector<uint16_t> packet_lengths;
};

tally_t read_all(const std::string& name) {
  tally_t t;
  u2_file_t u2;
  u2.open(testdata + "/unified2/" + name);
  while (const u2_record_t* r = u2.read()) {
    if (r->type == u2_type_event) {
      const auto* e = static_cast<const u2_event_t*>(r);
      t.alerts.push_back({e->generator_id, e->signature_id, e->signature_revision, e->event_id,
                          e->ip_version, e->event_time});
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

unsigned long file_size(const std::string& name) {
  return static_cast<unsigned long>(boost::filesystem::file_size(testdata + "/unified2/" + name));
}

TEST(U2Testdata, RecordCountsOfEveryFile) {
  REQUIRE_TESTDATA();
  struct expect_t {
    const char* name;
    size_t events, packets, skips;
  };
  const expect_t files[] = {
      {"pyidstools-merged.log", 6, 6, 0},
      {"pyidstools-ipv6-alert.unified2", 1, 1, 0},
      // E X P*15: the event pairs with its extra data, the packets follow alone.
      {"pyidstools-multi-record-event.log", 1, 15, 0},
      {"gounified2-multi-record-event-x2.log", 2, 30, 0},
      // Only event 1 has its extra data right behind it; every other extra record is skipped.
      {"djcas9-unified2-current.log", 5675, 5741, 1951},
      // Legacy event types 7 and 72 are not read: their packets come alone.
      {"djcas9-unified2-legacy.log", 0, 4704, 4703},
      {"threatstack-bad.file", 0, 734, 734},
      {"zeek-unified2.u2", 2, 2, 0},
      {"unifiedbeat-snort.log.1452978988", 253, 253, 0},
      {"generated/snort2919-openappid.u2", 52, 74, 17},
      {"generated/snort2919-no-openappid.u2", 52, 74, 17},
  };
  for (const expect_t& f : files) {
    SCOPED_TRACE(f.name);
    const tally_t t = read_all(f.name);
    EXPECT_EQ(t.events, f.events);
    EXPECT_EQ(t.packets, f.packets);
    EXPECT_EQ(t.skips, f.skips);
    EXPECT_EQ(t.end, file_size(f.name));  // read to the end, nothing left behind
  }
}

TEST(U2Testdata, Snort3FilesDecodeEndToEnd) {
  REQUIRE_TESTDATA();
  size_t legacy_events = 0, legacy_packets = 0, default_events = 0, default_packets = 0;
  for (int i = 1; i <= 8; ++i) {
    const std::string n = std::to_string(i);
    const tally_t l = read_all("generated/snort3-legacy/unified2.log." + n);
    const tally_t d = read_all("generated/snort3-default/unified2.log." + n);
    EXPECT_EQ(l.end, file_size("generated/snort3-legacy/unified2.log." + n));
    EXPECT_EQ(d.end, file_size("generated/snort3-default/unified2.log." + n));
    legacy_events += l.events;
    legacy_packets += l.packets;
    default_events += d.events + d.skips;
    default_packets += d.packets;
    EXPECT_EQ(d.events, 0u);  // types 114 and 3 are not read
  }
  EXPECT_EQ(legacy_events, 23u + 13u);
  EXPECT_EQ(legacy_packets, 56u);
  EXPECT_EQ(default_events, 36u + 10u + 10u);
  EXPECT_EQ(default_packets, 46u);
}

TEST(U2Testdata, KnownFieldValues) {
  REQUIRE_TESTDATA();
  const tally_t merged = read_all("pyidstools-merged.log");
  ASSERT_EQ(merged.alerts.size(), 6u);
  for (size_t i = 0; i < merged.alerts.size(); ++i) {
    EXPECT_EQ(merged.alerts[i].event_id, i + 1);
    EXPECT_EQ(merged.alerts[i].gid, 1u);
    EXPECT_EQ(merged.alerts[i].sid, 498u);
    EXPECT_EQ(merged.alerts[i].rev, 10u);
    EXPECT_EQ(merged.alerts[i].ip_version, 1);
    EXPECT_EQ(merged.packet_lengths[i], 373);
  }

  const tally_t v6 = read_all("pyidstools-ipv6-alert.unified2");
  ASSERT_EQ(v6.alerts.size(), 1u);
  EXPECT_EQ(v6.alerts[0].sid, 18474u);
  EXPECT_EQ(v6.alerts[0].ip_version, 2);
  EXPECT_EQ(v6.packet_lengths.at(0), 118);

  const tally_t multi = read_all("pyidstools-multi-record-event.log");
  ASSERT_EQ(multi.alerts.size(), 1u);
  EXPECT_EQ(multi.alerts[0].gid, 120u);
  EXPECT_EQ(multi.alerts[0].sid, 3u);
  EXPECT_EQ(multi.alerts[0].event_id, 89u);

  const tally_t zeek = read_all("zeek-unified2.u2");
  ASSERT_EQ(zeek.alerts.size(), 2u);
  EXPECT_EQ(zeek.alerts[0].sid, 2003058u);
  EXPECT_EQ(zeek.alerts[0].event_id, 2u);
  EXPECT_EQ(zeek.alerts[1].sid, 2012647u);
  EXPECT_EQ(zeek.alerts[1].event_id, 3u);

  const tally_t current = read_all("djcas9-unified2-current.log");
  for (size_t i = 0; i < current.alerts.size(); ++i) ASSERT_EQ(current.alerts[i].event_id, i + 1);
}

// Snort 2.9 with and without application names writes the same alerts in two record families.
TEST(U2Testdata, AppNameEventsMatchPlainEvents) {
  REQUIRE_TESTDATA();
  const tally_t app = read_all("generated/snort2919-openappid.u2");
  const tally_t plain = read_all("generated/snort2919-no-openappid.u2");
  ASSERT_EQ(app.alerts.size(), plain.alerts.size());
  size_t v6 = 0;
  for (size_t i = 0; i < app.alerts.size(); ++i) {
    const alert_t& a = app.alerts[i];
    const alert_t& b = plain.alerts[i];
    EXPECT_EQ(std::tie(a.gid, a.sid, a.rev, a.event_id, a.ip_version, a.event_time),
              std::tie(b.gid, b.sid, b.rev, b.event_id, b.ip_version, b.event_time))
        << "alert " << i;
    v6 += a.ip_version == 2;
  }
  EXPECT_EQ(v6, 32u);
  EXPECT_EQ(app.packet_lengths, plain.packet_lengths);
}

TEST(U2Testdata, IncompleteFilesYieldNothingAndStayAtZero) {
  REQUIRE_TESTDATA();
  for (const char* name :
       {"gounified2-short-read-on-body.log", "gounified2-short-read-on-header.log"}) {
    const tally_t t = read_all(name);
    EXPECT_EQ(t.events + t.packets + t.skips, 0u) << name;
    EXPECT_EQ(t.end, 0u) << name;
  }
}

// Every alert of the sample spools finds its message in the maps that go with it.
TEST(U2Testdata, AlertsFindTheirMessages) {
  REQUIRE_TESTDATA();
  struct set_t {
    const char* spool;
    const char* gen_map;
    const char* sid_map;
  };
  const set_t sets[] = {
      {"djcas9-unified2-current.log", "djcas9-gen-msg.map", "djcas9-sid-msg.map"},
      {"unifiedbeat-snort.log.1452978988", "djcas9-gen-msg.map", "djcas9-sid-msg.map"},
      {"zeek-unified2.u2", "zeek-test-gen-msg.map", "zeek-test-sid-msg.map"},
      {"generated/snort2919-openappid.u2", "snort-2.9.19-gen-msg.map",
       "local-test-rules-sid-msg.map"},
      {"pyidstools-multi-record-event.log", "snort-2.9.19-gen-msg.map", "djcas9-sid-msg.map"},
  };
  for (const set_t& s : sets) {
    SCOPED_TRACE(s.spool);
    snort_msg_map_t map;
    map.load((testdata + "/maps/" + s.gen_map).c_str(), (testdata + "/maps/" + s.sid_map).c_str());
    snort_test::log_capture_t log("snort_parser", "error");
    for (const alert_t& a : read_all(s.spool).alerts) map.get(a.gid, a.sid);
    EXPECT_EQ(log.count("invalid key"), 0u);
  }
}

}  // namespace
