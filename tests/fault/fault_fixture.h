// The real daemon (monitor and worker) on a loopback port, for tests that hurt it: consoles that
// vanish or babble, full file systems, a wrapper script that hangs. Every test ends by proving
// that a fresh console is still served, and the fixture checks that the worker was never
// replaced (the monitor would hide a crash by starting a new one) and that no sanitizer spoke.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/console_client.h"
#include "common/daemon_launcher.h"
#include "common/poll_until.h"
#include "proto/commands.h"

namespace ferun_test {

using namespace std::chrono_literals;

inline std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The frame that answers the command `id`, skipping event, packet and statistics frames.
inline std::optional<frame_t> answer_frame(console_client_t& console, std::uint32_t id,
                                           std::chrono::milliseconds timeout = 20s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto frame = console.receive(left);
    if (!frame || frame->id == (id | ferun::answer_bit)) return frame;
  }
}

// Status and message of the answer to `cmd`; status 255 when no answer came.
inline ferun::answer_t exchange(console_client_t& console, const ferun::command_t& cmd) {
  console.send(cmd);
  const auto frame = answer_frame(console, cmd.id);
  if (!frame) return ferun::answer_t(cmd.id | ferun::answer_bit, 255, "no answer");
  return frame->as<ferun::answer_t>();
}

inline ferun::answer_t say_hello(console_client_t& console, const std::string& prefix,
                                 std::uint32_t id) {
  ferun::command_hello_t hello;
  hello.version = ferun::protocol_version;
  hello.prefix = prefix;
  hello.sensor_id = id;
  hello.sensor_name = prefix + std::to_string(id);
  return exchange(console, hello);
}

inline ferun::answer_t set_value(console_client_t& console, const std::string& name,
                                 const std::string& value) {
  ferun::command_set_value_t set;
  set.values.push_back({name, value});
  return exchange(console, set);
}

// The stored value of `name`, or nothing when the answer was missing or a failure.
inline std::optional<std::string> get_value(console_client_t& console, const std::string& name) {
  ferun::command_get_value_t get;
  get.names.push_back(name);
  console.send(get);
  const auto frame = answer_frame(console, get.id);
  if (!frame) return std::nullopt;
  const auto answer = frame->as<ferun::answer_get_value_t>();
  if (answer.status != 0 || answer.values.size() != 1) return std::nullopt;
  return answer.values[0].value;
}

inline ferun::answer_t upload(console_client_t& console, const std::string& path,
                              const std::string& content) {
  ferun::command_file_t file;
  file.path = path;
  file.size = static_cast<std::uint32_t>(content.size());
  console.send(file);
  console.send_raw(content);
  const auto frame = answer_frame(console, file.id);
  if (!frame) return ferun::answer_t(file.id | ferun::answer_bit, 255, "no answer");
  return frame->as<ferun::answer_t>();
}

// Descriptors and threads of a process: what a released connection must give back.
struct process_load_t {
  std::size_t fds = 0;
  std::size_t threads = 0;
  bool operator==(const process_load_t& o) const { return fds == o.fds && threads == o.threads; }
};

inline process_load_t load_of(pid_t pid) {
  namespace fs = boost::filesystem;
  process_load_t load;
  boost::system::error_code ec;
  const fs::path proc = "/proc/" + std::to_string(pid);
  for (auto it = fs::directory_iterator(proc / "fd", ec); !ec && it != fs::directory_iterator();
       it.increment(ec))
    ++load.fds;
  for (auto it = fs::directory_iterator(proc / "task", ec); !ec && it != fs::directory_iterator();
       it.increment(ec))
    ++load.threads;
  return load;
}

// The only live child of `parent`, or -1.
inline pid_t child_of(pid_t parent) {
  namespace fs = boost::filesystem;
  pid_t found = -1;
  for (auto it = fs::directory_iterator("/proc"); it != fs::directory_iterator(); ++it) {
    const std::string name = it->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(it->path().string() + "/stat");
    std::string line;
    std::getline(in, line);
    const auto name_end = line.rfind(')');
    if (name_end == std::string::npos) continue;
    std::istringstream rest(line.substr(name_end + 1));
    char state = 0;
    pid_t ppid = 0;
    rest >> state >> ppid;
    if (ppid != parent || state == 'Z') continue;
    if (found > 0) return -1;
    found = std::atoi(name.c_str());
  }
  return found;
}

class DaemonFault : public testing::Test {
 protected:
  // Scripts of the run. The IDS wrapper does nothing here: these tests are about the daemon.
  explicit DaemonFault(daemon_launcher_t::scripts_t scripts = {{"tavrel-snort", "#!/bin/sh\n"}})
      : daemon_(scripts) {}

  ~DaemonFault() override {
    // An orderly stop, so that a sanitizer's leak report at the worker's exit is seen as well.
    if (daemon_.running()) {
      const int status = daemon_.stop(10s);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe_status(status);
    }
    const std::string out = daemon_.output();
    EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
    EXPECT_EQ(out.find("sensor has failed"), std::string::npos) << "the worker was replaced\n"
                                                                << out;
  }

  const boost::filesystem::path& data() const { return datadir_; }

  // Starts the daemon and notes what its idle worker holds before any console has come.
  void start() {
    daemon_.start(
        {"--port", std::to_string(port_), "--datadir", data().string(), "--log", "sensor"});
    ASSERT_TRUE(daemon_.wait_for_output("I am run!", 20s)) << daemon_.output();
    ASSERT_TRUE(daemon_.wait_listening(port_, 20s)) << daemon_.output();
    ASSERT_TRUE(poll_until([&] { return (worker_ = child_of(daemon_.pid())) > 0; }, 20s));
    ASSERT_TRUE(poll_until(
        [&] {
          const process_load_t now = load_of(worker_);
          const bool stable = now == idle_;
          idle_ = now;
          return stable;
        },
        10s));
  }

  // Every connection has ended and its thread has been joined.
  testing::AssertionResult released() {
    process_load_t now;
    if (poll_until([&] { return (now = load_of(worker_)) == idle_; }, 30s))
      return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "the worker holds " << now.fds << " descriptors and " << now.threads << " threads, "
           << idle_.fds << " and " << idle_.threads << " when idle";
  }

  // A new console is greeted, and a value set on it reads back.
  testing::AssertionResult serves_new_console(std::uint32_t id) {
    try {
      console_client_t console(port_, 20s);
      const auto hello = say_hello(console, "check", id);
      if (hello.status != 0) return testing::AssertionFailure() << "hello: " << hello.message;
      const std::string value = "value " + std::to_string(id);
      const auto set = set_value(console, "check", value);
      if (set.status != 0) return testing::AssertionFailure() << "set value: " << set.message;
      const auto got = get_value(console, "check");
      if (got != value) return testing::AssertionFailure() << "get value: " << got.value_or("-");
      return testing::AssertionSuccess();
    } catch (const std::exception& e) {
      return testing::AssertionFailure() << e.what() << "\n" << daemon_.output();
    }
  }

  daemon_launcher_t daemon_;
  std::uint16_t port_ = daemon_launcher_t::free_port();
  boost::filesystem::path datadir_ = daemon_.dir() / "data";
  pid_t worker_ = -1;
  process_load_t idle_;
};

}  // namespace ferun_test
