// The real daemon as a service: the monitor and its worker processes, their signals, the pidfile,
// restarts, a taken port and daemon mode, observed through real consoles and /proc.
#include <gtest/gtest.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/console_client.h"
#include "common/daemon_launcher.h"
#include "service/service_test_util.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using ferun_test::console_client_t;
using ferun_test::daemon_launcher_t;
using ferun_test::describe_status;
using ferun_test::poll_until;
using ferun_test::read_file;
using ferun_test::say_hello;
using ferun_test::served;
using ferun_test::write_file;
using steady = std::chrono::steady_clock;

namespace {

using args_t = std::vector<std::string>;

// State letter and parent of a process from /proc/PID/stat; state 0 when it is gone.
struct proc_stat_t {
  char state = 0;
  pid_t parent = 0;
};

proc_stat_t proc_stat(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  const auto name_end = line.rfind(')');
  proc_stat_t result;
  if (name_end == std::string::npos) return result;
  std::istringstream rest(line.substr(name_end + 1));
  rest >> result.state >> result.parent;
  return result;
}

// True while `pid` exists and has not ended (a zombie has ended).
bool alive(pid_t pid) {
  const char state = proc_stat(pid).state;
  return state != 0 && state != 'Z' && state != 'X';
}

// The live children of `parent`.
std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> found;
  for (auto it = fs::directory_iterator("/proc"); it != fs::directory_iterator(); ++it) {
    const std::string name = it->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::atoi(name.c_str());
    const proc_stat_t stat = proc_stat(pid);
    if (stat.parent == parent && stat.state != 'Z' && stat.state != 0) found.push_back(pid);
  }
  return found;
}

// The monitor's only child once there is exactly one, other than `old`; -1 when none came.
pid_t wait_worker(pid_t monitor, pid_t old = -1) {
  pid_t worker = -1;
  poll_until(
      [&] {
        const auto children = children_of(monitor);
        worker = children.size() == 1 && children[0] != old ? children[0] : -1;
        return worker > 0;
      },
      20s);
  return worker;
}

std::size_t open_fds(pid_t pid) {
  std::size_t count = 0;
  boost::system::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec))
    ++count;
  return count;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

struct descriptor_t {
  ~descriptor_t() { reset(); }
  void reset() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  int fd = -1;
};

// A daemon that detached from the launcher: killed by its process ids when a test ends early.
struct detached_guard_t {
  ~detached_guard_t() {
    if (monitor <= 0) return;
    for (pid_t worker : children_of(monitor)) kill(worker, SIGKILL);
    kill(monitor, SIGKILL);
  }
  pid_t monitor = -1;
};

class Monitor : public testing::Test {
 protected:
  ~Monitor() override {
    // A leak report in any process of the daemon fails the test.
    EXPECT_EQ(daemon_.output().find("Sanitizer"), std::string::npos) << daemon_.output();
  }

  args_t args(args_t more = {}) const {
    args_t all{"--port", std::to_string(port_), "--datadir", (daemon_.dir() / "data").string(),
               "--log", "monitor:debug1,sensor"};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }

  // Starts the daemon and waits until its first worker serves; the worker's process id.
  pid_t start_serving(args_t more = {}) {
    daemon_.start(args(std::move(more)));
    const pid_t worker = wait_worker(daemon_.pid());
    EXPECT_GT(worker, 0) << daemon_.output();
    EXPECT_TRUE(served(port_, "boot", 0)) << daemon_.output();
    return worker;
  }

  bool waits_for(const std::string& text) { return daemon_.wait_for_output(text, 20s); }

  // Ends the daemon with SIGTERM and expects the orderly stop: status 0 and the lines of it.
  void expect_orderly_stop() {
    ASSERT_TRUE(daemon_.send_signal(SIGTERM));
    const auto status = daemon_.wait_exit(20s);
    ASSERT_TRUE(status) << daemon_.output();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe_status(*status);
    EXPECT_NE(daemon_.output().find("Normal exit\n"), std::string::npos) << daemon_.output();
  }

  daemon_launcher_t daemon_;
  std::uint16_t port_ = daemon_launcher_t::free_port();
};

}  // namespace

TEST_F(Monitor, StopSignalsEndTheServiceInOrderWithinOneAndAHalfSeconds) {
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(sig));
    const fs::path pidfile = daemon_.dir() / "ferun.pid";
    const pid_t worker = start_serving({"--pidfile", pidfile.string()});
    EXPECT_EQ(read_file(pidfile), std::to_string(daemon_.pid()));

    console_client_t greeted(port_, 10s);
    ASSERT_TRUE(say_hello(greeted, "ids", 1));
    console_client_t silent(port_, 10s);
    ASSERT_TRUE(poll_until([&] { return occurrences(daemon_.output(), "Accept new sensor") == 3; },
                           10s));

    const auto begin = steady::now();
    ASSERT_TRUE(daemon_.send_signal(sig));
    const auto status = daemon_.wait_exit(20s);
    const auto took = steady::now() - begin;
    ASSERT_TRUE(status) << daemon_.output();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe_status(*status);
    // One pass of the accept loop, the joins and the worker's one-second pause; a little slack
    // for sanitizer builds.
    EXPECT_LT(took, 2500ms);

    const std::string out = daemon_.output();
    const std::string name = sig == SIGTERM ? "SIGTERM" : "SIGINT";
    EXPECT_NE(out.find("INFO monitor: Has got " + name + ", exiting\n"), std::string::npos) << out;
    EXPECT_NE(out.find("INFO sensor: Normal exit\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("restatring"), std::string::npos) << out;
    EXPECT_EQ(out.find("run break"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(pidfile));
    EXPECT_FALSE(alive(worker));
    EXPECT_TRUE(greeted.wait_closed(5s));
    EXPECT_TRUE(silent.wait_closed(5s));
  }
}

TEST_F(Monitor, HangupAndQuitRestartTheWorker) {
  const pid_t first = start_serving();

  // SIGHUP is passed on; the worker dies of it, so its status reads 0.
  ASSERT_TRUE(daemon_.send_signal(SIGHUP));
  const pid_t second = wait_worker(daemon_.pid(), first);
  ASSERT_GT(second, 0) << daemon_.output();
  EXPECT_TRUE(waits_for("ERROR monitor: sensor has failed with status 0, restatring it\n"));
  EXPECT_TRUE(served(port_, "ids", 1)) << daemon_.output();

  // SIGQUIT becomes SIGTERM for the worker, which stops in order and exits with 1.
  ASSERT_TRUE(daemon_.send_signal(SIGQUIT));
  const pid_t third = wait_worker(daemon_.pid(), second);
  ASSERT_GT(third, 0) << daemon_.output();
  EXPECT_TRUE(waits_for("DEBUG1 monitor: Has got signal " + std::string(strsignal(SIGQUIT)) +
                        " (3)\n"));
  EXPECT_TRUE(waits_for("ERROR monitor: sensor has failed with status 1, restatring it\n"));
  EXPECT_TRUE(served(port_, "ids", 2)) << daemon_.output();

  expect_orderly_stop();
}

TEST_F(Monitor, KilledWorkerIsReplacedAtOnceEveryTime) {
  pid_t worker = start_serving();
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(kill(worker, SIGKILL), 0);
    const pid_t next = wait_worker(daemon_.pid(), worker);
    ASSERT_GT(next, 0) << daemon_.output();
    worker = next;
    EXPECT_TRUE(served(port_, "ids", static_cast<std::uint32_t>(round))) << daemon_.output();
  }
  EXPECT_EQ(occurrences(daemon_.output(), "ERROR monitor: sensor has failed with status 0"), 3u)
      << daemon_.output();
  expect_orderly_stop();
}

TEST_F(Monitor, SigtermToTheWorkerAloneRestartsIt) {
  const pid_t worker = start_serving();
  ASSERT_EQ(kill(worker, SIGTERM), 0);
  const pid_t next = wait_worker(daemon_.pid(), worker);
  ASSERT_GT(next, 0) << daemon_.output();
  // An orderly worker stop; a sanitizer's leak report would turn the 1 into another number.
  EXPECT_TRUE(waits_for("ERROR monitor: sensor has failed with status 1, restatring it\n"))
      << daemon_.output();
  EXPECT_TRUE(served(port_, "ids", 1)) << daemon_.output();
  expect_orderly_stop();
}

TEST_F(Monitor, StoppedAndContinuedProcessesAreNoReasonToAct) {
  const pid_t worker = start_serving();

  // A stopped worker reports SIGCHLD without having ended: it is neither replaced nor waited for.
  ASSERT_EQ(kill(worker, SIGSTOP), 0);
  ASSERT_TRUE(poll_until([&] { return proc_stat(worker).state == 'T'; }, 10s));
  ASSERT_EQ(kill(worker, SIGCONT), 0);
  ASSERT_TRUE(poll_until([&] { return proc_stat(worker).state != 'T'; }, 10s));

  // A stopped and continued monitor wakes from its wait without a signal to act on.
  ASSERT_TRUE(daemon_.send_signal(SIGSTOP));
  ASSERT_TRUE(poll_until([&] { return proc_stat(daemon_.pid()).state == 'T'; }, 10s));
  ASSERT_TRUE(daemon_.send_signal(SIGCONT));

  EXPECT_TRUE(served(port_, "ids", 1));
  EXPECT_EQ(children_of(daemon_.pid()), std::vector<pid_t>{worker});
  const std::string out = daemon_.output();
  EXPECT_EQ(out.find("restatring"), std::string::npos) << out;
  EXPECT_EQ(out.find("Has got"), std::string::npos) << out;
  expect_orderly_stop();
}

TEST_F(Monitor, PidfileHoldsOnlyTheMonitorsIdAndIsRemovedAtTheEnd) {
  const fs::path pidfile = daemon_.dir() / "run.pid";
  write_file(pidfile, "1234567890\nleft over from an earlier run\n");
  start_serving({"--pidfile", pidfile.string()});
  EXPECT_EQ(read_file(pidfile), std::to_string(daemon_.pid()));
  expect_orderly_stop();
  EXPECT_FALSE(fs::exists(pidfile));
}

TEST_F(Monitor, WithoutPidfileNothingIsWritten) {
  ferun_test::temp_dir_t cwd("ferun_nopid");
  daemon_.start(args(), cwd.path());
  ASSERT_GT(wait_worker(daemon_.pid()), 0) << daemon_.output();
  ASSERT_TRUE(served(port_, "ids", 1)) << daemon_.output();
  expect_orderly_stop();
  EXPECT_TRUE(fs::is_empty(cwd.path()));
}

TEST_F(Monitor, PidfileInAMissingDirectoryEndsStartUpWithoutAWorker) {
  const fs::path pidfile = daemon_.dir() / "missing" / "run.pid";
  daemon_.start(args({"--pidfile", pidfile.string()}));
  const auto status = daemon_.wait_exit(20s);
  ASSERT_TRUE(status) << daemon_.output();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe_status(*status);
  const std::string reason =
      "Can't create pidfile " + pidfile.string() + ": " + strerror(ENOENT) + "\n";
  const std::string out = daemon_.output();
  EXPECT_NE(out.find("ERROR monitor: " + reason), std::string::npos) << out;
  EXPECT_NE(out.find("can't start: " + reason + ", exit\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("I am run!"), std::string::npos) << out;
}

TEST_F(Monitor, TakenPortIsTriedAgainEverySecondUntilItIsFree) {
  // Another listener on the daemon's port, on every address like the daemon's own.
  descriptor_t taken{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  ASSERT_GE(taken.fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  ASSERT_EQ(bind(taken.fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(taken.fd, 1), 0);

  const auto begin = steady::now();
  daemon_.start(args());
  const std::string breaking = "ERROR sensor: run break: some error occurred, restarting\n";
  ASSERT_TRUE(
      poll_until([&] { return occurrences(daemon_.output(), breaking) >= 2; }, 20s))
      << daemon_.output();
  // Two failed binds are a second's pause apart, not a busy loop.
  EXPECT_GE(steady::now() - begin, 1500ms);
  const std::string out = daemon_.output();
  const std::string failed = "can't start: bind: " + std::string(strerror(EADDRINUSE)) +
                             ", restarting\n";
  EXPECT_NE(out.find("ERROR sensor: " + failed), std::string::npos) << out;
  // The log line, the copy every error line gets, and the worker's own report.
  EXPECT_GE(occurrences(out, failed), 3 * 2u) << out;

  taken.reset();
  EXPECT_TRUE(served(port_, "ids", 1)) << daemon_.output();
  expect_orderly_stop();
}

TEST_F(Monitor, TwoConsolesAreServedAtOnceWithTheirOwnDirectories) {
  start_serving();
  console_client_t first(port_, 10s);
  console_client_t second(port_, 10s);
  const auto answer_first = say_hello(first, "ids", 1);
  const auto answer_second = say_hello(second, "ids", 2);
  ASSERT_TRUE(answer_first && answer_second) << daemon_.output();
  EXPECT_EQ(answer_first->status, 0);
  EXPECT_EQ(answer_second->status, 0);
  EXPECT_EQ(answer_first->message, "hello from sensor!");
  EXPECT_TRUE(fs::is_directory(daemon_.dir() / "data" / "ids-1"));
  EXPECT_TRUE(fs::is_directory(daemon_.dir() / "data" / "ids-2"));
  EXPECT_EQ(occurrences(daemon_.output(), "INFO sensor: Accept new sensor from 127.0.0.1:"), 3u);
  expect_orderly_stop();
}

TEST_F(Monitor, ClosedConsoleIsReleasedWithoutANewConnection) {
  daemon_.start(args());
  const pid_t worker = wait_worker(daemon_.pid());
  ASSERT_GT(worker, 0) << daemon_.output();
  ASSERT_TRUE(waits_for("I am run!")) << daemon_.output();
  // What the listening worker holds before any console has come.
  std::size_t idle = 0;
  ASSERT_TRUE(poll_until(
      [&] {
        const std::size_t now = open_fds(worker);
        const bool stable = now == idle;
        idle = now;
        return stable;
      },
      10s));
  {
    console_client_t console(port_, 10s);
    ASSERT_TRUE(say_hello(console, "ids", 1));
    EXPECT_GT(open_fds(worker), idle);
  }
  EXPECT_TRUE(poll_until([&] { return open_fds(worker) == idle; }, 3s))
      << open_fds(worker) << " descriptors open in the worker, " << idle << " when idle";
  expect_orderly_stop();
}

TEST_F(Monitor, DaemonModeKeepsRelativeLogfileAndPidfileInTheStartingDirectory) {
  ferun_test::temp_dir_t cwd("ferun_daemon");
  daemon_.start(args({"--daemon", "--logfile", "service.log", "--pidfile", "service.pid"}),
                cwd.path());
  // The process started by the launcher is the parent of the detach and ends at once.
  const auto parent = daemon_.wait_exit(20s);
  ASSERT_TRUE(parent);
  EXPECT_TRUE(WIFEXITED(*parent) && WEXITSTATUS(*parent) == 0) << describe_status(*parent);

  const fs::path pidfile = cwd.path() / "service.pid";
  const fs::path logfile = cwd.path() / "service.log";
  detached_guard_t guard;
  ASSERT_TRUE(poll_until([&] { return !read_file(pidfile).empty(); }, 20s));
  guard.monitor = std::atoi(read_file(pidfile).c_str());
  ASSERT_GT(guard.monitor, 0);
  EXPECT_TRUE(alive(guard.monitor));

  EXPECT_TRUE(served(port_, "ids", 1));
  EXPECT_TRUE(poll_until(
      [&] { return read_file(logfile).find("Accept new sensor from 127.0.0.1:") != std::string::npos; },
      10s))
      << read_file(logfile);

  ASSERT_EQ(kill(guard.monitor, SIGTERM), 0);
  EXPECT_TRUE(poll_until([&] { return !alive(guard.monitor); }, 20s));
  EXPECT_FALSE(fs::exists(pidfile));
  const std::string log = read_file(logfile);
  EXPECT_NE(log.find("INFO monitor: Has got SIGTERM, exiting\n"), std::string::npos) << log;
  EXPECT_NE(log.find("INFO sensor: Normal exit\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
  guard.monitor = -1;
}
