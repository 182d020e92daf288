// The real daemon: start-up, monitor and worker, signals, pidfile, --daemon, and faults.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <regex>

#include "common/console_client.h"
#include "common/daemon_launcher.h"
#include "service/sensor_server.h"
#include "support/clock.h"

namespace fs = boost::filesystem;

namespace ferun_test {

bool has(const std::string& text, const std::string& part, std::size_t from = 0) {
  return text.find(part, from) != std::string::npos;
}
int exchange(console_client_t& console, const ferun::command_t& cmd, const std::string& raw = "") {
  console.send(cmd);
  console.send_raw(raw);  // upload content
  const auto frame = console.receive(20s);
  return frame ? frame->as<ferun::answer_t>().status : -1;  // no other frames without a setup
}
int hello(console_client_t& console, std::uint32_t id) {
  ferun::command_hello_t hello;
  std::tie(hello.version, hello.prefix, hello.sensor_id) =
      std::tuple(ferun::protocol_version, "f", id);
  return exchange(console, hello);
}
int set_value(console_client_t& console, const std::string& value) {
  ferun::command_set_value_t set;
  set.values.push_back({"v", value});
  return exchange(console, set);
}

TEST(Startup, ExitStatusOutputAndPidfile) {
  daemon_launcher_t daemon;
  const fs::path pid = daemon.dir() / "p.pid", tmp = daemon.tmpdir(), cfg = daemon.dir() / "c";
  write_file(cfg, "port=bad\nlogfile=" + (daemon.dir() / "no" / "log").string() + "\n");
  const fs::path var = daemon.dir() / "d" / "var";
  const std::string tmp_error = "temporary directory " + tmp.string();
  const std::string dirs = "T=" + tmp.string() + " D=" + var.string() + "; ";
  const std::string data = "data directory " + var.string(), no = "No such file or directory";
  // Rows: a shell line that prepares directories, arguments, exit status, reason or output's start.
  const struct {
    std::string setup;
    std::vector<std::string> args;
    int status;
    std::string output;
  } rows[] = {
      {"", {"--help", "--version"}, 0, "Version: 1.7.2\n"},
      {"", {"--help"}, 0, "Allowed options:\n  --version    "},
      {"", {"--bogus"}, 1, "unrecognised option '--bogus'"},
      {"", {"--parse"}, 1, no},  // the maps are missing
      {"", {"-p", "65536"}, 1, "the argument ('65536') for option '--port' is invalid"},
      // The command line wins over the file (its bad port is never read); the file fills the rest.
      {"", {"-c", cfg.string(), "-p", "1"}, 1, "can't open logfile: " + no},
      {"", {"--daemon", "--pidfile", "/no/p"}, 1, "Can't create pidfile /no/p: " + no + "\n"},
      {"ln -s / $T", {}, 1, tmp_error + " is a symbolic link"},
      {": >$T", {}, 1, tmp_error + " is not a directory"},
      {"mkdir -m 702 $T", {}, 1, tmp_error + " is writable by others (mode 0702)"},
      {"mkdir $T && chown 65534 $T", {}, 1, tmp_error + " is owned by user 65534, not by 0"},
      {"ln -s / $D", {}, 1, data + " is a symbolic link"},
      {"rmdir ${D%/*}", {}, 1, data + " cannot be created: " + no},
      {"echo x=1 >$T", {"-c", tmp.string()}, 1, "unrecognised option 'x'"},  // in the file
  };
  for (const auto& row : rows) {
    fs::remove_all(tmp), fs::remove_all(var), fs::create_directories(var.parent_path());
    if (std::system((dirs + row.setup).c_str()) != 0) continue;  // only root gives a directory away
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"-d", var.string()});
    if (std::find(args.begin(), args.end(), "--pidfile") == args.end())
      args.insert(args.end(), {"--pidfile", pid.string()});
    daemon.start(args);
    const int status = daemon.wait_exit(std::chrono::minutes(1)).value_or(-1);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.status) << row.output;
    const std::string out = daemon.output();
    const std::string want = row.status ? "can't start: " + row.output + ", exit\n" : row.output;
    // A failure's line ends the output (the log may echo it first).
    const std::size_t from = row.status ? out.size() - std::min(out.size(), want.size()) : 0;
    EXPECT_EQ(out.substr(from, want.back() == '\n' ? std::string::npos : want.size()), want);
    EXPECT_FALSE(fs::exists(pid));  // a failed start removes the pidfile it has locked
  }
}

// Started with SIGHUP ignored and its port taken. Rows: target, signal, line logged, ends or not.
TEST(Monitor, SignalsToMonitorAndWorker) {
  signal(SIGHUP, SIG_IGN);           // inherited through the exec
  prctl(PR_SET_CHILD_SUBREAPER, 1);  // an orphaned worker stays here, unreaped
  daemon_launcher_t daemon;
  const bool own_net = geteuid() == 0 && unshare(CLONE_NEWNET) == 0;  // the default port is free
  const std::uint16_t port = own_net ? 9030 : daemon_launcher_t::free_port();
  boost::asio::io_context io;  // another listener holds the port
  boost::asio::ip::tcp::acceptor taken(io, {boost::asio::ip::tcp::v4(), port}, false);
  ASSERT_EQ(fcntl(taken.native_handle(), F_SETFD, FD_CLOEXEC), 0);  // not inherited
  const fs::path pidfile = daemon.dir() / "ferun.pid", cfg = daemon.dir() / "c";
  write_file(cfg, "log=monitor:debug1,sensor\n" + (own_net ? "" : "port=" + std::to_string(port)));
  daemon.start(
      {"-c", cfg.string(), "-d", (daemon.dir() / "data").string(), "--pidfile", pidfile.string()});
  const std::string bind = "can't start: bind: Address already in use, restarting\n";
  // The log line, its copy that every error line gets, and the worker's own.
  EXPECT_TRUE(
      poll_until([&] { return has(daemon.output(), "ERROR sensor: " + bind + bind + bind); }, 20s))
      << daemon.output();
  taken.close();
  ASSERT_TRUE(daemon.wait_listening(port, 20s)) << daemon.output();
  EXPECT_EQ(read_file(pidfile), std::to_string(daemon.pid()));
  EXPECT_EQ(fs::status(daemon.tmpdir()).permissions(), fs::owner_all);  // created 0700
  const auto holds_pidfile = [&](pid_t pid) {
    boost::system::error_code error, unreadable;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error))
      if (fs::read_symlink(it->path(), unreadable) == pidfile) return true;
    return false;
  };
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(fs::status(pidfile).permissions(), 0644 & ~mask);
  EXPECT_TRUE(holds_pidfile(daemon.pid()));
  EXPECT_FALSE(holds_pidfile(daemon.worker()));  // the lock is the monitor's alone

  const std::string restarted = "ERROR monitor: sensor has failed with status ";
  const struct {
    bool to_worker;
    int sig;
    std::string line;
    bool ends;
  } rows[] = {
      {false, SIGHUP, restarted + "0, restatring it\n", false},   // passed on, the worker dies
      {false, SIGQUIT, restarted + "1, restatring it\n", false},  // an orderly restart
      {false, SIGUSR1, "", false},  // ignored: the next rows show the monitor alive
      {false, SIGUSR2, "", false},
      {true, SIGINT, restarted + "1, restatring it\n", false},  // an orderly stop
      {false, SIGTERM, "INFO monitor: Has got SIGTERM, exiting\n", true},
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(daemon.wait_listening(port, 20s)) << daemon.output();
    const std::size_t from = daemon.output().size();
    const pid_t worker = daemon.worker();
    ASSERT_EQ(kill(row.to_worker ? worker : daemon.pid(), row.sig), 0);
    EXPECT_TRUE(row.line.empty() ||
                poll_until([&] { return has(daemon.output(), row.line, from); }, 20s))
        << row.sig;
    EXPECT_EQ(daemon.wait_exit(row.ends ? 20s : 0s).has_value(), row.ends) << daemon.output();
    EXPECT_EQ(fs::exists(pidfile), !row.ends);
    EXPECT_EQ(kill(worker, 0) == 0, row.line.empty()) << row.sig;  // an ended worker was reaped
  }
  const std::string out = daemon.output();
  EXPECT_EQ(daemon.wait_exit(0s).value_or(-1), 0) << out;
  EXPECT_FALSE(has(out, "Sanitizer") || has(out, "Can't write pidfile")) << out;
}

// Detached, by its bare name, with paths relative to another directory: the scripts and data are
// found. A second start with the same pidfile changes nothing; a killed monitor ends its worker.
TEST(Monitor, DetachedThroughThePathThenASecondStartThenKilled) {
  daemon_launcher_t first, second;
  const fs::path run = first.cwd = second.cwd = second.dir();  // not where `first` lies
  const std::string port = std::to_string(daemon_launcher_t::free_port());
  const std::vector<std::string> args{"-b", "-p", port,     "-d",        "data", "--pidfile",
                                      "p",  "-l", "sensor", "--logfile", "log"};
  first.start(args, true);
  EXPECT_EQ(first.wait_exit(20s).value_or(-1), 0) << first.output();
  console_client_t console(std::stoi(port), 20s);
  EXPECT_EQ(hello(console, 1), 0);
  EXPECT_TRUE(fs::is_directory(run / "data" / "f-1"));

  const std::string pid = read_file(run / "p"), log = read_file(run / "log");
  EXPECT_EQ(fs::read_symlink("/proc/" + pid + "/cwd"), "/");
  second.start(args, true);
  const int status = second.wait_exit(20s).value_or(-1);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
  EXPECT_EQ(second.output(), "can't start: pidfile " + (run / "p").string() +
                                 " is held by the running instance " + pid + ", exit\n");
  EXPECT_EQ(read_file(run / "p") + read_file(run / "log"), pid + log);
  ASSERT_EQ(kill(std::stoi(pid), SIGKILL), 0);
  EXPECT_TRUE(
      poll_until([&] { return has(read_file(run / "log"), "INFO sensor: Normal exit\n"); }, 20s));
}

// Run as a user of its own allowed one task, the monitor cannot start its clock thread; allowed
// two, it cannot fork the worker (a failed start, exit status 1). Both times the pidfile stays with
// the monitor's id, and the next start takes it over. With room, the daemon serves and an orderly
// stop removes it.
TEST(Monitor, PidfileStaysWhenTheClockThreadOrTheWorkerCannotStart) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can run the daemon as another user";
  // A user that runs no other process here, another one for a test run at the same time.
  const std::string uid = std::to_string(30000 + getpid() % 30000);
  daemon_launcher_t daemon;
  const fs::path bin = daemon.dir() / "bin", real = bin / daemon.tmpdir().filename(),
                 run = daemon.dir() / "run", pidfile = run / "ferun.pid";
  const fs::path wrapper = daemon.dir() / daemon.tmpdir().filename();
  fs::create_directories(bin), fs::create_directories(run);
  fs::copy_file(wrapper, real);
  ASSERT_EQ(chown(run.c_str(), std::stoi(uid), std::stoi(uid)), 0);
  const std::uint16_t port = daemon_launcher_t::free_port();
  const std::string no_thread = "boost::thread_resource_error: Resource temporarily unavailable";
  const std::string no_fork = "Fork failed (Resource temporarily unavailable)\n";
  // Rows: tasks allowed, the output (empty: the daemon serves).
  const struct {
    std::string tasks;
    std::string output;
  } rows[] = {
      {"1", "can't start: " + no_thread + ", exit\n"},
      {"2", no_fork + "can't start: " + no_fork + ", exit\n"},
      {"64", ""},
  };
  for (const auto& row : rows) {
    // Under its own name, so that its temporary directory is the one the launcher removes.
    // The leak check at the end needs a task of its own, which the limit does not leave.
    write_file(wrapper,
               "#!/bin/sh\nASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 exec prlimit --nproc=" +
                   row.tasks + " setpriv --reuid=" + uid + " --regid=" + uid + " --clear-groups " +
                   real.string() + " \"$@\"\n",
               0755);
    daemon.start(
        {"-p", std::to_string(port), "-d", (run / "data").string(), "--pidfile", pidfile.string()});
    if (row.output.empty()) {
      ASSERT_TRUE(daemon.wait_listening(port, 20s)) << daemon.output();
      EXPECT_EQ(read_file(pidfile), std::to_string(daemon.pid()));
      EXPECT_EQ(daemon.stop(10s), 0);
      EXPECT_FALSE(fs::exists(pidfile));
      continue;
    }
    const int status = daemon.wait_exit(20s).value_or(-1);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1) << row.tasks;
    const std::string out = daemon.output();  // the log's set-up lines come first
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), row.output.size())), row.output) << out;
    EXPECT_EQ(read_file(pidfile), std::to_string(daemon.pid())) << row.tasks;
  }
}

// The listener in this process, every descriptor taken: silent connections end at the hello
// deadline, freeing descriptors; accepting resumes and a console is served. The log holds one line
// per silent connection and two for the lockout.
TEST(Listener, SilentConnectionsEndAtTheDeadlineAndEndALockout) {
  temp_dir_t root;
  ferun::config_t conf;
  std::tie(conf.port, conf.progdir, conf.datadir, conf.tmpdir) =
      std::tuple(daemon_launcher_t::free_port(), FERUN_BINARY_DIR, root / "data", root / "tmp");
  fs::create_directory(conf.datadir);
  log_t::set_filename((root / "log").string());
  log_t::enable("sensor", 2);
  const auto lines = [&](const std::string& pattern) {
    const std::string log = read_file(root / "log");
    const std::regex re(pattern);
    return std::distance(std::sregex_iterator(log.begin(), log.end(), re), {});
  };
  ferun::sensor_server_t server(conf);
  // Long enough that no silent connection ends before every descriptor is taken, on a busy host.
  server.hello_timeout = 3s;
  std::thread listener([&] { server.run(); });
  std::vector<std::unique_ptr<console_client_t>> silent;
  for (int n = 0; n < 8; ++n) silent.push_back(std::make_unique<console_client_t>(conf.port));
  EXPECT_TRUE(
      poll_until([&] { return lines("Accept new sensor from 127.0.0.1:[0-9]+\n") == 8; }, 20s));
  const int queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // connects past the limit
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  std::vector<int> taken;           // every descriptor below the lowered limit but a sensor's three
#if !defined(__SANITIZE_ADDRESS__)  // UBSan's vptr check needs a pipe: without fds it misfires
  const rlimit low{256, old.rlim_max};
  for (int fd; setrlimit(RLIMIT_NOFILE, &low) == 0 && (fd = open("/dev/null", O_CLOEXEC)) >= 0;)
    taken.push_back(fd);
  for (int n = 0; n < 3 && !taken.empty(); ++n) close(taken.back()), taken.pop_back();
#endif
  const sockaddr_in to{AF_INET, htons(conf.port), {htonl(INADDR_LOOPBACK)}, {}};
  EXPECT_EQ(connect(queued, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  EXPECT_TRUE(
      poll_until([&] { return lines("WARNING sensor: no hello from 127.0.0.1:") == 9; }, 20s));
  console_client_t console(conf.port);
  EXPECT_EQ(hello(console, 1), 0);
  ferun::g_do_exit = true;
  listener.join();
  ferun::g_do_exit = false;
  for (int fd : taken) close(fd);
  setrlimit(RLIMIT_NOFILE, &old), close(queued);
  const long lockout = taken.empty() ? 0 : 1;
  EXPECT_EQ(lines("WARNING sensor: accept: Too many open files, waiting\n"), lockout);
  EXPECT_EQ(lines("WARNING sensor: accept: accepting again after [0-9]{1,2}\\.[0-9] s\n"), lockout);
  EXPECT_EQ(lines("WARNING"), 9 + 2 * lockout) << read_file(root / "log");
  log_t::set_filename("");
}

class Fault : public testing::Test {
 protected:
  ~Fault() override {
    EXPECT_EQ(daemon_.pid() > 0 ? daemon_.stop(10s) : 0, 0);  // a skipped test started none
    for (const auto& dir : mounts_) umount2(dir.c_str(), MNT_DETACH);
    EXPECT_FALSE(has(daemon_.output(), "Sanitizer") || has(daemon_.output(), "sensor has failed"))
        << daemon_.output();
  }
  void start() {
    daemon_.start(
        {"--port", std::to_string(port_), "--datadir", data_.string(), "--log", "sensor"});
    ASSERT_TRUE(daemon_.wait_listening(port_, 20s)) << daemon_.output();
  }
  void expect_serves(std::uint32_t id) {  // a new console: its hello and a set-value
    console_client_t console(port_, 20s);
    EXPECT_EQ(hello(console, id) + set_value(console, "ok"), 0) << id;
    EXPECT_EQ(fs::status(data_ / ("f-" + std::to_string(id)) / "sensor.ini").permissions(), 0644);
  }
  bool mount_tmpfs(const fs::path& dir) {  // in a private mount namespace; false unless root
    static const bool may = geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
                            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    fs::create_directories(dir);
    if (!may || mount("ferun-fault", dir.c_str(), "tmpfs", 0, "size=256k,mode=0700") != 0)
      return false;
    mounts_.push_back(dir);
    return true;
  }

  daemon_launcher_t daemon_{{{"tavrel-snort", "#!/bin/sh\n"}}};
  std::uint16_t port_ = daemon_launcher_t::free_port();
  fs::path data_ = daemon_.dir() / "data", sensor_ = data_ / "f-1";
  std::vector<fs::path> mounts_;
};

// Uploads and values that do not fit on a full file system answer 1 and keep the stored files.
TEST_F(Fault, FullFileSystemsKeepTheStoredFiles) {
  if (!mount_tmpfs(daemon_.tmpdir()) || !mount_tmpfs(sensor_)) GTEST_SKIP() << "needs root";
  start();
  console_client_t console(port_, 20s);
  ASSERT_EQ(hello(console, 1), 0);
  ferun::command_file_t file;
  file.path = "local.rules";
  for (const std::string& content : {std::string("stored\n"), std::string(1 << 20, 'n')}) {
    file.size = static_cast<std::uint32_t>(content.size());
    EXPECT_EQ(exchange(console, file, content), content.size() > 7) << content.size();
  }
  EXPECT_EQ(read_file(sensor_ / "local.rules"), "stored\n");
  ASSERT_EQ(set_value(console, "old"), 0);
  const std::string stored = read_file(sensor_ / "sensor.ini");
  std::ofstream filler((sensor_ / "filler").string());  // takes every free block
  while (filler << std::string(4096, 'f') << std::flush) continue;
  EXPECT_EQ(set_value(console, std::string(500, 'n')), 1);
  EXPECT_EQ(read_file(sensor_ / "sensor.ini"), stored);
  // Past the file size limit an upload fails alone: the worker goes on.
  const rlimit small{4096, RLIM_INFINITY};
  ASSERT_EQ(prlimit(daemon_.worker(), RLIMIT_FSIZE, &small, nullptr), 0);
  file.size = 8192;
  EXPECT_EQ(exchange(console, file, std::string(file.size, 'n')), 1);
  EXPECT_TRUE(fs::is_empty(daemon_.tmpdir()));
  expect_serves(2);
}

// After consoles cut off mid-frame and mid-upload and a flood of them, the first console and the
// next one are served; a console stalled mid-upload does not hold the stop.
TEST_F(Fault, CutOffConsolesAndAFlood) {
  start();
  console_client_t first(port_, 20s);
  ASSERT_EQ(hello(first, 1), 0);
  ferun::command_file_t file;
  file.path = "cut.rules";
  file.size = 1 << 20;
  std::vector<std::unique_ptr<console_client_t>> consoles;
  for (int n = 0; n < 100; ++n) {
    consoles.push_back(std::make_unique<console_client_t>(port_, 20s));
    if (n == 0) hello(*consoles.back(), 2), consoles.back()->send(file);
    consoles.back()->send_raw(n == 0   ? std::string(file.size / 3, 'u')
                              : n == 1 ? std::string("\x05\x00\x2c\x01", 4) + std::string(100, 'v')
                                       : std::string("\x01\x00", 2));
  }
  consoles.clear();
  EXPECT_EQ(set_value(first, "kept"), 0);
  expect_serves(3);
  EXPECT_FALSE(fs::exists(sensor_ / "cut.rules"));
  const auto files = [&] { return std::distance(fs::directory_iterator(daemon_.tmpdir()), {}); };
  first.send(file);  // stalled in the middle of an upload: the stop breaks it off after a grace
  first.send_raw("stalled");
  EXPECT_TRUE(poll_until([&] { return files() > 0; }, 20s));
  EXPECT_EQ(daemon_.stop(10s), 0);
  EXPECT_EQ(files(), 0);  // neither the cut nor the stalled upload leaves its download file
}

// A field of /proc/PID/status as a number: "VmSize" in KiB, "Threads"; -1 when not there.
long proc_status(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string name; status >> name;) {
    long value = 0;
    if (name == field + ":" && status >> value) return value;
    status.ignore(1 << 10, '\n');
  }
  return -1;
}

// Under an address-space limit with room for two more connection threads, a flood of silent
// connections: those that get no thread are closed, the console served goes on in the same
// worker, and once the flood has gone new consoles are served. Each turn is logged once.
TEST_F(Fault, ConnectionsWithoutAThreadAreClosedAlone) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's shadow memory does not fit under an address-space limit";
#endif
  rlimit stack{};  // the size of every thread's stack, taken when the daemon starts
  getrlimit(RLIMIT_STACK, &stack);
  const rlimit eight{8 << 20, std::max<rlim_t>(8 << 20, stack.rlim_max)};
  ASSERT_EQ(setrlimit(RLIMIT_STACK, &eight), 0);
  start();
  setrlimit(RLIMIT_STACK, &stack);
  console_client_t first(port_, 20s);
  ASSERT_EQ(hello(first, 1), 0);
  const pid_t worker = daemon_.worker();
  const long threads = proc_status(worker, "Threads");
  // Two stacks and their guard pages fit, a third does not: the rest is for the heap and the
  // scripts' spawns.
  const rlimit room{(proc_status(worker, "VmSize") << 10) + 2 * (eight.rlim_cur + 4096) + (6 << 20),
                    RLIM_INFINITY};
  ASSERT_EQ(prlimit(worker, RLIMIT_AS, &room, nullptr), 0);
  // Two floods: the second shows that the first left nothing behind (state, count).
  for (std::uint32_t round = 1; round <= 2; ++round) {
    ASSERT_TRUE(poll_until([&] { return proc_status(worker, "Threads") == threads; }, 20s));
    const std::size_t from = daemon_.output().size();
    std::vector<std::unique_ptr<console_client_t>> flood;
    for (int n = 0; n < 40; ++n) flood.push_back(std::make_unique<console_client_t>(port_, 20s));
    long closed = 0;  // flood connections the worker has closed: no thread of theirs runs
    const auto settled = [&] {
      closed = std::count_if(flood.begin(), flood.end(), [](const auto& console) {
        char byte;
        return recv(console->fd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
      });
      return closed + proc_status(worker, "Threads") - threads == 40;
    };
    EXPECT_TRUE(poll_until(settled, 20s)) << closed << daemon_.output();
    EXPECT_GT(closed, 0);
    EXPECT_LT(closed, 40);  // some did start: their end makes room again
    EXPECT_EQ(set_value(first, "kept"), 0);
    flood.clear();
    EXPECT_TRUE(poll_until([&] { return proc_status(worker, "Threads") == threads; }, 20s));
    expect_serves(2 * round);
    expect_serves(2 * round + 1);  // no thread lockout is left to end
    EXPECT_EQ(set_value(first, "still kept"), 0);
    EXPECT_EQ(daemon_.worker(), worker);

    const std::string out = daemon_.output().substr(from);
    const auto lines = [&](const std::string& pattern) {
      const std::regex re(pattern);
      return std::distance(std::sregex_iterator(out.begin(), out.end(), re), {});
    };
    EXPECT_EQ(lines("WARNING sensor: thread: boost::thread_resource_error: Resource temporarily "
                    "unavailable, new connections are closed\n"),
              1)
        << out;
    EXPECT_EQ(lines("WARNING sensor: thread: threads start again after [0-9]+\\.[0-9] s, " +
                    std::to_string(closed) + " connections were closed\n"),
              1)
        << out;
    EXPECT_EQ(lines("WARNING"), 2) << out;
    EXPECT_EQ(lines("Accept new sensor from 127\\.0\\.0\\.1:"), 42) << out;
    EXPECT_FALSE(has(out, "run break") || has(out, "acceptor fail") || has(out, "can't start"));
  }
}

// A wrapper script inherits no socket, and when it hangs it holds only its own console.
TEST_F(Fault, HangingScriptHoldsNoOtherConsole) {
  write_file(daemon_.dir() / "tavrel-snort",  // runs until released
             "#!/bin/sh\nls -l /proc/$$/fd | grep -c socket >s\nmv s running\n"
             "while [ ! -e release ]; do sleep 0.05; done\n");
  start();
  console_client_t waiting(port_, 20s);
  ASSERT_EQ(hello(waiting, 1), 0);
  ferun::command_ids_action_t action;
  action.action = 1;
  waiting.send(action);
  ASSERT_TRUE(poll_until([&] { return fs::exists(daemon_.dir() / "running"); }, 20s));
  EXPECT_EQ(read_file(daemon_.dir() / "running"), "0\n");  // no socket of the daemon's is inherited
  expect_serves(2);
  write_file(daemon_.dir() / "release", "");
  EXPECT_EQ(exchange(waiting, ferun::command_ids_action_t()), 0) << daemon_.output();
}

}  // namespace ferun_test
