// The value file "sensor.ini" and the get-value and set-value commands.
//
// The map `ini` is only a working copy: every command that uses it reloads it from the file, so
// changes made by an upload or by hand are seen. The file is replaced whole through a temporary
// file and a rename, so a full disk or a crash while writing never loses the stored values.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "sensor/ini_file.h"
#include "sensor/replace_file.h"
#include "sensor/sensor.h"
#include "support/held_dir.h"
#include "support/string_utils.h"

namespace ferun {

namespace {

using string_utils::system_text;

struct file_closer_t {
  void operator()(FILE* file) const { std::fclose(file); }
};
using file_ptr_t = std::unique_ptr<FILE, file_closer_t>;

}  // namespace

void sensor_t::read_ini() {
  ini.clear();

  // "a+": the file is created empty when it is missing, and a file the daemon may not write is
  // refused here already. A link in its place is never followed.
  fd_t fd(open_beneath(sensor_fd.get(), ini_name, O_RDWR | O_APPEND | O_CREAT, 0644));
  file_ptr_t file(fd ? ::fdopen(fd.get(), "a+") : nullptr);
  if (file) fd.release();
  if (!file) {
    const std::string text = string_utils::format("can't read ini from %s (%s)",
                                                  sensor_name.c_str(), system_text(errno).c_str());
    L.error("%s\n", text.c_str());
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
    L.error("%s\n", text.c_str());
    throw exception_t(text);
  }
  if (status == ini_status_t::ok) status = parser.finish();
  if (status != ini_status_t::ok) {
    // Each text is its own format: a format that ends in a newline is what lets the channel's
    // next line begin with its prefix.
    if (status == ini_status_t::new_line)
      L.error("invalid ini file: new line\n");
    else
      L.error("invalid ini file: format\n");
    throw exception_t(ini_status_text(status));
  }
}

void sensor_t::write_ini() {
  const auto fail = [this](int error) {
    const std::string text = string_utils::format("can't write ini for %s (%s)",
                                                  sensor_name.c_str(), system_text(error).c_str());
    L.error("%s\n", text.c_str());
    throw exception_t(text);
  };

  temp_file_t temp;
  // The new file takes the old one's mode, as it would when rewritten in place.
  if (!temp.create(sensor_fd.get(), ini_name)) fail(errno);
  if (!temp.write_all(format_ini(ini))) fail(errno);
  if (!temp.close()) fail(errno);
  if (!temp.rename_to_target()) fail(errno);
}

void sensor_t::on_get_value(const command_get_value_t& cmd) {
  answer_get_value_t answer;
  answer.status = 0;

  // A link in the file's place is reported as one, never followed.
  struct stat st;
  int error = ::fstatat(sensor_fd.get(), ini_name, &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
  if (error == 0 && S_ISLNK(st.st_mode)) error = ELOOP;
  const bool missing = error == ENOENT;

  if (error == 0 && S_ISREG(st.st_mode)) {
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
    // Any other failure, or a path that is not a regular file (which the query does not report as
    // an error, so the reason is named here).
    const std::string text = error != 0            ? system_text(error)
                             : S_ISDIR(st.st_mode) ? system_text(EISDIR)
                                                   : std::string("not a regular file");
    answer.status = 1;
    answer.message = text;
    proto.write(answer);
    L.error("%s\n", string_utils::format("can't read values from %s (%s)", sensor_name.c_str(),
                                         text.c_str())
                        .c_str());
    return;
  }
  try {
    proto.write(answer);
  } catch (const serializer_exception_t&) {
    // Values stored one at a time may be too many to send back at once; nothing has been sent.
    answer.status = 1;
    answer.message = "the values asked for do not fit one answer, ask for fewer at a time";
    answer.values.clear();
    L.error("%s\n", string_utils::format("can't send values to %s (%s)", sensor_name.c_str(),
                                         answer.message.c_str())
                        .c_str());
    proto.write(answer);
  }
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
        L.error("%s\n", text.c_str());
        throw exception_t(text);
      }
    }
    // Read, changed and written back while no upload of this sensor places files.
    const dir_lock_t no_upload(sensor_fd.get());
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
