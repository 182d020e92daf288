// The value file "sensor.ini" and the get-value and set-value commands.
//
// The map `ini` is only a working copy: every command that uses it reloads it from the file, so
// changes made by an upload or by hand are seen. The file is replaced whole through a temporary
// file and a rename, so a full disk or a crash while writing never loses the stored values.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <boost/system/error_code.hpp>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "sensor/ini_file.h"
#include "sensor/sensor.h"
#include "support/string_utils.h"

namespace ferun {

namespace {

std::string system_text(int error) {
  return boost::system::system_category().message(error);
}

struct file_closer_t {
  void operator()(FILE* file) const { std::fclose(file); }
};
using file_ptr_t = std::unique_ptr<FILE, file_closer_t>;

// A temporary file that is removed again unless it has been renamed into place.
class temp_file_t {
 public:
  temp_file_t() = default;
  ~temp_file_t() {
    if (fd >= 0) ::close(fd);
    if (!path.empty()) ::unlink(path.c_str());
  }
  temp_file_t(const temp_file_t&) = delete;
  temp_file_t& operator=(const temp_file_t&) = delete;

  // Creates a new file beside `target`; false with errno set when none could be made.
  bool create(const boost::filesystem::path& target) {
    const boost::filesystem::path dir = target.parent_path();
    for (int attempt = 0; attempt < 16; ++attempt) {
      const std::string name =
          (dir / boost::filesystem::unique_path(target.filename().string() + ".%%%%%%%%.tmp"))
              .string();
      // The same mode as a file made by fopen "w": 0666 less the umask.
      fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
      if (fd >= 0) {
        path = name;
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  bool write_all(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Flushes the content to the disk and closes the file; false with errno set on failure.
  bool close() {
    const bool synced = ::fsync(fd) == 0;
    const int sync_error = errno;
    const bool closed = ::close(fd) == 0;
    fd = -1;
    if (!synced) errno = sync_error;
    return synced && closed;
  }

  bool rename_to(const boost::filesystem::path& target) {
    if (::rename(path.c_str(), target.c_str()) != 0) return false;
    path.clear();
    return true;
  }

  int fd = -1;
  std::string path;
};

}  // namespace

void sensor_t::read_ini() {
  ini.clear();

  // "a+": the file is created empty when it is missing, and a file the daemon may not write is
  // refused here already.
  file_ptr_t file(std::fopen(ini_path.c_str(), "a+e"));
  if (!file) {
    const std::string text = string_utils::format("can't read ini from %s (%s)",
                                                  sensor_name.c_str(), system_text(errno).c_str());
    L.error("%s", text.c_str());
    throw exception_t(text);
  }

  ini_parser_t parser(ini);
  char buffer[1024];
  ini_status_t status = ini_status_t::ok;
  while (status == ini_status_t::ok) {
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
    if (n == 0) break;
    status = parser.feed(buffer, n);
  }
  if (status == ini_status_t::ok && std::ferror(file.get())) {
    const std::string text = string_utils::format("can't read ini from %s (%s)",
                                                  sensor_name.c_str(), system_text(errno).c_str());
    L.error("%s", text.c_str());
    throw exception_t(text);
  }
  if (status == ini_status_t::ok) status = parser.finish();
  if (status != ini_status_t::ok) {
    L.error("%s", ini_status_text(status));
    throw exception_t(ini_status_text(status));
  }
}

void sensor_t::write_ini() {
  const auto fail = [this](int error) {
    const std::string text = string_utils::format("can't write ini for %s (%s)",
                                                  sensor_name.c_str(), system_text(error).c_str());
    L.error("%s", text.c_str());
    throw exception_t(text);
  };

  temp_file_t temp;
  if (!temp.create(ini_path)) fail(errno);
  // A file replaced by hand-set permissions keeps them, as it would when rewritten in place.
  struct stat old_file;
  if (::stat(ini_path.c_str(), &old_file) == 0 && S_ISREG(old_file.st_mode) &&
      ::fchmod(temp.fd, old_file.st_mode & 07777) != 0)
    fail(errno);
  if (!temp.write_all(format_ini(ini))) fail(errno);
  if (!temp.close()) fail(errno);
  if (!temp.rename_to(ini_path)) fail(errno);
}

void sensor_t::on_get_value(const command_get_value_t& cmd) {
  answer_get_value_t answer;
  answer.status = 0;

  boost::system::error_code error;
  const boost::filesystem::file_status status = boost::filesystem::status(ini_path, error);
  const bool missing =
      error.value() == ENOENT || (!error && status.type() == boost::filesystem::file_not_found);

  if (!error && status.type() == boost::filesystem::regular_file) {
    try {
      read_ini();
      for (const std::string& name : cmd.names) {
        const auto found = ini.find(name);
        answer.values.push_back({name, found == ini.end() ? std::string() : found->second});
      }
    } catch (const exception_t& e) {
      answer.status = 1;
      answer.message = e.message;
      answer.values.clear();
    }
  } else if (missing) {
    // Nothing stored yet: every name is answered empty and the file is not created.
    for (const std::string& name : cmd.names) answer.values.push_back({name, std::string()});
  } else {
    // Any other failure, or a path that is not a regular file (which reports no error at all).
    const std::string text = system_text(error.value());
    answer.status = 1;
    answer.message = text;
    proto.write(answer);
    L.error("%s", string_utils::format("can't read values from %s (%s)", sensor_name.c_str(),
                                       text.c_str())
                      .c_str());
    return;
  }
  proto.write(answer);
}

void sensor_t::on_set_value(const command_set_value_t& cmd) {
  answer_t answer(cmd.id | answer_bit);
  try {
    // A pair the file cannot carry would read back differently or break every later read:
    // the whole command is refused before the file is touched.
    for (const ini_value_t& pair : cmd.values) {
      const std::string why = check_ini_pair(pair.name, pair.value);
      if (!why.empty()) {
        const std::string text = string_utils::format(
            "can't store value \"%s\": %s", printable_text(pair.name).c_str(), why.c_str());
        L.error("%s", text.c_str());
        throw exception_t(text);
      }
    }
    read_ini();
    for (const ini_value_t& pair : cmd.values) ini[pair.name] = pair.value;
    write_ini();
    answer.status = 0;
  } catch (const exception_t& e) {
    answer.status = 1;
    answer.message = e.message;
  }
  proto.write(answer);
}

}  // namespace ferun
