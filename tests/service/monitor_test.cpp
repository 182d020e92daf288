// The real daemon: monitor and worker processes, signals, pidfile, taken port, daemon mode.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/console_client.h"
#include "common/daemon_launcher.h"
#include "service/service_test_util.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace ferun_test {
namespace {

using args_t = std::vector<std::string>;

// State letter of a process (0 when it is gone) and its children, from /proc.
char state(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const auto at = stat.rfind(") ");
  return at == std::string::npos ? 0 : stat[at + 2];
}

bool alive(pid_t pid) {
  return state(pid) != 0 && state(pid) != 'Z';
}

std::vector<pid_t> children_of(pid_t parent) {
  const std::string id = std::to_string(parent);
  std::istringstream in(read_file("/proc/" + id + "/task/" + id + "/children"));
  return {std::istream_iterator<pid_t>(in), std::istream_iterator<pid_t>()};
}

// The monitor's only child once there is exactly one other than `old`; -1 when none came.
pid_t wait_worker(pid_t monitor, pid_t old = -1) {
  std::vector<pid_t> found;
  const auto one_new = [&] {
    found = children_of(monitor);
    return found.size() == 1 && found[0] != old;
  };
  return poll_until(one_new, 20s) ? found[0] : -1;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class Monitor : public testing::Test {
 protected:
  ~Monitor() override {
    EXPECT_EQ(daemon_.output().find("Sanitizer"), std::string::npos) << daemon_.output();
  }

  args_t args(args_t more = {}) const {
    args_t all{"--port", std::to_string(port_),  "--datadir", (daemon_.dir() / "data").string(),
               "--log",  "monitor:debug1,sensor"};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }

  // Starts the daemon and waits until its first worker serves; the worker's process id.
  pid_t start_serving(args_t more = {}, const fs::path& cwd = {}) {
    daemon_.start(args(std::move(more)), cwd);
    const pid_t worker = wait_worker(daemon_.pid());
    EXPECT_GT(worker, 0) << daemon_.output();
    EXPECT_TRUE(served(port_, "boot", 0)) << daemon_.output();
    return worker;
  }

  void expect_exit_zero() {
    const int status = daemon_.wait_exit(20s).value_or(-1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << describe_status(status) << daemon_.output();
  }

  void expect_orderly_stop() {
    ASSERT_TRUE(daemon_.send_signal(SIGTERM));
    expect_exit_zero();
    EXPECT_NE(daemon_.output().find("INFO sensor: Normal exit\n"), std::string::npos)
        << daemon_.output();
  }

  daemon_launcher_t daemon_;
  std::uint16_t port_ = daemon_launcher_t::free_port();
};

}  // namespace

// Two consoles are served at once, each with its own directory; a stop signal ends everything in
// order, a silent console included, and removes the pidfile (an earlier one is rewritten).
TEST_F(Monitor, StopSignalsEndTheServiceInOrderWithinOneAndAHalfSeconds) {
  for (const int sig : {SIGTERM, SIGINT}) {
    const std::string name = sig == SIGTERM ? "SIGTERM" : "SIGINT";
    SCOPED_TRACE(name);
    const fs::path pidfile = daemon_.dir() / "ferun.pid";
    write_file(pidfile, "1234567890\nleft over from an earlier run\n");
    const pid_t worker = start_serving({"--pidfile", pidfile.string()});
    EXPECT_EQ(read_file(pidfile), std::to_string(daemon_.pid()));
    console_client_t first(port_, 10s), second(port_, 10s), silent(port_, 10s);
    const auto answer_second = say_hello(second, "ids", 2);  // while the first is still silent
    const auto answer_first = say_hello(first, "ids", 1);
    ASSERT_TRUE(answer_first && answer_second) << daemon_.output();
    EXPECT_TRUE(answer_first->status == 0 && answer_second->status == 0);
    EXPECT_TRUE(fs::is_directory(daemon_.dir() / "data" / "ids-1"));
    EXPECT_TRUE(fs::is_directory(daemon_.dir() / "data" / "ids-2"));
    const std::string accept = "INFO sensor: Accept new sensor from 127.0.0.1:";
    ASSERT_TRUE(poll_until([&] { return occurrences(daemon_.output(), accept) == 4; }, 10s));

    const auto begin = steady::now();
    ASSERT_TRUE(daemon_.send_signal(sig));
    expect_exit_zero();
    EXPECT_LT(steady::now() - begin, 2500ms);  // slack for sanitizers
    const std::string out = daemon_.output();
    EXPECT_NE(out.find("INFO monitor: Has got " + name + ", exiting\n"), std::string::npos) << out;
    EXPECT_NE(out.find("INFO sensor: Normal exit\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("restatring"), std::string::npos) << out;
    EXPECT_EQ(out.find("run break"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(pidfile));
    EXPECT_FALSE(alive(worker));
    for (console_client_t* console : {&first, &second, &silent})
      EXPECT_TRUE(console->wait_closed(5s));
  }
}

// Whatever ends the worker, a new one serves at once; the monitor logs its status. SIGHUP is
// passed on (the worker dies of it), SIGQUIT becomes SIGTERM (an orderly stop exits with 1).
TEST_F(Monitor, EveryEndOfTheWorkerStartsANewOne) {
  temp_dir_t cwd("ferun_nopid");
  pid_t worker = start_serving({}, cwd.path());
  const struct {
    int sig;
    bool to_monitor;
    int status;
  } cases[] = {{SIGHUP, true, 0}, {SIGQUIT, true, 1}, {SIGKILL, false, 0}, {SIGTERM, false, 1}};
  std::size_t expected[2] = {0, 0};
  std::uint32_t id = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(strsignal(c.sig));
    ASSERT_TRUE(c.to_monitor ? daemon_.send_signal(c.sig) : kill(worker, c.sig) == 0);
    const pid_t next = wait_worker(daemon_.pid(), worker);
    ASSERT_GT(next, 0) << daemon_.output();
    worker = next;
    const std::string line = "ERROR monitor: sensor has failed with status " +
                             std::to_string(c.status) + ", restatring it\n";
    const std::size_t want = ++expected[c.status];
    EXPECT_TRUE(poll_until([&] { return occurrences(daemon_.output(), line) == want; }, 20s))
        << daemon_.output();
    EXPECT_TRUE(served(port_, "ids", ++id)) << daemon_.output();
  }
  EXPECT_NE(daemon_.output().find("DEBUG1 monitor: Has got signal " +
                                  std::string(strsignal(SIGQUIT)) + " (3)\n"),
            std::string::npos);
  expect_orderly_stop();
  EXPECT_TRUE(fs::is_empty(cwd.path())) << "nothing written without --pidfile";
}

// A stopped worker reports SIGCHLD without having ended, and a stopped and continued monitor
// wakes from its wait without a signal: neither is a reason to act.
TEST_F(Monitor, StoppedAndContinuedProcessesAreNoReasonToAct) {
  const pid_t worker = start_serving();
  ASSERT_EQ(kill(worker, SIGSTOP), 0);
  ASSERT_TRUE(poll_until([&] { return state(worker) == 'T'; }, 10s));
  ASSERT_EQ(kill(worker, SIGCONT), 0);
  ASSERT_TRUE(poll_until([&] { return state(worker) != 'T'; }, 10s));
  ASSERT_TRUE(daemon_.send_signal(SIGSTOP));
  ASSERT_TRUE(poll_until([&] { return state(daemon_.pid()) == 'T'; }, 10s));
  ASSERT_TRUE(daemon_.send_signal(SIGCONT));

  EXPECT_TRUE(served(port_, "ids", 1));
  EXPECT_EQ(children_of(daemon_.pid()), std::vector<pid_t>{worker});
  EXPECT_EQ(daemon_.output().find("restatring"), std::string::npos) << daemon_.output();
  EXPECT_EQ(daemon_.output().find("Has got"), std::string::npos) << daemon_.output();
  expect_orderly_stop();
}

TEST_F(Monitor, PidfileInAMissingDirectoryEndsStartUpWithoutAWorker) {
  const fs::path pidfile = daemon_.dir() / "missing" / "run.pid";
  daemon_.start(args({"--pidfile", pidfile.string()}));
  expect_exit_zero();
  const std::string reason =
      "Can't create pidfile " + pidfile.string() + ": " + strerror(ENOENT) + "\n";
  const std::string out = daemon_.output();
  EXPECT_NE(out.find("ERROR monitor: " + reason), std::string::npos) << out;
  EXPECT_NE(out.find("can't start: " + reason + ", exit\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("I am run!"), std::string::npos) << out;
}

TEST_F(Monitor, TakenPortIsTriedAgainEverySecondUntilItIsFree) {
  boost::asio::io_context io;  // another listener on the daemon's port and addresses
  boost::asio::ip::tcp::acceptor taken(io, {boost::asio::ip::tcp::v4(), port_}, false);
  ASSERT_EQ(fcntl(taken.native_handle(), F_SETFD, FD_CLOEXEC), 0);  // not inherited by the daemon
  const auto begin = steady::now();
  daemon_.start(args());
  const std::string breaking = "ERROR sensor: run break: some error occurred, restarting\n";
  EXPECT_TRUE(poll_until([&] { return occurrences(daemon_.output(), breaking) >= 2; }, 20s))
      << daemon_.output();
  EXPECT_GE(steady::now() - begin, 1500ms);  // a second's pause, no busy loop
  const std::string out = daemon_.output();
  const std::string failed =
      "can't start: bind: " + std::string(strerror(EADDRINUSE)) + ", restarting\n";
  EXPECT_NE(out.find("ERROR sensor: " + failed), std::string::npos) << out;
  EXPECT_GE(occurrences(out, failed), 3 * 2u) << out;  // log line, its echo, the worker's report

  taken.close();
  EXPECT_TRUE(served(port_, "ids", 1)) << daemon_.output();
  expect_orderly_stop();
}

TEST_F(Monitor, DaemonModeKeepsRelativeLogfileAndPidfileInTheStartingDirectory) {
  temp_dir_t cwd("ferun_daemon");
  daemon_.start(args({"--daemon", "--logfile", "service.log", "--pidfile", "service.pid"}),
                cwd.path());
  expect_exit_zero();  // the launcher's process is the parent of the detach
  const fs::path pidfile = cwd / "service.pid", logfile = cwd / "service.log";
  ASSERT_TRUE(poll_until([&] { return !read_file(pidfile).empty(); }, 20s));
  const pid_t monitor = std::stoi(read_file(pidfile));
  const std::shared_ptr<void> guard(nullptr, [&](void*) {  // kills a daemon left running
    if (!alive(monitor)) return;
    for (pid_t worker : children_of(monitor)) kill(worker, SIGKILL);
    kill(monitor, SIGKILL);
  });
  ASSERT_TRUE(monitor > 0 && alive(monitor));
  EXPECT_TRUE(served(port_, "ids", 1));
  const std::string accept = "INFO sensor: Accept new sensor from 127.0.0.1:";
  EXPECT_TRUE(poll_until([&] { return occurrences(read_file(logfile), accept) == 1; }, 10s));

  ASSERT_EQ(kill(monitor, SIGTERM), 0);
  EXPECT_TRUE(poll_until([&] { return !alive(monitor); }, 20s));
  EXPECT_FALSE(fs::exists(pidfile));
  const std::string log = read_file(logfile);
  EXPECT_NE(log.find("INFO monitor: Has got SIGTERM, exiting\n"), std::string::npos) << log;
  EXPECT_NE(log.find("INFO sensor: Normal exit\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
}

}  // namespace ferun_test
