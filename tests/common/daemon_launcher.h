// Runs the real daemon for end-to-end tests. Each launcher copies the built executable under a
// unique name into a fresh temporary directory with the scripts `sysinfo` and `tavrel-snort`, so
// that runs never share /tmp/<name>. The daemon runs in its own process group with its output
// captured; the destructor kills every process of the copy (a detached one too) and removes both
// directories.
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

  // The directory holding the copy and its scripts.
  const boost::filesystem::path& dir() const { return dir_.path(); }
  const std::string& name() const { return name_; }
  // "/tmp/" followed by the program name: the daemon's own temporary directory.
  boost::filesystem::path tmpdir() const { return boost::filesystem::path("/tmp") / name_; }
  void write_script(const std::string& name, const std::string& text) {
    write_file(dir_ / name, text, 0755);
  }

  // Where the next start runs (dir() unless changed) and whether it starts with SIGHUP ignored.
  boost::filesystem::path cwd;
  bool hup_ignored = false;

  // Starts the copy with `args`, its first word the copy's absolute path or `argv0` when given
  // (a bare name, as a search through PATH leaves it). A running one is killed first.
  void start(const std::vector<std::string>& args, const std::string& argv0 = "");

  pid_t pid() const { return pid_; }
  // The first child of the process (the monitor's worker), or 0.
  pid_t worker() const;
  // True while the process has not ended; reaps it when it has.
  bool running();
  // Waits until the process ends or `deadline` passes; the raw wait status, or nothing.
  std::optional<int> wait_exit(std::chrono::milliseconds deadline);
  // Everything the process wrote on standard output and error so far.
  std::string output() const { return read_file(output_file_); }
  bool wait_for_output(const std::string& text, std::chrono::milliseconds deadline);
  // Waits until a socket listens on `port`; false when the deadline passes or the process ends.
  bool wait_listening(std::uint16_t port, std::chrono::milliseconds deadline);
  // Whether an IPv4 socket listens on `port`.
  static bool listening(std::uint16_t port);
  // Sends `sig` to the process itself; false when it has already ended.
  bool send_signal(int sig);
  // SIGTERM, then SIGKILL to the group if it still runs after `deadline`. The raw wait status.
  int stop(std::chrono::milliseconds deadline = 10s);
  // A loopback TCP port that was free a moment ago.
  static std::uint16_t free_port();

 private:
  boost::filesystem::path program_path() const { return dir_ / name_; }
  void kill_all();

  temp_dir_t dir_;
  std::string name_;
  boost::filesystem::path output_file_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace ferun_test
