// Captures the log of one channel for the reader and map tests.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include "common/temp_dir.h"
#include "support/log.h"

namespace snort_test {

// Sends the log to a file and enables `channel` at `level` while the object lives.
class log_capture_t {
 public:
  log_capture_t(const std::string& channel, const std::string& level) : channel_(channel) {
    log_t::set_filename((dir_ / "log").string());
    log_t::enable(channel, level);
  }
  ~log_capture_t() {
    log_t::disable(channel_);
    log_t::set_filename("");
  }

  size_t count(const std::string& needle) const {
    std::ostringstream s;
    s << std::ifstream((dir_ / "log").string(), std::ios::binary).rdbuf();
    const std::string t = s.str();
    size_t n = 0;
    for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
    return n;
  }

 private:
  ferun_test::temp_dir_t dir_;
  std::string channel_;
};

}  // namespace snort_test
