// Unpacking an uploaded gzip-compressed tar archive into the sensor's directory, whole or not at
// all. The archive is read in-process with libarchive; its files, links and new directories are
// staged under numbers in a private staging directory of the sensor directory, and its tree is kept
// in memory. Every member is checked against the disk before the first is placed; placing then
// takes one journaled step at a time (see replace_file.h), so that a failure puts back all it
// replaced, and a placing cut short by the worker's death is rolled back before the directory is
// used again. A stop request ends the reading between members and blocks.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "sensor/replace_file.h"
#include "sensor/sensor_files.h"
#include "sensor/upload_failures.h"
#include "support/held_dir.h"

namespace ferun {

using namespace uploads;

namespace {

// Deeper members are refused: placing walks the tree recursively.
constexpr std::size_t max_depth = 4096;

// The components of `path` joined by "/" in `joined`, without empty ones and ".", and where each
// ends in it; false when one is "..".
bool normalize(const std::string& path, std::string& joined, std::vector<std::size_t>& ends) {
  joined.clear();
  ends.clear();
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::size_t length = end - start;
    if (length == 2 && path.compare(start, 2, "..") == 0) return false;
    if (length > 1 || (length == 1 && path[start] != '.')) {
      if (!joined.empty()) joined += '/';
      joined.append(path, start, length);
      ends.push_back(joined.size());
    }
    start = end + 1;
  }
  return true;
}

// An archive member, or a directory on the way to one, at its place below the sensor directory.
struct node_t {
  enum kind_t { dir, file, link };
  kind_t kind = dir;
  mode_t mode = 0755;  // of a directory to be made
  std::string member;  // the name a message gives
  // Its number and name in the staging directory: a file or link from the reading on, a new
  // directory once made there.
  std::uint32_t number = 0;
  std::string staged;
  std::map<std::string, std::unique_ptr<node_t>> children;
  // What the disk holds at the place, as the check found it.
  bool present = false;
  mode_t old_mode = 0;
  std::uint64_t old_dev = 0, old_ino = 0;
};

// An archive unpacked into a staging directory of the sensor directory (removed with what it
// still holds unless a failed placing must be rolled back later), checked, then placed.
class unpacking_t {
 public:
  unpacking_t(int sensor_fd, const std::string& path, const std::function<bool()>& cancelled)
      : sensor_fd_(sensor_fd), upload_path_(path), cancelled_(cancelled) {
    if (!stage_.create(sensor_fd))
      placement_failed("private directory: " + system_text(errno), tar_failure);
  }

  // Reads the whole archive from `archive_fd` into the tree, its place being the directory
  // `target` (components) named by the upload's path.
  void read(int archive_fd, const std::vector<std::string>& target);
  void check();
  void place();

 private:
  node_t& child_dir(node_t& parent, const std::string& name, const std::string& member);
  node_t& new_node(std::unique_ptr<node_t>& slot);
  void add(archive* a, archive_entry* entry, node_t& target, std::size_t depth);
  void stage_file(archive* a, archive_entry* entry, const node_t& node);
  void check(node_t& dir, bool on_disk);
  void place(node_t& dir, bool journaled);
  void take(const place_step_t& step, const node_t& node);
  // Undoes what a failed placing did; raises the "next hello" answer when it cannot.
  void put_back();
  void enter(const std::string& name, const node_t& node);
  void leave(const node_t& node);

  int sensor_fd_;
  const std::string& upload_path_;
  const std::function<bool()>& cancelled_;
  // The member being added, its components joined by "/" and their ends; those of the previous
  // member's directory, and that directory's nodes.
  std::string path_, last_path_;
  std::vector<std::size_t> ends_, last_ends_;
  std::vector<node_t*> chain_;
  staging_dir_t stage_;
  node_t root_;
  std::uint32_t staged_ = 0;
  std::size_t nodes_ = 0;
  // Placing: where it stands, what it did (recorded before each step, in the journal and here).
  dir_chain_t at_;
  place_journal_t journal_;
  std::vector<place_step_t> steps_;
  std::vector<const char*> journal_path_;
};

[[noreturn]] void archive_failed(archive* a) {
  const char* text = archive_error_string(a);
  placement_failed(text ? text : "unreadable archive", tar_failure);
}

void unpacking_t::read(int archive_fd, const std::vector<std::string>& target) {
  node_t* place = &root_;
  for (const std::string& part : target) place = &child_dir(*place, part, upload_path_);
  const std::unique_ptr<archive, int (*)(archive*)> a(archive_read_new(), archive_read_free);
  if (!a) placement_failed(system_text(ENOMEM), tar_failure);
  archive_read_support_filter_gzip(a.get());
  archive_read_support_format_tar(a.get());
  if (::lseek(archive_fd, 0, SEEK_SET) != 0) member_failed("download file", errno);
  if (archive_read_open_fd(a.get(), archive_fd, 64 * 1024) != ARCHIVE_OK) archive_failed(a.get());
  for (;;) {
    if (stopping(cancelled_)) upload_cancelled(upload_path_);
    archive_entry* entry = nullptr;
    const int status = archive_read_next_header(a.get(), &entry);
    if (status == ARCHIVE_EOF) break;
    if (status < ARCHIVE_WARN) archive_failed(a.get());
    add(a.get(), entry, *place, target.size());
  }
}

node_t& unpacking_t::new_node(std::unique_ptr<node_t>& slot) {
  if (!slot) {
    slot = std::make_unique<node_t>();
    ++nodes_;
  }
  return *slot;
}

node_t& unpacking_t::child_dir(node_t& parent, const std::string& name, const std::string& member) {
  std::unique_ptr<node_t>& slot = parent.children[name];
  if (!slot) new_node(slot).member = member;
  if (slot->kind != node_t::dir) conflict(member);
  return *slot;
}

void unpacking_t::add(archive* a, archive_entry* entry, node_t& target, std::size_t depth) {
  const char* const raw = archive_entry_pathname(entry);
  std::string member = raw ? raw : "";
  while (member.size() > 1 && member.back() == '/') member.pop_back();
  // A leading slash is dropped, as tar drops it: the member lands under the target all the same.
  if (!normalize(member, path_, ends_)) refuse_path(member);
  if (depth + ends_.size() > max_depth) member_failed(member, ENAMETOOLONG);
  const mode_t type = archive_entry_filetype(entry);
  if (archive_entry_hardlink(entry) != nullptr ||
      (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK))
    placement_failed(member + ": hard links, devices and pipes are refused", tar_failure);
  if (type == AE_IFLNK) {
    // Only a link that can point nowhere but downwards from its own directory.
    const char* const text = archive_entry_symlink(entry);
    std::vector<std::string> link_parts;
    if (text == nullptr || *text == '\0' || *text == '/' || !split_path(text, link_parts))
      refuse_path(member);
  }
  // The "./" entry names the target itself, which keeps its owner and mode.
  if (ends_.empty()) return;
  // The directories on the way that the previous member shared are not looked up again, so that
  // reading stays linear in the archive's size also for a deep chain of directories.
  const std::size_t dirs = ends_.size() - 1;
  std::size_t same = 0;
  const std::size_t common =
      std::mismatch(path_.begin(), path_.end(), last_path_.begin(), last_path_.end()).first -
      path_.begin();
  while (same < std::min(dirs, last_ends_.size()) && ends_[same] == last_ends_[same] &&
         ends_[same] <= common)
    ++same;
  chain_.resize(same);
  for (std::size_t i = same; i < dirs; ++i) {
    const std::size_t start = i == 0 ? 0 : ends_[i - 1] + 1;
    chain_.push_back(&child_dir(i == 0 ? target : *chain_.back(),
                                path_.substr(start, ends_[i] - start), member));
  }
  last_path_.assign(path_, 0, dirs == 0 ? 0 : ends_[dirs - 1]);
  last_ends_.assign(ends_.begin(), ends_.begin() + static_cast<std::ptrdiff_t>(dirs));
  node_t* const parent = dirs == 0 ? &target : chain_.back();
  const std::size_t last = dirs == 0 ? 0 : ends_[dirs - 1] + 1;
  node_t& node = new_node(parent->children[path_.substr(last)]);
  node.member = member;
  if (type == AE_IFDIR) {
    node.kind = node_t::dir;
    node.mode = archive_entry_perm(entry) & 0755;
    return;
  }
  if (!node.children.empty()) conflict(member);
  node.kind = type == AE_IFREG ? node_t::file : node_t::link;
  node.number = staged_++;
  node.staged = std::to_string(node.number);
  if (type == AE_IFLNK) {
    if (::symlinkat(archive_entry_symlink(entry), stage_.fd(), node.staged.c_str()) != 0)
      member_failed(member, errno);
    return;
  }
  stage_file(a, entry, node);
}

void unpacking_t::stage_file(archive* a, archive_entry* entry, const node_t& node) {
  // No owner is ever taken from the archive, nor a setuid, setgid or group or other write bit.
  const fd_t out(::openat(stage_.fd(), node.staged.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          archive_entry_perm(entry) & 0755));
  if (!out) member_failed(node.member, errno);
  la_int64_t end = 0;
  for (;;) {
    // A member may expand to gigabytes: a stop request is seen between its blocks.
    if (stopping(cancelled_)) upload_cancelled(upload_path_);
    const void* block = nullptr;
    std::size_t size = 0;
    la_int64_t offset = 0;
    const int status = archive_read_data_block(a, &block, &size, &offset);
    if (status == ARCHIVE_EOF) break;
    if (status < ARCHIVE_WARN) archive_failed(a);
    // At the block's own offset: a sparse member skips its holes.
    for (const char* data = static_cast<const char*>(block); size > 0;) {
      const ssize_t n = ::pwrite(out.get(), data, size, offset);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) member_failed(node.member, errno);
      data += n;
      offset += n;
      size -= static_cast<std::size_t>(n);
    }
    end = std::max(end, offset);
  }
  // A sparse member may end in a hole.
  if (archive_entry_size_is_set(entry) && end < archive_entry_size(entry) &&
      ::ftruncate(out.get(), archive_entry_size(entry)) != 0)
    member_failed(node.member, errno);
}

void unpacking_t::check() {
  if (!at_.open(sensor_fd_, max_depth)) placement_failed(system_text(errno), tar_failure);
  check(root_, true);
}

// Refuses the archive unless every member fits what the disk holds at its place: a directory
// goes where nothing or a real directory is, a file or link where nothing or no directory is.
// A link on the disk is never gone through. Below a directory the disk lacks (`on_disk` false)
// there is nothing to look at.
void unpacking_t::check(node_t& dir, bool on_disk) {
  for (auto& [name, child] : dir.children) {
    node_t& node = *child;
    struct stat st;
    if (on_disk && ::fstatat(at_.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      node.present = true;
      std::tie(node.old_mode, node.old_dev, node.old_ino) =
          std::make_tuple(st.st_mode, st.st_dev, st.st_ino);
    } else if (on_disk && errno != ENOENT) {
      member_failed(node.member, errno);
    }
    if (node.kind != node_t::dir) {
      if (node.present && S_ISDIR(node.old_mode)) conflict(node.member);
      continue;
    }
    if (node.present && S_ISLNK(node.old_mode)) refuse_path(node.member);
    if (node.present && !S_ISDIR(node.old_mode)) conflict(node.member);
    if (!node.present) {
      check(node, false);
      continue;
    }
    if (!at_.down(name.c_str(), false)) member_failed(node.member, errno);
    check(node, true);
    if (!at_.up(true)) member_failed(node.member, errno);
  }
}

void unpacking_t::place() {
  // Room for every record made before the first step: recording one never allocates.
  steps_.reserve(2 * nodes_);
  journal_path_.reserve(max_depth);
  if (!journal_.create(stage_.fd()))
    placement_failed("journal: " + system_text(errno), tar_failure);
  // Until the placing is committed or undone, the staging directory holds what it replaced: it
  // outlives whatever goes wrong, and the next hello rolls back what its journal records.
  stage_.keep(true);
  try {
    place(root_, true);
    // The commit: from here on nothing is rolled back.
    if (!journal_.remove()) member_failed("journal", errno);
  } catch (const exception_t&) {
    put_back();
    throw;
  } catch (const std::exception& e) {  // memory ran out
    put_back();
    placement_failed(e.what(), tar_failure);
  }
  stage_.keep(false);
}

void unpacking_t::put_back() {
  journal_.close();  // one descriptor more for the way back
  const auto report = [](const std::string& text) {
    sensor_t::L.error("Download file error: %s\n", text.c_str());
  };
  bool whole = false;
  try {
    whole = roll_back(at_, journal_path_, steps_, stage_.fd(), report);
  } catch (const std::exception&) {  // memory ran out: the next hello does it
  }
  if (!whole) {
    report("replaced files are put back at the next hello (from " + stage_.name() + ")");
    throw exception_t(tar_failure_later);
  }
  journal_.remove();
  stage_.keep(false);
}

// Records `step` of `node` in the journal and in memory before it is taken.
void unpacking_t::take(const place_step_t& step, const node_t& node) {
  if (!journal_.append(step)) member_failed(node.member, errno);
  steps_.push_back(step);
  if (step.kind == place_step_t::enter) journal_path_.push_back(step.name);
  if (step.kind == place_step_t::leave) journal_path_.pop_back();
}

void unpacking_t::enter(const std::string& name, const node_t& node) {
  if (!at_.down(name.c_str(), false)) member_failed(node.member, errno);
}

void unpacking_t::leave(const node_t& node) {
  if (!at_.up(true)) member_failed(node.member, errno);
}

// Places the members below `dir`, where the chain stands. Inside a new directory (`journaled`
// false) nothing is recorded: putting the directory back takes all that is in it.
void unpacking_t::place(node_t& dir, bool journaled) {
  for (auto& [name, child] : dir.children) {
    node_t& node = *child;
    if (node.kind == node_t::dir && node.present) {
      enter(name, node);
      if (journaled) take({place_step_t::enter, 0, 0, 0, name.c_str()}, node);
      place(node, journaled);
      if (journaled) take({place_step_t::leave, 0, 0, 0, name.c_str()}, node);
      leave(node);
      continue;
    }
    if (node.kind == node_t::dir) {
      // Made in the staging directory, so that the journal can name it before it is placed.
      node.number = staged_++;
      node.staged = std::to_string(node.number);
      if (::mkdirat(stage_.fd(), node.staged.c_str(), node.mode) != 0)
        member_failed(node.member, errno);
    } else if (node.kind == node_t::file && node.present && S_ISREG(node.old_mode) &&
               ::fchmodat(stage_.fd(), node.staged.c_str(), node.old_mode & 0755, 0) != 0) {
      // A file keeps the mode of the file it replaces.
      member_failed(node.member, errno);
    }
    // An exchange is told by the replaced file (known from the check), an addition by what it
    // adds.
    struct stat st;
    if (journaled && node.present) {
      take({place_step_t::exchange, node.number, node.old_dev, node.old_ino, name.c_str()}, node);
    } else if (journaled) {
      if (::fstatat(stage_.fd(), node.staged.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        member_failed(node.member, errno);
      take({place_step_t::add, node.number, st.st_dev, st.st_ino, name.c_str()}, node);
    }
    // Exchanged: what was there waits in the staging directory until all is placed.
    if (::renameat2(stage_.fd(), node.staged.c_str(), at_.fd(), name.c_str(),
                    node.present ? RENAME_EXCHANGE : RENAME_NOREPLACE) != 0)
      member_failed(node.member, errno);
    if (node.kind == node_t::dir) {
      enter(name, node);
      place(node, false);
      leave(node);
    }
  }
}

}  // namespace

void place_archive(int sensor_fd, const std::string& path, int archive_fd,
                   const std::function<bool()>& cancelled) {
  std::vector<std::string> target;
  if (!split_path(path, target)) refuse_path(path);
  unpacking_t unpacking(sensor_fd, path, cancelled);
  unpacking.read(archive_fd, target);
  unpacking.check();
  if (stopping(cancelled)) upload_cancelled(path);
  unpacking.place();
}

}  // namespace ferun
