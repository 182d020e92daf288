// The real daemon under faults; the fixture checks no worker was replaced, no sanitizer spoke.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include "common/console_client.h"
#include "common/daemon_launcher.h"
#include "common/poll_until.h"

namespace fs = boost::filesystem;
using namespace ferun_test;

namespace {

int exchange(console_client_t& console, const ferun::command_t& cmd, const std::string& raw = "") {
  console.send(cmd);
  console.send_raw(raw);  // upload content
  const auto frame = console.receive(20s);
  return frame && frame->id == (cmd.id | ferun::answer_bit) ? frame->as<ferun::answer_t>().status
                                                            : -1;
}
int hello(console_client_t& console, std::uint32_t id) {
  ferun::command_hello_t hello;
  hello.version = ferun::protocol_version;
  hello.prefix = "f";
  hello.sensor_id = id;
  return exchange(console, hello);
}
int set_value(console_client_t& console, const std::string& value) {
  ferun::command_set_value_t set;
  set.values.push_back({"v", value});
  return exchange(console, set);
}

class Fault : public testing::Test {
 protected:
  ~Fault() override {
    EXPECT_EQ(daemon_.stop(10s), 0);
    for (const auto& dir : mounts_) umount2(dir.c_str(), MNT_DETACH);
    EXPECT_EQ(daemon_.output().find("Sanitizer"), std::string::npos) << daemon_.output();
    EXPECT_EQ(daemon_.output().find("sensor has failed"), std::string::npos) << daemon_.output();
  }
  void start() {
    daemon_.start({"--port", std::to_string(port_), "--datadir", data_.string(), "--log", "s"});
    ASSERT_TRUE(daemon_.wait_listening(port_, 20s)) << daemon_.output();
  }
  void expect_serves(std::uint32_t id) {  // a new console: its hello and a set-value
    console_client_t console(port_, 20s);
    EXPECT_EQ(hello(console, id) + set_value(console, "ok"), 0) << id;
  }
  // A small tmpfs on `dir`, in a mount namespace of this process; false when not root.
  bool mount_tmpfs(const fs::path& dir) {
    static const bool may = geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
                            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    fs::create_directories(dir);
    if (!may || mount("ferun-fault", dir.c_str(), "tmpfs", 0, "size=256k,mode=0700") != 0)
      return false;
    mounts_.push_back(dir);
    return true;
  }

  daemon_launcher_t daemon_{{{"tavrel-snort", "#!/bin/sh\n"}}};
  std::uint16_t port_ = daemon_launcher_t::free_port();
  fs::path data_ = daemon_.dir() / "data", sensor_ = data_ / "f-1";
  std::vector<fs::path> mounts_;
};

// Uploads through a small temporary directory, values into a full sensor directory: what does
// not fit answers 1 and leaves the stored file byte for byte.
TEST_F(Fault, FullFileSystemsKeepTheStoredFiles) {
  if (!mount_tmpfs(daemon_.tmpdir()) || !mount_tmpfs(sensor_)) GTEST_SKIP() << "needs root";
  start();
  console_client_t console(port_, 20s);
  ASSERT_EQ(hello(console, 1), 0);
  ferun::command_file_t file;
  file.path = "local.rules";
  for (const std::string& content : {std::string("stored\n"), std::string(1 << 20, 'n')}) {
    file.size = static_cast<std::uint32_t>(content.size());
    EXPECT_EQ(exchange(console, file, content), content.size() > 7) << content.size();
  }
  EXPECT_EQ(read_file(sensor_ / "local.rules"), "stored\n");
  ASSERT_EQ(set_value(console, "old"), 0);
  const std::string stored = read_file(sensor_ / "sensor.ini");
  std::ofstream filler((sensor_ / "filler").string());  // takes every free block
  while (filler << std::string(4096, 'f') << std::flush) continue;
  EXPECT_EQ(set_value(console, std::string(500, 'n')), 1);
  EXPECT_EQ(read_file(sensor_ / "sensor.ini"), stored);
  expect_serves(2);
}

// Consoles cut off mid-frame and mid-upload and a flood of half headers past the worker's
// descriptor limit: the console served before still is, and so is the next one.
TEST_F(Fault, CutOffConsolesAndAFloodPastTheDescriptorLimit) {
  start();
  console_client_t first(port_, 20s);
  ASSERT_EQ(hello(first, 1), 0);
  // -fsanitize=vptr probes memory through a pipe: out of descriptors, it flags sound objects.
#if !defined(__SANITIZE_ADDRESS__)
  const rlimit limit{64, 64};
  ASSERT_EQ(prlimit(daemon_.worker(), RLIMIT_NOFILE, &limit, nullptr), 0);
#endif
  ferun::command_file_t file;
  file.path = "cut.rules";
  file.size = 1 << 20;
  std::vector<std::unique_ptr<console_client_t>> consoles;
  for (int n = 0; n < 100; ++n) {
    consoles.push_back(std::make_unique<console_client_t>(port_, 20s));
    if (n == 0) hello(*consoles.back(), 2), consoles.back()->send(file);
    consoles.back()->send_raw(n == 0   ? std::string(file.size / 3, 'u')
                              : n == 1 ? std::string("\x05\x00\x2c\x01", 4) + std::string(100, 'v')
                                       : std::string("\x01\x00", 2));
  }
  consoles.clear();
  EXPECT_EQ(set_value(first, "kept"), 0);
  expect_serves(3);
  EXPECT_FALSE(fs::exists(sensor_ / "cut.rules"));
}

// A wrapper script inherits no socket of the daemon, and when it hangs it holds only its own
// console.
TEST_F(Fault, HangingScriptHoldsNoOtherConsole) {
  write_file(daemon_.dir() / "tavrel-snort",  // runs until released, a minute at most
             "#!/bin/sh\nls -l /proc/$$/fd | grep -c socket >sockets\nmv sockets "
             "running\nn=0\nwhile [ ! -e release ] && [ $n -lt 1200 ]; do "
             "sleep 0.05; n=$((n + 1)); done\n");
  start();
  console_client_t waiting(port_, 20s);
  ASSERT_EQ(hello(waiting, 1), 0);
  ferun::command_ids_action_t action;
  action.action = 1;
  waiting.send(action);
  ASSERT_TRUE(poll_until([&] { return fs::exists(daemon_.dir() / "running"); }, 20s));
  EXPECT_EQ(read_file(daemon_.dir() / "running"), "0\n");  // no socket of the daemon's is inherited
  expect_serves(2);
  write_file(daemon_.dir() / "release", "");
  EXPECT_EQ(exchange(waiting, ferun::command_ids_action_t()), 0) << daemon_.output();
}

}  // namespace
