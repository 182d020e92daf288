#include "sensor/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <utility>

#include "support/string_utils.h"

namespace ferun {

temp_file_t::~temp_file_t() {
  if (fd >= 0) ::close(fd);
  if (!name.empty()) ::unlinkat(dir_, name.c_str(), 0);
}

bool temp_file_t::create(int dir, const std::string& target) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  dir_ = dir;
  target_ = target;
  struct stat old_file;
  const bool keep_mode = ::fstatat(dir, target.c_str(), &old_file, AT_SYMLINK_NOFOLLOW) == 0 &&
                         S_ISREG(old_file.st_mode);
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string candidate = string_utils::format("%s.%016llx.tmp", target.c_str(),
                                                       static_cast<unsigned long long>(random()));
    fd = ::openat(dir, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                  0644);
    if (fd >= 0) {
      name = candidate;
      return !keep_mode || ::fchmod(fd, old_file.st_mode & 0755) == 0;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool temp_file_t::write_all(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool temp_file_t::copy_from(int source) {
  char buffer[64 * 1024];
  bool ok = true;
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(source, buffer, sizeof buffer, at);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (!write_all(buffer, static_cast<std::size_t>(n))) {
      ok = false;
      break;
    }
    at += n;
  }
  return ok;
}

bool temp_file_t::close() {
  const bool synced = ::fsync(fd) == 0;
  const int sync_error = errno;
  // Taken in one step, so that the destructor can never close the number a second time.
  const bool closed = ::close(std::exchange(fd, -1)) == 0;
  if (!synced) errno = sync_error;
  return synced && closed;
}

bool temp_file_t::rename_to_target() {
  if (::renameat(dir_, name.c_str(), dir_, target_.c_str()) != 0) return false;
  name.clear();
  return true;
}

}  // namespace ferun
