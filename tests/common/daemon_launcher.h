// Runs the real daemon for end-to-end tests. Each launcher copies the built executable under a
// unique name into a fresh temporary directory with the scripts `sysinfo` and `tavrel-snort`, so
// that runs never share /tmp/<name>. The daemon runs in its own process group with its output
// captured; the destructor kills the group and removes both directories.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/temp_dir.h"

namespace ferun_test {

using namespace std::chrono_literals;

// Writes `text` into `file` (created or emptied); `mode` is applied when not 0.
void write_file(const boost::filesystem::path& file, const std::string& text, unsigned mode = 0);
// The whole file, or an empty string when it cannot be read.
std::string read_file(const boost::filesystem::path& file);

class daemon_launcher_t {
 public:
  // Script name to its text; a script not named here is copied from the build.
  using scripts_t = std::map<std::string, std::string>;

  explicit daemon_launcher_t(const scripts_t& scripts = {});
  ~daemon_launcher_t();
  daemon_launcher_t(const daemon_launcher_t&) = delete;
  daemon_launcher_t& operator=(const daemon_launcher_t&) = delete;

  // The directory holding the copy and its scripts; the working directory.
  const boost::filesystem::path& dir() const { return dir_.path(); }
  // "/tmp/" followed by the program name: the daemon's own temporary directory.
  boost::filesystem::path tmpdir() const { return boost::filesystem::path("/tmp") / name_; }

  // Replaces (or adds) a script beside the copy, executable.
  void write_script(const std::string& name, const std::string& text) {
    write_file(dir_ / name, text, 0755);
  }

  // Starts the copy in dir() with `args` after its absolute path. A running one is killed first.
  void start(const std::vector<std::string>& args);

  pid_t pid() const { return pid_; }
  // True while the process has not ended; reaps it when it has.
  bool running();
  // Waits until the process ends or `deadline` passes; the raw wait status, or nothing.
  std::optional<int> wait_exit(std::chrono::milliseconds deadline);

  // Everything the process wrote on standard output and error so far.
  std::string output() const { return read_file(output_file_); }
  // Waits until the output contains `text`; false when the deadline passes first.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds deadline);

  // Waits until a socket listens on the IPv4 `port`; false when the deadline passes first or the
  // process ends.
  bool wait_listening(std::uint16_t port, std::chrono::milliseconds deadline);

  // Sends `sig` to the process itself (not its group); false when it has already ended.
  bool send_signal(int sig);
  // SIGTERM, then SIGKILL to the group if it is still running after `deadline`. The raw wait
  // status.
  int stop(std::chrono::milliseconds deadline = 10s);

  // A loopback TCP port that was free a moment ago (bound to port 0 and released).
  static std::uint16_t free_port();

 private:
  boost::filesystem::path program_path() const { return dir_ / name_; }
  void kill_group();

  temp_dir_t dir_;
  std::string name_;
  boost::filesystem::path output_file_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// "exited N" or "signal N" of a raw wait status, for test messages.
std::string describe_status(int status);

}  // namespace ferun_test
