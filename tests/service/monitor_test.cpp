// The real daemon: monitor and worker processes, signals, pidfile, a second start, --daemon.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <boost/asio/ip/tcp.hpp>

#include "common/console_client.h"
#include "common/daemon_launcher.h"
#include "common/poll_until.h"

namespace fs = boost::filesystem;

namespace ferun_test {

int hello_status(std::uint16_t port) {
  console_client_t console(port, 10s);
  ferun::command_hello_t hello;
  hello.version = 1;
  hello.prefix = "m";
  hello.sensor_id = 1;
  console.send(hello);
  const auto frame = console.receive(20s);
  return frame ? frame->as<ferun::answer_hello_t>().status : -1;
}

std::size_t count(const std::string& text, const std::string& line) {
  std::size_t n = 0;
  for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
  return n;
}

// Started with SIGHUP ignored and a taken port. Each row: a signal to the monitor or the worker,
// the log line it adds, whether the monitor still runs and whether the pidfile still exists.
TEST(Monitor, SignalsToMonitorAndWorker) {
  daemon_launcher_t daemon;
  daemon.hup_ignored = true;
  const std::uint16_t port = daemon_launcher_t::free_port();
  boost::asio::io_context io;  // another listener holds the port
  boost::asio::ip::tcp::acceptor taken(io, {boost::asio::ip::tcp::v4(), port}, false);
  ASSERT_EQ(fcntl(taken.native_handle(), F_SETFD, FD_CLOEXEC), 0);  // not inherited
  const fs::path pidfile = daemon.dir() / "ferun.pid";
  daemon.start({"--port", std::to_string(port), "-d", (daemon.dir() / "data").string(), "--log",
                "monitor:debug1,sensor", "--pidfile", pidfile.string()});
  EXPECT_TRUE(
      daemon.wait_for_output("ERROR sensor: can't start: bind: Address already in use, "
                             "restarting\n",
                             20s))
      << daemon.output();
  taken.close();
  ASSERT_TRUE(daemon.wait_listening(port, 20s)) << daemon.output();
  EXPECT_EQ(read_file(pidfile), std::to_string(daemon.pid()));
  EXPECT_EQ(fs::status(daemon.tmpdir()).permissions(), fs::owner_all);  // created 0700

  const std::string restarted = "ERROR monitor: sensor has failed with status ";
  struct row_t {
    bool to_worker;
    int sig;
    std::string line;
    bool runs, pidfile;
  } rows[] = {
      {false, SIGHUP, restarted + "0, restatring it\n", true, true},   // passed on, the worker dies
      {false, SIGQUIT, restarted + "1, restatring it\n", true, true},  // an orderly restart
      {false, SIGUSR1, "", true, true},  // ignored: the next row shows the monitor alive
      {true, SIGINT, restarted + "1, restatring it\n", true, true},  // an orderly stop
      {true, SIGTERM, restarted + "1, restatring it\n", true, true},
      {false, SIGTERM, "INFO monitor: Has got SIGTERM, exiting\n", false, false},
  };
  for (const row_t& row : rows) {
    SCOPED_TRACE(row.sig);
    ASSERT_TRUE(daemon.wait_listening(port, 20s)) << daemon.output();
    const std::size_t before = count(daemon.output(), row.line);
    ASSERT_EQ(kill(row.to_worker ? daemon.worker() : daemon.pid(), row.sig), 0);
    EXPECT_TRUE(row.line.empty() ||
                poll_until([&] { return count(daemon.output(), row.line) > before; }, 20s));
    EXPECT_EQ(!daemon.wait_exit(row.runs ? 0s : 20s), row.runs) << daemon.output();
    EXPECT_EQ(fs::exists(pidfile), row.pidfile);
  }
  EXPECT_EQ(daemon.wait_exit(0s).value_or(-1), 0) << daemon.output();
  EXPECT_EQ(daemon.output().find("Sanitizer"), std::string::npos) << daemon.output();
}

// A second start with the same pidfile changes nothing; a monitor killed outright takes its
// worker with it.
TEST(Monitor, SecondStartFailsAndAKilledMonitorEndsItsWorker) {
  daemon_launcher_t first, second;
  const std::uint16_t port = daemon_launcher_t::free_port();
  const fs::path pidfile = first.dir() / "ferun.pid", log = first.dir() / "ferun.log";
  const std::vector<std::string> args{
      "--port",    std::to_string(port), "-d",    first.dir().string(),
      "--pidfile", pidfile.string(),     "--log", "sensor",
      "--logfile", log.string()};
  first.start(args);
  ASSERT_TRUE(first.wait_listening(port, 20s)) << first.output();
  const std::string first_log = read_file(log);
  second.start(args);
  const int status = second.wait_exit(20s).value_or(-1);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
  EXPECT_EQ(second.output(), "can't start: pidfile " + pidfile.string() +
                                 " is held by the running instance " + std::to_string(first.pid()) +
                                 ", exit\n");
  EXPECT_EQ(read_file(pidfile), std::to_string(first.pid()));
  EXPECT_EQ(read_file(log), first_log);

  ASSERT_TRUE(first.send_signal(SIGKILL));
  EXPECT_TRUE(poll_until([&] { return !daemon_launcher_t::listening(port); }, 20s));
  EXPECT_NE(read_file(log).find("INFO sensor: Normal exit\n"), std::string::npos);
}

// Started by its bare name from another directory, detached, with relative paths: the scripts are
// found beside the executable and the data directory stays where it was named.
TEST(Monitor, DaemonStartedThroughThePathWithRelativePaths) {
  daemon_launcher_t daemon;
  daemon.cwd = daemon.dir() / "run";
  fs::create_directory(daemon.cwd);
  const std::uint16_t port = daemon_launcher_t::free_port();
  daemon.start({"--daemon", "-p", std::to_string(port), "-d", "data", "--pidfile", "p"},
               daemon.name());
  EXPECT_EQ(daemon.wait_exit(20s).value_or(-1), 0) << daemon.output();
  ASSERT_TRUE(poll_until([&] { return daemon_launcher_t::listening(port); }, 20s));
  EXPECT_EQ(hello_status(port), 0);
  EXPECT_TRUE(fs::is_directory(daemon.cwd / "data" / "m-1"));
  ASSERT_EQ(kill(std::stoi(read_file(daemon.cwd / "p")), SIGTERM), 0);
  EXPECT_TRUE(poll_until([&] { return !fs::exists(daemon.cwd / "p"); }, 20s));
}

}  // namespace ferun_test
