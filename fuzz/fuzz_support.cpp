#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fuzz {

namespace {

// Removes the directory and the plain files in it when the process ends normally.
class scratch_t {
 public:
  scratch_t() {
    char pattern[] = "/tmp/ferun_fuzz.XXXXXX";
    if (!mkdtemp(pattern)) {
      std::fprintf(stderr, "mkdtemp: %s\n", std::strerror(errno));
      std::abort();
    }
    path = pattern;
  }
  ~scratch_t() {
    if (DIR* dir = opendir(path.c_str())) {
      while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") unlink((path + "/" + name).c_str());
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  }
  scratch_t(const scratch_t&) = delete;
  scratch_t& operator=(const scratch_t&) = delete;

  std::string path;
};

}  // namespace

const std::string& scratch_dir() {
  static scratch_t dir;
  return dir.path;
}

void write_file(const std::string& path, const void* data, std::size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  const auto* p = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    FUZZ_CHECK(n > 0);
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  FUZZ_CHECK(close(fd) == 0);
}

void quiet_stdout() {
  static const bool done = [] {
    std::fflush(stdout);
    return std::freopen("/dev/null", "w", stdout) != nullptr;
  }();
  (void)done;
}

}  // namespace fuzz
