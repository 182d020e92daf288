// Runs a private copy of the built daemon and its scripts in a fresh directory, output captured.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "common/test_util.h"

namespace ferun_test {

using namespace std::chrono_literals;

// Writes `text` into `file` (created or emptied), then applies `mode` when it is not 0.
inline void write_file(const boost::filesystem::path& file, const std::string& text,
                       unsigned mode = 0) {
  std::ofstream out(file.string(), std::ios::binary | std::ios::trunc);
  if (!(out << text) || (out.close(), !out))
    throw std::runtime_error("cannot write " + file.string());
  if (mode != 0) boost::filesystem::permissions(file, static_cast<boost::filesystem::perms>(mode));
}

inline std::string read_file(const boost::filesystem::path& file) {  // empty when unreadable
  std::ifstream in(file.string(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class daemon_launcher_t {
 public:
  explicit daemon_launcher_t(const std::map<std::string, std::string>& scripts = {}) {
    static std::atomic<int> counter{0};  // a unique name: runs never share /tmp/<name>
    name_ = "ferun_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    cwd = dir();
    start_guard();
    for (const std::string file : {"ferun", "sysinfo", "tavrel-snort"}) {
      const auto to = dir() / (file == "ferun" ? name_ : file);
      const auto script = scripts.find(file);
      if (script == scripts.end()) copy_file(boost::filesystem::path(FERUN_BINARY_DIR) / file, to);
      if (script != scripts.end()) write_file(to, script->second, 0755);
    }
  }
  ~daemon_launcher_t() {  // kills every process of the copy, a detached one too
    kill_all();
    // An empty last line: the guard kills no group, whose number may be reused by now, and ends.
    if (::write(guard_pipe_, "\n", 1) < 0) perror("guard");
    ::close(guard_pipe_);
    while (guard_ > 0 && waitpid(guard_, nullptr, 0) < 0 && errno == EINTR) continue;
    boost::system::error_code ignored;
    remove_all(tmpdir(), ignored);
  }
  daemon_launcher_t(const daemon_launcher_t&) = delete;
  daemon_launcher_t& operator=(const daemon_launcher_t&) = delete;

  const boost::filesystem::path& dir() const { return dir_.path(); }
  boost::filesystem::path tmpdir() const { return "/tmp/" + name_; }
  boost::filesystem::path cwd;  // where the next start runs: dir() unless changed

  // Kills a running one; starts the copy in its own process group, named as PATH leaves it if bare.
  void start(const std::vector<std::string>& args, bool bare = false) {
    kill_all();
    status_.reset();
    // Prepared here: between fork and exec only async-signal-safe calls are allowed.
    const std::string program = (dir() / name_).string(), output = (dir() / "output").string();
    std::vector<std::string> words{bare ? name_ : program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      setpgid(0, 0);
      const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
      const int in = open("/dev/null", O_RDONLY);
      if (out >= 0 && in >= 0 && dup2(in, 0) == 0 && dup2(out, 1) == 1 && dup2(out, 2) == 2 &&
          chdir(cwd.c_str()) == 0)
        execv(program.c_str(), argv.data());
      _exit(127);
    }
    setpgid(pid_, pid_);  // from both sides, so that the group exists whichever runs first
    const std::string group = std::to_string(pid_) + "\n";
    if (::write(guard_pipe_, group.data(), group.size()) < 0) perror("guard");
  }

  pid_t pid() const { return pid_; }
  pid_t worker() const {  // the process's first child, or 0
    const std::string pid = std::to_string(pid_);
    pid_t child = 0;
    return std::ifstream("/proc/" + pid + "/task/" + pid + "/children") >> child ? child : 0;
  }
  // Waits until the process ends (and reaps it) or `deadline` passes; the raw wait status.
  std::optional<int> wait_exit(std::chrono::milliseconds deadline) {
    int status = 0;
    const auto ended = [&] { return status_ || (pid_ > 0 && waitpid(pid_, &status, WNOHANG)); };
    if (poll_until(ended, deadline) && !status_) status_ = status;
    return status_;
  }
  std::string output() const { return read_file(dir() / "output"); }  // stdout and stderr
  static bool listening(std::uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    std::string line, slot, local, remote, state;
    while (table >> slot >> local >> remote >> state && std::getline(table, line))
      if (state == "0A" && std::stoul(local.substr(local.find(':') + 1), nullptr, 16) == port)
        return true;
    return false;
  }
  bool wait_listening(std::uint16_t port, std::chrono::milliseconds deadline) {
    return poll_until([&] { return listening(port) || wait_exit(0s); }, deadline) &&
           listening(port);
  }
  bool send_signal(int sig) { return pid_ > 0 && !wait_exit(0s) && kill(pid_, sig) == 0; }
  int stop(std::chrono::milliseconds deadline = 10s) {  // SIGTERM, SIGKILL late; the status
    if (send_signal(SIGTERM) && !wait_exit(deadline)) kill_all();
    return status_.value_or(-1);
  }
  static std::uint16_t free_port() {
    boost::asio::io_context io;
    return boost::asio::ip::tcp::acceptor(io, {boost::asio::ip::address_v4::loopback(), 0})
        .local_endpoint()
        .port();
  }

 private:
  // A test killed by its timeout (or a crash) never reaches the destructor. A guard process holds
  // the read end of a pipe that only this process can write: when this process ends in any way
  // the guard reads the end of the stream and kills the last started process group and every
  // process running the copy (a detached one has a group of its own).
  void start_guard() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const std::string script =
        "g=; while read -r p; do g=$p; done; [ -n \"$g\" ] && kill -KILL -- \"-$g\" 2>/dev/null; "
        "exec pkill -KILL -f \"$0\"";
    // The name, then a blank or the end: "..._1" must not match "..._10".
    const std::string pattern = name_ + "( |$)";
    guard_ = fork();
    if (guard_ == 0) {
      // Its own group: a kill of the daemon's group never reaches it.
      setpgid(0, 0);
      if (dup2(ends[0], 0) == 0)
        execl("/bin/sh", "sh", "-c", script.c_str(), pattern.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    ::close(ends[0]);
    guard_pipe_ = ends[1];
    if (guard_ < 0) throw std::runtime_error("fork failed");
  }

  void kill_all() {
    // The group (worker, scripts), then a detached copy, found by its executable: this one's own.
    if (pid_ > 0) kill(-pid_, SIGKILL);
    namespace fs = boost::filesystem;
    boost::system::error_code error;
    for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
      if (fs::read_symlink(it->path() / "exe", error) == dir() / name_ && !error)
        kill(std::stoi(it->path().filename().string()), SIGKILL);
      error.clear();
    }
    while (pid_ > 0 && !wait_exit(1s)) continue;
  }

  temp_dir_t dir_{"ferun_launch"};
  std::string name_;
  pid_t pid_ = -1;
  std::optional<int> status_;
  pid_t guard_ = -1;
  int guard_pipe_ = -1;
};

}  // namespace ferun_test
