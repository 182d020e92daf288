// Placing an uploaded file under the sensor's directory: copied as sent, gunzipped, or unpacked
// from a gzip-compressed tar archive. The framer has already stored the content in the download
// file by the time `on_file` runs.
#include <fcntl.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>

#include "sensor/replace_file.h"
#include "sensor/sensor.h"
#include "support/path_utils.h"
#include "support/string_utils.h"

namespace ferun {

namespace {

namespace fs = boost::filesystem;

constexpr std::uint32_t flag_gzip = 0x1;
constexpr std::uint32_t flag_tar_gz = 0x2;

[[noreturn]] void refuse_path(const std::string& path) {
  const std::string text =
      string_utils::format("Download file error: path attack detected (%s)", path.c_str());
  sensor_t::L.error("%s", text.c_str());
  throw exception_t(text);
}

bool is_within(const fs::path& inner, const fs::path& outer) {
  const std::string in = inner.string();
  std::string out = outer.string();
  if (in == out) return true;
  if (out.empty() || out.back() != '/') out += '/';
  return in.compare(0, out.size(), out) == 0;
}

// Throws the path-attack refusal when a component of `relative` below `from` is a symbolic link
// that leads out of `real_base` (the canonical sensor directory), or whose end cannot be told
// (dangling, a loop): writing through it could land anywhere. Links that stay inside are followed
// as usual. Components that do not exist yet are made as plain directories and need no check.
void check_links(const fs::path& real_base, const fs::path& from, const std::string& relative,
                 const std::string& shown) {
  boost::system::error_code error;
  fs::path current = from;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string part = relative.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;

    current /= part;
    const fs::file_status status = fs::symlink_status(current, error);
    if (error || !fs::exists(status)) break;
    if (!fs::is_symlink(status)) continue;
    const fs::path real = fs::canonical(current, error);
    if (error || !is_within(real, real_base)) refuse_path(shown);
  }
}

// Undoes tar's "escape" quoting of a listed member name (C escapes, octal for other bytes).
std::string unescape_member(const std::string& text) {
  std::string name;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      name += text[i];
      continue;
    }
    const char c = text[++i];
    switch (c) {
      case 'a': name += '\a'; break;
      case 'b': name += '\b'; break;
      case 'f': name += '\f'; break;
      case 'n': name += '\n'; break;
      case 'r': name += '\r'; break;
      case 't': name += '\t'; break;
      case 'v': name += '\v'; break;
      default:
        if (c >= '0' && c <= '7') {
          int value = 0;
          std::size_t digits = 0;
          for (; digits < 3 && i < text.size() && text[i] >= '0' && text[i] <= '7'; ++digits, ++i)
            value = value * 8 + (text[i] - '0');
          --i;
          name += static_cast<char>(value);
        } else {
          name += c;
        }
    }
  }
  return name;
}

bool has_dot_dot_part(const std::string& name) {
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

// Removes a file of the temporary directory when it goes out of scope.
struct remove_on_exit_t {
  std::string path;
  ~remove_on_exit_t() {
    boost::system::error_code ignored;
    fs::remove(path, ignored);
  }
};

[[noreturn]] void unpack_failed(const char* failure) {
  sensor_t::L.error("------");
  throw exception_t(failure);
}

void run_unpacker(const std::string& command, const char* failure) {
  if (std::system(command.c_str()) != 0) unpack_failed(failure);
}

[[noreturn]] void throw_system_error(const char* what, int error = errno) {
  throw boost::system::system_error(error, boost::system::system_category(), what);
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

// tar refuses member names that climb out with ".." and strips a leading "/", but it follows
// symbolic links already on disk (one an earlier archive planted, say) on the way to a member.
// The archive is listed first, and refused when a member would be written through a link that
// leads out of the sensor directory.
void check_members(const fs::path& real_base, const fs::path& target, const std::string& archive) {
  remove_on_exit_t list{archive + ".list"};
  run_unpacker(string_utils::format("tar -tzf %s --quoting-style=escape > %s",
                                    shell_quote(archive).c_str(), shell_quote(list.path).c_str()),
               "unable unpack configurations");
  std::ifstream in(list.path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    const std::string name = unescape_member(line);
    // tar itself skips these members.
    if (has_dot_dot_part(name)) continue;
    check_links(real_base, target, name, name);
  }
}

}  // namespace

void sensor_t::on_file(const command_file_t& cmd) {
  answer_t answer(cmd.id | answer_bit);
  try {
    // A NUL byte would cut the name short wherever it is used as a C string.
    if (cmd.path.find("..") != std::string::npos || cmd.path.find('\0') != std::string::npos)
      refuse_path(cmd.path);
    if (!proto.download_error().empty()) {
      // The content could not be stored whole: placing what there is would install a cut file.
      L.error("Download file error: %s\n", proto.download_error().c_str());
      throw exception_t(proto.download_error());
    }
    const fs::path target = path_join(sensor_dir, cmd.path);
    const fs::path real_base = fs::weakly_canonical(sensor_dir);
    check_links(real_base, sensor_dir, cmd.path, cmd.path);

    if (cmd.flags & flag_gzip) {
      fs::create_directories(target.parent_path());
      const std::string gz_path = proto.download_path() + ".gz";
      fs::rename(proto.download_path(), gz_path);
      // Unpacked beside the target and renamed over it only when whole: a failure (bad data, a
      // full disk) leaves the stored file as it was.
      if (fs::is_directory(target)) unpack_failed("unable unpack configuration");
      temp_file_t temp;
      if (!temp.create(target) || !temp.close()) throw_system_error("open");
      run_unpacker(string_utils::format("gunzip -c %s > %s", shell_quote(gz_path).c_str(),
                                        shell_quote(temp.path).c_str()),
                   "unable unpack configuration");
      if (!sync_file(temp.path) || !temp.rename_to(target)) throw_system_error("rename");
    } else if (cmd.flags & flag_tar_gz) {
      fs::create_directories(target);
      check_members(real_base, target, proto.download_path());
      run_unpacker(string_utils::format("tar -C %s -xzf %s --overwrite",
                                        shell_quote(target.string()).c_str(),
                                        shell_quote(proto.download_path()).c_str()),
                   "unable unpack configurations");
    } else {
      fs::create_directories(target.parent_path());
      // Copied beside the target and renamed over it, so that a failed copy never leaves a cut
      // file, and the temporary directory may lie on another file system.
      if (fs::is_directory(target)) throw_system_error("copy", EISDIR);
      temp_file_t temp;
      if (!temp.create(target) || !temp.copy_from(proto.download_path()) || !temp.close() ||
          !temp.rename_to(target))
        throw_system_error("copy");
    }

    answer.status = 0;
    proto.write(answer);
  } catch (const exception_t& e) {
    answer.status = 1;
    answer.message = e.message;
    proto.write(answer);
  } catch (const std::exception& e) {
    L.error("Download file error: %s\n", e.what());
    answer.status = 1;
    answer.message = e.what();
    proto.write(answer);
  }
}

}  // namespace ferun
