#include "sensor/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <utility>

namespace ferun {

temp_file_t::~temp_file_t() {
  if (fd >= 0) ::close(fd);
  if (!path.empty()) ::unlink(path.c_str());
}

bool temp_file_t::create(const boost::filesystem::path& target) {
  const boost::filesystem::path dir = target.parent_path();
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string name =
        (dir / boost::filesystem::unique_path(target.filename().string() + ".%%%%%%%%.tmp"))
            .string();
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) {
      path = name;
      struct stat old_file;
      return ::stat(target.c_str(), &old_file) != 0 || !S_ISREG(old_file.st_mode) ||
             ::fchmod(fd, old_file.st_mode & 07777) == 0;
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

bool temp_file_t::copy_from(const std::string& source) {
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  char buffer[64 * 1024];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
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
  }
  const int error = errno;
  ::close(in);
  errno = error;
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

bool temp_file_t::rename_to(const boost::filesystem::path& target) {
  if (::rename(path.c_str(), target.c_str()) != 0) return false;
  path.clear();
  return true;
}

}  // namespace ferun
