// The sensor over a real loopback connection: one table of commands with the whole answer, the
// log's last lines and the files they leave, then the ways its thread ends and the statistics
// rhythm. Scripts are stand-ins written into a fresh program directory for each row.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <functional>
#include <optional>

#include "common/daemon_launcher.h"
#include "common/poll_until.h"
#include "common/sensor_fixture.h"
#include "support/clock.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using ferun_test::sensor_fixture_t;
using ferun_test::write_file;
using act_t = std::function<void(sensor_fixture_t&)>;
using ferun::ini_value_t;

namespace {

// Records its words in "calls" and prints them (or COMMAND.out), COMMAND.err on stderr, and
// exits with COMMAND.rc.
const char* const kSnort =
    "#!/bin/sh\ncd \"$(dirname \"$0\")\"\nfor a; do printf '[%s]' \"$a\"; done >>calls\n"
    "echo >>calls\ncat \"$1.out\" 2>/dev/null || cat calls\ncat \"$1.err\" >&2 2>/dev/null\n"
    "exit $(cat \"$1.rc\" 2>/dev/null || echo 0)\n";
const std::uint64_t kNow = 1'700'000'000'000'000ull;

std::string bytes(std::uint16_t id, const std::vector<unsigned char>& body) {
  return std::string{static_cast<char>(id), static_cast<char>(id >> 8)} +
         std::string(body.begin(), body.end());
}
std::string bytes(const ferun::command_t& m) {
  std::vector<unsigned char> body(4096);
  body.resize(m.serialize(body.data(), 4096));
  return bytes(static_cast<std::uint16_t>(m.id), body);
}
std::string answer(std::uint16_t id, std::uint8_t status, const std::string& message) {
  return bytes(ferun::answer_t(id, status, message));
}
std::string hello_answer(std::uint8_t status, const std::string& message,
                         const std::string& sysinfo = "") {
  ferun::answer_hello_t a;
  a.status = status;
  a.message = message;
  a.version = 1;
  a.sysinfo = sysinfo;
  return bytes(a);
}
std::string get_answer(std::uint8_t status, const std::string& message,
                       const std::vector<ini_value_t>& values = {}) {
  ferun::answer_get_value_t a;
  a.status = status;
  a.message = message;
  a.values = values;
  return bytes(a);
}
std::string stats(const std::string& state, std::vector<std::uint64_t> n) {
  ferun::command_stats_t s;
  s.sensor_id = 7;
  s.timestamp = kNow;
  s.ids_state = state;
  std::tie(s.cpu_usage, s.memory, s.mem_usage, s.disk, s.disk_usage) =
      std::make_tuple(n[0], n[1], n[2], n[3], n[4]);
  std::tie(s.ifrecv_bytes, s.ifrecv_packets, s.ifsend_bytes, s.ifsend_packets, s.uptime) =
      std::make_tuple(n[5], n[6], n[7], n[8], n[9]);
  return bytes(s);
}

ferun::command_hello_t hello_cmd(const std::string& prefix, std::uint32_t version = 1) {
  ferun::command_hello_t h;
  h.version = version;
  h.prefix = prefix;
  h.sensor_id = 7;
  h.sensor_name = "probe";
  return h;
}
act_t hello(const std::string& prefix, std::uint32_t version = 1) {
  return [=](sensor_fixture_t& f) {
    f.console->send(hello_cmd(prefix, version));
    try {
      f.sensor->init();
    } catch (const exception_t&) {
    }
  };
}
act_t ids(std::uint8_t action) {
  return [=](sensor_fixture_t& f) {
    ferun::command_ids_action_t c;
    c.action = action;
    f.sensor->on_ids_action(c);
  };
}
act_t get(const std::vector<std::string>& names) {
  return [=](sensor_fixture_t& f) {
    ferun::command_get_value_t c;
    c.names = names;
    f.sensor->on_get_value(c);
  };
}
act_t set(const std::vector<ini_value_t>& values, rlim_t file_limit = RLIM_INFINITY) {
  return [=](sensor_fixture_t& f) {
    ferun::command_set_value_t c;
    c.values = values;
    struct rlimit saved, limit;
    getrlimit(RLIMIT_FSIZE, &saved);
    limit = {std::min(file_limit, saved.rlim_max), saved.rlim_max};
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);  // a short write instead
    setrlimit(RLIMIT_FSIZE, &limit);
    f.sensor->on_set_value(c);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
  };
}
const act_t send_stats = [](sensor_fixture_t& f) { f.sensor->send_stats(); };

// "->target" makes a symbolic link, "/" a directory; "FD" in a name is the connection's descriptor.
void place(fs::path path, const std::string& content) {
  fs::create_directories(path.parent_path());
  if (content.rfind("->", 0) == 0)
    fs::create_symlink(content.substr(2), path);
  else if (content == "/")
    fs::create_directory(path);
  else
    write_file(path, content, path.parent_path().filename() == "prog" ? 0755 : 0644);
}

struct row_t {
  std::vector<std::pair<std::string, std::string>> before;  // under the fixture's root
  act_t act;
  std::string answer;    // the whole frame: id and body
  std::string log = "";  // the log's last lines; empty: not looked at
  std::vector<std::pair<std::string, std::optional<std::string>>> after = {};
};
const std::nullopt_t gone = std::nullopt;
const std::string ini = "data/ids-7/sensor.ini";
const std::string calls = "[start][eth1][cfg][spool][-q]\n";
const std::string info =
    "status: running\nuptime: 3600\ncpu_usage: 12.5\nmem: 100\nmem_usage: "
    "0.53\ndisk: 200\ndisk_usage: -1\nrx_bytes: 1\nrx_packets: 2\ntx_bytes: "
    "3\ntx_packets: 4\n";

}  // namespace

TEST(SensorCommands, AnswerLogAndFiles) {
  const row_t rows[] = {
      {{{"tmp/sysinfo__FD.out", "->../victim"}, {"victim", "keep"}},
       hello("ids"),
       hello_answer(0, "hello from sensor!", std::string("host: test\n") + '\0'),
       "",
       {{"victim", "keep"}}},
      {{},
       hello("a/b"),
       hello_answer(1, "path attack detected (a/b)"),
       "ERROR sensor: path attack detected (a/b)\n",
       {{"data/a", gone}}},
      {{},
       hello(".."),
       hello_answer(1, "path attack detected (..)"),
       "ERROR sensor: path attack detected (..)\n",
       {{"data/..-7", gone}}},
      {{}, hello("ids", 2), hello_answer(1, "incompatible version"), "", {{"data/ids-7", gone}}},
      {{{"prog/sysinfo", "#!/bin/sh\necho broken >&2\nexit 3\n"}},
       hello("ids"),
       hello_answer(1, "sysinfo failed with error: broken\n"),
       "ERROR sensor: sysinfo failed with error: broken\n\n"},
      {{{"data/ids-7", "x"}},
       hello("ids"),
       hello_answer(1, "can't create data directory for sensor probe (File exists)"),
       "ERROR sensor: can't create data directory for sensor probe (File exists)\n"},
      {{{"tmp/sensor_eth1_FD.out", "->../victim"}, {"victim", "keep"}},
       ids(1),
       answer(0x83, 0, ""),
       "ret[0]: " + calls + "\nINFO sensor:     OK\n",
       {{"victim", "keep"}}},
      {{{"prog/start.rc", "2"}, {"prog/start.err", "no snort\n"}},
       ids(1),
       answer(0x83, 1, calls + "no snort\n"),
       "ERROR sensor: IDS start cfg  spool failed with error: " + calls + "no snort\n\n"},
      {{{"prog/stop.rc", "1"}},
       ids(3),
       answer(0x83, 0, ""),
       "ret[0]: [stop][eth1][-q]\n" + calls + "\nINFO sensor:     OK\n"},
      {{{"prog/stop.rc", "1"}}, ids(2), answer(0x83, 1, "[stop][eth1][-q]\n")},
      {{}, ids(4), answer(0x83, 0, ""), "ret[0]: [reload][eth1][-q]\n\nINFO sensor:     OK\n"},
      {{}, ids(5), answer(0x83, 0, ""), "", {{"prog/calls", gone}}},
      {{{"prog/info.out", info}, {"prog/info.rc", "1"}},
       send_stats,
       stats("running", {1250, 100, 52, 200, 65436, 1, 2, 3, 4, 3600})},
      {{{"prog/info.out", "junk\nstatus: ok\ndisk_usage: nan\nuptime: 5"}},
       send_stats,
       stats("unk", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
      {{}, get({"a", "b"}), get_answer(0, "", {{"a", ""}, {"b", ""}}), "", {{ini, gone}}},
      {{{ini, "a=1\nb==2\n"}},
       get({"b", "zz", "a"}),
       get_answer(0, "", {{"b", "=2"}, {"zz", ""}, {"a", "1"}})},
      {{{ini, "a=1\nno equals\n"}},
       get({"a"}),
       get_answer(1, "invalid ini file: format\n"),
       "ERROR sensor: invalid ini file: format\n"},
      {{{ini, "a=1"}},
       get({"a"}),
       get_answer(1, "invalid ini file: new line\n"),
       "ERROR sensor: invalid ini file: new line\n"},
      {{{ini, "/"}},
       get({"a"}),
       get_answer(1, "Success"),
       "ERROR sensor: can't read values from probe (Success)\n"},
      {{{ini, "->sensor.ini"}},
       get({"a"}),
       get_answer(1, "Too many levels of symbolic links"),
       "ERROR sensor: can't read values from probe (Too many levels of symbolic links)\n"},
      {{{ini, "z=1\nb=2\n"}},
       set({{"b", "new"}, {"a", "x = y"}}),
       answer(0x85, 0, ""),
       "",
       {{ini, "a=x = y\nb=new\nz=1\n"}}},
      {{}, set({}), answer(0x85, 0, ""), "", {{ini, ""}}},
      {{{ini, "a=1\nx\n"}},
       set({{"a", "2"}}),
       answer(0x85, 1, "invalid ini file: format\n"),
       "ERROR sensor: invalid ini file: format\n",
       {{ini, "a=1\nx\n"}}},
      {{{ini, "k=v\n"}},
       set({{"good", "1"}, {"na\nme", "v"}}),
       answer(0x85, 1, "can't store value \"na\\nme\": the name holds a newline"),
       "ERROR sensor: can't store value \"na\\nme\": the name holds a newline\n",
       {{ini, "k=v\n"}}},
      {{{ini, "/"}},
       set({{"a", "1"}}),
       answer(0x85, 1, "can't read ini from probe (Is a directory)"),
       "ERROR sensor: can't read ini from probe (Is a directory)\n"},
      {{{ini, "k=v\n"}},
       set({{"big", std::string(500, 'b')}}, 100),
       answer(0x85, 1, "can't write ini for probe (File too large)"),
       "ERROR sensor: can't write ini for probe (File too large)\n",
       {{ini, "k=v\n"}}},
  };
  stime_t::g_timestamp = kNow;
  for (const row_t& r : rows) {
    SCOPED_TRACE(&r - rows);
    sensor_fixture_t f;
    f.conf.progdir = (f.root / "prog").string();
    place(f.root / "prog/sysinfo", "#!/bin/sh\necho 'host: test'\n");
    place(f.root / "prog/tavrel-snort", kSnort);
    const std::string fd = std::to_string(f.sensor->socket().native_handle());
    for (auto [name, content] : r.before) {
      if (name.find("FD") != std::string::npos) name.replace(name.find("FD"), 2, fd);
      place(f.root / name, content);
    }
    if (fs::exists(f.conf.tmpdir)) fs::permissions(f.conf.tmpdir, fs::owner_all);
    testing::internal::CaptureStdout();
    log_t::set_filename((f.root / "log").string());
    log_t::enable("sensor", "info");
    if (r.answer[0] != '\x81') {
      ASSERT_EQ(f.handshake("ids", 7, "probe").status, 0);
      f.sensor->interface = "eth1";
      f.sensor->config = "cfg";
      f.sensor->logdir = "spool";
    }
    r.act(f);
    const auto frame = f.console->receive(10s);
    ferun::sensor_t::L.info("end\n");
    log_t::disable("sensor");
    log_t::set_filename("");
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(frame);
    EXPECT_EQ(bytes(frame->id, frame->body), r.answer);
    const std::string log = ferun_test::read_file(f.root / "log"),
                      tail = r.log + "INFO sensor: end\n";
    if (!r.log.empty()) {
      EXPECT_EQ(log.substr(log.size() - std::min(log.size(), tail.size())), tail);
    }
    for (const auto& [name, content] : r.after)
      EXPECT_EQ(fs::exists(fs::symlink_status(f.root / name))
                    ? std::optional(ferun_test::read_file(f.root / name))
                    : gone,
                content)
          << name;
    if (!fs::exists(f.conf.tmpdir)) continue;
    EXPECT_TRUE(fs::is_empty(f.conf.tmpdir)) << "script output left behind";
    EXPECT_EQ(fs::status(f.conf.tmpdir).permissions() & 077, 0) << "tmpdir open to others";
  }
  stime_t::g_timestamp = 0;
}

// Each way the thread ends before a setup: quickly, socket closed, nothing created.
TEST(SensorConnection, ThreadEnds) {
  for (const act_t& act :
       std::vector<act_t>{[](sensor_fixture_t& f) { f.console->send_frame(9, "xyz", 3); },
                          [](sensor_fixture_t& f) { f.sensor->stop(); }}) {
    sensor_fixture_t f;
    f.sensor->start();
    act(f);
    ASSERT_TRUE(ferun_test::poll_until([&] { return !f.sensor->is_active(); }, 2s));
    EXPECT_FALSE(f.sensor->socket().is_open());
    EXPECT_TRUE(fs::is_empty(f.conf.datadir));
  }
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
  f.console->send(hello_cmd("ids"));
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
