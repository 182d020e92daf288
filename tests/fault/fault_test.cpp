// The real daemon under faults; the fixture checks no worker was replaced, no sanitizer spoke.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>

#include <boost/filesystem.hpp>
#include <random>

#include "common/console_client.h"
#include "common/daemon_launcher.h"
#include "common/poll_until.h"
#include "common/u2_writer.h"

namespace fs = boost::filesystem;
using namespace ferun_test;

namespace {

ferun::answer_t answer(console_client_t& console, std::uint32_t id) {
  for (;;) {  // skips event, packet and statistics frames
    const auto frame = console.receive(20s);
    if (!frame) return ferun::answer_t(id | ferun::answer_bit, 255, "no answer");
    if (frame->id == (id | ferun::answer_bit)) return frame->as<ferun::answer_t>();
  }
}
ferun::answer_t exchange(console_client_t& console, const ferun::command_t& cmd,
                         const std::string& raw = "") {  // raw: bytes sent after the frame
  console.send(cmd);
  console.send_raw(raw);
  return answer(console, cmd.id);
}
ferun::answer_t hello(console_client_t& console, std::uint32_t id) {
  ferun::command_hello_t hello;
  hello.version = ferun::protocol_version;
  hello.prefix = "f";
  hello.sensor_id = id;
  return exchange(console, hello);
}
ferun::answer_t set_value(console_client_t& console, const std::string& value) {
  ferun::command_set_value_t set;
  set.values.push_back({"v", value});
  return exchange(console, set);
}
ferun::answer_t upload(console_client_t& console, const std::string& content) {
  ferun::command_file_t file;
  file.path = "rules/local.rules";
  file.size = static_cast<std::uint32_t>(content.size());
  return exchange(console, file, content);
}

class Fault : public testing::Test {
 protected:
  ~Fault() override {
    EXPECT_EQ(daemon_.running() ? daemon_.stop(10s) : 0, 0);
    for (const auto& dir : mounts_) umount2(dir.c_str(), MNT_DETACH);
    EXPECT_EQ(daemon_.output().find("Sanitizer"), std::string::npos) << daemon_.output();
    EXPECT_EQ(daemon_.output().find("sensor has failed"), std::string::npos) << daemon_.output();
  }
  void start() {
    daemon_.start({"--port", std::to_string(port_), "--datadir", data_.string(), "--log", "s"});
    ASSERT_TRUE(daemon_.wait_listening(port_, 20s)) << daemon_.output();
  }
  void expect_serves(std::uint32_t id) {
    console_client_t console(port_, 20s);
    EXPECT_EQ(hello(console, id).status, 0) << daemon_.output();
    EXPECT_EQ(set_value(console, "ok").status, 0) << daemon_.output();
  }
  // A small tmpfs on `dir`, in a mount namespace of this process; false when not root.
  bool mount_tmpfs(const fs::path& dir) {
    static const bool may = geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
                            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    fs::create_directories(dir);
    if (!may || mount("ferun-fault", dir.c_str(), "tmpfs", 0, "size=256k") != 0) return false;
    mounts_.push_back(dir);
    return true;
  }

  daemon_launcher_t daemon_{{{"tavrel-snort", "#!/bin/sh\n"}}};
  std::uint16_t port_ = daemon_launcher_t::free_port();
  fs::path data_ = daemon_.dir() / "data";
  fs::path sensor_ = data_ / "f-1";
  std::vector<fs::path> mounts_;
};

TEST_F(Fault, UploadWithTheTemporaryDirectoryOnASmallFileSystem) {
  if (!mount_tmpfs(daemon_.tmpdir())) GTEST_SKIP() << "mounting a tmpfs needs root";
  start();
  console_client_t console(port_, 20s);
  ASSERT_EQ(hello(console, 1).status, 0);
  // What fits is placed onto the other file system; what does not answers 1 and keeps it.
  ASSERT_EQ(upload(console, "stored\n").status, 0);
  EXPECT_EQ(upload(console, std::string(1 << 20, 'n')).status, 1);
  EXPECT_EQ(read_file(sensor_ / "rules" / "local.rules"), "stored\n");
  expect_serves(2);
}

TEST_F(Fault, SetValueOnAFullSensorDirectoryAnswers1AndKeepsTheValueFile) {
  if (!mount_tmpfs(sensor_)) GTEST_SKIP() << "mounting a tmpfs needs root";
  start();
  console_client_t console(port_, 20s);
  ASSERT_EQ(hello(console, 1).status, 0);
  ASSERT_EQ(set_value(console, "old").status, 0);
  const std::string stored = read_file(sensor_ / "sensor.ini");
  std::ofstream filler((sensor_ / "filler").string());  // takes every free block
  while (filler << std::string(4096, 'f') << std::flush) continue;
  EXPECT_EQ(set_value(console, std::string(500, 'n')).status, 1);
  EXPECT_EQ(read_file(sensor_ / "sensor.ini"), stored);
  expect_serves(2);
}

TEST_F(Fault, StopEndsTheDaemonWhileAConsoleHasStoppedReading) {
  const fs::path spool = daemon_.dir() / "spool";
  fs::create_directory(spool);
  write_file(spool / "sid-msg.map", "1000001 || TEST flood rule\n");
  write_file(spool / "gen-msg.map", "1 || 1 || snort general alert\n");
  std::string records;
  for (std::uint32_t n = 1; n <= 3000; ++n) {  // far more than the sockets can hold
    u2w::event_t event;
    event.event_id = n;
    event.signature_id = 1000001;
    u2w::packet_t packet;
    packet.event_id = n;
    packet.data.assign(3000, 'p');
    records += u2w::encode(event) + u2w::encode(packet);
  }
  u2w::spool_t((spool / "threats.log.1").string()).append(records);
  start();
  console_client_t console(port_, 20s);
  const int small = 16 * 1024;
  ASSERT_EQ(setsockopt(console.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  ASSERT_EQ(hello(console, 1).status, 0);
  ferun::command_setup_t setup;
  setup.options = 0x2;
  setup.logdir = spool.string();
  setup.logpattern = "threats.log";
  setup.sidmap = (spool / "sid-msg.map").string();
  setup.genmap = (spool / "gen-msg.map").string();
  ASSERT_EQ(exchange(console, setup).status, 0) << daemon_.output();
  int unread = 0, last = -1;  // stalled: the unread bytes have stopped growing
  auto since = std::chrono::steady_clock::now();
  ASSERT_TRUE(poll_until(
      [&] {
        if (ioctl(console.fd(), FIONREAD, &unread) == 0 && unread != last)
          since = std::chrono::steady_clock::now(), last = unread;
        return unread > 0 && std::chrono::steady_clock::now() - since > 300ms;
      },
      30s));
  ASSERT_TRUE(daemon_.send_signal(SIGTERM));
  EXPECT_EQ(daemon_.wait_exit(10s).value_or(-1), 0) << daemon_.output();  // exit 0 within 10 s
}

TEST_F(Fault, LongWrapperScriptDoesNotHoldOtherConsoles) {
  daemon_.write_script("tavrel-snort",  // runs until released, a minute at most
                       "#!/bin/sh\ntouch running\nn=0\nwhile [ ! -e release ] && "
                       "[ $n -lt 1200 ]; do sleep 0.05; n=$((n + 1)); done\n");
  start();
  console_client_t waiting(port_, 20s);
  ASSERT_EQ(hello(waiting, 1).status, 0);
  ferun::command_ids_action_t action;
  action.action = 1;
  waiting.send(action);
  ASSERT_TRUE(poll_until([&] { return fs::exists(daemon_.dir() / "running"); }, 20s));
  expect_serves(2);
  write_file(daemon_.dir() / "release", "");
  EXPECT_EQ(answer(waiting, action.id).status, 0) << daemon_.output();
}

TEST_F(Fault, ConsoleCutOffMidFrameOrMidUpload) {
  start();
  for (const std::uint32_t in_upload : {0, 1}) {  // a set-value frame of 300 bytes, an upload
    console_client_t console(port_, 20s);
    ASSERT_EQ(hello(console, 1).status, 0);
    ferun::command_file_t file;
    file.path = "rules/cut.rules";
    file.size = 1 << 20;
    if (in_upload) console.send(file);
    console.send_raw(in_upload ? std::string(file.size / 3, 'u')
                               : std::string("\x05\x00\x2c\x01", 4) + std::string(100, 'v'));
    console.close();
    expect_serves(2 + in_upload);
  }
  EXPECT_FALSE(fs::exists(sensor_ / "rules" / "cut.rules"));
}

TEST_F(Fault, TwoHundredConnectionsAtOnce) {
  start();
  std::vector<std::unique_ptr<console_client_t>> consoles;
  for (int n = 0; n < 200; ++n) {
    consoles.push_back(std::make_unique<console_client_t>(port_, 20s));
    if (n % 2) consoles.back()->send_raw(std::string("\x01\x00", 2));  // half a header
  }
  consoles.clear();
  expect_serves(1);
}

TEST_F(Fault, RandomBytesOnThePort) {
  start();
  for (std::uint32_t seed = 1; seed <= 8; ++seed) {  // fixed seeds: a failure replays
    std::mt19937 random(seed);
    console_client_t console(port_, 20s);
    ASSERT_EQ(seed % 2 ? hello(console, seed).status : 0, 0);  // noise before or after a hello
    std::string noise(1 + random() % 70000, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    (void)::send(console.fd(), noise.data(), noise.size(), MSG_NOSIGNAL);  // may be cut short
    shutdown(console.fd(), SHUT_WR);
    EXPECT_TRUE(console.wait_closed(20s)) << seed;
  }
  expect_serves(100);
}

}  // namespace
