#include "sensor/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <random>
#include <string_view>
#include <tuple>
#include <utility>

#include "support/string_utils.h"

namespace ferun {

namespace {

using string_utils::system_text;

// Runs `open` again while descriptors or memory are short, for about a second when `patient`.
template <class F>
int retried(F open, bool patient) {
  for (int attempt = 0;; ++attempt) {
    const int fd = open();
    if (fd >= 0 || !patient || attempt == 100 ||
        (errno != EMFILE && errno != ENFILE && errno != ENOMEM && errno != EINTR))
      return fd;
    ::usleep(10000);
  }
}

// A record: kind, three zero bytes, the name's length, the staged number, four zero bytes, dev
// and ino (all little-endian), then the name and a NUL.
constexpr std::size_t record_head = 32;
constexpr char journal_magic[] = "ferun placing journal 1\n";
constexpr std::size_t magic_size = sizeof journal_magic - 1;

void put(unsigned char* at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}
std::uint64_t get(const unsigned char* at, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes; i-- > 0;) value = value << 8 | at[i];
  return value;
}

std::string joined(const std::vector<const char*>& path, const char* name = nullptr) {
  std::string text;
  for (const char* part : path) text.append(text.empty() ? "" : "/").append(part);
  if (name != nullptr) text.append(text.empty() ? "" : "/").append(name);
  return text.empty() ? "." : text;
}

// Undoes one exchange or addition, if it was taken; false with errno set when it cannot be. An
// exchange was taken when the file it replaced waits in the staging directory, an addition when
// its place holds what it added.
bool put_back(int at, const place_step_t& step, int stage) {
  const std::string staged = std::to_string(step.staged);
  const bool exchange = step.kind == place_step_t::exchange;
  struct stat st;
  if (::fstatat(exchange ? stage : at, exchange ? staged.c_str() : step.name, &st,
                AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT;
  if (st.st_dev != step.dev || st.st_ino != step.ino) return true;
  return ::renameat2(at, step.name, stage, staged.c_str(),
                     exchange ? RENAME_EXCHANGE : RENAME_NOREPLACE) == 0;
}

}  // namespace

const char* const staging_dir_t::prefix = ".upload-";

staging_dir_t::~staging_dir_t() {
  fd_.reset();
  // An empty one goes without a descriptor, also when none is left.
  if (!name_.empty() && !keep_ && ::unlinkat(parent_, name_.c_str(), AT_REMOVEDIR) != 0)
    remove_tree(parent_, name_);
}

bool staging_dir_t::create(int parent) {
  static thread_local std::mt19937 random{std::random_device{}()};
  parent_ = parent;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string name = prefix + string_utils::format("%08x", static_cast<unsigned>(random()));
    if (::mkdirat(parent, name.c_str(), 0700) == 0) {
      name_ = name;
      fd_.reset(open_subdir(parent, name));
      return static_cast<bool>(fd_);
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

temp_file_t::~temp_file_t() {
  if (fd >= 0) ::close(fd);
  if (!name.empty()) ::unlinkat(home_, name.c_str(), 0);
}

bool temp_file_t::create(int dir, const std::string& target) {
  return make(dir, dir, target, target + ".");
}

bool temp_file_t::create(int stage, int dir, const std::string& target) {
  return make(stage, dir, target, "new.");
}

bool temp_file_t::make(int home, int dir, const std::string& target, const std::string& prefix) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  home_ = home;
  dir_ = dir;
  target_ = target;
  struct stat old_file;
  const bool keep_mode = ::fstatat(dir, target.c_str(), &old_file, AT_SYMLINK_NOFOLLOW) == 0 &&
                         S_ISREG(old_file.st_mode);
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string candidate =
        prefix + string_utils::format("%016llx.tmp", static_cast<unsigned long long>(random()));
    fd = ::openat(home, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
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

bool temp_file_t::copy_from(int source, const std::function<bool()>& cancelled) {
  char buffer[64 * 1024];
  for (off_t at = 0;;) {
    if (cancelled && cancelled()) {
      errno = ECANCELED;
      return false;
    }
    const ssize_t n = ::pread(source, buffer, sizeof buffer, at);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (!write_all(buffer, static_cast<std::size_t>(n))) return false;
    at += n;
  }
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
  if (::renameat(home_, name.c_str(), dir_, target_.c_str()) != 0) return false;
  name.clear();
  return true;
}

bool dir_chain_t::open(int root, std::size_t depth) {
  levels_.clear();
  levels_.reserve(depth + 1);
  fd_t fd(::openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return false;
  levels_.push_back({std::move(fd), 0, 0});
  return true;
}

bool dir_chain_t::down(const char* name, bool patient) {
  level_t sub;
  sub.fd.reset(retried([&] { return open_subdir(fd(), name); }, patient));
  if (!sub.fd) return false;
  // Only a level that may be closed needs its identity, to be opened again through "..".
  struct stat st;
  if (levels_.size() >= held_levels) {
    if (::fstat(sub.fd.get(), &st) != 0) return false;
    std::tie(sub.dev, sub.ino) = std::make_tuple(st.st_dev, st.st_ino);
  }
  if (levels_.size() > held_levels) levels_.back().fd.reset();
  levels_.push_back(std::move(sub));
  return true;
}

bool dir_chain_t::up(bool patient) {
  if (levels_.size() < 2) {
    errno = EINVAL;
    return false;
  }
  level_t& parent = levels_[levels_.size() - 2];
  if (!parent.fd) {
    struct stat id {};
    std::tie(id.st_dev, id.st_ino) = std::make_tuple(parent.dev, parent.ino);
    parent.fd.reset(retried([&] { return open_parent(fd(), id); }, patient));
    if (!parent.fd) return false;
  }
  levels_.pop_back();
  return true;
}

const char* const place_journal_t::file_name = "journal";

bool place_journal_t::create(int stage) {
  stage_ = stage;
  fd_.reset(::openat(stage, file_name,
                     O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd_) return false;
  const ssize_t written = ::write(fd_.get(), journal_magic, magic_size);
  if (written == static_cast<ssize_t>(magic_size)) return true;
  if (written >= 0) errno = ENOSPC;
  return false;
}

bool place_journal_t::append(const place_step_t& step) {
  const std::size_t length = std::strlen(step.name);
  if (length > NAME_MAX) {
    errno = ENAMETOOLONG;
    return false;
  }
  unsigned char record[record_head + NAME_MAX + 1] = {};
  put(record, step.kind, 1);
  put(record + 4, length, 4);
  put(record + 8, step.staged, 4);
  put(record + 16, step.dev, 8);
  put(record + 24, step.ino, 8);
  std::memcpy(record + record_head, step.name, length + 1);
  const std::size_t size = record_head + length + 1;
  ssize_t written;
  do written = ::write(fd_.get(), record, size);
  while (written < 0 && errno == EINTR);
  if (written == static_cast<ssize_t>(size)) return true;
  // A short write leaves a cut record, which is never read: no step follows it.
  if (written >= 0) errno = ENOSPC;
  return false;
}

bool place_journal_t::remove() {
  fd_.reset();
  return ::unlinkat(stage_, file_name, 0) == 0;
}

bool parse_journal(const std::string& bytes, std::vector<place_step_t>& steps,
                   std::vector<const char*>& path, std::size_t& damaged_at) {
  steps.clear();
  path.clear();
  damaged_at = 0;
  // A journal cut inside its first line was made by a worker killed before its first step.
  if (bytes.compare(0, magic_size, journal_magic, std::min(bytes.size(), magic_size)) != 0)
    return false;
  for (std::size_t at = magic_size; bytes.size() >= at + record_head;) {
    const auto* const head = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    const std::uint64_t kind = get(head, 1), length = get(head + 4, 4);
    damaged_at = at;
    if (kind < place_step_t::enter || kind > place_step_t::add || get(head + 1, 3) != 0 ||
        get(head + 12, 4) != 0 || length == 0 || length > NAME_MAX)
      return false;
    if (bytes.size() - at < record_head + length + 1) break;  // cut by the worker's death
    place_step_t step;
    step.kind = static_cast<place_step_t::kind_t>(kind);
    step.staged = static_cast<std::uint32_t>(get(head + 8, 4));
    step.dev = get(head + 16, 8);
    step.ino = get(head + 24, 8);
    step.name = bytes.data() + at + record_head;
    const std::string_view name(step.name, length);
    if (name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos ||
        step.name[length] != '\0' || name == "." || name == ".." ||
        (step.kind == place_step_t::leave && (path.empty() || path.back() != name)))
      return false;
    if (step.kind == place_step_t::enter) path.push_back(step.name);
    if (step.kind == place_step_t::leave) path.pop_back();
    steps.push_back(step);
    at += record_head + length + 1;
  }
  return true;
}

bool roll_back(dir_chain_t& chain, std::vector<const char*>& path,
               const std::vector<place_step_t>& steps, int stage,
               const std::function<void(const std::string&)>& report) {
  // Back first to where the last step was recorded (a new directory is never recorded into).
  while (chain.depth() > path.size()) {
    if (!chain.up(true)) {
      report("can't reach " + joined(path) + " (" + system_text(errno) + ")");
      return false;
    }
  }
  bool whole = true;
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
    if (step->kind == place_step_t::enter || step->kind == place_step_t::leave) {
      // Walked backwards: a directory entered is left, one left is entered again.
      const bool entering = step->kind == place_step_t::leave;
      const bool moved = entering ? chain.down(step->name, true) : chain.up(true);
      const int error = errno;
      if (entering)
        path.push_back(step->name);
      else
        path.pop_back();
      if (moved) continue;
      report("can't reach " + joined(path) + " (" + system_text(error) + ")");
      return false;
    }
    if (!put_back(chain.fd(), *step, stage)) {
      report("can't put back " + joined(path, step->name) + " (" + system_text(errno) + ")");
      whole = false;
    }
  }
  return whole;
}

bool roll_back_journal(int root, int stage, const std::function<void(const std::string&)>& report,
                       bool& rolled_back) {
  rolled_back = false;
  std::string bytes;
  {
    const fd_t journal(
        ::openat(stage, place_journal_t::file_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!journal && errno == ENOENT) return true;
    struct stat st;
    if (!journal || ::fstat(journal.get(), &st) != 0) {
      report("can't read the journal (" + system_text(errno) + ")");
      return false;
    }
    bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    for (ssize_t n; got < bytes.size(); got += static_cast<std::size_t>(n)) {
      n = ::pread(journal.get(), &bytes[got], bytes.size() - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR)
        n = 0;
      else if (n <= 0)
        break;
    }
    bytes.resize(got);
  }
  std::vector<place_step_t> steps;
  std::vector<const char*> path, walked;
  std::size_t damaged_at = 0;
  if (!parse_journal(bytes, steps, path, damaged_at)) {
    report(string_utils::format("damaged journal (at byte %zu)", damaged_at));
    return false;
  }
  // The walk back starts where the placing stopped.
  dir_chain_t chain;
  if (!chain.open(root, path.size())) {
    report("can't reach . (" + system_text(errno) + ")");
    return false;
  }
  for (const char* name : path) {
    walked.push_back(name);
    if (!chain.down(name, true)) {
      report("can't reach " + joined(walked) + " (" + system_text(errno) + ")");
      return false;
    }
  }
  if (!roll_back(chain, path, steps, stage, report)) return false;
  if (::unlinkat(stage, place_journal_t::file_name, 0) != 0) {
    report("can't remove the journal (" + system_text(errno) + ")");
    return false;
  }
  rolled_back = true;
  return true;
}

}  // namespace ferun
