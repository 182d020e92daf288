// How an upload fails: the answers consoles match on, and the calls that log a failure and raise
// it (as `exception_t`) with the answer's text. Shared by the placing of single files
// (sensor_files.cpp) and of archives (archive_unpack.cpp).
#pragma once

#include <functional>
#include <string>

#include "sensor/sensor.h"
#include "support/string_utils.h"

namespace ferun::uploads {

// The answers consoles match on when a gzip or tar.gz upload cannot be placed.
inline constexpr const char* gzip_failure = "unable unpack configuration";
inline constexpr const char* tar_failure = "unable unpack configurations";
// A placing whose failure could not be undone at once: its journal stays for the next hello.
inline constexpr const char* tar_failure_later =
    "unable unpack configurations (replaced files are put back at the next hello)";
inline constexpr const char* cancelled_text = "upload cancelled: the sensor is stopping";

using string_utils::system_text;

[[noreturn]] inline void refuse_path(const std::string& path) {
  const std::string text =
      string_utils::format("Download file error: path attack detected (%s)", path.c_str());
  sensor_t::L.error("%s\n", text.c_str());
  throw exception_t(text);
}

// Logs why a placement failed (`what`: a member or a path, with the reason) and answers with
// `answer`, or with the logged text itself when `answer` is null (a plain file).
[[noreturn]] inline void placement_failed(const std::string& what, const char* answer) {
  const std::string text = "Download file error: " + what;
  sensor_t::L.error("%s\n", text.c_str());
  throw exception_t(answer ? std::string(answer) : text);
}

[[noreturn]] inline void member_failed(const std::string& member, int error) {
  placement_failed(member + ": " + system_text(error), tar_failure);
}

[[noreturn]] inline void conflict(const std::string& member) {
  placement_failed(member + ": a directory and a file at one place", tar_failure);
}

inline bool stopping(const std::function<bool()>& cancelled) {
  return cancelled && cancelled();
}

// A stop request is no failure of the upload: it is told as what it is.
[[noreturn]] inline void upload_cancelled(const std::string& path) {
  sensor_t::L.warning("upload of %s cancelled: the sensor is stopping\n", path.c_str());
  throw exception_t(cancelled_text);
}

}  // namespace ferun::uploads
