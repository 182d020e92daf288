// Running a script through /bin/sh with its output caught in a file of the temporary directory.
#pragma once

#include <string>

struct script_run_t {
  std::string line;    // the whole shell line, redirection included, as it was run
  int rc = -1;         // system()'s raw status; -1 when the script was not run
  std::string output;  // the file's content followed by one NUL; the reason when not run
};

// Runs `command` with its standard output and standard error in the file `out`, in a directory
// made with mode 0700 when missing. The file is created afresh by this call (a stale file or a
// link of that name is removed first, and no link is ever followed), read back through the
// descriptor that created it and removed before the call returns, whatever happened. When it
// cannot be created the script is not run.
script_run_t run_script_to_file(const std::string& command, const std::string& out);
