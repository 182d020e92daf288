#include "support/script_run.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem/path.hpp>
#include <cerrno>
#include <cstring>

#include "support/held_dir.h"
#include "support/path_utils.h"
#include "support/string_utils.h"

extern char** environ;

namespace {

struct spawn_setup_t {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  spawn_setup_t() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~spawn_setup_t() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  spawn_setup_t(const spawn_setup_t&) = delete;
  spawn_setup_t& operator=(const spawn_setup_t&) = delete;
};

}  // namespace

int run_shell(const std::string& command, int in, int out, int err,
              const std::function<bool()>& cancelled) {
  spawn_setup_t setup;
  const int targets[] = {in, out, err};
  for (int target = 0; target < 3; ++target)
    if (targets[target] >= 0)
      posix_spawn_file_actions_adddup2(&setup.actions, targets[target], target);
  // The worker ignores some signals (a write past the file size limit fails instead of killing
  // it) and blocks others on some threads; the script gets the defaults.
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&setup.attributes, &all);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  char sh[] = "sh", dash_c[] = "-c";
  char* const argv[] = {sh, dash_c, const_cast<char*>(command.c_str()), nullptr};
  pid_t child;
  if (posix_spawn(&child, "/bin/sh", &setup.actions, &setup.attributes, argv, environ) != 0)
    return -1;
  int status = -1;
  for (bool killed = false;;) {
    const pid_t ended = ::waitpid(child, &status, cancelled && !killed ? WNOHANG : 0);
    if (ended == child) return status;
    if (ended < 0 && errno != EINTR) return -1;
    if (ended == 0 && cancelled()) {
      ::kill(child, SIGKILL);
      killed = true;
    } else if (ended == 0) {
      ::usleep(10000);
    }
  }
}

script_run_t run_script_to_file(const std::string& command, const std::string& out) {
  const boost::filesystem::path out_path(out);
  const std::string name = out_path.filename().string();
  script_run_t run;
  // What the log shows: the file takes both outputs, though no shell ever opens it by name.
  run.line = command + " >" + shell_quote(out) + " 2>&1";
  // Private to the daemon: the output describes the host and the IDS.
  std::string why;
  const ferun::fd_t dir(ferun::open_private_dir(out_path.parent_path().string(), 0700, why));
  if (!dir) {
    run.output = string_utils::format("can't create %s (temporary directory %s %s)", out.c_str(),
                                      out_path.parent_path().c_str(), why.c_str());
    return run;
  }
  const ferun::fd_t file(ferun::create_fresh(dir.get(), name, O_RDWR, 0600));
  if (!file) {
    run.output = string_utils::format("can't create %s (%s)", out.c_str(), std::strerror(errno));
    return run;
  }
  run.rc = run_shell(command, -1, file.get(), file.get());
  char buffer[4096];
  off_t at = 0;
  for (ssize_t n; (n = ::pread(file.get(), buffer, sizeof buffer, at)) > 0; at += n)
    run.output.append(buffer, static_cast<std::size_t>(n));
  run.output.push_back('\0');
  if (::unlinkat(dir.get(), name.c_str(), 0) != 0 && errno != ENOENT) run.remove_error = errno;
  return run;
}
