// Running a script through /bin/sh with its output caught in a file of the temporary directory.
#pragma once

#include <functional>
#include <string>

struct script_run_t {
  std::string line;    // the shell line with where its output went, as the log shows it
  int rc = -1;         // the raw wait status, as system() gives it; -1 when the script was not run
  std::string output;  // the file's content followed by one NUL; the reason when not run
  int remove_error = 0;  // errno of a failed removal of the output file (its absence is none)
};

// Runs `command` with its standard output and standard error in the file `out`. The file's
// directory is checked on every call (made with mode 0700 when missing; refused when it is a link
// or another user could have made it or write into it); the file is created afresh in it by
// descriptor (a stale file or a link of that name is removed first, no link is ever followed),
// handed to the script as its open standard output and error, never re-opened by name, read back
// and removed before the call returns, whatever happened (a failed removal is in `remove_error`).
// When it cannot be created the script is not run.
script_run_t run_script_to_file(const std::string& command, const std::string& out);

// Runs `command` through /bin/sh with the open descriptors `in`, `out` and `err` as its standard
// input, output and error (-1 keeps the daemon's own); the raw wait status, -1 when it could not
// be started. The script starts with every signal at its default action and none blocked. When
// `cancelled` is given it is asked every 10 ms while the script runs; once it answers true the
// script is killed (SIGKILL) and reaped, and its status is returned as usual.
int run_shell(const std::string& command, int in, int out, int err,
              const std::function<bool()>& cancelled = nullptr);
