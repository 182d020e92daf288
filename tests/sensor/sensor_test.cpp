// The sensor: hello answer, the ways its thread ends, statistics, setup paths, spool scanning
// and following, records to messages, the frame size cut and the parse-only run.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <functional>

#include "common/daemon_launcher.h"
#include "common/poll_until.h"
#include "common/sensor_fixture.h"
#include "common/u2_writer.h"
#include "support/clock.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using ferun_test::frame_t;
using ferun_test::sensor_fixture_t;
using ferun_test::write_file;

namespace {

ferun::command_hello_t hello(const std::string& prefix, std::uint32_t version = 1) {
  ferun::command_hello_t h;
  h.version = version;
  h.prefix = prefix;
  h.sensor_id = 7;
  return h;
}

void write_maps(const fs::path& dir, const std::string& more = "") {
  write_file(dir / "sid-msg.map", "1000001 || TEST one rule\n" + more);
  write_file(dir / "gen-msg.map", "1 || 1 || snort general alert\n");
}

// Maps in `dir` and the spool "spool" below it, as bit 0x2 of `options` wants them.
ferun::command_setup_t setup_in(const fs::path& dir, std::uint32_t options) {
  const std::string base = options & 0x2 ? dir.string() + "/" : "";
  ferun::command_setup_t s;
  s.options = options;
  s.stats_period = 1000;
  s.config = "/etc/snort/snort.conf";
  s.sidmap = base + "sid-msg.map";
  s.genmap = base + "gen-msg.map";
  s.logdir = base + "spool";
  s.logpattern = "threats.log";
  return s;
}

const std::array<uint8_t, 6> mac_dst = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const std::array<uint8_t, 6> mac_src = {0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb};

// An IPv4 TCP event (10.0.0.1:40000 to 192.168.0.1:80) and its packet of `payload` bytes.
std::string alert(uint32_t id, uint32_t sid = 1000001, size_t payload = 10) {
  u2w::event_t e;
  e.event_id = id;
  e.second = 1700000000;
  e.microsecond = 250;
  e.signature_id = sid;
  e.ip4_src = 0x0a000001;
  e.ip4_dst = 0xc0a80001;
  e.port_src = 40000;
  e.port_dst = 80;
  u2w::packet_t p;
  p.event_id = id;
  p.event_second = p.second = e.second;
  p.data = u2w::ipv4_frame(mac_dst, mac_src, 6, e.ip4_src, e.ip4_dst, 40000, 80, payload);
  return u2w::encode(e) + u2w::encode(p);
}

// A sensor whose maps and spool directory lie in its temporary directory.
struct spool_fixture_t : sensor_fixture_t {
  explicit spool_fixture_t(const std::string& progdir = FERUN_BINARY_DIR)
      : sensor_fixture_t(progdir) {
    fs::create_directories(spool);
    write_maps(root.path());
  }

  // A scan on this thread; nothing is sent.
  uint32_t next(uint32_t current) {
    sensor->socket().close();
    sensor->logdir = spool;
    sensor->logpattern = "threats.log";
    sensor->logtimestamp = current;
    std::string path;
    uint32_t number = 0;
    return sensor->find_next_u2file(path, number) ? number : 0;
  }

  // Hello and a setup from (logtimestamp, logpos), then the thread; the setup must succeed.
  void follow(uint32_t logtimestamp, uint32_t logpos, uint32_t stats_period = 1000) {
    ferun::command_setup_t s = setup_in(root.path(), 0x2);
    s.logtimestamp = logtimestamp;
    s.logpos = logpos;
    s.stats_period = stats_period;
    console->send(hello("ids"));
    console->send(s);
    sensor->start();
    answers = collect(2);
    ASSERT_EQ(answers.size(), 2u);
    ASSERT_EQ(answers[1].as<ferun::answer_t>().status, 0);
  }

  // Up to `n` frames other than statistics.
  std::vector<frame_t> collect(std::size_t n) {
    std::vector<frame_t> frames;
    while (frames.size() < n) {
      auto frame = console->receive(10s);
      if (!frame) break;
      if (frame->id != ferun::command_stats_t::message_id) frames.push_back(std::move(*frame));
    }
    return frames;
  }

  fs::path spool = root / "spool";
  std::vector<frame_t> answers;
};

using event_t = ferun::command_event_t;
using packet_t = ferun::command_packet_t;

}  // namespace

// Each way the thread ends before a setup: quickly, socket closed, nothing created.
TEST(SensorConnection, ThreadEnds) {
  struct case_t {
    std::function<void(sensor_fixture_t&)> act;
    std::string answer;  // empty: none
  };
  const case_t cases[] = {
      {[](sensor_fixture_t& f) { f.console->send(hello("a/../b")); },
       "path attack detected (a/../b)"},
      {[](sensor_fixture_t& f) { f.console->send(hello("ids", 2)); }, "incompatible version"},
      {[](sensor_fixture_t& f) { f.console->send_frame(9, "xyz", 3); }, ""},
      {[](sensor_fixture_t& f) { f.sensor->stop(); }, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    sensor_fixture_t f;
    f.sensor->start();
    const auto begin = std::chrono::steady_clock::now();
    c.act(f);
    if (!c.answer.empty()) {
      const auto a = f.console->receive(10s).value().as<ferun::answer_hello_t>();
      EXPECT_EQ(a.status, 1);
      EXPECT_EQ(a.message, c.answer);
    }
    ASSERT_TRUE(ferun_test::poll_until([&] { return !f.sensor->is_active(); }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    EXPECT_FALSE(f.sensor->socket().is_open());
    EXPECT_TRUE(fs::is_empty(f.conf.datadir));
  }
}

// The hello answer carries the script's output and its NUL. Statistics go out on the first pass,
// then once the period has passed: 5,000,000 ms must not wrap (in 32 bits about 705 s).
TEST(SensorConnection, HelloAnswerAndStatisticsPeriodIn64Bits) {
  const std::uint64_t t0 = 1'000'000'000'000'000ull;
  stime_t::g_timestamp = t0;
  ferun_test::temp_dir_t progdir("ferun-progdir");
  write_file(progdir / "sysinfo", "#!/bin/sh\necho 'host: test'\n", 0755);
  spool_fixture_t f(progdir.path().string());
  ASSERT_NO_FATAL_FAILURE(f.follow(0, 0, 5'000'000));
  const auto a = f.answers[0].as<ferun::answer_hello_t>();
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.message, "hello from sensor!");
  EXPECT_EQ(a.sysinfo, std::string("host: test\n") + '\0');
  EXPECT_TRUE(!fs::exists(f.conf.tmpdir) || fs::is_empty(f.conf.tmpdir));
  EXPECT_EQ(f.console->receive(10s).value().id, ferun::command_stats_t::message_id);
  stime_t::g_timestamp = t0 + 1000ull * 1000000ull;  // within the period
  EXPECT_FALSE(f.console->receive(500ms));
  stime_t::g_timestamp = t0 + 6001ull * 1000000ull;
  EXPECT_EQ(f.console->receive(20s).value().id, ferun::command_stats_t::message_id);
  f.sensor->stop();
  stime_t::g_timestamp = 0;
}

// Without option bit 0x2 paths are joined to the sensor directory, with it taken as sent; a ".."
// is refused and changes nothing.
TEST(SensorSetup, PathRuleAndDotDotRefusal) {
  for (const std::uint32_t options : {0x1u, 0x2u}) {
    SCOPED_TRACE(options);
    sensor_fixture_t f;
    ASSERT_EQ(f.handshake("p", 7, "probe").status, 0);
    const fs::path dir = f.sensor->sensor_dir;
    auto apply = [&f](const ferun::command_setup_t& s) {
      f.sensor->on_setup(s);
      return f.console->receive(10s).value().as<ferun::answer_t>();
    };
    write_maps(dir);
    ferun::command_setup_t s = setup_in(dir, options);
    EXPECT_EQ(apply(s).status, 0);
    const std::string base = options & 0x2 ? "" : dir.string();
    EXPECT_EQ(f.sensor->config.string(), base + "/etc/snort/snort.conf");
    EXPECT_EQ(f.sensor->logdir, dir / "spool");
    EXPECT_TRUE(fs::is_directory(dir / "spool"));
    EXPECT_EQ(f.sensor->msg_map.get(1, 1000001).message, "one rule");

    s.logdir = "x..y";
    const ferun::answer_t refused = apply(s);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.message, "path attack detected (x..y)");
    EXPECT_FALSE(f.sensor->setup_done);
    EXPECT_EQ(f.sensor->logdir, dir / "spool");
  }
}
// The smallest number above the current one is next; an entry of unreported type is examined
// with lstat. While scans of an unchanged spool are skipped, a new file is still found at once.
TEST(SensorSpoolScan, PicksNextNumberAlsoWhileScansSkipped) {
  spool_fixture_t f;
  for (const char* name : {"threats.log.5", "threats.log.3", "threats.log.x", "elsewhere"})
    write_file(f.spool / name, "");
  fs::create_symlink(f.spool / "elsewhere", f.spool / "threats.log.1");
  fs::create_directory(f.spool / "threats.log.2");
  const int fd = open(f.spool.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_TRUE(ferun::sensor_t::spool_entry_is_regular(fd, "elsewhere", DT_UNKNOWN));
  EXPECT_FALSE(ferun::sensor_t::spool_entry_is_regular(fd, "threats.log.1", DT_UNKNOWN));
  EXPECT_FALSE(ferun::sensor_t::spool_entry_is_regular(fd, "threats.log.2", DT_UNKNOWN));
  close(fd);
  // Scans are skipped once the directory has not changed for over a second.
  ASSERT_TRUE(ferun_test::poll_until(
      [&f] { return std::time(nullptr) - fs::last_write_time(f.spool) >= 2; }, 10s));
  EXPECT_EQ(f.next(0), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(f.next(5), 0u);
  write_file(f.spool / "threats.log.9", "");
  EXPECT_EQ(f.next(5), 9u);
}

// Resumes at (logtimestamp, logpos), goes on in number order, takes appended records. Messages
// carry the fields and the position after both records, cut to fit one frame.
TEST(SensorSpoolFollow, MainRoad) {
  spool_fixture_t f;
  const std::string long_message(5000, 'm'), pair = alert(30);
  write_maps(f.root.path(), "2000001 || G " + long_message + "\n");
  u2w::event_t e6;
  e6.type = u2w::event6_type;
  e6.event_id = 32;
  e6.protocol = 58;
  e6.port_src = 128;
  u2w::packet_t p6;
  p6.event_id = 32;
  p6.data = std::string(60, '\x01');
  u2w::spool_t((f.spool / "threats.log.2").string()).append(alert(20));
  u2w::spool_t((f.spool / "threats.log.3").string())
      .append(pair + alert(31) + u2w::encode(e6) + u2w::encode(p6));
  u2w::spool_t seven((f.spool / "threats.log.7").string());
  seven.append(alert(70, 2000001, 6000));
  ASSERT_NO_FATAL_FAILURE(f.follow(3, static_cast<uint32_t>(pair.size())));
  const auto frames = f.collect(6);
  ASSERT_EQ(frames.size(), 6u);

  const auto e = frames[0].as<event_t>();
  EXPECT_EQ(std::make_tuple(e.sensor_id, e.event_id, e.signature_id, e.generator_id),
            std::make_tuple(7u, 31u, 1000001u, 1u));
  EXPECT_EQ(e.timestamp, 1700000000ull * 1000000ull + 250);
  EXPECT_EQ(e.group + "|" + e.message, "TEST|one rule");
  EXPECT_EQ(0, memcmp(e.mac_source.ether_addr_octet, mac_src.data(), 6));
  EXPECT_EQ(0, memcmp(e.mac_destination.ether_addr_octet, mac_dst.data(), 6));
  EXPECT_EQ(std::make_tuple(int{e.ip_version}, e.ip_source.v4, e.ip_destination.v4, int{e.protocol},
                            int{e.port_source}, int{e.port_destination}),
            std::make_tuple(1, 0x0a000001u, 0xc0a80001u, 6, 40000, 80));
  EXPECT_EQ(std::make_tuple(e.linktype, e.logtimestamp, e.logpos),
            std::make_tuple(1u, 3u, uint64_t{2 * pair.size()}));
  const auto p = frames[1].as<packet_t>();
  EXPECT_EQ(
      std::make_tuple(p.event_id, p.event_second, p.data.length, p.logtimestamp, p.logpos),
      std::make_tuple(31u, 1700000000u, 14u + 20u + 20u + 10u, 3u, uint64_t{2 * pair.size()}));

  EXPECT_EQ(frames[2].as<event_t>().port_source, 128);  // ICMPv6 carries its ports too
  // Too long for one frame: the message and the packet are cut.
  const auto cut = frames[4].as<event_t>();
  EXPECT_EQ(frames[4].body.size(), 4092u);
  EXPECT_EQ(cut.logtimestamp, 7u);
  EXPECT_EQ(long_message.compare(0, cut.message.size(), cut.message), 0);
  EXPECT_EQ(frames[5].as<packet_t>().data.length, 4062u);

  seven.append(alert(71, 424242));  // an unknown signature, in decimal
  const auto appended = f.collect(2);
  ASSERT_EQ(appended.size(), 2u);
  const auto unknown = appended[0].as<event_t>();
  EXPECT_EQ(unknown.group + "|" + unknown.message, "1|424242");
  EXPECT_EQ(appended[1].as<packet_t>().logpos, seven.size());
}

// The --parse pass of the real binary reads every spool file of the data directory in order.
TEST(SensorParseRun, BinaryParsesDataDirectory) {
  ferun_test::temp_dir_t data("ferun-parse");
  write_maps(data.path());
  u2w::spool_t((data / "threats.log.1").string()).append(alert(1));
  u2w::spool_t((data / "threats.log.2").string()).append(alert(2));
  ferun_test::daemon_launcher_t daemon;
  daemon.start({"--parse", "--datadir", data.path().string(), "--log", "sensor:info", "--port",
                std::to_string(ferun_test::daemon_launcher_t::free_port())});
  const std::string line = "current unified2 log file: " + (data / "threats.log.").string();
  ASSERT_TRUE(daemon.wait_for_output(line + "2", 20s)) << daemon.output();
  EXPECT_LT(daemon.output().find(line + "1"), daemon.output().find(line + "2"));
  daemon.stop();
}
