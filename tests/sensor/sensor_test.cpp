// The sensor over a real loopback connection: one table of hellos and commands with the whole
// answer and a file they place or must leave as it is; then the thread's statistics and its end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <thread>

#include "common/daemon_launcher.h"
#include "common/sensor_fixture.h"
#include "common/test_util.h"
#include "support/clock.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;

namespace {

// Stands in for both scripts: records its words in "calls", runs COMMAND.x (sysinfo.x) when there
// is one, prints the calls, and fails a stop.
const char* const kSnort =
    "#!/bin/sh\ncd \"${0%/*}\"\nfor a; do printf '[%s]' \"$a\"; done >>calls\necho >>calls\n"
    "[ -f \"${1-sysinfo}.x\" ] && . \"./${1-sysinfo}.x\"\ncat calls\n[ \"$1\" != stop ]\n";

// Wire bytes by hand: little-endian integers, texts after their LEB128 length and lists after a
// one-byte count. A hello is for sensor 7, "probe"; an answer is id, status, message and the rest.
std::string le(std::uint64_t value, int size) {
  std::string s;
  for (int i = 0; i < size; ++i) s += static_cast<char>(value >> 8 * i);
  return s;
}
std::string str(const std::string& s) {
  std::string length;
  for (std::size_t n = s.size();; n >>= 7) {
    length += static_cast<char>((n & 0x7f) | (n > 0x7f ? 0x80 : 0));
    if (n <= 0x7f) return length + s;
  }
}
std::string list(const std::vector<std::string>& texts, std::size_t per = 1) {
  std::string s(1, static_cast<char>(texts.size() / per));
  for (const std::string& t : texts) s += str(t);
  return s;
}
std::string hello(const std::string& prefix, int version = 1) {
  return "\1" + le(version, 4) + str(prefix) + le(7, 4) + str("probe");
}
std::string answer(int id, int status, const std::string& message, const std::string& rest = "") {
  return le(id, 2) + static_cast<char>(status) + str(message) + rest;
}
// A setup whose paths are taken as given (relative to the test's root), resuming at file .5.
std::string setup(const std::string& config, const std::string& gen, const std::string& logdir,
                  const std::string& pattern = "u") {
  return "\2" + le(0, 4) + le(2, 4) + str("eth2") + str("") + str(config) + str("/dev/null") +
         str(gen) + str(logdir) + str(pattern) + le(5, 4) + le(0, 4);
}

// "->target" makes a symbolic link, "/" a directory.
void place(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  if (content == "/") return static_cast<void>(fs::create_directory(path));
  if (content.rfind("->", 0) == 0) return fs::create_symlink(content.substr(2), path);
  ferun_test::write_file(path, content, 0755);
}
std::optional<std::string> content(const fs::path& path) {
  if (!fs::exists(fs::symlink_status(path))) return std::nullopt;
  boost::system::error_code loop;
  return fs::is_directory(path, loop) ? "/" : ferun_test::read_file(path);
}

// `file` (FD: the socket's descriptor) holds `before` during the row (empty: nothing is placed)
// and `after` then ("=": as before).
struct row_t {
  std::string command;  // id and body; a hello opens a new connection; empty: send statistics
  std::string answer, file = "victim", before = "";
  std::optional<std::string> after = "keep";
  std::string log = "";  // what the log holds before this row's last line
};

}  // namespace

// Every row's last log line ends, so that the next one keeps its prefix.
TEST(Sensor, HellosCommandsStatisticsAndStop) {
  const std::uint64_t now = 1'700'000'000'000'000ull;
  const std::string v1 = le(1, 4), nul(1, '\0'), no = v1 + nul, ini = "data/ids-7/sensor.ini";
  const std::string format = "invalid ini file: format\n", nl = "invalid ini file: new line\n";
  const std::string k(1000, 'k');
  const std::string p = "prog 'x'/", start = "[start][eth1][c;f g][spool][-q]\n";
  const std::string info =
      "cat <<E\nstatus: running\nuptime: 3900\ncpu_usage: 12.5\nmem: 900\nmem_usage: 0.53\ndisk: "
      "200\ndisk_usage: -1\nrx_bytes: 1\nrx_packets: 2\ntx_bytes: 3\ntx_packets: 9\nE\nexit 1";
  const row_t rows[] = {
      {hello("a/b"), answer(0x81, 1, "path attack detected (a/b)", no), "data/a", "", {}},
      {hello(".."), answer(0x81, 1, "path attack detected (..)", no), "data/..-7", "", {}},
      {hello("ids", 2), answer(0x81, 1, "incompatible version", no)},
      // A refusal too long for one frame is cut to fit it.
      {hello(std::string(5000, 'a') + "/"),
       answer(0x81, 1, "path attack detected (" + std::string(4062, 'a'), no)},
      {hello("ids"), answer(0x81, 1, "sysinfo failed with error: broken\n", no), p + "sysinfo.x",
       "echo broken >&2; exit 3", "="},
      {hello("ids"),
       answer(0x81, 1, "can't create data directory for sensor probe (is not a directory)", no),
       "data/ids-7", "x", "="},
      // The script swaps its output file's name for a link: its output still lands in the file.
      {hello("ids"), answer(0x81, 0, "hello from sensor!", v1 + str("out\n\n" + nul)),
       p + "sysinfo.x", "for o in ../tmp/*.out; do rm $o && ln -s ../victim $o; done; echo out",
       "="},
      {hello("ids"),
       answer(0x81, 0, "hello from sensor!", v1 + str("\n" + nul)),
       "tmp/sysinfo__FD.out",
       "->../victim",
       {}},
      {"\3\1", answer(0x83, 0, ""), "tmp/sensor_eth1_FD.out", "->../victim", {}},

      {"\3\1", answer(0x83, 1, "no snort\n"), p + "start.x", "echo no snort >&2; exit 2", "="},
      {"\3\2", answer(0x83, 1, "[stop][eth1][-q]\n")},
      {"\3\3", answer(0x83, 0, ""), p + "calls", "", "[stop][eth1][-q]\n" + start},
      {"\3\4", answer(0x83, 0, ""), p + "calls", "", "[reload][eth1][-q]\n"},
      {"",
       le(0x8003, 2) + le(7, 4) + le(now, 8) + str("running") + le(1250, 2) + le(900, 8) +
           le(52, 2) + le(200, 8) + le(65436, 2) + le(1, 8) + le(2, 8) + le(3, 8) + le(9, 8) +
           le(3900, 4),
       p + "info.x", info, "="},
      {"\4" + list({"a", "b"}), answer(0x84, 0, "", list({"a", "", "b", ""}, 2)), ini, "", {}},
      {"\4" + list({"b", "zz", "a"}), answer(0x84, 0, "", list({"b", "=2", "zz", "", "a", "1"}, 2)),
       ini, "a=1\nb==2\n", "="},
      {"\4" + list({"a"}), answer(0x84, 1, format, nul), ini, "a=1\nno\n", "="},
      {"\4" + list({"a"}), answer(0x84, 1, nl, nul), ini, "a=1", "=", "ERROR sensor: " + nl},
      {"\4" + list({"a"}), answer(0x84, 1, nl, nul), ini, "a=" + std::string(1100, 'x') + "\n",
       "="},
      {"\4" + list({"a"}), answer(0x84, 1, "Is a directory", nul), ini, "/", "="},
      // Values stored one by one may not fit one answer together: refused, the connection goes on.
      {"\4" + list({"a", "b", "c", "d", "e"}),
       answer(0x84, 1, "the values asked for do not fit one answer, ask for fewer at a time", nul),
       ini, "a=" + k + "\nb=" + k + "\nc=" + k + "\nd=" + k + "\ne=" + k + "\n", "="},
      {"\4" + list({"a"}), answer(0x84, 1, "Too many levels of symbolic links", nul), ini,
       "->../../victim"},
      {"\5" + list({"a", "1"}, 2),
       answer(0x85, 1, "can't read ini from probe (Too many levels of symbolic links)"), ini,
       "->../../victim"},
      {"\5" + list({"b", "new", "c", "x = y"}, 2), answer(0x85, 0, ""), ini, "z=1\nb=2\n",
       "b=new\nc=x = y\nz=1\n"},
      {"\5" + list({"a", "2"}, 2), answer(0x85, 1, format), ini, "a=1\nx\n", "="},
      {"\5" +
           list({"good", "1", std::string("q\"\\\x01\t\r\0\n", 8) + std::string(57, 'm'), "v"}, 2),
       answer(0x85, 1,
              R"(can't store value "q\"\\\x01\t\r\0\n)" + std::string(56, 'm') +
                  R"(...": the name holds a newline)"),
       ini, "k=v\n", "="},
      {setup("", "g", "victim/s"),
       answer(0x82, 1, "boost::filesystem::create_directory: Not a directory: \"victim/s\"")},
      {setup("", "g", ".", "l"),
       answer(0x82, 1, "boost::filesystem::status: Too many levels of symbolic links: \"./l.5\""),
       "l.5", "->l.5", ""},
      {setup("", "/no", "."), answer(0x82, 1, "No such file or directory")},
      {setup("", "g", "."), answer(0x82, 1, "unknown format of gid map file g:2\n"), "g",
       "1||1||x\n3 || 4\n", "="},
  };
  stime_t::g_timestamp = now;
  std::unique_ptr<ferun_test::sensor_fixture_t> f;
  for (const row_t& r : rows) {
    SCOPED_TRACE(&r - rows);
    const bool is_hello = r.command[0] == 1;
    if (is_hello) {
      f = std::make_unique<ferun_test::sensor_fixture_t>();
      f->conf.progdir = (f->root / p).string();
      for (const char* name : {"sysinfo", "tavrel-snort"}) place(f->root / p / name, kSnort);
      place(f->root / "victim", "keep");
      log_t::set_filename((f->root / "log").string()), log_t::enable("sensor", "info");
      fs::current_path(f->root.path());  // where a setup's relative paths lead
    }
    fs::remove(f->root / p / "calls");
    std::string name = r.file;
    if (name.find("FD") != std::string::npos)
      name.replace(name.find("FD"), 2, std::to_string(f->sensor->socket().native_handle()));
    if (!r.before.empty()) place(f->root / name, r.before);
    if (fs::exists(f->conf.tmpdir)) fs::permissions(f->conf.tmpdir, fs::owner_all);
    r.command.empty() ? f->sensor->send_stats()
                      : f->console->send_frame(r.command[0], &r.command[1], r.command.size() - 1);
    std::optional<ferun_test::frame_t> frame;
    const auto take = [&] {
      try {
        is_hello ? static_cast<void>(f->sensor->init()) : f->sensor->check_commands();
      } catch (const exception_t&) {  // a refused hello; its answer is on the wire
      }
      return (frame = f->console->receive(is_hello ? 10s : 5ms)).has_value();
    };
    is_hello ? take() : ferun_test::poll_until(take, 10s);
    std::tie(f->sensor->interface, f->sensor->config, f->sensor->logdir) =
        std::make_tuple("eth1", "c;f g", "spool");
    ferun::sensor_t::L.info("end\n");
    ASSERT_TRUE(frame);
    EXPECT_EQ(le(frame->id, 2) + std::string(frame->body.begin(), frame->body.end()), r.answer);
    EXPECT_EQ(content(f->root / name), r.after == "=" ? r.before : r.after) << name;
    EXPECT_EQ(content(f->root / "victim"), "keep");
    const std::string log = content(f->root / "log").value(), tail = r.log + "INFO sensor: end\n";
    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), tail.size())), tail);
    if (!r.before.empty()) fs::remove(f->root / name);
    if (!fs::exists(f->conf.tmpdir)) continue;
    EXPECT_TRUE(fs::is_empty(f->conf.tmpdir)) << "script output left behind";
    EXPECT_EQ(fs::status(f->conf.tmpdir).permissions() & 077, 0) << "tmpdir open to others";
  }
  log_t::disable("sensor"), log_t::set_filename(""), fs::current_path("/");

  // On its thread: statistics on the first pass, then after the period (5,000,000 ms wraps in 32
  // bits); a stop ends it, also in the wait for the hello; scripts do not inherit the socket.
  ferun_test::sensor_fixture_t waiting, s;
  waiting.sensor->start();
  waiting.sensor->stop();
  std::tie(s.sensor->setup_done, s.sensor->stats_period, s.sensor->logdir) =
      std::make_tuple(true, 5'000'000, s.root.path());
  s.console->send_frame(1, hello("ids").data() + 1, hello("ids").size() - 1);
  s.sensor->start();
  EXPECT_NE(fcntl(s.sensor->socket_fd, F_GETFD) & FD_CLOEXEC, 0);
  for (std::uint16_t id : {0x81, 0x8003}) EXPECT_EQ(s.console->receive(10s).value().id, id);
  stime_t::g_timestamp = now + 5000ull * 1000000ull;  // the period exactly
  EXPECT_FALSE(s.console->receive(500ms));
  stime_t::g_timestamp = now + 10001ull * 1000000ull;  // past it from either stamp of the first
  EXPECT_EQ(s.console->receive(20s).value().id, 0x8003);
  stime_t::g_timestamp = 0;
}

// Handshakes that end the connection: a first frame that is not a hello is refused at its header
// (an upload's content is never taken, so nothing reaches the temporary directory); a hello whose
// body trickles in ends at the deadline; an output file the script made unremovable. None of them
// is answered. A data directory others may write is refused with an answer.
TEST(Sensor, HandshakesThatEndTheConnection) {
  ferun_test::sensor_fixture_t upload, trickle, unremovable;
  const auto log = [](ferun_test::sensor_fixture_t& f) {
    log_t::set_filename((f.root / "log").string()), log_t::enable("sensor", "info");
  };
  log(upload);
  ferun::command_file_t file;
  std::tie(file.path, file.size) = std::make_tuple("a", 1u << 20);
  upload.console->send(file);
  upload.console->send_raw(std::string(file.size, 'u'));
  try {
    upload.sensor->init();
    ADD_FAILURE() << "an upload was taken for a hello";
  } catch (const exception_t& e) {
    EXPECT_EQ(e.message, "waiting hello command, but got 6");
  }
  EXPECT_EQ(ferun_test::read_file(upload.root / "log"),
            "ERROR sensor: waiting hello command, but got 6\n");
  EXPECT_FALSE(fs::exists(upload.conf.tmpdir));

  log(trickle);
  trickle.sensor->hello_timeout = 300ms;
  const std::string body = hello("ids").substr(1);
  trickle.console->send_raw(le(1, 2) + le(body.size(), 2));
  std::thread slow([&] {  // a byte every 50 ms: the body would be whole after about a second
    for (char c : body)
      trickle.console->send_raw(std::string(1, c)), std::this_thread::sleep_for(50ms);
  });
  EXPECT_FALSE(trickle.sensor->init());
  slow.join();
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ::getsockname(trickle.console->fd(), reinterpret_cast<sockaddr*>(&local), &length);
  const std::string port = std::to_string(ntohs(local.sin_port));
  EXPECT_EQ(
      ferun_test::read_file(trickle.root / "log"),
      "WARNING sensor: no hello from 127.0.0.1:" + port + " within 0.3 s, connection is closed\n");

  log(unremovable);
  const fs::path prog = unremovable.root / "prog";
  unremovable.conf.progdir = prog.string();
  place(prog / "sysinfo",
        "#!/bin/sh\no=$(readlink /proc/$$/fd/1) && rm \"$o\" && mkdir \"$o\"\necho up\n");
  unremovable.console->send_frame(1, body.data(), body.size());
  const std::string out = (unremovable.conf.tmpdir / "sysinfo__").string() +
                          std::to_string(unremovable.sensor->socket().native_handle()) + ".out";
  try {
    unremovable.sensor->init();
    ADD_FAILURE() << "the hello went on";
  } catch (const fs::filesystem_error& e) {
    EXPECT_STREQ(e.what(), ("boost::filesystem::remove: Is a directory: \"" + out + "\"").c_str());
  }
  log_t::disable("sensor"), log_t::set_filename("");
  for (ferun_test::sensor_fixture_t* f : {&upload, &trickle, &unremovable})
    EXPECT_FALSE(f->console->receive(50ms)) << "answered";

  ferun_test::sensor_fixture_t open;
  fs::permissions(open.conf.datadir, fs::all_all);
  EXPECT_EQ(open.handshake("ids", 7, "probe").message,
            "can't create data directory for sensor probe (data directory " +
                open.conf.datadir.string() + " is writable by others (mode 0777))");
}
