#include "support/held_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/string_utils.h"

namespace ferun {

namespace {

constexpr int dir_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The entries of the open directory `fd`: the subdirectories in `subdirs`, the others removed.
bool empty_but_subdirs(int fd, std::vector<std::string>& subdirs) {
  const int own = ::dup(fd);
  if (own < 0) return false;
  DIR* const listing = ::fdopendir(own);
  if (listing == nullptr) {
    ::close(own);
    return false;
  }
  std::vector<std::string> others;
  errno = 0;
  while (const struct dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    const bool dir =
        entry->d_type == DT_DIR ||
        (entry->d_type == DT_UNKNOWN &&
         ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode));
    (dir ? subdirs : others).push_back(name);
  }
  const int error = errno;
  ::closedir(listing);
  if (error != 0) {
    errno = error;
    return false;
  }
  // Removed once the listing is done, so that no entry is skipped.
  for (const std::string& name : others)
    if (::unlinkat(fd, name.c_str(), 0) != 0 && errno != ENOENT) return false;
  return true;
}

}  // namespace

void fd_t::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool split_path(const std::string& path, std::vector<std::string>& parts) {
  parts.clear();
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    start = end + 1;
  }
  return true;
}

int open_beneath(int dir, const std::string& rel, int flags, mode_t mode) {
  struct open_how how {};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC | O_NOFOLLOW);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(
      ::syscall(SYS_openat2, dir, rel.empty() ? "." : rel.c_str(), &how, sizeof how));
}

int open_subdir(int dir, const std::string& name) {
  // One component only: the kernel would follow links in the middle of a longer name.
  if ((dir != AT_FDCWD && name.find('/') != std::string::npos) || name == "..") {
    errno = EINVAL;
    return -1;
  }
  const int fd = ::openat(dir, name.c_str(), dir_flags);
  // A link fails as "not a directory" with O_DIRECTORY; it is told apart as one.
  struct stat st;
  if (fd < 0 && errno == ENOTDIR && ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode))
    errno = ELOOP;
  else if (fd < 0 && errno == ENOTDIR)
    errno = ENOTDIR;
  return fd;
}

int make_dirs(int dir, const std::vector<std::string>& parts, std::size_t count) {
  fd_t current(::openat(dir, ".", dir_flags));
  for (std::size_t i = 0; current && i < count; ++i) {
    int next = open_subdir(current.get(), parts[i]);
    if (next < 0 && errno == ENOENT) {
      if (::mkdirat(current.get(), parts[i].c_str(), 0755) != 0 && errno != EEXIST) return -1;
      next = open_subdir(current.get(), parts[i]);
    }
    current.reset(next);
  }
  return current.release();
}

std::string private_dir_problem(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::string("cannot be examined: ") + std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return "is not a directory";
  if (st.st_uid != ::geteuid())
    return string_utils::format("is owned by user %u, not by %u", static_cast<unsigned>(st.st_uid),
                                static_cast<unsigned>(::geteuid()));
  if ((st.st_mode & 022) != 0)
    return string_utils::format("is writable by others (mode %04o)",
                                static_cast<unsigned>(st.st_mode & 07777));
  return std::string();
}

int open_private_dir(const std::string& path, mode_t create_mode, std::string& why, int at) {
  const bool created = create_mode != 0 && ::mkdirat(at, path.c_str(), create_mode) == 0;
  if (create_mode != 0 && !created && errno != EEXIST) {
    why = std::string("cannot be created: ") + std::strerror(errno);
    return -1;
  }
  fd_t dir(open_subdir(at, path));
  if (!dir) {
    why = errno == ELOOP     ? std::string("is a symbolic link")
          : errno == ENOTDIR ? std::string("is not a directory")
                             : std::string("cannot be examined: ") + std::strerror(errno);
    return -1;
  }
  // The umask may have taken the owner's own bits.
  if (created && ::fchmod(dir.get(), create_mode) != 0) {
    why = string_utils::format("cannot be set to %04o: %s", static_cast<unsigned>(create_mode),
                               std::strerror(errno));
    return -1;
  }
  why = private_dir_problem(dir.get());
  return why.empty() ? dir.release() : -1;
}

int create_fresh(int dir, const std::string& name, int flags, mode_t mode) {
  ::unlinkat(dir, name.c_str(), 0);
  return ::openat(dir, name.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

int open_parent(int child, const struct stat& id) {
  fd_t parent(::openat(child, "..", dir_flags));
  struct stat st;
  if (!parent || ::fstat(parent.get(), &st) != 0) return -1;
  if (!same_file(st, id)) {
    errno = EXDEV;
    return -1;
  }
  return parent.release();
}

bool remove_tree(int dir, const std::string& name) {
  if (::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR) return false;
  // One frame per directory on the way down: its identity, its name and the subdirectories
  // still to remove. Only the directory being emptied is held open.
  struct frame_t {
    struct stat id;
    std::string name;
    std::vector<std::string> subdirs;
  };
  std::vector<frame_t> stack;
  fd_t current(open_subdir(dir, name));
  for (std::string entered = name;;) {
    frame_t frame{{}, entered, {}};
    if (!current || ::fstat(current.get(), &frame.id) != 0 ||
        !empty_but_subdirs(current.get(), frame.subdirs))
      return false;
    stack.push_back(std::move(frame));
    // Down into the next subdirectory left anywhere on the way, climbing as directories empty.
    while (stack.size() > 1 && stack.back().subdirs.empty()) {
      const std::string emptied = stack.back().name;
      stack.pop_back();
      current.reset(open_parent(current.get(), stack.back().id));
      if (!current || ::unlinkat(current.get(), emptied.c_str(), AT_REMOVEDIR) != 0) return false;
    }
    if (stack.back().subdirs.empty()) break;
    entered = stack.back().subdirs.back();
    stack.back().subdirs.pop_back();
    current.reset(open_subdir(current.get(), entered));
  }
  current.reset();
  return ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0;
}

dir_lock_t::dir_lock_t(int fd) : fd_(fd) {
  while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

dir_lock_t::~dir_lock_t() {
  if (fd_ >= 0) ::flock(fd_, LOCK_UN);
}

}  // namespace ferun
