// Helpers for the reader and map tests: a temporary directory and a log capture.
#pragma once

#include <boost/filesystem.hpp>
#include <fstream>
#include <sstream>
#include <string>

#include "support/log.h"

namespace snort_test {

// A fresh directory, removed with its contents at the end of the test.
class temp_dir_t {
 public:
  temp_dir_t()
      : path_(boost::filesystem::temp_directory_path() /
              boost::filesystem::unique_path("ferun-snort-%%%%-%%%%-%%%%")) {
    boost::filesystem::create_directories(path_);
  }
  ~temp_dir_t() {
    boost::system::error_code ec;
    boost::filesystem::remove_all(path_, ec);
  }
  temp_dir_t(const temp_dir_t&) = delete;
  temp_dir_t& operator=(const temp_dir_t&) = delete;

  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  boost::filesystem::path path_;
};

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Sends the log to a file and enables one channel at `level` for the lifetime of the object.
class log_capture_t {
 public:
  log_capture_t(const std::string& channel, const std::string& level) : channel_(channel) {
    log_t::set_filename(dir_.file("log"));
    log_t::enable(channel, level);
  }
  ~log_capture_t() {
    log_t::disable(channel_);
    log_t::set_filename("");
  }
  log_capture_t(const log_capture_t&) = delete;
  log_capture_t& operator=(const log_capture_t&) = delete;

  std::string text() const { return read_text(dir_.file("log")); }
  size_t count(const std::string& needle) const {
    const std::string t = text();
    size_t n = 0;
    for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
    return n;
  }

 private:
  temp_dir_t dir_;
  std::string channel_;
};

}  // namespace snort_test
