#include "support/script_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/path.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/path_utils.h"
#include "support/string_utils.h"

namespace {

struct owned_file_t {
  const std::string& path;
  int fd;
  ~owned_file_t() {
    ::close(fd);
    ::unlink(path.c_str());
  }
};

}  // namespace

script_run_t run_script_to_file(const std::string& command, const std::string& out) {
  script_run_t run;
  run.line = command + " >" + shell_quote(out) + " 2>&1";
  // Private to the daemon: the output describes the host and the IDS. An existing directory is
  // fine; any other failure shows up as the output file's failure.
  ::mkdir(boost::filesystem::path(out).parent_path().c_str(), 0700);
  // Whoever made the name before (an earlier run cut short, another user) does not decide
  // where the output goes: the file is ours, new, and not a link.
  ::unlink(out.c_str());
  const int fd = ::open(out.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    run.output = string_utils::format("can't create %s (%s)", out.c_str(), std::strerror(errno));
    return run;
  }
  const owned_file_t file{out, fd};
  run.rc = std::system(run.line.c_str());
  char buffer[4096];
  off_t at = 0;
  for (ssize_t n; (n = ::pread(fd, buffer, sizeof buffer, at)) > 0; at += n)
    run.output.append(buffer, static_cast<std::size_t>(n));
  run.output.push_back('\0');
  return run;
}
