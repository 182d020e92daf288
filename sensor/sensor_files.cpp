// Placing an uploaded file under the sensor's directory: copied as sent, gunzipped, or unpacked
// from a gzip-compressed tar archive. The framer has already stored the content in the download
// file by the time `on_file` runs; the download file is removed once the upload is placed or
// refused.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "sensor/replace_file.h"
#include "sensor/sensor.h"
#include "support/path_utils.h"
#include "support/string_utils.h"

namespace ferun {

namespace {

namespace fs = boost::filesystem;

constexpr std::uint32_t flag_gzip = 0x1;
constexpr std::uint32_t flag_tar_gz = 0x2;

// The answers consoles match on when a gzip or tar.gz upload cannot be placed.
const char* const gzip_failure = "unable unpack configuration";
const char* const tar_failure = "unable unpack configurations";

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

[[noreturn]] void unpack_failed(const char* failure) {
  sensor_t::L.error("------\n");
  throw exception_t(failure);
}

bool is_within(const std::string& inner, std::string outer) {
  if (inner == outer) return true;
  if (outer.empty() || outer.back() != '/') outer += '/';
  return inner.compare(0, outer.size(), outer) == 0;
}

bool is_symlink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// The components of `path` in order, without the empty ones and ".".
std::vector<std::string> path_parts(const std::string& path) {
  std::vector<std::string> parts;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    start = end + 1;
  }
  return parts;
}

// Throws the path-attack refusal when a component of `relative` below `from` is a symbolic link
// that leads out of `real_base` (the canonical sensor directory), or whose end cannot be told
// (dangling, a loop): writing through it could land anywhere. Links that stay inside are followed
// as usual. Components that do not exist yet are made as plain directories and need no check.
void check_links(const fs::path& real_base, const fs::path& from, const std::string& relative) {
  boost::system::error_code error;
  fs::path current = from;
  for (const std::string& part : path_parts(relative)) {
    current /= part;
    const fs::file_status status = fs::symlink_status(current, error);
    if (error || !fs::exists(status)) break;
    if (!fs::is_symlink(status)) continue;
    const fs::path real = fs::canonical(current, error);
    if (error || !is_within(real.string(), real_base.string())) refuse_path(relative);
  }
}

// A fresh directory (mode 0700) inside the sensor directory that an archive is unpacked into,
// removed with whatever it still holds.
struct private_dir_t {
  explicit private_dir_t(const fs::path& parent) {
    std::string name = (parent / ".upload-XXXXXX").string();
    if (::mkdtemp(&name[0]) == nullptr)
      placement_failed("private directory: " + system_text(errno), tar_failure);
    path = name;
  }
  ~private_dir_t() {
    boost::system::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::string path;
};

// An archive unpacked into `dir`, to be moved into `target`, both of which lie inside the sensor
// directory `base`. Paths are canonical.
struct unpacked_t {
  std::string base;
  std::string target;
  std::string dir;

  // Where the path `real` (under the target or not) is read now: what the archive holds there
  // wins over what the disk holds.
  bool link_at(const std::string& real) const {
    if (is_within(real, target) && is_symlink(dir + real.substr(target.size()))) return true;
    return is_symlink(real);
  }

  // Whether the link text `text` of the member `member`, once in place, leads inside the sensor
  // directory. The text is read one component at a time from the member's directory; a link on
  // the way, in the archive or on disk, counts as leading out, since where it leads is not
  // settled until everything is in place.
  bool link_stays_inside(const std::string& member, const std::string& text) const {
    std::string real;
    if (text.empty() || text[0] != '/') {
      const std::string::size_type slash = member.rfind('/');
      const std::string parent = slash == std::string::npos ? "" : member.substr(0, slash);
      real = fs::weakly_canonical(path_join(target, parent)).string();
    }
    for (const std::string& part : path_parts(text)) {
      if (part == "..") {
        real.erase(real.rfind('/') == std::string::npos ? 0 : real.rfind('/'));
        continue;
      }
      real += "/" + part;
      if (link_at(real)) return false;
    }
    return is_within(real.empty() ? "/" : real, base);
  }

  // Refuses the whole archive unless every member below `rel` is a directory, a regular file
  // with no other name, or a symbolic link that stays inside, and fits what the disk holds at
  // its place.
  void check(const std::string& rel) const {
    for (fs::directory_iterator it(path_join(dir, rel)), end; it != end; ++it) {
      const std::string member = path_join(rel, it->path().filename().string()).string();
      const std::string place = path_join(target, member).string();
      struct stat st, old;
      if (::lstat(path_join(dir, member).c_str(), &st) != 0) throw_errno(member);
      const bool exists = ::lstat(place.c_str(), &old) == 0;
      if (S_ISDIR(st.st_mode)) {
        // Its members are placed inside what the disk holds there.
        check_links(base, target, member);
        if (exists && !fs::is_directory(place)) conflict(member);
        check(member);
      } else if (S_ISLNK(st.st_mode)) {
        if (!link_stays_inside(member, fs::read_symlink(path_join(dir, member)).string()))
          refuse_path(member);
        if (exists && S_ISDIR(old.st_mode)) conflict(member);
      } else if (S_ISREG(st.st_mode) && st.st_nlink == 1) {
        if (exists && S_ISDIR(old.st_mode)) conflict(member);
      } else {
        placement_failed(member + ": hard links, devices and pipes are refused", tar_failure);
      }
    }
  }

  // Moves the members below `rel` into place: a directory missing on disk moves whole, one that
  // exists takes the members; a file or link replaces what is there, a file keeping the mode of
  // the file it replaces.
  void place(const std::string& rel) const {
    std::vector<std::string> names;
    for (fs::directory_iterator it(path_join(dir, rel)), end; it != end; ++it)
      names.push_back(it->path().filename().string());
    for (const std::string& name : names) {
      const std::string member = path_join(rel, name).string();
      const std::string from = path_join(dir, member).string();
      const std::string to = path_join(target, member).string();
      struct stat st, old;
      if (::lstat(from.c_str(), &st) != 0) throw_errno(member);
      const bool exists = ::lstat(to.c_str(), &old) == 0;
      if (S_ISDIR(st.st_mode) && exists) {
        place(member);
        continue;
      }
      if (S_ISREG(st.st_mode) && exists && S_ISREG(old.st_mode) &&
          ::chmod(from.c_str(), old.st_mode & 07777) != 0)
        throw_errno(member);
      if (::rename(from.c_str(), to.c_str()) != 0) throw_errno(member);
    }
  }

  [[noreturn]] static void throw_errno(const std::string& member) {
    placement_failed(member + ": " + system_text(errno), tar_failure);
  }
  [[noreturn]] static void conflict(const std::string& member) {
    placement_failed(member + ": a directory and a file at one place", tar_failure);
  }
};

void place_archive(const fs::path& sensor_dir, const fs::path& target, const std::string& archive) {
  fs::create_directories(target);
  const private_dir_t unpack(sensor_dir);
  // A failed unpacking (bad data, a full disk) leaves the stored files as they were.
  if (std::system(string_utils::format("tar -C %s -xzf %s --overwrite",
                                       shell_quote(unpack.path).c_str(),
                                       shell_quote(archive).c_str())
                      .c_str()) != 0)
    unpack_failed(tar_failure);
  const unpacked_t unpacked{fs::canonical(sensor_dir).string(), fs::canonical(target).string(),
                            unpack.path};
  unpacked.check("");
  unpacked.place("");
}

// Flushes a file the shell has written to the disk.
bool sync_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  errno = error;
  return synced;
}

// Writes the content beside the target and renames it over the target only when whole: a
// failure (bad data, a full disk) leaves the stored file as it was.
void place_gzip(const fs::path& target, const std::string& download) {
  fs::create_directories(target.parent_path());
  const std::string gz_path = download + ".gz";
  fs::rename(download, gz_path);
  if (fs::is_directory(target)) unpack_failed(gzip_failure);
  temp_file_t temp;
  if (!temp.create(target) || !temp.close())
    placement_failed(target.string() + ": " + system_text(errno), gzip_failure);
  if (std::system(string_utils::format("gunzip -c %s > %s", shell_quote(gz_path).c_str(),
                                       shell_quote(temp.path).c_str())
                      .c_str()) != 0)
    unpack_failed(gzip_failure);
  if (!sync_file(temp.path) || !temp.rename_to(target))
    placement_failed(target.string() + ": " + system_text(errno), gzip_failure);
}

// Copied beside the target and renamed over it, so that a failed copy never leaves a cut file,
// and the temporary directory may lie on another file system.
void place_plain(const fs::path& target, const std::string& download) {
  fs::create_directories(target.parent_path());
  if (fs::is_directory(target)) placement_failed(system_text(EISDIR), nullptr);
  temp_file_t temp;
  if (!temp.create(target) || !temp.copy_from(download) || !temp.close() || !temp.rename_to(target))
    placement_failed(system_text(errno), nullptr);
}

// Removes the download file when the upload has been placed or refused.
struct remove_download_t {
  proto_t& proto;
  ~remove_download_t() { proto.remove_download(); }
};

}  // namespace

void sensor_t::on_file(const command_file_t& cmd) {
  answer_t answer(cmd.id | answer_bit, 0);
  try {
    const remove_download_t placed_or_refused{proto};
    // A NUL byte would cut the name short wherever it is used as a C string.
    if (cmd.path.find("..") != std::string::npos || cmd.path.find('\0') != std::string::npos)
      refuse_path(cmd.path);
    if (!proto.download_error().empty()) {
      // The content could not be stored whole: placing what there is would install a cut file.
      L.error("Download file error: %s\n", proto.download_error().c_str());
      throw exception_t(proto.download_error());
    }
    const fs::path target = path_join(sensor_dir, cmd.path);
    check_links(fs::weakly_canonical(sensor_dir), sensor_dir, cmd.path);

    if (cmd.flags & flag_gzip)
      place_gzip(target, proto.download_path());
    else if (cmd.flags & flag_tar_gz)
      place_archive(sensor_dir, target, proto.download_path());
    else
      place_plain(target, proto.download_path());
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
