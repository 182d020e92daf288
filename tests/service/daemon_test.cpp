// The real daemon: start-up, monitor and worker processes, signals, pidfile, --daemon.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>

#include "common/console_client.h"
#include "common/daemon_launcher.h"
#include "common/poll_until.h"

namespace fs = boost::filesystem;

namespace ferun_test {

TEST(Startup, ExitStatusOutputAndPidfile) {
  daemon_launcher_t daemon;
  const fs::path pid = daemon.dir() / "p.pid", tmp = daemon.tmpdir(), cfg = daemon.dir() / "c";
  write_file(cfg, "port=bad\nlogfile=" + (daemon.dir() / "no" / "log").string() + "\n");
  const std::string bad_pid = (daemon.dir() / "no" / "p.pid").string();
  const std::string tmp_error = "temporary directory " + tmp.string();
  // What lies at the temporary directory's path first, the arguments, the exit status, and the
  // output: a failure's reason, or the output's beginning (the whole output when it ends a line).
  const struct {
    std::string tmpdir;
    std::vector<std::string> args;
    int status;
    std::string output;
  } rows[] = {
      {"", {"--help", "--version"}, 0, "Version: 1.7.2\n"},
      {"", {"--help"}, 0, "Allowed options:\n  --version    "},
      {"", {"--bogus"}, 1, "unrecognised option '--bogus'"},
      {"", {"--parse"}, 1, "No such file or directory"},  // the maps are missing
      {"", {"-p", "65536"}, 1, "the argument ('65536') for option '--port' is invalid"},
      // The command line wins over the file (its bad port is never read); the file fills the rest.
      {"", {"-c", cfg.string(), "-p", "1"}, 1, "can't open logfile: No such file or directory"},
      // With --daemon the failure is still printed before the detach.
      {"",
       {"--daemon", "--pidfile", bad_pid},
       1,
       "Can't create pidfile " + bad_pid + ": No such file or directory\n"},
      {"link", {}, 1, tmp_error + " is a symbolic link"},
      {"file", {}, 1, tmp_error + " is not a directory"},
      {"0770", {}, 1, tmp_error + " is writable by others (mode 0770)"},
      {"nobody", {}, 1, tmp_error + " is owned by user 65534, not by 0"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.output);
    fs::remove_all(tmp);
    if (row.tmpdir == "link") fs::create_directory_symlink(daemon.dir(), tmp);
    if (row.tmpdir == "file") write_file(tmp, "");
    if (row.tmpdir == "0770" || row.tmpdir == "nobody") fs::create_directory(tmp);
    if (row.tmpdir == "0770") fs::permissions(tmp, fs::owner_all | fs::group_all);
    if (row.tmpdir == "nobody" && (geteuid() != 0 || chown(tmp.c_str(), 65534, 65534) != 0))
      continue;  // only root can give it away
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"-d", (daemon.dir() / "var").string()});
    if (std::find(args.begin(), args.end(), "--pidfile") == args.end())
      args.insert(args.end(), {"--pidfile", pid.string()});
    daemon.start(args);
    const int status = daemon.wait_exit(std::chrono::minutes(1)).value_or(-1);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.status) << status;
    const std::string out = daemon.output();
    const std::string want = row.status ? "can't start: " + row.output + ", exit\n" : row.output;
    // A failure's line ends the output: the log's echo of the error may come first.
    const std::size_t from = row.status ? out.size() - std::min(out.size(), want.size()) : 0;
    EXPECT_EQ(out.substr(from, want.back() == '\n' ? std::string::npos : want.size()), want);
    EXPECT_FALSE(fs::exists(pid));  // a failed start removes the pidfile it has locked
  }
}

std::size_t count(const std::string& text, const std::string& line) {
  std::size_t n = 0;
  for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
  return n;
}

// Started with SIGHUP ignored and its port taken. Each row: a signal to the monitor or the
// worker, the log line it adds, and whether it ends the monitor and removes the pidfile.
TEST(Monitor, SignalsToMonitorAndWorker) {
  signal(SIGHUP, SIG_IGN);  // inherited through the exec
  daemon_launcher_t daemon;
  const std::uint16_t port = daemon_launcher_t::free_port();
  boost::asio::io_context io;  // another listener holds the port
  boost::asio::ip::tcp::acceptor taken(io, {boost::asio::ip::tcp::v4(), port}, false);
  ASSERT_EQ(fcntl(taken.native_handle(), F_SETFD, FD_CLOEXEC), 0);  // not inherited
  const fs::path pidfile = daemon.dir() / "ferun.pid";
  daemon.start({"--port", std::to_string(port), "-d", (daemon.dir() / "data").string(), "--log",
                "monitor:debug1,sensor", "--pidfile", pidfile.string()});
  // Logged, and written on the output by the worker itself.
  const std::string bind = "can't start: bind: Address already in use, restarting\n";
  EXPECT_TRUE(
      poll_until([&] { return count(daemon.output(), "ERROR sensor: " + bind + bind); }, 20s))
      << daemon.output();
  taken.close();
  ASSERT_TRUE(daemon.wait_listening(port, 20s)) << daemon.output();
  EXPECT_EQ(read_file(pidfile), std::to_string(daemon.pid()));
  EXPECT_EQ(fs::status(daemon.tmpdir()).permissions(), fs::owner_all);  // created 0700

  const std::string restarted = "ERROR monitor: sensor has failed with status ";
  const struct {
    bool to_worker;
    int sig;
    std::string line;
    bool ends;
  } rows[] = {
      {false, SIGHUP, restarted + "0, restatring it\n", false},   // passed on, the worker dies
      {false, SIGQUIT, restarted + "1, restatring it\n", false},  // an orderly restart
      {false, SIGUSR1, "", false},  // ignored: the next row shows the monitor alive
      {true, SIGINT, restarted + "1, restatring it\n", false},  // an orderly stop
      {true, SIGTERM, restarted + "1, restatring it\n", false},
      {false, SIGTERM, "INFO monitor: Has got SIGTERM, exiting\n", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.sig);
    ASSERT_TRUE(daemon.wait_listening(port, 20s)) << daemon.output();
    const std::size_t before = count(daemon.output(), row.line);
    ASSERT_EQ(kill(row.to_worker ? daemon.worker() : daemon.pid(), row.sig), 0);
    EXPECT_TRUE(row.line.empty() ||
                poll_until([&] { return count(daemon.output(), row.line) > before; }, 20s));
    EXPECT_EQ(daemon.wait_exit(row.ends ? 20s : 0s).has_value(), row.ends) << daemon.output();
    EXPECT_EQ(fs::exists(pidfile), !row.ends);
  }
  const std::string out = daemon.output(), normal_exit = "INFO sensor: Normal exit\n";
  EXPECT_EQ(daemon.wait_exit(0s).value_or(-1), 0) << out;
  EXPECT_EQ(out.rfind(normal_exit) + normal_exit.size(), out.size()) << out;  // waited for
  EXPECT_EQ(out.find("Sanitizer") & out.find("Can't write pidfile"), std::string::npos) << out;
}

// Started detached by its bare name from another directory with relative paths: the scripts are
// found beside the executable, the data directory stays where it was named. A second start with
// the same pidfile changes nothing; a monitor killed outright takes its worker with it.
TEST(Monitor, DetachedThroughThePathThenASecondStartThenKilled) {
  daemon_launcher_t first, second;
  const fs::path run = first.cwd = second.cwd = first.dir() / "run";
  fs::create_directory(run);
  const std::string port = std::to_string(daemon_launcher_t::free_port());
  const std::vector<std::string> args{"--daemon", "-p",        port, "-d",
                                      "data",     "--pidfile", "p",  "--log",
                                      "sensor",   "--logfile", "log"};
  first.start(args, first.name());
  EXPECT_EQ(first.wait_exit(20s).value_or(-1), 0) << first.output();
  console_client_t console(std::stoi(port), 20s);
  ferun::command_hello_t hello;
  hello.version = 1;
  hello.prefix = "m";
  console.send(hello);
  const auto answer = console.receive(20s);
  EXPECT_EQ(answer ? answer->as<ferun::answer_hello_t>().status : -1, 0);
  EXPECT_TRUE(fs::is_directory(run / "data" / "m-0"));

  const std::string pid = read_file(run / "p"), log = read_file(run / "log");
  EXPECT_EQ(fs::read_symlink("/proc/" + pid + "/cwd"), "/");
  second.start(args, second.name());
  const int status = second.wait_exit(20s).value_or(-1);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
  EXPECT_EQ(second.output(), "can't start: pidfile " + (run / "p").string() +
                                 " is held by the running instance " + pid + ", exit\n");
  EXPECT_EQ(read_file(run / "p") + read_file(run / "log"), pid + log);
  ASSERT_EQ(kill(std::stoi(pid), SIGKILL), 0);
  EXPECT_TRUE(poll_until(
      [&] {
        return read_file(run / "log").find("INFO sensor: Normal exit\n") != std::string::npos;
      },
      20s));
}

}  // namespace ferun_test
