#include "service/monitor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/thread/thread.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "sensor/sensor.h"
#include "service/sensor_server.h"
#include "support/clock.h"
#include "support/string_utils.h"

namespace ferun {

log_t L("monitor");

namespace {

// The signals the monitor takes synchronously and the worker handles (or dies of).
sigset_t service_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGQUIT, SIGINT, SIGTERM, SIGCHLD, SIGHUP}) sigaddset(&set, sig);
  return set;
}

// Forks a worker; in the child this never returns.
pid_t fork_worker(const config_t& config, pidfile_t& pidfile) {
  // Output still buffered here would otherwise be written twice, once by each process.
  fflush(nullptr);
  const pid_t monitor_pid = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    const int error = errno;
    L.error("Fork failed (%s)\n", strerror(error));
    throw exception_t(string_utils::format("Fork failed (%s)\n", strerror(error)));
  }
  if (pid == 0) {
    pidfile.release();
    sensor(config, monitor_pid);
    exit(1);
  }
  return pid;
}

// Waits until `worker` has ended; its raw wait status.
int wait_worker(pid_t worker) {
  int status = 0;
  while (waitpid(worker, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// The worker's own error report: logged, then written on standard output by itself as well.
void report_listener_failure(const char* text) {
  sensor_t::L.error("can't start: %s, restarting\n", text);
  fputs("can't start: ", stdout);
  fputs(text, stdout);
  fputs(", restarting\n", stdout);
  fflush(stdout);
}

// The monitor's life after its id is written: starts its clock thread, forks the worker and
// takes `signals` until SIGINT or SIGTERM. Throws exception_t when a fork fails and Boost.Thread's
// resource error when the clock thread cannot start.
void supervise(const config_t& config, pidfile_t& pidfile, const sigset_t& signals) {
  const std::uint64_t before_clock = stime_t::g_timestamp.load();
  boost::thread(clock_thread).detach();
  // The worker is forked only once the clock thread has finished starting and ticks: a fork
  // while that thread is still inside the allocator or the thread bookkeeping would leave the
  // child with a lock that no thread of it will ever release.
  while (stime_t::g_timestamp.load() == before_clock && !g_do_exit.load()) usleep(1000);

  if (!g_do_exit.load()) {
    pid_t worker = fork_worker(config, pidfile);
    while (!g_do_exit.load()) {
      siginfo_t info{};
      // Fails with EINTR when the monitor was stopped and continued: no signal was taken.
      if (sigwaitinfo(&signals, &info) < 0) continue;
      const int sig = info.si_signo;
      switch (sig) {
        case SIGINT:
        case SIGTERM:
          g_do_exit.store(true);
          L.info("Has got %s, exiting\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
          kill(worker, SIGTERM);
          wait_worker(worker);
          break;
        case SIGCHLD: {
          int status = 0;
          // SIGCHLD also reports a worker that was stopped or continued; only an ended one is
          // replaced.
          if (waitpid(worker, &status, WNOHANG) != worker) break;
          L.error("sensor has failed with status %d, restatring it\n",
                  WIFEXITED(status) ? WEXITSTATUS(status) : 0);
          worker = fork_worker(config, pidfile);
          break;
        }
        case SIGHUP:
          // The worker keeps the default action and ends; SIGCHLD then brings a new one.
          kill(worker, SIGHUP);
          break;
        default:
          L.debug(1, "Has got signal %s (%d)\n", strsignal(sig), sig);
          kill(worker, SIGTERM);
          break;
      }
    }
  }
}

}  // namespace

pidfile_t::pidfile_t(const boost::filesystem::path& path) : path_(path) {
  if (path_.empty()) return;
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    const int error = errno;
    L.error("Can't create pidfile %s: %s\n", path_.c_str(), strerror(error));
    throw exception_t(
        string_utils::format("Can't create pidfile %s: %s\n", path_.c_str(), strerror(error)));
  }
  if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
  const int error = errno;
  char pid[24] = "";
  const ssize_t got = pread(fd_, pid, sizeof pid - 1, 0);
  if (got > 0) pid[got] = '\0';
  ::close(fd_);
  fd_ = -1;
  if (error == EWOULDBLOCK)
    throw exception_t(string_utils::format("pidfile %s is held by the running instance %s",
                                           path_.c_str(), got > 0 ? pid : "(no id yet)"));
  throw exception_t(
      string_utils::format("Can't lock pidfile %s: %s", path_.c_str(), strerror(error)));
}

pidfile_t::~pidfile_t() {
  remove();
}

void pidfile_t::write_pid() const {
  if (fd_ < 0) return;
  const std::string pid = std::to_string(getpid());
  if (ftruncate(fd_, 0) != 0 || pwrite(fd_, pid.data(), pid.size(), 0) < 0)
    L.error("Can't write pidfile %s: %s\n", path_.c_str(), strerror(errno));
}

void pidfile_t::remove() {
  if (fd_ < 0) return;
  // Removed while still locked: a start that waits for the lock then finds no stale file.
  unlink(path_.c_str());
  release();
}

void pidfile_t::release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void sensor_sig_act(int signal) {
  if (signal == SIGINT || signal == SIGTERM) g_do_exit.store(true);
}

void monitor(const config_t& config, pidfile_t& pidfile) {
  // Blocked before any thread starts, so that every thread inherits the mask and the signals are
  // taken only by sigwaitinfo below.
  const sigset_t signals = service_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // Log tools send these to ask for a log reopen; by default they would end the monitor and leave
  // the worker unmanaged.
  signal(SIGUSR1, SIG_IGN);
  signal(SIGUSR2, SIG_IGN);

  pidfile.write_pid();

  try {
    supervise(config, pidfile, signals);
  } catch (...) {
    // A monitor that fails once its id is written (its clock thread or a worker cannot be
    // started) leaves the file with that id: only an orderly stop removes it. The lock goes with
    // the process, so the next start takes the file over. In a forked worker the file is already
    // released and this changes nothing.
    pidfile.release();
    throw;
  }
  pidfile.remove();
}

void sensor(const config_t& config, pid_t monitor_pid) {
  struct sigaction action {};
  action.sa_handler = sensor_sig_act;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking call that the handler interrupts returns EINTR, so the loops below
  // see the flag without waiting for their call to finish.
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A service manager or nohup may have started the daemon with these ignored; the monitor's
  // restarts rely on their default actions.
  for (int sig : {SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2}) signal(sig, SIG_DFL);
  // Under a file size limit a write past it fails with EFBIG, which fails that one upload or
  // file, instead of killing the worker and every console with it.
  signal(SIGXFSZ, SIG_IGN);
  // A monitor that dies must not leave the worker serving unmanaged: its death stops the worker
  // in order. A monitor that died before the request took effect is seen by the parent check.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != monitor_pid) g_do_exit.store(true);
  // The handler is in place before the mask inherited from the monitor is lifted: a SIGTERM that
  // arrived since the fork is then a stop request instead of killing the worker outright.
  const sigset_t signals = service_signals();
  pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);

  // The monitor's clock thread does not exist in a forked child.
  boost::thread(clock_thread).detach();

  while (!g_do_exit.load()) {
    try {
      sensor_server_t server(config);
      server.run();
    } catch (const std::exception& e) {
      report_listener_failure(e.what());
    } catch (const exception_t& e) {
      report_listener_failure(e.message.c_str());
    } catch (...) {
      report_listener_failure("some error occured");
    }
    // No pause on a stop request: the orderly stop is as quick as the connections' end. A stop
    // signal also cuts the pause short when it lands on this thread.
    if (g_do_exit.load()) break;
    sleep(1);
    if (g_do_exit.load()) break;
    sensor_t::L.error("run break: some error occurred, restarting\n");
  }
  sensor_t::L.info("Normal exit\n");
}

}  // namespace ferun
