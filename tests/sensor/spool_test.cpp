// Spool scanning and following, records to messages, the frame size rule and the parse-only run.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/filesystem.hpp>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/console_client.h"
#include "common/daemon_launcher.h"
#include "common/u2_writer.h"
#include "sensor/sensor.h"
#include "service/clock.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using ferun_test::console_client_t;
using ferun_test::frame_t;
using ferun_test::temp_dir_t;

namespace {

void write_text(const fs::path& file, const std::string& text) {
  std::ofstream(file.string(), std::ios::binary) << text;
}

std::string read_text(const fs::path& file) {
  std::ifstream in(file.string(), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Sends the log to a file and enables the "sensor" channel while it lives.
class log_capture_t {
 public:
  explicit log_capture_t(const std::string& level = "debug0") {
    log_t::set_filename((dir_ / "log").string());
    log_t::enable("sensor", level);
  }
  ~log_capture_t() {
    log_t::disable("sensor");
    log_t::set_filename("");
  }
  std::string text() const { return read_text(dir_ / "log"); }
  std::size_t count(const std::string& needle) const {
    const std::string t = text();
    std::size_t n = 0;
    for (auto at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
    return n;
  }

 private:
  temp_dir_t dir_{"ferun_log"};
};

const std::array<uint8_t, 6> mac_dst = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const std::array<uint8_t, 6> mac_src = {0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb};

// One IPv4 TCP event with its packet, as Snort writes them.
std::string alert(uint32_t event_id, uint32_t sid = 1000001, size_t payload = 10) {
  u2w::event_t e;
  e.event_id = event_id;
  e.second = 1700000000;
  e.microsecond = 250;
  e.signature_id = sid;
  e.generator_id = 1;
  e.signature_revision = 3;
  e.classification_id = 4;
  e.priority_id = 2;
  e.ip4_src = 0x0a000001;
  e.ip4_dst = 0xc0a80001;
  e.port_src = 40000;
  e.port_dst = 80;
  e.protocol = 6;
  e.mpls = 29;
  e.vlan = 12;
  u2w::packet_t p;
  p.event_id = event_id;
  p.event_second = e.second;
  p.second = e.second;
  p.microsecond = 500;
  p.data = u2w::ipv4_frame(mac_dst, mac_src, 6, e.ip4_src, e.ip4_dst, 40000, 80, payload);
  return u2w::encode(e) + u2w::encode(p);
}

// A sensor with a data directory, maps and a spool directory in a fresh temporary directory;
// connected to a test console unless told otherwise.
struct spool_fixture_t {
  explicit spool_fixture_t(bool connect = true) {
    conf.progname = "ferun";
    conf.progdir = FERUN_BINARY_DIR;
    conf.datadir = root / "data";
    conf.tmpdir = root / "tmp";
    fs::create_directories(conf.datadir);
    fs::create_directories(spool);
    write_text(root / "sid-msg.map", "1000001 || TEST one rule || url,example.com\n");
    write_text(root / "gen-msg.map", "1 || 1 || snort general alert\n");
    sensor = std::make_unique<ferun::sensor_t>(conf);
    if (!connect) return;
    boost::asio::ip::tcp::acceptor acceptor(
        sensor->io_service,
        boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    console = std::make_unique<console_client_t>(acceptor.local_endpoint().port());
    acceptor.accept(sensor->socket());
  }
  ~spool_fixture_t() {
    if (sensor) sensor->stop();
  }

  ferun::command_setup_t setup(uint32_t logtimestamp = 0, uint32_t logpos = 0) const {
    ferun::command_setup_t s;
    s.stats_period = 1000;
    s.options = 0x2;
    s.logdir = spool.string();
    s.logpattern = "threats.log";
    s.sidmap = (root / "sid-msg.map").string();
    s.genmap = (root / "gen-msg.map").string();
    s.logtimestamp = logtimestamp;
    s.logpos = logpos;
    return s;
  }

  // Starts the thread, says hello and sends the setup; the setup must succeed.
  void follow(const ferun::command_setup_t& s) {
    sensor->start();
    ferun::command_hello_t hello;
    hello.version = 1;
    hello.prefix = "ids";
    hello.sensor_id = 7;
    hello.sensor_name = "probe";
    console->send(hello);
    auto answer = console->receive(10s);
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->as<ferun::answer_hello_t>().status, 0);
    console->send(s);
    auto setup_answer = next(10s);
    ASSERT_TRUE(setup_answer);
    ASSERT_EQ(setup_answer->id, 0x82u);
    ASSERT_EQ(setup_answer->as<ferun::answer_t>().status, 0)
        << setup_answer->as<ferun::answer_t>().message;
  }

  // The next frame that is not a statistics message.
  std::optional<frame_t> next(std::chrono::milliseconds timeout = 10s) {
    for (;;) {
      auto frame = console->receive(timeout);
      if (!frame || frame->id != ferun::command_stats_t::message_id) return frame;
    }
  }

  std::vector<frame_t> collect(size_t n, std::chrono::milliseconds timeout = 10s) {
    std::vector<frame_t> frames;
    while (frames.size() < n) {
      auto frame = next(timeout);
      if (!frame) break;
      frames.push_back(std::move(*frame));
    }
    return frames;
  }

  temp_dir_t root{"ferun_spool"};
  fs::path spool = root / "spool";
  ferun::config_t conf;
  std::unique_ptr<ferun::sensor_t> sensor;
  std::unique_ptr<console_client_t> console;
};

// Points a sensor without a connection at `spool` for scanning and following.
void prepare(ferun::sensor_t& sensor, const fs::path& spool, const std::string& pattern,
             uint32_t logtimestamp = 0) {
  sensor.logdir = spool;
  sensor.logpattern = pattern;
  sensor.logtimestamp = logtimestamp;
}

}  // namespace

TEST(SensorSpoolScan, PicksSmallestNumberAboveCurrent) {
  log_capture_t log("warning");
  spool_fixture_t f(false);
  for (const char* name : {"threats.log.5", "threats.log.3", "threats.log3", "threats.log.x"})
    write_text(f.spool / name, "");
  fs::create_directory(f.spool / "threats.log.4");
  prepare(*f.sensor, f.spool, "threats.log");

  std::string path;
  uint32_t number = 0;
  ASSERT_TRUE(f.sensor->find_next_u2file(path, number));
  EXPECT_EQ(number, 3u);
  EXPECT_TRUE(path == (f.spool / "threats.log.3").string() ||
              path == (f.spool / "threats.log3").string())
      << path;
  EXPECT_EQ(log.count("skip strange file with name threats.log.x\n"), 1u);

  f.sensor->logtimestamp = 3;
  ASSERT_TRUE(f.sensor->find_next_u2file(path, number));
  EXPECT_EQ(number, 5u);
  EXPECT_EQ(path, (f.spool / "threats.log.5").string());

  f.sensor->logtimestamp = 5;
  path = "untouched";
  number = 77;
  EXPECT_FALSE(f.sensor->find_next_u2file(path, number));
  EXPECT_EQ(path, "untouched");
  EXPECT_EQ(number, 77u);
}

TEST(SensorSpoolScan, NeverFollowsZeroOrLargestNumber) {
  spool_fixture_t f(false);
  write_text(f.spool / "threats.log.0", "");
  write_text(f.spool / "threats.log.4294967295", "");
  prepare(*f.sensor, f.spool, "threats.log");
  std::string path;
  uint32_t number = 0;
  EXPECT_FALSE(f.sensor->find_next_u2file(path, number));
  write_text(f.spool / "threats.log.17x", "");
  ASSERT_TRUE(f.sensor->find_next_u2file(path, number));
  EXPECT_EQ(number, 17u);
}

TEST(SensorSpoolScan, EmptyPatternMatchesEveryRegularFile) {
  log_capture_t log("warning");
  spool_fixture_t f(false);
  write_text(f.spool / "12", "");
  write_text(f.spool / ".9", "");
  write_text(f.spool / "notes", "");
  prepare(*f.sensor, f.spool, "");
  std::string path;
  uint32_t number = 0;
  ASSERT_TRUE(f.sensor->find_next_u2file(path, number));
  EXPECT_EQ(number, 9u);
  EXPECT_EQ(path, (f.spool / ".9").string());
  EXPECT_EQ(log.count("skip strange file with name notes\n"), 1u);
}

TEST(SensorSpoolScan, PassesOverLinksAndDirectories) {
  spool_fixture_t f(false);
  write_text(f.root / "elsewhere", "");
  fs::create_symlink(f.root / "elsewhere", f.spool / "threats.log.1");
  fs::create_directory(f.spool / "threats.log.2");
  prepare(*f.sensor, f.spool, "threats.log");
  std::string path;
  uint32_t number = 0;
  EXPECT_FALSE(f.sensor->find_next_u2file(path, number));
}

// Entries whose type the directory does not report are examined with lstat.
TEST(SensorSpoolScan, EntryOfUnreportedTypeIsExamined) {
  spool_fixture_t f(false);
  write_text(f.spool / "file", "");
  fs::create_directory(f.spool / "dir");
  write_text(f.root / "target", "");
  fs::create_symlink(f.root / "target", f.spool / "link");
  const int dir_fd = open(f.spool.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir_fd, 0);
  EXPECT_TRUE(ferun::sensor_t::spool_entry_is_regular(dir_fd, "file", DT_UNKNOWN));
  EXPECT_FALSE(ferun::sensor_t::spool_entry_is_regular(dir_fd, "dir", DT_UNKNOWN));
  EXPECT_FALSE(ferun::sensor_t::spool_entry_is_regular(dir_fd, "link", DT_UNKNOWN));
  EXPECT_FALSE(ferun::sensor_t::spool_entry_is_regular(dir_fd, "gone", DT_UNKNOWN));
  EXPECT_TRUE(ferun::sensor_t::spool_entry_is_regular(dir_fd, "whatever", DT_REG));
  EXPECT_FALSE(ferun::sensor_t::spool_entry_is_regular(dir_fd, "file", DT_LNK));
  close(dir_fd);
}

TEST(SensorSpoolScan, UnreadableDirectoryRaises) {
  spool_fixture_t f(false);
  prepare(*f.sensor, f.root / "missing", "threats.log");
  std::string path;
  uint32_t number = 0;
  try {
    f.sensor->find_next_u2file(path, number);
    FAIL() << "no exception";
  } catch (const exception_t& e) {
    EXPECT_EQ(e.message, "cant read spool dir " + (f.root / "missing").string() +
                             ": No such file or directory\n");
  }
}

TEST(SensorSpoolFollow, TakesAtMostThousandRecordsPerCall) {
  spool_fixture_t f(false);
  u2w::spool_t spool((f.spool / "threats.log.1").string());
  for (uint32_t i = 1; i <= 1250; ++i) spool.append(alert(i));
  prepare(*f.sensor, f.spool, "threats.log");
  EXPECT_EQ(f.sensor->process_u2(), 1000);
  EXPECT_EQ(f.sensor->process_u2(), 1000);
  EXPECT_EQ(f.sensor->process_u2(), 500);
  EXPECT_EQ(f.sensor->process_u2(), 0);
  EXPECT_EQ(f.sensor->u2.get_position(), spool.size());
}

TEST(SensorSpoolFollow, ReturnsAtOnceOnExitFlag) {
  spool_fixture_t f(false);
  u2w::spool_t spool((f.spool / "threats.log.1").string());
  for (uint32_t i = 1; i <= 10; ++i) spool.append(alert(i));
  prepare(*f.sensor, f.spool, "threats.log");
  ferun::g_do_exit = true;
  const int n = f.sensor->process_u2();
  ferun::g_do_exit = false;
  EXPECT_EQ(n, 0);
  EXPECT_EQ(f.sensor->process_u2(), 20);
}

TEST(SensorSpoolFollow, SwitchesFileWithinOneCall) {
  log_capture_t log;
  spool_fixture_t f(false);
  u2w::spool_t first((f.spool / "threats.log.1").string());
  u2w::spool_t second((f.spool / "threats.log.2").string());
  for (uint32_t i = 1; i <= 300; ++i) first.append(alert(i));
  for (uint32_t i = 301; i <= 600; ++i) second.append(alert(i));
  prepare(*f.sensor, f.spool, "threats.log");
  EXPECT_EQ(f.sensor->process_u2(), 1000);
  EXPECT_EQ(f.sensor->logtimestamp, 2u);
  EXPECT_EQ(f.sensor->u2_path, f.spool / "threats.log.2");
  EXPECT_EQ(f.sensor->process_u2(), 200);
  const std::string text = log.text();
  const auto open1 =
      text.find("current unified2 log file: " + (f.spool / "threats.log.1").string());
  const auto close1 = text.find("close unified2 log file: " + (f.spool / "threats.log.1").string());
  const auto open2 =
      text.find("current unified2 log file: " + (f.spool / "threats.log.2").string());
  ASSERT_NE(open1, std::string::npos);
  ASSERT_NE(close1, std::string::npos);
  ASSERT_NE(open2, std::string::npos);
  EXPECT_LT(open1, close1);
  EXPECT_LT(close1, open2);
}

TEST(SensorSpoolFollow, EventAndPacketMessagesCarryRecordFields) {
  spool_fixture_t f;
  u2w::spool_t spool((f.spool / "threats.log.4").string());
  spool.append(alert(11));
  ASSERT_NO_FATAL_FAILURE(f.follow(f.setup()));
  const auto frames = f.collect(2);
  ASSERT_EQ(frames.size(), 2u);
  ASSERT_EQ(frames[0].id, 0x8001u);
  ASSERT_EQ(frames[1].id, 0x8002u);

  const auto e = frames[0].as<ferun::command_event_t>();
  EXPECT_EQ(e.sensor_id, 7u);
  EXPECT_EQ(e.event_id, 11u);
  EXPECT_EQ(e.timestamp, 1700000000ull * 1000000ull + 250);
  EXPECT_EQ(e.signature_id, 1000001u);
  EXPECT_EQ(e.generator_id, 1u);
  EXPECT_EQ(e.signature_revision, 3u);
  EXPECT_EQ(e.classification_id, 4u);
  EXPECT_EQ(e.priority_id, 2u);
  EXPECT_EQ(e.group, "TEST");
  EXPECT_EQ(e.message, "one rule");
  EXPECT_EQ(0, memcmp(e.mac_source.ether_addr_octet, mac_src.data(), 6));
  EXPECT_EQ(0, memcmp(e.mac_destination.ether_addr_octet, mac_dst.data(), 6));
  EXPECT_EQ(e.ip_version, 1);
  EXPECT_EQ(e.ip_source.v4, 0x0a000001u);
  EXPECT_EQ(e.ip_destination.v4, 0xc0a80001u);
  EXPECT_EQ(e.protocol, 6);
  EXPECT_EQ(e.port_source, 40000);
  EXPECT_EQ(e.port_destination, 80);
  EXPECT_EQ(e.mpls_label, 29u);
  EXPECT_EQ(e.vlan_id, 12u);
  EXPECT_EQ(e.linktype, 1u);
  EXPECT_EQ(e.logtimestamp, 4u);
  // The position after both records of the pair, for the event and for its packet.
  EXPECT_EQ(e.logpos, spool.size());

  const auto p = frames[1].as<ferun::command_packet_t>();
  EXPECT_EQ(p.sensor_id, 7u);
  EXPECT_EQ(p.event_id, 11u);
  EXPECT_EQ(p.event_second, 1700000000u);
  EXPECT_EQ(p.timestamp, 1700000000ull * 1000000ull + 500);
  EXPECT_EQ(p.data.length, 14u + 20u + 20u + 10u);
  EXPECT_EQ(p.logtimestamp, 4u);
  EXPECT_EQ(p.logpos, spool.size());
}

TEST(SensorSpoolFollow, UnknownSignatureGetsDecimalFallback) {
  spool_fixture_t f;
  u2w::spool_t spool((f.spool / "threats.log.1").string());
  spool.append(alert(1, 424242));
  ASSERT_NO_FATAL_FAILURE(f.follow(f.setup()));
  auto frame = f.next();
  ASSERT_TRUE(frame);
  const auto e = frame->as<ferun::command_event_t>();
  EXPECT_EQ(e.group, "1");
  EXPECT_EQ(e.message, "424242");
}

TEST(SensorSpoolFollow, Icmp6EventCarriesItsPorts) {
  spool_fixture_t f;
  u2w::spool_t spool((f.spool / "threats.log.1").string());
  u2w::event_t e;
  e.type = u2w::event6_type;
  e.event_id = 5;
  e.signature_id = 1000001;
  e.protocol = 58;
  e.port_src = 128;  // echo request
  e.port_dst = 0;
  e.ip6_src[15] = 1;
  e.ip6_dst[15] = 2;
  u2w::packet_t p;
  p.event_id = 5;
  p.data = std::string(60, '\x01');
  spool.append(u2w::encode(e) + u2w::encode(p));
  ASSERT_NO_FATAL_FAILURE(f.follow(f.setup()));
  auto frame = f.next();
  ASSERT_TRUE(frame);
  const auto m = frame->as<ferun::command_event_t>();
  EXPECT_EQ(m.ip_version, 2);
  EXPECT_EQ(m.protocol, 58);
  EXPECT_EQ(m.port_source, 128);
  EXPECT_EQ(m.ip_source.v6.s6_addr[15], 1);
  EXPECT_EQ(m.ip_destination.v6.s6_addr[15], 2);
}

TEST(SensorSpoolFollow, FollowsFilesInNumberOrderAndGrowth) {
  spool_fixture_t f;
  for (uint32_t n : {10u, 3u, 7u}) {
    u2w::spool_t spool((f.spool / ("threats.log." + std::to_string(n))).string());
    spool.append(alert(n));
  }
  ASSERT_NO_FATAL_FAILURE(f.follow(f.setup()));
  const auto frames = f.collect(6);
  ASSERT_EQ(frames.size(), 6u);
  const uint32_t expected[] = {3, 7, 10};
  for (int i = 0; i < 3; ++i) {
    const auto e = frames[2 * i].as<ferun::command_event_t>();
    EXPECT_EQ(e.event_id, expected[i]);
    EXPECT_EQ(e.logtimestamp, expected[i]);
  }

  // Appended while connected: arrives.
  u2w::spool_t newest((f.spool / "threats.log.10").string(), false);
  newest.append(alert(100));
  auto appended = f.collect(2);
  ASSERT_EQ(appended.size(), 2u);
  EXPECT_EQ(appended[0].as<ferun::command_event_t>().event_id, 100u);
  EXPECT_EQ(appended[0].as<ferun::command_event_t>().logpos, newest.size());

  // Written in two halves: nothing until the second half, then exactly once.
  const std::string pair = alert(101);
  newest.append(pair.substr(0, pair.size() / 2 + 3));
  EXPECT_FALSE(f.next(400ms));
  newest.append(pair.substr(pair.size() / 2 + 3));
  auto halves = f.collect(2);
  ASSERT_EQ(halves.size(), 2u);
  EXPECT_EQ(halves[0].as<ferun::command_event_t>().event_id, 101u);
  EXPECT_FALSE(f.next(400ms));

  // A newer file is taken once the current one yields nothing.
  u2w::spool_t later((f.spool / "threats.log.11").string());
  later.append(alert(110));
  auto next_file = f.collect(2);
  ASSERT_EQ(next_file.size(), 2u);
  EXPECT_EQ(next_file[0].as<ferun::command_event_t>().logtimestamp, 11u);
}

// Frames are gathered into fewer writes: across batches and full buffers every frame arrives
// whole and in order.
TEST(SensorSpoolFollow, ManyAlertsArriveWholeAndInOrder) {
  spool_fixture_t f;
  u2w::spool_t spool((f.spool / "threats.log.1").string());
  for (uint32_t i = 1; i <= 1250; ++i) spool.append(alert(i, 1000001, i % 3 == 0 ? 1460 : 40));
  ASSERT_NO_FATAL_FAILURE(f.follow(f.setup()));
  const auto frames = f.collect(2500);
  ASSERT_EQ(frames.size(), 2500u);
  for (uint32_t i = 0; i < 1250; ++i) {
    ASSERT_EQ(frames[2 * i].id, 0x8001u);
    ASSERT_EQ(frames[2 * i].as<ferun::command_event_t>().event_id, i + 1);
    ASSERT_EQ(frames[2 * i + 1].id, 0x8002u);
    const auto p = frames[2 * i + 1].as<ferun::command_packet_t>();
    ASSERT_EQ(p.event_id, i + 1);
    ASSERT_EQ(p.data.length, 54u + ((i + 1) % 3 == 0 ? 1460u : 40u));
  }
  EXPECT_EQ(frames.back().as<ferun::command_packet_t>().logpos, spool.size());
}

TEST(SensorSpoolFollow, ResumesAtGivenPosition) {
  spool_fixture_t f;
  u2w::spool_t spool((f.spool / "threats.log.170").string());
  spool.append(alert(1));
  const uint32_t after_first = static_cast<uint32_t>(spool.size());
  spool.append(alert(2));
  spool.append(alert(3));
  ASSERT_NO_FATAL_FAILURE(f.follow(f.setup(170, after_first)));
  const auto frames = f.collect(4);
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].as<ferun::command_event_t>().event_id, 2u);
  EXPECT_EQ(frames[2].as<ferun::command_event_t>().event_id, 3u);
  EXPECT_FALSE(f.next(300ms));
}

// Every message fits one 4096-byte frame: long texts and large packets are cut, and the
// connection stays up.
TEST(SensorSpoolFollow, OversizedMessagesAreCutToOneFrame) {
  log_capture_t log("warning");
  spool_fixture_t f;
  const std::string long_message(5000, 'm');
  const std::string long_group(5000, 'g');
  write_text(f.root / "sid-msg.map", "1000001 || TEST one rule\n2000001 || G " + long_message +
                                         "\n2000002 || " + long_group + " tail\n");
  u2w::spool_t spool((f.spool / "threats.log.1").string());
  spool.append(alert(1, 2000001));
  spool.append(alert(2, 2000002));
  spool.append(alert(3, 1000001, 6000));
  spool.append(alert(4, 1000001));
  ASSERT_NO_FATAL_FAILURE(f.follow(f.setup()));
  const auto frames = f.collect(8);
  ASSERT_EQ(frames.size(), 8u);
  for (const auto& frame : frames) EXPECT_LE(frame.body.size(), 4092u);

  const auto cut_message = frames[0].as<ferun::command_event_t>();
  EXPECT_EQ(cut_message.group, "G");
  EXPECT_EQ(frames[0].body.size(), 4092u);
  EXPECT_LT(cut_message.message.size(), long_message.size());
  EXPECT_EQ(long_message.compare(0, cut_message.message.size(), cut_message.message), 0);

  const auto cut_group = frames[2].as<ferun::command_event_t>();
  EXPECT_EQ(cut_group.message, "");
  EXPECT_EQ(frames[2].body.size(), 4092u);
  EXPECT_EQ(long_group.compare(0, cut_group.group.size(), cut_group.group), 0);

  const auto big = frames[5].as<ferun::command_packet_t>();
  EXPECT_EQ(frames[5].id, 0x8002u);
  EXPECT_EQ(big.data.length, 4062u);
  EXPECT_EQ(frames[5].body.size(), 4092u);

  EXPECT_EQ(frames[6].as<ferun::command_event_t>().event_id, 4u);
  EXPECT_EQ(frames[6].as<ferun::command_event_t>().message, "one rule");
  EXPECT_TRUE(f.sensor->is_active());
  EXPECT_GE(log.count("WARNING sensor: "), 3u);
}

// Real Snort output, read in place.
TEST(SensorSpoolFollow, RealSpoolFileEndToEnd) {
  if (!fs::is_directory(FERUN_TESTDATA_DIR)) GTEST_SKIP() << "no test data at " FERUN_TESTDATA_DIR;
  // Without "..": the setup refuses any path that holds it.
  const fs::path data = fs::canonical(FERUN_TESTDATA_DIR);
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
  uint32_t events = 0, packets = 0, last_event = 0;
  for (const auto& frame : frames) {
    if (frame.id == 0x8001) {
      const auto e = frame.as<ferun::command_event_t>();
      ++events;
      EXPECT_EQ(e.event_id, last_event + 1);
      last_event = e.event_id;
      EXPECT_EQ(e.logtimestamp, 1452978988u);
      // Every signature is in the map: no decimal fallback.
      EXPECT_NE(e.message, std::to_string(e.signature_id));
    } else if (frame.id == 0x8002) {
      ++packets;
    }
  }
  EXPECT_EQ(events, 253u);
  EXPECT_EQ(packets, 253u);
  EXPECT_EQ(frames.back().as<ferun::command_packet_t>().logpos, fs::file_size(file));
  EXPECT_FALSE(f.next(300ms));
}

TEST(SensorParseRun, ReadsSpoolFilesOfDataDirectoryInOrder) {
  log_capture_t log("info");
  spool_fixture_t f(false);
  const fs::path data = f.conf.datadir;
  write_text(data / "sid-msg.map", "1000001 || TEST one rule\n");
  write_text(data / "gen-msg.map", "1 || 1 || snort general alert\n");
  u2w::spool_t second((data / "threats.log.2").string());
  u2w::spool_t first((data / "threats.log.1").string());
  for (uint32_t i = 1; i <= 700; ++i) first.append(alert(i));
  second.append(alert(701));
  f.sensor->parse_run();
  EXPECT_TRUE(f.sensor->setup_done);
  EXPECT_EQ(f.sensor->logtimestamp, 2u);
  EXPECT_EQ(f.sensor->u2.get_position(), second.size());
  EXPECT_EQ(f.sensor->sensor_dir, data);
  EXPECT_EQ(f.sensor->stats_period, 500u);
  EXPECT_EQ(f.sensor->config, data / "snort.conf");
  EXPECT_EQ(f.sensor->msg_map.get(1, 1000001).message, "one rule");
  const std::string text = log.text();
  const auto at1 = text.find("current unified2 log file: " + (data / "threats.log.1").string());
  const auto at2 = text.find("current unified2 log file: " + (data / "threats.log.2").string());
  ASSERT_NE(at1, std::string::npos);
  ASSERT_NE(at2, std::string::npos);
  EXPECT_LT(at1, at2);
}

TEST(SensorParseRun, FailsWithoutSidMapBeforeReading) {
  spool_fixture_t f(false);
  const fs::path data = f.conf.datadir;
  write_text(data / "gen-msg.map", "1 || 1 || snort general alert\n");
  u2w::spool_t first((data / "threats.log.1").string());
  first.append(alert(1));
  EXPECT_THROW(f.sensor->parse_run(), exception_t);
  EXPECT_EQ(f.sensor->logtimestamp, 0u);
  EXPECT_FALSE(f.sensor->u2.is_open());
}

// The real binary's --parse pass.
TEST(SensorParseRun, BinaryParsesDataDirectory) {
  temp_dir_t data("ferun_parse");
  write_text(data / "sid-msg.map", "1000001 || TEST one rule\n");
  write_text(data / "gen-msg.map", "1 || 1 || snort general alert\n");
  u2w::spool_t first((data / "threats.log.1").string());
  first.append(alert(1));
  u2w::spool_t second((data / "threats.log.2").string());
  second.append(alert(2));

  ferun_test::daemon_launcher_t daemon;
  daemon.start({"--parse", "--datadir", data.path().string(), "--log", "sensor:info", "--port",
                std::to_string(ferun_test::daemon_launcher_t::free_port())});
  const std::string second_line = "current unified2 log file: " + (data / "threats.log.2").string();
  ASSERT_TRUE(daemon.wait_for_output(second_line, 20s)) << daemon.output();
  const std::string out = daemon.output();
  EXPECT_LT(out.find("current unified2 log file: " + (data / "threats.log.1").string()),
            out.find(second_line));
  EXPECT_EQ(out.find("can't start"), std::string::npos) << out;
  daemon.stop();
}

TEST(SensorParseRun, BinaryWithoutSidMapDoesNotStart) {
  temp_dir_t data("ferun_parse");
  write_text(data / "gen-msg.map", "1 || 1 || snort general alert\n");
  ferun_test::daemon_launcher_t daemon;
  daemon.start({"--parse", "--datadir", data.path().string(), "--port",
                std::to_string(ferun_test::daemon_launcher_t::free_port())});
  ASSERT_TRUE(daemon.wait_exit(20s)) << daemon.output();
  EXPECT_NE(daemon.output().find("can't start: "), std::string::npos) << daemon.output();
  EXPECT_NE(daemon.output().find(", exit\n"), std::string::npos);
}
