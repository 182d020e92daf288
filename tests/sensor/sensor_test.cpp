// The sensor over a real loopback connection: one table of commands with the whole answer, the
// log's last lines and the files they leave, then the ways its thread ends and the statistics
// rhythm. Scripts are stand-ins written into a fresh program directory for each row.
#include <gtest/gtest.h>

#include <optional>

#include "common/daemon_launcher.h"
#include "common/poll_until.h"
#include "common/sensor_fixture.h"
#include "support/clock.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using ferun_test::sensor_fixture_t;
using ferun_test::write_file;

namespace {

// Records its words in "calls" and prints them (or COMMAND.out), COMMAND.err on stderr, and
// exits with COMMAND.rc.
const char* const kSnort =
    "#!/bin/sh\ncd \"$(dirname \"$0\")\"\nfor a; do printf '[%s]' \"$a\"; done >>calls\n"
    "echo >>calls\ncat \"$1.out\" 2>/dev/null || cat calls\ncat \"$1.err\" >&2 2>/dev/null\n"
    "exit $(cat \"$1.rc\" 2>/dev/null || echo 0)\n";
const std::uint64_t kNow = 1'700'000'000'000'000ull;

// Wire bytes written out by hand: little-endian integers, texts (under 128 bytes) and lists
// after a one-byte length.
std::string le(std::uint64_t value, int size) {
  std::string s;
  for (int i = 0; i < size; ++i) s += static_cast<char>(value >> 8 * i);
  return s;
}
std::string str(const std::string& s) {
  return static_cast<char>(s.size()) + s;
}
std::string list(const std::vector<std::string>& texts, std::size_t per = 1) {
  std::string s(1, static_cast<char>(texts.size() / per));
  for (const std::string& t : texts) s += str(t);
  return s;
}
// A command: its id, then its body. A hello is for sensor 7, "probe".
std::string hello(const std::string& prefix, int version = 1) {
  return "\1" + le(version, 4) + str(prefix) + le(7, 4) + str("probe");
}
// A whole frame as received: id, status, message, the rest of the body.
std::string answer(int id, int status, const std::string& message, const std::string& rest = "") {
  return le(id, 2) + static_cast<char>(status) + str(message) + rest;
}
std::string stats(const std::string& state, const std::vector<std::uint64_t>& n) {
  std::string s = le(0x8003, 2) + le(7, 4) + le(kNow, 8) + str(state);
  const int size[] = {2, 8, 2, 8, 2, 8, 8, 8, 8, 4};
  for (int i = 0; i < 10; ++i) s += le(n[i], size[i]);
  return s;
}

// "->target" makes a symbolic link, "/" a directory.
void place(fs::path path, const std::string& content) {
  fs::create_directories(path.parent_path());
  if (content.rfind("->", 0) == 0)
    fs::create_symlink(content.substr(2), path);
  else if (content == "/")
    fs::create_directory(path);
  else
    write_file(path, content, 0755);
}

// A command (id, then body) as one frame; none for an empty one.
void send(sensor_fixture_t& f, const std::string& command) {
  if (!command.empty()) f.console->send_frame(command[0], command.data() + 1, command.size() - 1);
}
// Lets the sensor take the hello, or poll once for a command.
void take(sensor_fixture_t& f, bool hello) {
  try {
    hello ? static_cast<void>(f.sensor->init()) : f.sensor->check_commands();
  } catch (const exception_t&) {  // a refused hello; its answer is on the wire
  }
}
std::optional<std::string> content(const fs::path& path) {
  if (!fs::exists(fs::symlink_status(path))) return std::nullopt;
  return ferun_test::read_file(path);
}

// A file under the fixture's root ("FD" in its name: the connection's descriptor), what is placed
// there first (empty: nothing) and what it must hold afterwards.
using file_t = std::tuple<std::string, std::string, std::optional<std::string>>;
struct row_t {
  std::string command;  // empty: a statistics message
  std::string answer;
  std::string log;  // the log's last lines; empty: not looked at
  std::vector<file_t> files;
};
row_t row(std::string command, std::string answer, std::string log,
          std::vector<file_t> files = {}) {
  return {std::move(command), std::move(answer), std::move(log), std::move(files)};
}
const std::nullopt_t gone = std::nullopt;
const std::string same = "\1same";
const std::string none(1, '\0'), ini = "data/ids-7/sensor.ini", prog = "prog 'x'/";
const std::string calls = "[start][eth1][c;f g][spool][-q]\n";
const std::string info =
    "status: running\nuptime: 3600\ncpu_usage: 12.5\nmem: 100\nmem_usage: "
    "0.53\ndisk: 200\ndisk_usage: -1\nrx_bytes: 1\nrx_packets: 2\ntx_bytes: "
    "3\ntx_packets: 4\n";

}  // namespace

TEST(SensorCommands, AnswerLogAndFiles) {
  const std::string ok = "\nINFO sensor:     OK\n", v1 = le(1, 4);
  const row_t rows[] = {
      row(hello("ids"), answer(0x81, 0, "hello from sensor!", v1 + str("host: test\n" + none)), "",
          {{"tmp/sysinfo__FD.out", "->../victim", gone}, {"victim", "keep", "keep"}}),
      row(hello("a/b"), answer(0x81, 1, "path attack detected (a/b)", v1 + none),
          "ERROR sensor: path attack detected (a/b)\n", {{"data/a", "", gone}}),
      row(hello(".."), answer(0x81, 1, "path attack detected (..)", v1 + none),
          "ERROR sensor: path attack detected (..)\n", {{"data/..-7", "", gone}}),
      row(hello("ids"), answer(0x81, 1, "sysinfo failed with error: broken\n", v1 + none),
          "ERROR sensor: sysinfo failed with error: broken\n\n",
          {{prog + "sysinfo", "#!/bin/sh\necho broken >&2\nexit 3\n", same}}),
      row(hello("ids"),
          answer(0x81, 1, "can't create data directory for sensor probe (File exists)", v1 + none),
          "ERROR sensor: can't create data directory for sensor probe (File exists)\n",
          {{"data/ids-7", "x", same}}),
      row("\3\1", answer(0x83, 0, ""), "ret[0]: " + calls + ok,
          {{"tmp/sensor_eth1_FD.out", "->../victim", gone}, {"victim", "keep", "keep"}}),
      row("\3\1", answer(0x83, 1, calls + "no snort\n"),
          "ERROR sensor: IDS start c;f g  spool failed with error: " + calls + "no snort\n\n",
          {{prog + "start.rc", "2", same}, {prog + "start.err", "no snort\n", same}}),
      row("\3\3", answer(0x83, 0, ""), "ret[0]: [stop][eth1][-q]\n" + calls + ok,
          {{prog + "stop.rc", "1", same}}),
      row("\3\4", answer(0x83, 0, ""), "ret[0]: [reload][eth1][-q]\n" + ok),
      row("", stats("running", {1250, 100, 52, 200, 65436, 1, 2, 3, 4, 3600}), "",
          {{prog + "info.out", info, same}, {prog + "info.rc", "1", same}}),
      row("\4" + list({"a", "b"}), answer(0x84, 0, "", list({"a", "", "b", ""}, 2)), "",
          {{ini, "", gone}}),
      row("\4" + list({"b", "zz", "a"}),
          answer(0x84, 0, "", list({"b", "=2", "zz", "", "a", "1"}, 2)), "",
          {{ini, "a=1\nb==2\n", same}}),
      row("\4" + list({"a"}), answer(0x84, 1, "invalid ini file: format\n", none),
          "ERROR sensor: invalid ini file: format\n", {{ini, "a=1\nno equals\n", same}}),
      row("\4" + list({"a"}), answer(0x84, 1, "invalid ini file: new line\n", none),
          "ERROR sensor: invalid ini file: new line\n", {{ini, "a=1", same}}),
      row("\4" + list({"a"}), answer(0x84, 1, "Success", none),
          "ERROR sensor: can't read values from probe (Success)\n", {{ini, "/", same}}),
      row("\5" + list({"b", "new", "a", "x = y"}, 2), answer(0x85, 0, ""), "",
          {{ini, "z=1\nb=2\n", "a=x = y\nb=new\nz=1\n"}}),
      row("\5" + list({"a", "2"}, 2), answer(0x85, 1, "invalid ini file: format\n"),
          "ERROR sensor: invalid ini file: format\n", {{ini, "a=1\nx\n", same}}),
      row("\5" + list({"good", "1", "na\nme", "v"}, 2),
          answer(0x85, 1, "can't store value \"na\\nme\": the name holds a newline"),
          "ERROR sensor: can't store value \"na\\nme\": the name holds a newline\n",
          {{ini, "k=v\n", same}}),
  };
  stime_t::g_timestamp = kNow;
  for (const row_t& r : rows) {
    SCOPED_TRACE(&r - rows);
    sensor_fixture_t f;
    f.conf.progdir = (f.root / prog).string();
    place(f.root / prog / "sysinfo", "#!/bin/sh\necho 'host: test'\n");
    place(f.root / prog / "tavrel-snort", kSnort);
    const std::string fd = std::to_string(f.sensor->socket().native_handle());
    std::vector<file_t> files = r.files;
    for (auto& [name, before, after] : files) {
      if (name.find("FD") != std::string::npos) name.replace(name.find("FD"), 2, fd);
      if (!before.empty()) place(f.root / name, before);
      if (after == same) after = before == "/" ? std::optional(std::string()) : before;
    }
    if (fs::exists(f.conf.tmpdir)) fs::permissions(f.conf.tmpdir, fs::owner_all);
    testing::internal::CaptureStdout();
    log_t::set_filename((f.root / "log").string());
    log_t::enable("sensor", "info");
    const bool is_hello = r.command[0] == 1;
    if (!is_hello) {
      ASSERT_EQ(f.handshake("ids", 7, "probe").status, 0);
      std::tie(f.sensor->interface, f.sensor->config, f.sensor->logdir) =
          std::make_tuple("eth1", "c;f g", "spool");
    }
    if (r.command.empty()) f.sensor->send_stats();
    send(f, r.command);
    std::optional<ferun_test::frame_t> frame;
    if (is_hello) take(f, true);
    ferun_test::poll_until(
        [&] {
          if (!is_hello) take(f, false);
          return (frame = f.console->receive(5ms)).has_value();
        },
        10s);
    ferun::sensor_t::L.info("end\n");
    log_t::disable("sensor");
    log_t::set_filename("");
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(frame);
    EXPECT_EQ(le(frame->id, 2) + std::string(frame->body.begin(), frame->body.end()), r.answer);
    const std::string log = content(f.root / "log").value(), tail = r.log + "INFO sensor: end\n";
    if (!r.log.empty()) {
      EXPECT_EQ(log.substr(log.size() - std::min(log.size(), tail.size())), tail);
    }
    for (const auto& [name, before, after] : files)
      EXPECT_EQ(content(f.root / name), after) << name;
    if (!fs::exists(f.conf.tmpdir)) continue;
    EXPECT_TRUE(fs::is_empty(f.conf.tmpdir)) << "script output left behind";
    EXPECT_EQ(fs::status(f.conf.tmpdir).permissions() & 077, 0) << "tmpdir open to others";
  }
  stime_t::g_timestamp = 0;
}

// Statistics go out on the first pass after the setup, then once the period has passed:
// 5,000,000 ms must not wrap (in 32 bits about 705 s).
TEST(SensorConnection, StatisticsPeriodIn64Bits) {
  stime_t::g_timestamp = kNow;
  sensor_fixture_t f;
  write_file(f.root / "sid-msg.map", "");
  write_file(f.root / "gen-msg.map", "");
  ferun::command_setup_t s;
  s.options = 0x2;
  s.stats_period = 5'000'000;
  s.sidmap = (f.root / "sid-msg.map").string();
  s.genmap = (f.root / "gen-msg.map").string();
  s.logdir = (f.root / "spool").string();
  send(f, hello("ids"));
  f.console->send(s);
  f.sensor->start();
  for (std::uint16_t id : {0x81, 0x82, 0x8003}) EXPECT_EQ(f.console->receive(10s).value().id, id);
  stime_t::g_timestamp = kNow + 1000ull * 1000000ull;  // within the period
  EXPECT_FALSE(f.console->receive(500ms));
  stime_t::g_timestamp = kNow + 6001ull * 1000000ull;
  EXPECT_EQ(f.console->receive(20s).value().id, 0x8003);
  f.sensor->stop();
  stime_t::g_timestamp = 0;
}
