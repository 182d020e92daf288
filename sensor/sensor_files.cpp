// Placing an uploaded file under the sensor's directory: copied as sent, gunzipped, or unpacked
// from a gzip-compressed tar archive. The framer has already stored the content in the download
// file by the time `on_file` runs; the download file is removed once the upload is placed or
// refused.
//
// Everything is reached relative to the sensor directory's descriptor and no link on the disk is
// ever followed. An archive is read in-process, its files staged in a private unpacking directory
// inside the sensor directory; every member is checked against the disk before the first is
// placed, and a placing that fails after all puts back what it replaced.
#include "sensor/sensor_files.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "sensor/replace_file.h"
#include "sensor/sensor.h"
#include "support/held_dir.h"
#include "support/script_run.h"
#include "support/string_utils.h"

namespace ferun {

namespace {

constexpr std::uint32_t flag_gzip = 0x1;
constexpr std::uint32_t flag_tar_gz = 0x2;

// The answers consoles match on when a gzip or tar.gz upload cannot be placed.
const char* const gzip_failure = "unable unpack configuration";
const char* const tar_failure = "unable unpack configurations";

const std::string unpacking_prefix = ".upload-";
// Deeper members are refused: placing walks the tree recursively.
constexpr std::size_t max_depth = 4096;

std::string system_text(int error) {
  return boost::system::system_category().message(error);
}

[[noreturn]] void refuse_path(const std::string& path) {
  const std::string text =
      string_utils::format("Download file error: path attack detected (%s)", path.c_str());
  sensor_t::L.error("%s\n", text.c_str());
  throw exception_t(text);
}

// Logs why a placement failed (`what`: a member or a path, with the reason) and answers with
// `answer`, or with the logged text itself when `answer` is null (a plain file).
[[noreturn]] void placement_failed(const std::string& what, const char* answer) {
  const std::string text = "Download file error: " + what;
  sensor_t::L.error("%s\n", text.c_str());
  throw exception_t(answer ? std::string(answer) : text);
}

[[noreturn]] void member_failed(const std::string& member, int error) {
  placement_failed(member + ": " + system_text(error), tar_failure);
}

[[noreturn]] void conflict(const std::string& member) {
  placement_failed(member + ": a directory and a file at one place", tar_failure);
}

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
  std::string staged;  // a file or link: its name in the unpacking directory
  std::map<std::string, std::unique_ptr<node_t>> children;
  // What the disk holds at the place, as the check found it.
  bool present = false;
  mode_t old_mode = 0;
};

// Runs `work` with the subdirectory `name` of `at` open. `at` is closed meanwhile and opened
// again through "..", so that a deep tree holds two descriptors rather than one per level.
template <class F>
void descend(fd_t& at, const std::string& name, const std::string& member, F&& work) {
  fd_t sub(open_subdir(at.get(), name));
  struct stat id;
  if (!sub || ::fstat(at.get(), &id) != 0) member_failed(member, errno);
  at.reset();
  struct climb_t {
    fd_t& at;
    fd_t& sub;
    const struct stat& id;
    ~climb_t() { at.reset(open_parent(sub.get(), id)); }
  } climb{at, sub, id};
  work(sub);
}

// An archive unpacked into a fresh directory of the sensor directory (mode 0700, removed with
// what it still holds), then checked and placed.
class unpacking_t {
 public:
  explicit unpacking_t(int sensor_fd) : sensor_fd_(sensor_fd) {
    static thread_local std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt < 16 && !stage_; ++attempt) {
      name_ = unpacking_prefix + string_utils::format("%08x", static_cast<unsigned>(random()));
      if (::mkdirat(sensor_fd, name_.c_str(), 0700) == 0)
        stage_.reset(open_subdir(sensor_fd, name_));
      else if (errno != EEXIST)
        break;
    }
    if (!stage_) placement_failed("private directory: " + system_text(errno), tar_failure);
  }
  ~unpacking_t() {
    stage_.reset();
    remove_tree(sensor_fd_, name_);
  }
  unpacking_t(const unpacking_t&) = delete;
  unpacking_t& operator=(const unpacking_t&) = delete;

  // Reads the whole archive from `archive_fd` into the tree, its place being the directory
  // `target` (components) named `path`.
  void read(int archive_fd, const std::vector<std::string>& target, const std::string& path);

  void check() {
    fd_t at(::openat(sensor_fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    check(root_, at);
  }
  void place() {
    fd_t at(::openat(sensor_fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    place(root_, at);
  }

 private:
  node_t& child_dir(node_t& parent, const std::string& name, const std::string& member);
  void add(archive* a, archive_entry* entry, node_t& target, std::size_t depth);
  void stage_file(archive* a, archive_entry* entry, const node_t& node);
  void check(node_t& dir, fd_t& at);
  void place(node_t& dir, fd_t& at);
  void undo(const std::string& name, const node_t& node, int at);

  int sensor_fd_;
  // The member being added, its components joined by "/" and their ends; those of the previous
  // member's directory, and that directory's nodes.
  std::string path_, last_path_;
  std::vector<std::size_t> ends_, last_ends_;
  std::vector<node_t*> chain_;
  fd_t stage_;
  std::string name_;
  node_t root_;
  unsigned staged_ = 0;
};

[[noreturn]] void archive_failed(archive* a) {
  const char* text = archive_error_string(a);
  placement_failed(text ? text : "unreadable archive", tar_failure);
}

void unpacking_t::read(int archive_fd, const std::vector<std::string>& target,
                       const std::string& path) {
  node_t* place = &root_;
  for (const std::string& part : target) place = &child_dir(*place, part, path);
  const std::unique_ptr<archive, int (*)(archive*)> a(archive_read_new(), archive_read_free);
  if (!a) placement_failed(system_text(ENOMEM), tar_failure);
  archive_read_support_filter_gzip(a.get());
  archive_read_support_format_tar(a.get());
  if (::lseek(archive_fd, 0, SEEK_SET) != 0) member_failed("download file", errno);
  if (archive_read_open_fd(a.get(), archive_fd, 64 * 1024) != ARCHIVE_OK) archive_failed(a.get());
  for (;;) {
    archive_entry* entry = nullptr;
    const int status = archive_read_next_header(a.get(), &entry);
    if (status == ARCHIVE_EOF) break;
    if (status < ARCHIVE_WARN) archive_failed(a.get());
    add(a.get(), entry, *place, target.size());
  }
}

node_t& unpacking_t::child_dir(node_t& parent, const std::string& name, const std::string& member) {
  std::unique_ptr<node_t>& slot = parent.children[name];
  if (!slot) {
    slot = std::make_unique<node_t>();
    slot->member = member;
  }
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
  std::unique_ptr<node_t>& slot = parent->children[path_.substr(last)];
  if (!slot) slot = std::make_unique<node_t>();
  node_t& node = *slot;
  node.member = member;
  if (type == AE_IFDIR) {
    node.kind = node_t::dir;
    node.mode = archive_entry_perm(entry) & 0755;
    return;
  }
  if (!node.children.empty()) conflict(member);
  node.kind = type == AE_IFREG ? node_t::file : node_t::link;
  node.staged = std::to_string(staged_++);
  if (type == AE_IFLNK) {
    if (::symlinkat(archive_entry_symlink(entry), stage_.get(), node.staged.c_str()) != 0)
      member_failed(member, errno);
    return;
  }
  stage_file(a, entry, node);
}

void unpacking_t::stage_file(archive* a, archive_entry* entry, const node_t& node) {
  // No owner is ever taken from the archive, nor a setuid, setgid or group or other write bit.
  const fd_t out(::openat(stage_.get(), node.staged.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          archive_entry_perm(entry) & 0755));
  if (!out) member_failed(node.member, errno);
  la_int64_t end = 0;
  for (;;) {
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

// Refuses the archive unless every member fits what the disk holds at its place: a directory
// goes where nothing or a real directory is, a file or link where nothing or no directory is.
// A link on the disk is never gone through.
void unpacking_t::check(node_t& dir, fd_t& at) {
  for (auto& [name, child] : dir.children) {
    node_t& node = *child;
    struct stat st;
    if (at && ::fstatat(at.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      node.present = true;
      node.old_mode = st.st_mode;
    } else if (at && errno != ENOENT) {
      member_failed(node.member, errno);
    }
    if (node.kind != node_t::dir) {
      if (node.present && S_ISDIR(node.old_mode)) conflict(node.member);
      continue;
    }
    if (node.present && S_ISLNK(node.old_mode)) refuse_path(node.member);
    if (node.present && !S_ISDIR(node.old_mode)) conflict(node.member);
    if (!node.present) {
      fd_t none;
      check(node, none);
    } else {
      descend(at, name, node.member, [&](fd_t& sub) { check(node, sub); });
    }
  }
}

// Places the members below `dir`; when anything fails, what this level did is undone before the
// failure goes on up, so that the sensor directory is left as it was.
void unpacking_t::place(node_t& dir, fd_t& at) {
  std::vector<std::pair<const std::string*, const node_t*>> done;
  try {
    for (auto& [name, child] : dir.children) {
      node_t& node = *child;
      if (node.kind == node_t::dir) {
        if (!node.present) {
          if (::mkdirat(at.get(), name.c_str(), node.mode) != 0) member_failed(node.member, errno);
          done.emplace_back(&name, &node);
        }
        descend(at, name, node.member, [&](fd_t& sub) { place(node, sub); });
        continue;
      }
      // A file keeps the mode of the file it replaces.
      if (node.kind == node_t::file && node.present && S_ISREG(node.old_mode) &&
          ::fchmodat(stage_.get(), node.staged.c_str(), node.old_mode & 0755, 0) != 0)
        member_failed(node.member, errno);
      // Exchanged: what was there waits in the unpacking directory until all is placed.
      if (::renameat2(stage_.get(), node.staged.c_str(), at.get(), name.c_str(),
                      node.present ? RENAME_EXCHANGE : RENAME_NOREPLACE) != 0)
        member_failed(node.member, errno);
      done.emplace_back(&name, &node);
    }
  } catch (...) {
    for (auto it = done.rbegin(); it != done.rend(); ++it) undo(*it->first, *it->second, at.get());
    throw;
  }
}

void unpacking_t::undo(const std::string& name, const node_t& node, int at) {
  if (node.kind == node_t::dir)
    remove_tree(at, name);
  else if (node.present)
    ::renameat2(at, name.c_str(), stage_.get(), node.staged.c_str(), RENAME_EXCHANGE);
  else
    ::unlinkat(at, name.c_str(), 0);
}

// A plain or gzip upload: written beside the target and renamed over it only when whole, so that
// a failure (bad data, a full disk) leaves the stored file as it was.
void place_file(int sensor_fd, const std::vector<std::string>& parts, const std::string& path,
                int download, bool gzip) {
  const char* const answer = gzip ? gzip_failure : nullptr;
  struct stat st;
  const fd_t parent(parts.empty() ? -1 : make_dirs(sensor_fd, parts, parts.size() - 1));
  if (!parts.empty() && !parent) {
    if (errno == ELOOP) refuse_path(path);
    placement_failed(system_text(errno), answer);
  }
  if (parts.empty() ||
      (::fstatat(parent.get(), parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
       S_ISDIR(st.st_mode))) {
    if (gzip) {
      sensor_t::L.error("------\n");
      throw exception_t(gzip_failure);
    }
    placement_failed(system_text(EISDIR), nullptr);
  }
  temp_file_t temp;
  if (!temp.create(parent.get(), parts.back())) placement_failed(system_text(errno), answer);
  if (gzip) {
    if (::lseek(download, 0, SEEK_SET) != 0 || run_shell("gunzip -c", download, temp.fd, -1) != 0) {
      sensor_t::L.error("------\n");
      throw exception_t(gzip_failure);
    }
  } else if (!temp.copy_from(download)) {
    placement_failed(system_text(errno), nullptr);
  }
  if (!temp.close() || !temp.rename_to_target()) placement_failed(system_text(errno), answer);
}

// Removes the download file when the upload has been placed or refused.
struct remove_download_t {
  proto_t& proto;
  ~remove_download_t() { proto.remove_download(); }
};

}  // namespace

void place_archive(int sensor_fd, const std::string& path, int archive_fd) {
  std::vector<std::string> target;
  if (!split_path(path, target)) refuse_path(path);
  unpacking_t unpacking(sensor_fd);
  unpacking.read(archive_fd, target, path);
  unpacking.check();
  unpacking.place();
}

void sensor_t::remove_upload_leftovers() {
  std::vector<std::string> names;
  const int listed = ::openat(sensor_fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* const listing = listed < 0 ? nullptr : ::fdopendir(listed);
  if (listing == nullptr) {
    if (listed >= 0) ::close(listed);
    return;
  }
  while (const struct dirent* entry = ::readdir(listing))
    if (std::string(entry->d_name).compare(0, unpacking_prefix.size(), unpacking_prefix) == 0)
      names.emplace_back(entry->d_name);
  ::closedir(listing);
  for (const std::string& name : names)
    if (!remove_tree(sensor_fd.get(), name))
      L.error("can't remove %s of sensor %s (%s)\n", name.c_str(), sensor_name.c_str(),
              system_text(errno).c_str());
}

void sensor_t::on_file(const command_file_t& cmd) {
  answer_t answer(cmd.id | answer_bit, 0);
  try {
    const remove_download_t placed_or_refused{proto};
    std::vector<std::string> parts;
    // A NUL byte would cut the name short wherever it is used as a C string.
    if (cmd.path.find("..") != std::string::npos || cmd.path.find('\0') != std::string::npos ||
        !split_path(cmd.path, parts))
      refuse_path(cmd.path);
    if (!proto.download_error().empty()) {
      // The content could not be stored whole: placing what there is would install a cut file.
      L.error("Download file error: %s\n", proto.download_error().c_str());
      throw exception_t(proto.download_error());
    }
    // One upload of a sensor at a time, also across connections.
    const dir_lock_t one_upload(sensor_fd.get());
    if (cmd.flags & flag_gzip)
      place_file(sensor_fd.get(), parts, cmd.path, proto.download_fd(), true);
    else if (cmd.flags & flag_tar_gz)
      place_archive(sensor_fd.get(), cmd.path, proto.download_fd());
    else
      place_file(sensor_fd.get(), parts, cmd.path, proto.download_fd(), false);
  } catch (const exception_t& e) {
    answer.status = 1;
    answer.message = e.message;
  } catch (const std::exception& e) {
    L.error("Download file error: %s\n", e.what());
    answer.status = 1;
    answer.message = e.what();
  }
  // Sent after the download file is gone, so that a console never sees it linger.
  proto.write(answer);
}

}  // namespace ferun
