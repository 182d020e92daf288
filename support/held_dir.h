// Files inside the daemon's own directories (data, sensor and temporary), reached relative to a
// directory held open by descriptor and never through a symbolic link: the daemon runs as root,
// so a name that another user or an earlier upload has turned into a link must not redirect a
// read or a write. Every call returns -1 or false with errno set on failure, unless it says
// otherwise.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace ferun {

// An owned descriptor, closed when dropped.
class fd_t {
 public:
  fd_t() = default;
  explicit fd_t(int fd) : fd_(fd) {}
  ~fd_t() { reset(); }
  fd_t(fd_t&& other) noexcept : fd_(other.release()) {}
  fd_t& operator=(fd_t&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// The components of `path` in order, without the empty ones and "."; false when one is "..".
bool split_path(const std::string& path, std::vector<std::string>& parts);

// Opens `rel` beneath the directory `dir` without following any link and without leaving `dir`
// (openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS): a link on the way gives ELOOP. An empty
// `rel` opens `dir` itself. O_CLOEXEC is added.
int open_beneath(int dir, const std::string& rel, int flags, mode_t mode = 0);

// Opens the directory `name` of `dir`, which must not be a link (ELOOP) and must be a directory
// (ENOTDIR).
int open_subdir(int dir, const std::string& name);

// Opens the directory reached from `dir` by the first `count` components of `parts`, making the
// missing ones with mode 0755 (less the umask) one at a time. A link on the way gives ELOOP.
int make_dirs(int dir, const std::vector<std::string>& parts, std::size_t count);

// Why the open directory `fd` may not hold the daemon's files ("is owned by user 65534, not by 0",
// "is writable by others (mode 0777)"); empty when it is a directory of the effective user that
// neither group nor others may write.
std::string private_dir_problem(int fd);

// Opens the directory `path` (relative to the directory `at`, or the working directory) and
// checks it as above; with `create_mode` not 0 a missing one is made first with that mode (the
// umask then does not narrow it). On failure -1, with `why` telling the reason ("is a symbolic
// link", "cannot be created: ..."). The path's parent is trusted.
int open_private_dir(const std::string& path, mode_t create_mode, std::string& why,
                     int at = AT_FDCWD);

// Creates `name` in `dir` afresh (O_CREAT | O_EXCL | O_NOFOLLOW), whatever held the name before
// (a stale file or a link) being removed first.
int create_fresh(int dir, const std::string& name, int flags, mode_t mode);

// Removes `name` of `dir` and, when it is a directory, everything below it, never following a
// link. Holds a fixed number of descriptors and has no limit on depth or path length; it climbs
// back through "..", checking that each directory is the one it came from.
bool remove_tree(int dir, const std::string& name);

// Opens the parent of the directory `child` through "..", checking that it is the directory that
// `id` (from fstat) describes: a directory moved meanwhile gives EXDEV.
int open_parent(int child, const struct stat& id);

// An exclusive flock on an open directory, held while the object lives. The lock belongs to the
// open file description: two threads exclude each other only through descriptors they opened
// separately, which is what every holder of a sensor directory does.
class dir_lock_t {
 public:
  explicit dir_lock_t(int fd);
  ~dir_lock_t();
  dir_lock_t(const dir_lock_t&) = delete;
  dir_lock_t& operator=(const dir_lock_t&) = delete;

 private:
  int fd_;
};

}  // namespace ferun
