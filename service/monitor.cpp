#include "service/monitor.h"

#include <signal.h>
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

struct file_closer_t {
  void operator()(FILE* file) const { fclose(file); }
};

void write_pidfile(const boost::filesystem::path& path) {
  std::unique_ptr<FILE, file_closer_t> file(fopen(path.c_str(), "w+e"));
  if (!file) {
    const int error = errno;
    L.error("Can't create pidfile %s: %s\n", path.c_str(), strerror(error));
    throw exception_t(
        string_utils::format("Can't create pidfile %s: %s\n", path.c_str(), strerror(error)));
  }
  fprintf(file.get(), "%u", static_cast<unsigned>(getpid()));
}

// Forks a worker; in the child this never returns.
pid_t fork_worker(const config_t& config) {
  // Output still buffered here would otherwise be written twice, once by each process.
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    const int error = errno;
    L.error("Fork failed (%s)\n", strerror(error));
    throw exception_t(string_utils::format("Fork failed (%s)\n", strerror(error)));
  }
  if (pid == 0) {
    sensor(config);
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

}  // namespace

void sensor_sig_act(int signal) {
  if (signal == SIGINT || signal == SIGTERM) g_do_exit.store(true);
}

void monitor(const config_t& config) {
  // Blocked before any thread starts, so that every thread inherits the mask and the signals are
  // taken only by sigwaitinfo below.
  const sigset_t signals = service_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  if (!config.pidfile.empty()) write_pidfile(config.pidfile);

  const std::uint64_t before_clock = stime_t::g_timestamp.load();
  boost::thread(clock_thread).detach();
  // The worker is forked only once the clock thread has finished starting and ticks: a fork
  // while that thread is still inside the allocator or the thread bookkeeping would leave the
  // child with a lock that no thread of it will ever release.
  while (stime_t::g_timestamp.load() == before_clock && !g_do_exit.load()) usleep(1000);

  if (!g_do_exit.load()) {
    pid_t worker = fork_worker(config);
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
          worker = fork_worker(config);
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

  if (!config.pidfile.empty()) unlink(config.pidfile.c_str());
}

void sensor(const config_t& config) {
  struct sigaction action {};
  action.sa_handler = sensor_sig_act;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking call that the handler interrupts returns EINTR, so the loops below
  // see the flag without waiting for their call to finish.
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
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
    // A stop signal cuts this pause short when it lands on this thread.
    sleep(1);
    if (g_do_exit.load()) break;
    sensor_t::L.error("run break: some error occurred, restarting\n");
  }
  sensor_t::L.info("Normal exit\n");
}

}  // namespace ferun
