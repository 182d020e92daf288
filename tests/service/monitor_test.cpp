// The real daemon: monitor and worker processes, signals, pidfile, a second start, --daemon.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <boost/asio/ip/tcp.hpp>

#include "common/console_client.h"
#include "common/daemon_launcher.h"
#include "common/poll_until.h"

namespace fs = boost::filesystem;

namespace ferun_test {

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
  EXPECT_EQ(daemon.wait_exit(0s).value_or(-1), 0) << daemon.output();
  EXPECT_EQ(daemon.output().find("Sanitizer"), std::string::npos) << daemon.output();
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
