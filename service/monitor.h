// The two processes of the service. The process that finishes start-up becomes the monitor: it
// writes its id into the locked pidfile, forks the worker and then only takes signals, forking a
// new worker whenever the old one ends, until SIGINT or SIGTERM stops the service. The worker runs
// the TCP listener in a restart loop until its own SIGINT/SIGTERM handler sets the exit flag.
#pragma once

#include <sys/types.h>

#include <boost/filesystem/path.hpp>

#include "support/config.h"
#include "support/log.h"

namespace ferun {

// Channel "monitor"; only the monitor logs on it.
extern log_t L;

// The pidfile, locked for the whole life of the instance so that a second start with the same
// pidfile cannot take it over. Created and locked before the process detaches; the process id is
// written once the process that becomes the monitor is known.
class pidfile_t {
 public:
  // Opens (creating when missing) and locks `path`; an empty path means no pidfile. Throws
  // exception_t when the file cannot be created or another live instance holds its lock.
  explicit pidfile_t(const boost::filesystem::path& path);
  // Removes the file when this process holds it (a start that fails after the lock).
  ~pidfile_t();
  pidfile_t(const pidfile_t&) = delete;
  pidfile_t& operator=(const pidfile_t&) = delete;

  // Replaces the file's content with this process's id.
  void write_pid() const;
  // Removes and unlocks the file (an orderly stop).
  void remove();
  // Closes the descriptor without removing the file: a forked worker keeps no hold on it.
  void release();

 private:
  boost::filesystem::path path_;
  int fd_ = -1;
};

// Runs the monitor. Returns after an orderly stop (SIGINT or SIGTERM), with the worker reaped and
// the pidfile removed. Throws exception_t when a fork fails and Boost.Thread's resource error when
// its clock thread cannot start; the pidfile then stays, holding this process's id, unlocked. In a
// forked worker it never returns: the worker's branch ends the process with exit(1).
void monitor(const config_t& config, pidfile_t& pidfile);

// Body of the worker process: serves consoles until the exit flag is set. `monitor_pid` is the
// parent that must still be alive: the worker stops in order when it dies.
void sensor(const config_t& config, pid_t monitor_pid);

// The worker's handler for SIGINT and SIGTERM: sets the exit flag, nothing else.
void sensor_sig_act(int signal);

}  // namespace ferun
