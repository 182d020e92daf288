// Spool scanning and following, records to messages, the frame size rule and the parse-only run.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <chrono>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "common/daemon_launcher.h"
#include "common/sensor_fixture.h"
#include "common/u2_writer.h"
#include "sensor/sensor.h"
#include "sensor/sensor_test_util.h"
#include "service/clock.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using ferun_test::frame_t;
using ferun_test::log_capture_t;
using ferun_test::temp_dir_t;
using ferun_test::write_file;

namespace {

const std::array<uint8_t, 6> mac_dst = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const std::array<uint8_t, 6> mac_src = {0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb};

// One IPv4 TCP event with its packet, as Snort writes them.
std::string alert(uint32_t event_id, uint32_t sid = 1000001, size_t payload = 10) {
  ferun_test::alert_t a(event_id, mac_dst, mac_src, payload);
  a.event.microsecond = 250;
  a.event.signature_id = sid;
  a.event.signature_revision = 3;
  a.event.classification_id = 4;
  a.event.priority_id = 2;
  a.event.mpls = 29;
  a.event.vlan = 12;
  a.packet.microsecond = 500;
  return a.bytes();
}

// A sensor whose spool directory and maps lie in the temporary directory.
struct spool_fixture_t : ferun_test::spool_fixture_base_t {
  // Points the sensor at the spool for operations on this thread; nothing is sent.
  void prepare(const std::string& pattern, uint32_t logtimestamp = 0) {
    point_at(spool, pattern, logtimestamp);
  }

  ferun::command_setup_t setup(uint32_t logtimestamp = 0, uint32_t logpos = 0) const {
    return setup_of(spool, logtimestamp, logpos);
  }

  // Says hello, sends the setup and starts the thread; the setup must succeed.
  void follow(const ferun::command_setup_t& s) {
    ferun::command_hello_t hello;
    hello.version = 1;
    hello.prefix = "ids";
    hello.sensor_id = 7;
    console->send(hello);
    console->send(s);
    sensor->start();
    const auto answers = collect(2);
    ASSERT_EQ(answers.size(), 2u);
    ASSERT_EQ(answers[1].id, 0x82u);
    ASSERT_EQ(answers[1].as<ferun::answer_t>().status, 0);
  }
};

ferun::command_event_t event(const frame_t& f) {
  return f.as<ferun::command_event_t>();
}
ferun::command_packet_t packet(const frame_t& f) {
  return f.as<ferun::command_packet_t>();
}

}  // namespace

// The smallest number above the current one wins; zero and the largest number are never taken;
// links and directories are passed over; other names are warned about once.
TEST(SensorSpoolScan, PicksNextNumberedFile) {
  struct case_t {
    std::string pattern;
    std::vector<std::string> files;
    uint32_t current, want_number;
    std::string want_name, warned;
  } cases[] = {
      {"threats.log",
       {"threats.log.5", "threats.log.3", "threats.log.x"},
       0,
       3,
       "threats.log.3",
       "threats.log.x"},
      {"threats.log", {"threats.log.5", "threats.log.3"}, 3, 5, "threats.log.5", ""},
      {"threats.log", {"threats.log.5", "threats.log.3"}, 5, 0, "", ""},
      {"threats.log", {"threats.log.0", "threats.log.4294967295"}, 0, 0, "", ""},
      {"threats.log", {"threats.log.0", "threats.log.17x"}, 0, 17, "threats.log.17x", ""},
      {"", {"12", ".9", "notes"}, 0, 9, ".9", "notes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.files.front() + " after " + std::to_string(c.current));
    log_capture_t log("warning");
    spool_fixture_t f;
    for (const auto& name : c.files) write_file(f.spool / name, "");
    write_file(f.root / "elsewhere", "");
    fs::create_symlink(f.root / "elsewhere", f.spool / "threats.log.1");
    fs::create_directory(f.spool / "threats.log.2");
    f.prepare(c.pattern, c.current);
    std::string path = "untouched";
    uint32_t number = 77;
    EXPECT_EQ(f.sensor->find_next_u2file(path, number), c.want_number != 0);
    EXPECT_EQ(number, c.want_number ? c.want_number : 77u);
    EXPECT_EQ(path, c.want_number ? (f.spool / c.want_name).string() : "untouched");
    if (!c.warned.empty()) {
      EXPECT_EQ(log.count("skip strange file with name " + c.warned + "\n"), 1u);
    }
  }
}

// Entries whose type the directory does not report are examined with lstat.
TEST(SensorSpoolScan, EntryOfUnreportedTypeIsExamined) {
  temp_dir_t dir;
  write_file(dir / "file", "");
  fs::create_directory(dir / "dir");
  fs::create_symlink(dir / "file", dir / "link");
  const int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(ferun::sensor_t::spool_entry_is_regular(fd, "file", DT_UNKNOWN));
  EXPECT_FALSE(ferun::sensor_t::spool_entry_is_regular(fd, "dir", DT_UNKNOWN));
  EXPECT_FALSE(ferun::sensor_t::spool_entry_is_regular(fd, "link", DT_UNKNOWN));
  EXPECT_FALSE(ferun::sensor_t::spool_entry_is_regular(fd, "gone", DT_UNKNOWN));
  EXPECT_TRUE(ferun::sensor_t::spool_entry_is_regular(fd, "whatever", DT_REG));
  EXPECT_FALSE(ferun::sensor_t::spool_entry_is_regular(fd, "file", DT_LNK));
  close(fd);
}

TEST(SensorSpoolScan, UnreadableDirectoryRaises) {
  spool_fixture_t f;
  f.prepare("threats.log");
  f.sensor->logdir = f.root / "missing";
  std::string path;
  uint32_t number = 0;
  try {
    f.sensor->find_next_u2file(path, number);
    ADD_FAILURE() << "no exception";
  } catch (const exception_t& e) {
    EXPECT_EQ(e.message, "cant read spool dir " + (f.root / "missing").string() +
                             ": No such file or directory\n");
  }
}

// At most 1000 records per call, switching files within a call; none while the exit flag is set.
TEST(SensorSpoolFollow, TakesThousandRecordsPerCallAcrossFiles) {
  log_capture_t log;
  spool_fixture_t f;
  u2w::spool_t first((f.spool / "threats.log.1").string());
  u2w::spool_t second((f.spool / "threats.log.2").string());
  for (uint32_t i = 1; i <= 700; ++i) first.append(alert(i));
  for (uint32_t i = 701; i <= 1000; ++i) second.append(alert(i));
  f.prepare("threats.log");
  ferun::g_do_exit = true;
  const int none = f.sensor->process_u2();
  ferun::g_do_exit = false;
  EXPECT_EQ(none, 0);
  EXPECT_EQ(f.sensor->process_u2(), 1000);
  EXPECT_EQ(f.sensor->logtimestamp, 1u);
  EXPECT_EQ(f.sensor->process_u2(), 1000);
  EXPECT_EQ(f.sensor->logtimestamp, 2u);
  EXPECT_EQ(f.sensor->process_u2(), 0);
  EXPECT_EQ(f.sensor->u2.get_position(), second.size());
  EXPECT_EQ(log.count("current unified2 log file: " + first.path()), 1u);
  EXPECT_EQ(log.count("close unified2 log file: " + first.path()), 1u);
  EXPECT_EQ(log.count("current unified2 log file: " + second.path()), 1u);
}

// The fields of the records, the decimal fallback for an unknown signature, and the ports of an
// ICMPv6 event. An event and its packet carry the position after both records.
TEST(SensorSpoolFollow, MessagesCarryRecordFields) {
  spool_fixture_t f;
  u2w::spool_t spool((f.spool / "threats.log.4").string());
  spool.append(alert(11));
  const uint64_t after_first = spool.size();
  spool.append(alert(12, 424242));
  u2w::event_t e6;
  e6.type = u2w::event6_type;
  e6.event_id = 13;
  e6.protocol = 58;
  e6.port_src = 128;
  e6.ip6_src[15] = 1;
  e6.ip6_dst[15] = 2;
  u2w::packet_t p6;
  p6.event_id = 13;
  p6.data = std::string(60, '\x01');
  spool.append(u2w::encode(e6) + u2w::encode(p6));
  ASSERT_NO_FATAL_FAILURE(f.follow(f.setup()));
  const auto frames = f.collect(6);
  ASSERT_EQ(frames.size(), 6u);
  ASSERT_EQ(frames[0].id, 0x8001u);
  ASSERT_EQ(frames[1].id, 0x8002u);

  const auto e = event(frames[0]);
  EXPECT_EQ(std::make_tuple(e.sensor_id, e.event_id, e.signature_id, e.generator_id,
                            e.signature_revision, e.classification_id, e.priority_id),
            std::make_tuple(7u, 11u, 1000001u, 1u, 3u, 4u, 2u));
  EXPECT_EQ(e.timestamp, 1700000000ull * 1000000ull + 250);
  EXPECT_EQ(e.group, "TEST");
  EXPECT_EQ(e.message, "one rule");
  EXPECT_EQ(0, memcmp(e.mac_source.ether_addr_octet, mac_src.data(), 6));
  EXPECT_EQ(0, memcmp(e.mac_destination.ether_addr_octet, mac_dst.data(), 6));
  EXPECT_EQ(std::make_tuple(int{e.ip_version}, e.ip_source.v4, e.ip_destination.v4, int{e.protocol},
                            int{e.port_source}, int{e.port_destination}),
            std::make_tuple(1, 0x0a000001u, 0xc0a80001u, 6, 40000, 80));
  EXPECT_EQ(std::make_tuple(e.mpls_label, e.vlan_id, e.linktype, e.logtimestamp, e.logpos),
            std::make_tuple(29u, 12u, 1u, 4u, after_first));

  const auto p = packet(frames[1]);
  EXPECT_EQ(std::make_tuple(p.sensor_id, p.event_id, p.event_second, p.data.length, p.logtimestamp,
                            p.logpos),
            std::make_tuple(7u, 11u, 1700000000u, 14u + 20u + 20u + 10u, 4u, after_first));
  EXPECT_EQ(p.timestamp, 1700000000ull * 1000000ull + 500);

  EXPECT_EQ(event(frames[2]).group, "1");
  EXPECT_EQ(event(frames[2]).message, "424242");

  const auto m6 = event(frames[4]);
  EXPECT_EQ(
      std::make_tuple(int{m6.ip_version}, int{m6.protocol}, int{m6.port_source},
                      int{m6.ip_source.v6.s6_addr[15]}, int{m6.ip_destination.v6.s6_addr[15]}),
      std::make_tuple(2, 58, 128, 1, 2));
}

// Resumes mid-file at (logtimestamp, logpos), goes on in number order, takes records appended while
// connected (one written in two halves arrives once), then a newer file.
TEST(SensorSpoolFollow, ResumesAndFollowsFilesInOrderAndGrowth) {
  spool_fixture_t f;
  for (uint32_t n : {10u, 2u, 3u, 7u})
    u2w::spool_t((f.spool / ("threats.log." + std::to_string(n))).string())
        .append(alert(n * 10) + alert(n * 10 + 1));
  // Every pair has the same size: resume after the first one of file 3.
  ASSERT_NO_FATAL_FAILURE(f.follow(f.setup(3, static_cast<uint32_t>(alert(0).size()))));
  const auto frames = f.collect(10);
  ASSERT_EQ(frames.size(), 10u);
  const uint32_t expected[] = {31, 70, 71, 100, 101};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(event(frames[2 * i]).event_id, expected[i]);
    EXPECT_EQ(event(frames[2 * i]).logtimestamp, expected[i] / 10);
  }

  u2w::spool_t newest((f.spool / "threats.log.10").string(), false);
  newest.append(alert(200));
  auto appended = f.collect(2);
  ASSERT_EQ(appended.size(), 2u);
  EXPECT_EQ(event(appended[0]).event_id, 200u);
  EXPECT_EQ(event(appended[0]).logpos, newest.size());

  const std::string pair = alert(201);
  newest.append(pair.substr(0, pair.size() / 2 + 3));
  EXPECT_TRUE(f.collect(1, 400ms).empty());
  newest.append(pair.substr(pair.size() / 2 + 3));
  auto halves = f.collect(2);
  ASSERT_EQ(halves.size(), 2u);
  EXPECT_EQ(event(halves[0]).event_id, 201u);
  EXPECT_TRUE(f.collect(1, 400ms).empty());

  u2w::spool_t((f.spool / "threats.log.11").string()).append(alert(110));
  auto next_file = f.collect(2);
  ASSERT_EQ(next_file.size(), 2u);
  EXPECT_EQ(event(next_file[0]).logtimestamp, 11u);
}

// Across batches and gathered writes every frame arrives whole and in order, and fits one frame: an
// event's message, then its group, is cut, a packet keeps its first 4062 bytes; each cut is warned
// about and the connection stays up.
TEST(SensorSpoolFollow, ManyAlertsArriveInOrderCutToOneFrame) {
  log_capture_t log("warning");
  spool_fixture_t f;
  const std::string long_message(5000, 'm'), long_group(5000, 'g');
  write_file(f.root / "sid-msg.map", "1000001 || TEST one rule\n2000001 || G " + long_message +
                                         "\n2000002 || " + long_group + " tail\n");
  auto payload = [](uint32_t i) -> size_t { return i == 5 ? 6000 : i % 3 == 0 ? 1460 : 40; };
  u2w::spool_t spool((f.spool / "threats.log.1").string());
  for (uint32_t i = 1; i <= 1250; ++i)
    spool.append(alert(i, i == 1 ? 2000001 : i == 2 ? 2000002 : 1000001, payload(i)));
  ASSERT_NO_FATAL_FAILURE(f.follow(f.setup()));
  const auto frames = f.collect(2500);
  ASSERT_EQ(frames.size(), 2500u);
  for (uint32_t i = 1; i <= 1250; ++i) {
    ASSERT_EQ(event(frames[2 * i - 2]).event_id, i);
    const auto p = packet(frames[2 * i - 1]);
    ASSERT_EQ(p.event_id, i);
    ASSERT_EQ(p.data.length, std::min<size_t>(54 + payload(i), 4062));
  }
  EXPECT_EQ(packet(frames.back()).logpos, spool.size());
  for (int i : {0, 2, 9}) EXPECT_EQ(frames[i].body.size(), 4092u);

  const auto cut_message = event(frames[0]);
  EXPECT_EQ(cut_message.group, "G");
  EXPECT_EQ(long_message.compare(0, cut_message.message.size(), cut_message.message), 0);
  const auto cut_group = event(frames[2]);
  EXPECT_EQ(cut_group.message, "");
  EXPECT_EQ(long_group.compare(0, cut_group.group.size(), cut_group.group), 0);
  EXPECT_EQ(event(frames[4]).message, "one rule");
  EXPECT_TRUE(f.sensor->is_active());
  EXPECT_EQ(log.count("WARNING sensor: "), 3u);
}

// Real Snort output, read in place.
TEST(SensorSpoolFollow, RealSpoolFileEndToEnd) {
  if (!fs::is_directory(FERUN_TESTDATA_DIR)) GTEST_SKIP() << "no test data at " FERUN_TESTDATA_DIR;
  const fs::path data = fs::canonical(FERUN_TESTDATA_DIR);  // the setup refuses ".."
  const fs::path file = data / "unified2" / "unifiedbeat-snort.log.1452978988";
  if (!fs::exists(file)) GTEST_SKIP() << "no " << file;
  spool_fixture_t f;
  ferun::command_setup_t s = f.setup();
  s.logdir = (data / "unified2").string();
  s.logpattern = "unifiedbeat-snort.log";
  s.sidmap = (data / "maps" / "djcas9-sid-msg.map").string();
  s.genmap = (data / "maps" / "djcas9-gen-msg.map").string();
  ASSERT_NO_FATAL_FAILURE(f.follow(s));
  const auto frames = f.collect(506, 20s);
  ASSERT_EQ(frames.size(), 506u);
  for (uint32_t i = 0; i < 253; ++i) {
    ASSERT_EQ(frames[2 * i + 1].id, 0x8002u);
    const auto e = event(frames[2 * i]);
    EXPECT_EQ(e.event_id, i + 1);
    EXPECT_EQ(e.logtimestamp, 1452978988u);
    EXPECT_NE(e.message,
              std::to_string(e.signature_id));  // every signature is in the map
  }
  EXPECT_EQ(packet(frames.back()).logpos, fs::file_size(file));
  EXPECT_TRUE(f.collect(1, 300ms).empty());
}

// The --parse pass of the real binary: without "sid-msg.map" it does not start; with it every spool
// file of the data directory is read in number order.
TEST(SensorParseRun, BinaryParsesDataDirectory) {
  temp_dir_t data("ferun-parse");
  write_file(data / "gen-msg.map", "1 || 1 || snort general alert\n");
  u2w::spool_t((data / "threats.log.1").string()).append(alert(1));
  u2w::spool_t((data / "threats.log.2").string()).append(alert(2));
  const std::vector<std::string> args = {
      "--parse",
      "--datadir",
      data.path().string(),
      "--log",
      "sensor:info",
      "--port",
      std::to_string(ferun_test::daemon_launcher_t::free_port())};
  {
    ferun_test::daemon_launcher_t daemon;
    daemon.start(args);
    ASSERT_TRUE(daemon.wait_exit(20s)) << daemon.output();
    EXPECT_NE(daemon.output().find("can't start: "), std::string::npos) << daemon.output();
    EXPECT_NE(daemon.output().find(", exit\n"), std::string::npos);
  }
  write_file(data / "sid-msg.map", "1000001 || TEST one rule\n");
  ferun_test::daemon_launcher_t daemon;
  daemon.start(args);
  const std::string line2 = "current unified2 log file: " + (data / "threats.log.2").string();
  ASSERT_TRUE(daemon.wait_for_output(line2, 20s)) << daemon.output();
  const std::string out = daemon.output();
  EXPECT_LT(out.find("current unified2 log file: " + (data / "threats.log.1").string()),
            out.find(line2));
  EXPECT_EQ(out.find("can't start"), std::string::npos) << out;
  daemon.stop();
}
