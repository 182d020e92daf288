// Setup, spool scanning and following with the real sensor over a loopback connection: each
// event and packet message is compared whole with golden bytes, with the log lines drawn.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <functional>

#include "common/daemon_launcher.h"
#include "common/sensor_fixture.h"
#include "common/u2_writer.h"
#include "support/clock.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using ferun_test::le, ferun_test::text, ferun_test::write_file;

namespace {

const std::string macs("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb", 12);  // dst, src
const std::string long_text(8175, 'x');  // its map line is one byte too long for the buffer
// An IPv6 event's source and destination, as the spool and the event message both carry them.
const std::string ip6s = "\x20\x01\x0d\xb8" + std::string(11, '\0') + "\x01\xfe\x80" +
                         std::string(6, '\0') + "\x02\x11\x22\xff\xfe\x33\x44\x55";

// One alert: an event and its packet, and the texts the maps give its signature.
struct alert_t {
  uint32_t id;
  uint8_t protocol = 6;  // 58 (ICMPv6) makes an IPv6 event
  uint32_t sid = 1000001;
  std::string group = "TEST", message = "one rule";
  size_t payload = 10;

  std::string frame() const { return macs + std::string(payload, 'f'); }
  // The event as in the writer's encoder, with every field set, ports included.
  std::string bytes() const {
    const bool ip6 = protocol == 58;
    const std::string ips = ip6 ? ip6s : u2w::words({0x0a000001, 0xc0a80001});
    return u2w::record(ip6 ? 105 : 104,
                       u2w::words({0, id, 1700000000, 250, sid, 1, 3, 4, 2}) + ips +
                           u2w::words({40000u << 16 | 80, uint32_t{protocol} << 24 | 0x10001,
                                       0x12345, 100u << 16})) +
           u2w::encode(u2w::packet_t{id, 1700000000, 1700000001, frame()});
  }
  // The event and packet messages (frame id, body) a console receives for it.
  std::string messages(uint32_t logtimestamp, uint64_t logpos) const {
    const std::string tail = le(logtimestamp, 4) + le(logpos, 4);
    const std::string ips = (protocol == 58 ? "\x02" + ip6s  // version, addresses
                                            : std::string("\x01\x0a\0\0\x01\xc0\xa8\0\x01", 9)) +
                            static_cast<char>(protocol);
    return le(0x8001, 2) + le(7, 4) + le(id, 4) + le(1700000000000250, 8) + le(sid, 4) + le(1, 4) +
           le(3, 4) + le(4, 4) + text(group) + text(message) + le(2, 4) + macs.substr(6) +
           macs.substr(0, 6) + ips + le(40000, 2) + le(80, 2) + "\x01\x01" + le(0x12345, 4) +
           le(100, 2) + le(1, 4) + tail + le(0x8002, 2) + le(7, 4) + le(id, 4) + le(1700000000, 4) +
           le(1700000001000000, 8) + text(frame().substr(0, 4062)) + tail;
  }
};

// Maps in `dir`, a spool below it, as bit 0x2 of `options` wants them; resume point, period.
ferun::command_setup_t setup_in(const fs::path& dir, uint32_t options, uint32_t logtimestamp = 0,
                                uint32_t logpos = 0, uint32_t period = 0) {
  const std::string base = options & 0x2 ? dir.string() + "/" : "";
  write_file(dir / "sid-msg.map", "1000001 || TEST one rule\n2000001 || " + std::string(128, 'g') +
                                      " " + long_text.substr(0, 3983) + "\n2000002 || " +
                                      long_text + " tail\n");
  write_file(dir / "gen-msg.map", "1 || 1 || snort general alert\n");
  ferun::command_setup_t s;
  std::tie(s.options, s.config, s.sidmap, s.genmap, s.logdir, s.logpattern, s.homenetwork,
           s.logtimestamp, s.logpos, s.stats_period) =
      std::make_tuple(options, "/etc/snort/snort.conf", base + "sid-msg.map", base + "gen-msg.map",
                      base + "spool", "threats.log", "10.0.0.0/8", logtimestamp, logpos, period);
  return s;
}

}  // namespace

// Each row: setup option bits (0x2: paths as given, else joined to the sensor directory), resume
// point, statistics period (with one the sensor runs on its own thread, commands only over the
// wire); spool changes (the first before the setup); the messages received after each (and 201 idle
// passes); log lines each logged once. Then setups with ".." in a path or a NUL in a text fail.
TEST(SpoolFollow, MessagesAndLogPerSpool) {
  using setup_t = ferun::command_setup_t;
  const std::tuple<std::string setup_t::*, std::string, std::string> refusals[] = {
      {&setup_t::logdir, "x..y", "path attack detected (x..y)"},
      {&setup_t::logpattern, std::string("a\0b", 3), "setup field logpattern holds a NUL byte"}};
  // IPv6 (ICMPv6, with ports), its texts over a frame; the group's length takes two bytes.
  const alert_t cut_msg{70, 58, 2000001, std::string(128, 'g'), long_text.substr(0, 3854), 6000};
  const alert_t cut_group{71, 6, 2000002, long_text.substr(0, 4007), ""};
  const alert_t a1{1}, a2{2}, a3{3, 1}, v6a{4, 58}, v6b{5, 58};  // ICMP, ICMPv6: ports, v6: IPv6
  const alert_t unknown{72, 17, 424242, "1", "424242", 0};       // UDP, its packet the MACs only
  const uint64_t s = a1.bytes().size(), s6 = v6a.bytes().size();
  std::function<void()> hook;  // run once, by the next pass, between its empty read and its scan
  ferun_test::sensor_fixture_t* fx = nullptr;  // the row's
  auto stats = [](auto t) { return le(0x8003, 2) + le(7, 4) + le(t, 8) + text("up") + le(0, 58); };
  const uint32_t last = 0xffffffffu - static_cast<uint32_t>(s);
  const std::string strange = "WARNING sensor: skip strange file with name threats.log.x\n";
  auto refused = [](int n, int type, int length, uint64_t at) {
    return "threats.log." + std::to_string(n) + ": refused record of type " + std::to_string(type) +
           " with length " + std::to_string(length) + " at position " + std::to_string(at) + ", ";
  };
  const struct {
    std::array<uint32_t, 4> setup;  // options, logtimestamp, logpos, stats_period
    std::vector<std::function<void(const fs::path&)>> steps;
    std::vector<std::string> want;  // all bodies received after each step
    std::vector<std::string> log;
  } rows[] = {
      // Resumes inside file 3, then the smallest number above, regular files only (lstat for an
      // entry of unreported type); texts and packets cut to fit a frame; an unknown key and an
      // overlong map line reported once. A spool quiet for a second is read every 101st pass only,
      // a new file at once. File 8 grown, files 10-14 made, while a pass stands between its empty
      // read and its scan: 8 is read to its end first. A refused record (event body over 1024
      // bytes or short of its fields, packet or extra data short of its head, packet past its
      // record) stops its file with one error; the next file is read.
      {{0x1, 3, static_cast<uint32_t>(s)},
       {[&](const fs::path& d) {
          write_file(d / "threats.log.2", a2.bytes());
          write_file(d / "threats.log.3", a3.bytes() + a1.bytes());
          write_file(d / "threats.log.8", cut_group.bytes());
          write_file(d / "threats.log.7", cut_msg.bytes()), write_file(d / "other", a2.bytes());
          fs::create_symlink(d / "other", d / "threats.log.4");
          fs::create_directory(d / "threats.log.5");
          const int fd = open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
          for (const char* name : {"other", "threats.log.4", "threats.log.5"})
            EXPECT_EQ(ferun::sensor_t::spool_entry_is_regular(fd, name, DT_UNKNOWN), *name == 'o');
          close(fd);
        },
        [&](const fs::path& d) {
          write_file(d / "threats.log.x", "");
          ASSERT_TRUE(ferun_test::poll_until(
              [&] { return std::time(nullptr) - fs::last_write_time(d) >= 2; }, 10s));
        },
        [&](const fs::path& d) {
          fs::remove(d / "threats.log.x");
          write_file(d / "threats.log.9", unknown.bytes() + unknown.bytes());
          hook = [&, d] {
            std::ofstream((d / "threats.log.8").string(), std::ios::app) << v6a.bytes();
            write_file(d / "threats.log.10", v6b.bytes() + u2w::record(104, std::string(1025, 0)));
            write_file(d / "threats.log.11", a2.bytes() + u2w::record(105, std::string(81, 0)));
            write_file(d / "threats.log.12", u2w::record(2, std::string(27, 0)));
            write_file(d / "threats.log.13", u2w::record(110, std::string(31, 0)));
            write_file(d / "threats.log.14", a1.bytes().substr(0, 68) +
                                                 u2w::record(2, u2w::words({0, 1, 0, 0, 0, 1, 5})));
          };
        }},
       {a1.messages(3, 2 * s) + cut_msg.messages(7, cut_msg.bytes().size()) +
            cut_group.messages(8, cut_group.bytes().size()),
        "",
        v6a.messages(8, cut_group.bytes().size() + s6) + unknown.messages(9, s - 10) +
            unknown.messages(9, 2 * s - 20) + v6b.messages(10, s6) + a2.messages(11, s)},
       {"ERROR snort_parser: invalid key: 1:424242\n", "ERROR snort_parser: very long string\n",
        strange + strange, refused(10, 104, 1025, s6), refused(11, 105, 81, s),
        refused(12, 2, 27, 0), refused(13, 110, 31, 0), refused(14, 2, 28, 68)}},
      // On the sensor's own thread, unasked: resumed past the end of its file, cut short, renamed
      // over: read again from the start; statistics after the first pass, and once the clock has
      // passed the period. A second setup switches to another spool, resumed where it says: a
      // record ending at 4 GiB - 1 is taken, one ending a byte later (in the next file) is not.
      {{0x2, 1, 100000, 60000},
       {[&](const fs::path& d) { write_file(d / "threats.log.1", a1.bytes() + a2.bytes()); },
        [&](const fs::path& d) { write_file(d / "threats.log.1", a3.bytes()); },
        [&](const fs::path& d) {
          write_file(d / "new", a2.bytes() + a1.bytes());
          fs::rename(d / "new", d / "threats.log.1");
        },
        [&](const fs::path&) { stime_t::g_timestamp += 60000001; },
        [&](const fs::path& d) {
          fs::create_directory(d / "spool");
          u2w::spool_t((d / "spool/threats.log.5").string(), last).append(a1.bytes() + a2.bytes());
          u2w::spool_t six((d / "spool/threats.log.6").string());  // a skipped record to 4 GiB - s
          six.append(a3.bytes() + u2w::words({99, 0xfffffff8u - 2 * static_cast<uint32_t>(s)}));
          six.out.seekp(0x100000000 - s), six.append(a2.bytes());
          fx->console->send(setup_in(d, 0x2, 5, last));
        }},
       {a1.messages(1, s) + a2.messages(1, 2 * s) + stats(1700000000000000), a3.messages(1, s),
        a2.messages(1, s) + a1.messages(1, 2 * s), stats(1700000060000001),
        le(0x82, 2) + le(0, 2) + a1.messages(5, 0xffffffff) + a3.messages(6, s)},
       {"is shorter than the position 100000, reading it from its start\n",
        "is shorter than the position " + std::to_string(2 * s) + ", reading it from its start\n",
        "threats.log.1 was replaced, reading the new file from its start\n",
        "threats.log.5: the spool file passed the 4 GiB limit at position 4294967295, nothing",
        "threats.log.6: the spool file passed the 4 GiB limit at position " +
            std::to_string(0x100000000 - s) + ", nothing"}},
  };
  stime_t::g_timestamp = 1700000000000000;
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    ferun_test::sensor_fixture_t f;
    const bool threaded = (fx = &f, row.setup[3] != 0);
    const fs::path dir = f.conf.datadir / "ids-7", log = f.root / "log";
    log_t::set_filename(log.string());
    f.sensor->before_spool_scan = [&hook] { hook ? std::exchange(hook, nullptr)() : void(); };
    for (const char* channel : {"sensor", "u2_file", "snort_parser"}) log_t::enable(channel, 1);
    f.conf.progdir = f.root.path().string();  // statistics: "up", all 0 (cpu "inf")
    for (const char* name : {"sysinfo", "tavrel-snort"})
      write_file(f.root / name, "#!/bin/sh\necho 'status: up\ncpu_usage: inf'\n", 0700);
    ASSERT_EQ(f.handshake("ids", 7, "", threaded).status, 0);
    auto apply = [&f, threaded](const auto& s) {
      threaded ? f.console->send(s) : f.sensor->on_setup(s);
      const auto a = f.console->receive(10s).value().as<ferun::answer_t>();
      return std::make_tuple(a.status, a.message);
    };
    const auto setup = setup_in(dir, row.setup[0], row.setup[1], row.setup[2], row.setup[3]);
    fs::create_directories(dir / "spool");
    row.steps[0](dir / "spool");
    ASSERT_EQ(apply(setup), std::make_tuple(0, std::string()));
    for (size_t i = 0; i < row.steps.size(); ++i) {
      if (i) row.steps[i](dir / "spool");
      int taken = 0;  // records, each of which sends one message here
      for (int idle = 0, n; !threaded && idle < 201; idle += n == 0)
        taken += n = f.sensor->process_u2();
      std::string got;
      for (; got.size() < row.want[i].size(); --taken) {
        const auto frame = f.console->receive(10s).value();
        got += le(frame.id, 2) + std::string(frame.body.begin(), frame.body.end());
      }
      EXPECT_EQ(std::make_tuple(got, threaded ? 0 : taken), std::make_tuple(row.want[i], 0));
    }
    std::vector<std::string> lines = row.log;
    for (const auto& r : refusals) {
      auto s = setup;
      std::tie(s.*std::get<0>(r), s.interface) = std::make_tuple(std::get<1>(r), "other");
      EXPECT_EQ(apply(s), std::make_tuple(1, std::get<2>(r)));
      lines.push_back("ERROR sensor: " + std::get<2>(r) + "\n");
    }
    f.sensor->stop();  // its thread's state is this thread's to look at from here
    EXPECT_FALSE(f.sensor->setup_done || !f.sensor->interface.empty());
    EXPECT_EQ(f.sensor->config.string() + " " + f.sensor->homenetwork,
              (row.setup[0] & 0x2 ? "" : dir.string()) + "/etc/snort/snort.conf 10.0.0.0/8");
    const std::string text = ferun_test::read_file(log);
    for (const std::string& line : lines)  // each exactly once
      EXPECT_TRUE(text.find(line) != std::string::npos && text.find(line) == text.rfind(line))
          << line << text;
  }
  for (const char* channel : {"sensor", "u2_file", "snort_parser"}) log_t::disable(channel);
  log_t::set_filename("");
}

// The --parse run of the real binary reads every spool file of the data directory in order.
TEST(SpoolParseRun, BinaryParsesDataDirectory) {
  ferun_test::temp_dir_t data("ferun-parse");
  setup_in(data.path(), 0);
  for (uint32_t n : {1u, 2u})
    write_file(data / ("threats.log." + std::to_string(n)), alert_t{n}.bytes());
  ferun_test::daemon_launcher_t daemon;
  daemon.start({"--parse", "--datadir", data.path().string(), "--log", "sensor:info", "--port",
                std::to_string(ferun_test::daemon_launcher_t::free_port())});
  const std::string line = "current unified2 log file: " + (data / "threats.log.").string();
  ASSERT_TRUE(ferun_test::poll_until(
      [&] { return daemon.output().find(line + "2") != std::string::npos; }, 20s))
      << daemon.output();
  EXPECT_LT(daemon.output().find(line + "1"), daemon.output().find(line + "2"));
}
