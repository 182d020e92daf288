#include "common/daemon_launcher.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/poll_until.h"

namespace fs = boost::filesystem;

namespace ferun_test {

void write_file(const fs::path& file, const std::string& text, unsigned mode) {
  std::ofstream out(file.string(), std::ios::binary | std::ios::trunc);
  if (!(out << text) || (out.close(), !out))
    throw std::runtime_error("cannot write " + file.string());
  if (mode != 0) fs::permissions(file, static_cast<fs::perms>(mode));
}

std::string read_file(const fs::path& file) {
  std::ifstream in(file.string(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

daemon_launcher_t::daemon_launcher_t(const scripts_t& scripts) : dir_("ferun_launch") {
  static std::atomic<int> counter{0};
  name_ = "ferun_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
  output_file_ = dir_ / (name_ + ".output");
  cwd = dir();
  for (const char* file : {"ferun", "sysinfo", "tavrel-snort"}) {
    const fs::path to = file == std::string("ferun") ? program_path() : dir_ / file;
    const auto script = scripts.find(file);
    if (script == scripts.end()) fs::copy_file(fs::path(FERUN_BINARY_DIR) / file, to);
    write_file(to, script == scripts.end() ? read_file(to) : script->second, 0755);
  }
}

daemon_launcher_t::~daemon_launcher_t() {
  kill_all();
  boost::system::error_code ignored;
  fs::remove_all(tmpdir(), ignored);
}

void daemon_launcher_t::start(const std::vector<std::string>& args, const std::string& argv0) {
  kill_all();
  status_.reset();
  // Prepared here: between fork and exec only async-signal-safe calls are allowed.
  std::vector<std::string> words{argv0.empty() ? program_path().string() : argv0};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  const std::string program = program_path().string(), output = output_file_.string();
  const std::string workdir = cwd.string();

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig)
      signal(sig, sig == SIGHUP && hup_ignored ? SIG_IGN : SIG_DFL);
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 ||
        chdir(workdir.c_str()) != 0)
      _exit(126);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  setpgid(pid, pid);  // from both sides, so that the group exists whichever runs first
  pid_ = pid;
}

pid_t daemon_launcher_t::worker() const {
  std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                         "/children");
  pid_t child = 0;
  return children >> child ? child : 0;
}

bool daemon_launcher_t::running() {
  int status = 0;
  if (pid_ <= 0 || status_ || waitpid(pid_, &status, WNOHANG) != 0) {
    if (pid_ > 0 && !status_) status_ = status;
    return false;
  }
  return true;
}

std::optional<int> daemon_launcher_t::wait_exit(std::chrono::milliseconds deadline) {
  if (!poll_until([&] { return !running(); }, deadline)) return std::nullopt;
  return status_;
}

bool daemon_launcher_t::wait_for_output(const std::string& text,
                                        std::chrono::milliseconds deadline) {
  return poll_until([&] { return output().find(text) != std::string::npos; }, deadline);
}

bool daemon_launcher_t::listening(std::uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line, slot, local, remote, state;
  std::getline(table, line);  // the header
  while (table >> slot >> local >> remote >> state && std::getline(table, line))
    if (state == "0A" && std::stoul(local.substr(local.find(':') + 1), nullptr, 16) == port)
      return true;
  return false;
}

bool daemon_launcher_t::wait_listening(std::uint16_t port, std::chrono::milliseconds deadline) {
  return poll_until([&] { return listening(port) || !running(); }, deadline) && listening(port);
}

bool daemon_launcher_t::send_signal(int sig) {
  return running() && kill(pid_, sig) == 0;
}

int daemon_launcher_t::stop(std::chrono::milliseconds deadline) {
  if (send_signal(SIGTERM) && !wait_exit(deadline)) kill_all();
  return status_.value_or(-1);
}

void daemon_launcher_t::kill_all() {
  if (pid_ > 0) kill(-pid_, SIGKILL);  // the group: the worker and the scripts it runs
  // A detached copy has left the group: found by its executable, which is this launcher's own.
  boost::system::error_code error;
  for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
    const fs::path exe = fs::read_symlink(it->path() / "exe", error);
    if (!error && exe == program_path()) kill(std::stoi(it->path().filename().string()), SIGKILL);
    error.clear();
  }
  if (pid_ > 0 && !status_) {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
  }
}

std::uint16_t daemon_launcher_t::free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (fd >= 0) close(fd);
  if (!ok) throw std::runtime_error("no free port");
  return ntohs(address.sin_port);
}

}  // namespace ferun_test
