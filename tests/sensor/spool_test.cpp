// Setup, spool scanning and following with the real sensor over a loopback connection: each
// event and packet message is compared whole, with the log lines the spool draws.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>

#include "common/daemon_launcher.h"
#include "common/poll_until.h"
#include "common/sensor_fixture.h"
#include "common/u2_writer.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using ferun_test::write_file;

namespace {

const std::array<uint8_t, 6> mac_dst = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const std::array<uint8_t, 6> mac_src = {0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb};
const std::string long_text(5000, 'x');

// One alert: an event and its packet, and the texts the maps give its signature.
struct alert_t {
  uint32_t id, sid = 1000001;
  std::string group = "TEST", message = "one rule";
  size_t payload = 10;
  bool ip6 = false;

  std::string frame() const {
    return u2w::ipv4_frame(mac_dst, mac_src, 6, 0x0a000001, 0xc0a80001, 40000, 80, payload);
  }
  std::string bytes() const {
    u2w::event_t e;
    u2w::packet_t p;
    std::tie(e.type, e.event_id, e.second, e.microsecond, e.signature_id, e.revision) =
        std::make_tuple(ip6 ? u2w::event6_type : u2w::event4_type, id, 1700000000u, 250u, sid, 3u);
    std::tie(e.classification, e.priority, e.ip4_src, e.ip4_dst, e.mpls, e.vlan) =
        std::make_tuple(4u, 2u, 0x0a000001u, 0xc0a80001u, 0x12345u, 100);
    std::tie(e.port_src, e.port_dst, e.protocol, e.impact_flag, e.blocked) =
        std::make_tuple(40000, 80, ip6 ? 58 : 6, 1, 1);
    std::tie(p.event_id, p.event_second, p.second, p.data) =
        std::make_tuple(id, 1700000000u, 1700000001u, frame());
    return u2w::encode(e) + u2w::encode(p);
  }
  // The two message bodies a console receives for it.
  std::pair<std::string, std::string> messages(uint32_t logtimestamp, uint64_t logpos) const {
    ferun::command_event_t m;
    std::tie(m.sensor_id, m.event_id, m.timestamp, m.signature_id, m.generator_id) =
        std::make_tuple(7u, id, 1700000000000250ull, sid, 1u);
    std::tie(m.signature_revision, m.classification_id, m.priority_id, m.group, m.message) =
        std::make_tuple(3u, 4u, 2u, group, message);
    memcpy(m.mac_source.ether_addr_octet, mac_src.data(), 6);
    memcpy(m.mac_destination.ether_addr_octet, mac_dst.data(), 6);
    std::tie(m.ip_version, m.ip_source.v4, m.ip_destination.v4, m.protocol) =
        std::make_tuple(ip6 ? 2 : 1, ip6 ? 0 : 0x0a000001u, ip6 ? 0 : 0xc0a80001u, ip6 ? 58 : 6);
    std::tie(m.port_source, m.port_destination, m.impact_flag, m.blocked) =
        std::make_tuple(40000, 80, 1, 1);
    std::tie(m.mpls_label, m.vlan_id, m.linktype, m.logtimestamp, m.logpos) =
        std::make_tuple(0x12345u, 100, 1u, logtimestamp, static_cast<uint32_t>(logpos));
    ferun::command_packet_t p;
    const std::string data = frame().substr(0, 4062);
    std::tie(p.sensor_id, p.event_id, p.event_second, p.timestamp, p.logtimestamp, p.logpos) =
        std::make_tuple(7u, id, 1700000000u, 1700000001000000ull, logtimestamp, m.logpos);
    p.data.bytes = reinterpret_cast<const unsigned char*>(data.data());
    p.data.length = static_cast<uint16_t>(data.size());
    auto body = [](const ferun::command_t& c) {
      unsigned char b[4092];
      return std::string(reinterpret_cast<char*>(b), c.serialize(b, sizeof b));
    };
    return {body(m), body(p)};
  }
};

// Maps in `dir`, a spool directory below it, as bit 0x2 of `options` wants them.
ferun::command_setup_t setup_in(const fs::path& dir, std::uint32_t options) {
  const std::string base = options & 0x2 ? dir.string() + "/" : "";
  write_file(dir / "sid-msg.map", "1000001 || TEST one rule\n2000001 || G " + long_text +
                                      "\n2000002 || " + long_text + " tail\n");
  write_file(dir / "gen-msg.map", "1 || 1 || snort general alert\n");
  ferun::command_setup_t s;
  s.options = options;
  s.config = "/etc/snort/snort.conf";
  s.sidmap = base + "sid-msg.map";
  s.genmap = base + "gen-msg.map";
  s.logdir = base + "spool";
  s.logpattern = "threats.log";
  return s;
}

std::string read_log(const fs::path& file) {
  std::ostringstream s;
  s << std::ifstream(file.string()).rdbuf();
  return s.str();
}

// Appends `bytes` to the spool file numbered `n`, its first bytes at offset `hole` (sparse).
void add(const fs::path& spool, int n, const std::string& bytes, uint64_t hole = 0) {
  const std::string path = (spool / ("threats.log." + std::to_string(n))).string();
  if (hole)
    u2w::spool_t(path, hole).append(bytes);
  else
    std::ofstream(path, std::ios::app | std::ios::binary) << bytes;
}

}  // namespace

// Paths are joined to the sensor directory unless option bit 0x2 is set. A ".." in a path or a
// NUL in any text refuses the setup and changes nothing; the connection goes on.
TEST(SpoolSetup, PathRuleAndRefusals) {
  using setup_t = ferun::command_setup_t;
  const std::tuple<std::string setup_t::*, std::string, std::string> refusals[] = {
      {&setup_t::logdir, "x..y", "path attack detected (x..y)"},
      {&setup_t::logpattern, std::string("a\0b", 3), "setup field logpattern holds a NUL byte"},
      {&setup_t::config, std::string(1, '\0'), "setup field config holds a NUL byte"},
      {&setup_t::homenetwork, std::string("n\0", 2), "setup field homenetwork holds a NUL byte"}};
  for (const std::uint32_t options : {0x1u, 0x2u}) {
    ferun_test::sensor_fixture_t f;
    ASSERT_EQ(f.handshake("p", 7, "probe").status, 0);
    const fs::path dir = f.sensor->sensor_dir, log = f.root / "log";
    log_t::set_filename(log.string());
    log_t::enable("sensor", 0);
    auto apply = [&f](const setup_t& s) {
      f.sensor->on_setup(s);
      return f.console->receive(10s).value().as<ferun::answer_t>();
    };
    const setup_t good = setup_in(dir, options);
    EXPECT_EQ(apply(good).status, 0);
    EXPECT_EQ(f.sensor->config.string(),
              (options & 0x2 ? "" : dir.string()) + "/etc/snort/snort.conf");
    EXPECT_EQ(f.sensor->logdir, dir / "spool");
    EXPECT_TRUE(fs::is_directory(dir / "spool"));
    for (const auto& r : refusals) {
      setup_t s = good;
      s.*std::get<0>(r) = std::get<1>(r);
      s.interface = "other";
      const ferun::answer_t a = apply(s);
      EXPECT_EQ(std::make_tuple(a.status, a.message), std::make_tuple(1, std::get<2>(r)));
      EXPECT_NE(read_log(log).find("ERROR sensor: " + std::get<2>(r) + "\n"), std::string::npos);
      EXPECT_FALSE(f.sensor->setup_done);
      EXPECT_EQ(std::make_tuple(f.sensor->logdir, f.sensor->interface),
                std::make_tuple(dir / "spool", std::string()));
    }
    EXPECT_EQ(apply(good).status, 0);
    log_t::disable("sensor");
    log_t::set_filename("");
  }
}

// The smallest number above the current one is next; an entry of unreported type is examined
// with lstat. While scans of an unchanged spool are skipped, a new file is still found at once.
TEST(SpoolScan, PicksNextNumberAlsoWhileScansSkipped) {
  ferun_test::sensor_fixture_t f;
  const fs::path spool = f.root / "spool";
  fs::create_directories(spool);
  for (const char* name : {"threats.log.5", "threats.log.3", "threats.log.x", "elsewhere"})
    write_file(spool / name, "");
  fs::create_symlink(spool / "elsewhere", spool / "threats.log.1");
  fs::create_directory(spool / "threats.log.2");
  const int fd = open(spool.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_TRUE(ferun::sensor_t::spool_entry_is_regular(fd, "elsewhere", DT_UNKNOWN));
  EXPECT_FALSE(ferun::sensor_t::spool_entry_is_regular(fd, "threats.log.1", DT_UNKNOWN));
  EXPECT_FALSE(ferun::sensor_t::spool_entry_is_regular(fd, "threats.log.2", DT_UNKNOWN));
  close(fd);
  std::tie(f.sensor->logdir, f.sensor->logpattern) = std::make_tuple(spool, "threats.log");
  auto next = [&f](uint32_t current) {
    f.sensor->logtimestamp = current;
    std::string path;
    uint32_t number = 0;
    return f.sensor->find_next_u2file(path, number) ? number : 0;
  };
  // Scans are skipped once the directory has not changed for over a second.
  ASSERT_TRUE(ferun_test::poll_until(
      [&] { return std::time(nullptr) - fs::last_write_time(spool) >= 2; }, 10s));
  EXPECT_EQ(next(0), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(next(5), 0u);
  write_file(spool / "threats.log.9", "");
  EXPECT_EQ(next(5), 9u);
}

// Each row: steps that write spool files (the first before the setup from logtimestamp and
// logpos), the messages the console receives after each, and log lines each logged once.
TEST(SpoolFollow, MessagesAndLogPerSpool) {
  using msgs = std::vector<std::pair<std::string, std::string>>;
  using step = std::function<void(const fs::path&)>;
  const alert_t cut_message{70, 2000001, "G", long_text.substr(0, 4006), 6000};
  const alert_t cut_group{71, 2000002, long_text.substr(0, 4007), ""},
      unknown{72, 424242, "1", "424242"};
  const alert_t a1{1}, a2{2}, a3{3}, a6{6, 1000001, "TEST", "one rule", 10, true};
  const uint64_t s = a1.bytes().size(), s6 = a6.bytes().size();
  const uint64_t sm = cut_message.bytes().size(), sg = cut_group.bytes().size();
  const uint32_t near = 0xfffffffau - static_cast<uint32_t>(s);
  const std::string zeros(8000, '\0');
  const struct {
    uint32_t logtimestamp, logpos;
    std::vector<step> steps;
    std::vector<msgs> want;
    std::vector<std::string> log;
  } rows[] = {
      // Resumes inside file 3, goes on in number order; texts and packets cut to fit one frame;
      // an unknown signature reported once.
      {3,
       static_cast<uint32_t>(s),
       {[&](const fs::path& d) {
          add(d, 2, a2.bytes()), add(d, 3, a3.bytes() + a1.bytes() + a6.bytes());
          add(d, 7, cut_message.bytes() + cut_group.bytes());
        },
        [&](const fs::path& d) { add(d, 7, unknown.bytes() + unknown.bytes()); }},
       {{a1.messages(3, 2 * s), a6.messages(3, 2 * s + s6), cut_message.messages(7, sm),
         cut_group.messages(7, sm + sg)},
        {unknown.messages(7, sm + sg + s), unknown.messages(7, sm + sg + 2 * s)}},
       {"ERROR snort_parser: invalid key: 1:424242\n"}},
      // A zero-filled stretch: one line for its first record, one summary.
      {0,
       0,
       {[&](const fs::path& d) { add(d, 1, a1.bytes() + zeros + a2.bytes()); }},
       {{a1.messages(1, s), a2.messages(1, 2 * s + zeros.size())}},
       {"ERROR u2_file: got unknown type 0\n",
        "ERROR u2_file: skipped 1000 records of unknown type 0 from position " + std::to_string(s) +
            "\n"}},
      // Cut short, then renamed over: read again from the start.
      {0,
       0,
       {[&](const fs::path& d) { add(d, 1, a1.bytes() + a2.bytes()); },
        [&](const fs::path& d) { write_file(d / "threats.log.1", a3.bytes()); },
        [&](const fs::path& d) {
          write_file(d / "new", a2.bytes() + a1.bytes());
          fs::rename(d / "new", d / "threats.log.1");
        }},
       {{a1.messages(1, s), a2.messages(1, 2 * s)},
        {a3.messages(1, s)},
        {a2.messages(1, s), a1.messages(1, 2 * s)}},
       {"is shorter than the position " + std::to_string(2 * s) + ", reading it from its start\n",
        "threats.log.1 was replaced, reading the new file from its start\n"}},
      // A setup position past the end of its file.
      {1,
       100000,
       {[&](const fs::path& d) { add(d, 1, a1.bytes()); }},
       {{a1.messages(1, s)}},
       {"is shorter than the position 100000, reading it from its start\n"}},
      // A 4 GiB file, resumed near its end: the record that crosses the limit stops it.
      {1,
       near,
       {[&](const fs::path& d) {
         add(d, 1, a1.bytes() + a2.bytes(), near), add(d, 2, a3.bytes());
       }},
       {{a1.messages(1, near + s), a3.messages(2, s)}},
       {"threats.log.1: the spool file passed the 4 GiB limit at position " +
        std::to_string(near + s) + ", nothing more is read from it\n"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    ferun_test::sensor_fixture_t f;
    const fs::path log = f.root / "log";
    log_t::set_filename(log.string());
    for (const char* channel : {"sensor", "u2_file", "snort_parser"}) log_t::enable(channel, 1);
    ferun::command_setup_t setup = setup_in(f.root.path(), 0x2);
    std::tie(setup.stats_period, setup.logtimestamp, setup.logpos) =
        std::make_tuple(3600000u, row.logtimestamp, row.logpos);
    fs::create_directories(f.root / "spool");
    row.steps[0](f.root / "spool");
    ferun::command_hello_t hello;
    std::tie(hello.version, hello.prefix, hello.sensor_id) = std::make_tuple(1, "ids", 7);
    f.console->send(hello);
    f.console->send(setup);
    f.sensor->start();
    auto next = [&f]() -> std::string {
      for (;;) {
        const auto frame = f.console->receive(10s);
        if (!frame) return "none";
        if (frame->id != ferun::command_stats_t::message_id && frame->id != 0x81)
          return std::string(frame->body.begin(), frame->body.end());
      }
    };
    ASSERT_EQ(next(), std::string(2, '\0'));  // the setup answer: status 0, no text
    for (size_t i = 0; i < row.steps.size(); ++i) {
      if (i) row.steps[i](f.root / "spool");
      for (const auto& want : row.want[i]) {
        EXPECT_EQ(next(), want.first);
        EXPECT_EQ(next(), want.second);
      }
    }
    f.sensor->stop();
    const std::string text = read_log(log);
    for (const std::string& line : row.log) {
      const size_t at = text.find(line);
      EXPECT_TRUE(at != std::string::npos && text.find(line, at + 1) == std::string::npos)
          << line << "\n"
          << text;
    }
    for (const char* channel : {"sensor", "u2_file", "snort_parser"}) log_t::disable(channel);
    log_t::set_filename("");
  }
}

// The --parse pass of the real binary reads every spool file of the data directory in order.
TEST(SpoolParseRun, BinaryParsesDataDirectory) {
  ferun_test::temp_dir_t data("ferun-parse");
  setup_in(data.path(), 0);
  add(data.path(), 1, alert_t{1}.bytes());
  add(data.path(), 2, alert_t{2}.bytes());
  ferun_test::daemon_launcher_t daemon;
  daemon.start({"--parse", "--datadir", data.path().string(), "--log", "sensor:info", "--port",
                std::to_string(ferun_test::daemon_launcher_t::free_port())});
  const std::string line = "current unified2 log file: " + (data / "threats.log.").string();
  ASSERT_TRUE(daemon.wait_for_output(line + "2", 20s)) << daemon.output();
  EXPECT_LT(daemon.output().find(line + "1"), daemon.output().find(line + "2"));
  daemon.stop();
}
