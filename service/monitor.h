// The two processes of the service. The process that finishes start-up becomes the monitor: it
// writes the pidfile, forks the worker and then only takes signals, forking a new worker whenever
// the old one ends, until SIGINT or SIGTERM stops the service. The worker runs the TCP listener in
// a restart loop until its own SIGINT/SIGTERM handler sets the exit flag.
#pragma once

#include "support/config.h"
#include "support/log.h"

namespace ferun {

// Channel "monitor"; only the monitor logs on it.
extern log_t L;

// Runs the monitor. Returns after an orderly stop (SIGINT or SIGTERM), with the worker reaped and
// the pidfile removed. Throws exception_t when the pidfile cannot be created or a fork fails.
// In a forked worker it never returns: the worker's branch ends the process with exit(1).
void monitor(const config_t& config);

// Body of the worker process: serves consoles until the exit flag is set.
void sensor(const config_t& config);

// The worker's handler for SIGINT and SIGTERM: sets the exit flag, nothing else.
void sensor_sig_act(int signal);

}  // namespace ferun
