#include "common/daemon_launcher.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/poll_until.h"

namespace fs = boost::filesystem;

namespace ferun_test {

namespace {

std::runtime_error system_failure(const std::string& what) {
  return std::runtime_error(what + ": " + strerror(errno));
}

// Whether /proc/net/tcp lists a listening IPv4 socket on `port`.
bool listening_on(std::uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    const size_t colon = local.find(':');
    if (colon == std::string::npos || state != "0A") continue;
    if (std::stoul(local.substr(colon + 1), nullptr, 16) == port) return true;
  }
  return false;
}

}  // namespace

void write_file(const fs::path& file, const std::string& text, unsigned mode) {
  std::ofstream out(file.string(), std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + file.string());
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

  const fs::path built(FERUN_BINARY_DIR);
  auto copy = [&](const char* from, const fs::path& to) {
    fs::copy_file(built / from, to);
    fs::permissions(to, static_cast<fs::perms>(0755));
  };
  copy("ferun", program_path());
  for (const char* script : {"sysinfo", "tavrel-snort"})
    if (scripts.count(script) == 0) copy(script, dir_ / script);
  for (const auto& script : scripts) write_script(script.first, script.second);
}

daemon_launcher_t::~daemon_launcher_t() {
  kill_group();
  boost::system::error_code ignored;
  fs::remove_all(tmpdir(), ignored);
}

void daemon_launcher_t::start(const std::vector<std::string>& args) {
  kill_group();
  status_.reset();

  // Everything the child needs is prepared here: between fork and exec only async-signal-safe
  // calls are allowed, and the test process may run threads.
  std::vector<std::string> words;
  words.push_back(program_path().string());
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  const std::string program = program_path().string();
  const std::string output = output_file_.string();
  const std::string workdir = dir_.path().string();

  const pid_t pid = fork();
  if (pid < 0) throw system_failure("fork");
  if (pid == 0) {
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 ||
        chdir(workdir.c_str()) != 0) {
      _exit(126);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  // Set from both sides, so that the group exists whichever runs first.
  setpgid(pid, pid);
  pid_ = pid;
}

bool daemon_launcher_t::running() {
  if (pid_ <= 0 || status_) return false;
  int status = 0;
  const pid_t got = waitpid(pid_, &status, WNOHANG);
  if (got == pid_) {
    status_ = status;
    return false;
  }
  return got == 0;
}

std::optional<int> daemon_launcher_t::wait_exit(std::chrono::milliseconds deadline) {
  if (!poll_until([&] { return !running(); }, deadline)) return std::nullopt;
  return status_;
}

bool daemon_launcher_t::wait_for_output(const std::string& text,
                                        std::chrono::milliseconds deadline) {
  return poll_until([&] { return output().find(text) != std::string::npos; }, deadline);
}

bool daemon_launcher_t::wait_listening(std::uint16_t port, std::chrono::milliseconds deadline) {
  bool listening = false;
  poll_until([&] { return (listening = listening_on(port)) || !running(); }, deadline);
  return listening;
}

bool daemon_launcher_t::send_signal(int sig) {
  return running() && kill(pid_, sig) == 0;
}

int daemon_launcher_t::stop(std::chrono::milliseconds deadline) {
  if (send_signal(SIGTERM) && !wait_exit(deadline)) kill_group();
  return status_.value_or(-1);
}

void daemon_launcher_t::kill_group() {
  if (pid_ <= 0) return;
  // The whole group: a monitor's worker and the scripts it runs go with it.
  kill(-pid_, SIGKILL);
  if (!status_) {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
  }
}

std::uint16_t daemon_launcher_t::free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw system_failure("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  const int saved = errno;
  close(fd);
  errno = saved;
  if (!ok) throw system_failure("bind to a free port");
  return ntohs(address.sin_port);
}

std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exited " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

}  // namespace ferun_test
