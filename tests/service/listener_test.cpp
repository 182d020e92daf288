// The clock thread and the listener inside the test process, on real loopback sockets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <future>
#include <memory>

#include "common/console_client.h"
#include "common/daemon_launcher.h"
#include "common/poll_until.h"
#include "service/sensor_server.h"
#include "support/clock.h"
#include "support/log.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;

namespace ferun_test {
namespace {

bool say_hello(console_client_t& console, std::uint32_t id) {  // answered with status 0
  ferun::command_hello_t hello;
  hello.version = 1;
  hello.prefix = "ids";
  hello.sensor_id = id;
  hello.sensor_name = "ids" + std::to_string(id);
  console.send(hello);
  const auto frame = console.receive(20s);
  return frame && frame->id == ferun::answer_hello_t::message_id &&
         frame->as<ferun::answer_hello_t>().status == 0;
}

std::size_t open_fds() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

// Starts the listener; the sensor channel logs warnings to a file, enabled before any thread logs.
class Service : public testing::Test {
 protected:
  Service() {
    conf.progname = "ferun";
    conf.progdir = FERUN_BINARY_DIR;
    conf.datadir = root / "data";
    conf.tmpdir = root / "tmp";
    conf.port = daemon_launcher_t::free_port();
    fs::create_directories(conf.datadir);
    log_t::set_filename(log.string());
    log_t::enable("sensor", "warning");
    ferun::g_do_exit = false;
    runner = std::thread([this] {
      ferun::sensor_server_t(conf).run();  // an error escaping ends the test process
      finished = true;
    });
  }
  ~Service() override { stop(); }
  void stop() {  // the exit flag alone, no signal
    ferun::g_do_exit = true;
    if (runner.joinable()) runner.join();
  }

  temp_dir_t root{"ferun_listener"};
  fs::path log = root / "listener.log";
  ferun::config_t conf;
  std::thread runner;
  std::atomic<bool> finished{false};
};

}  // namespace

// 0 before the thread's first pass, then written; the thread ends on the exit flag.
TEST(Clock, WrittenByItsThreadUntilTheExitFlag) {
  EXPECT_TRUE(stime_t::g_timestamp == 0u && !ferun::g_do_exit);
  auto ended = std::async(std::launch::async, ferun::clock_thread);
  EXPECT_TRUE(poll_until([] { return stime_t::g_timestamp != 0u; }, 10s));
  ferun::g_do_exit = true;
  EXPECT_EQ(ended.wait_for(10s), std::future_status::ready);
}

// An ended connection is released at once; the exit flag alone ends the loop, a silent console in.
TEST_F(Service, ReleasesEndedConnectionsAndStopsOnTheExitFlag) {
  console_client_t staying(conf.port, 10s);
  ASSERT_TRUE(say_hello(staying, 1));
  const std::size_t before = open_fds();
  {
    console_client_t leaving(conf.port, 10s);
    ASSERT_TRUE(say_hello(leaving, 2));
  }
  EXPECT_TRUE(poll_until([&] { return open_fds() == before; }, 3s)) << open_fds() << " " << before;
  EXPECT_FALSE(finished);
  console_client_t silent(conf.port, 10s);
  const auto begin = std::chrono::steady_clock::now();
  stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1500ms);
  EXPECT_TRUE(staying.wait_closed(5s));
  EXPECT_TRUE(silent.wait_closed(5s));
}

TEST_F(Service, RunningOutOfDescriptorsKeepsServingAndQueuesNewConsoles) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address and undefined-behaviour checks need descriptors of their own";
#endif
  // Opened while descriptors are still to be had.
  const int log_fd = ::open(log.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(log_fd, 0);
  console_client_t served_first(conf.port, 10s);
  ASSERT_TRUE(say_hello(served_first, 1));

  const auto log_text = [&] {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::pread(log_fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0)
      text.append(buffer, static_cast<std::size_t>(n));
    return text;
  };

  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // The new console's own socket takes the last descriptor: the listener has none left.
  rlimit tight = saved;
  tight.rlim_cur = open_fds() + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::unique_ptr<console_client_t> queued;
  try {
    queued = std::make_unique<console_client_t>(conf.port, 10s);
  } catch (...) {
  }
  const bool connected = queued != nullptr;
  const bool limit_met = poll_until(
      [&] { return log_text().find("accept: Too many open files") != std::string::npos; }, 5s);
  // The console served before still is, while the new one waits.
  ferun::command_get_value_t get;
  get.names = {"x"};
  served_first.send(get);
  const auto answer = served_first.receive(10s);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

  ASSERT_TRUE(connected);
  EXPECT_TRUE(limit_met);
  EXPECT_FALSE(finished);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->id, ferun::answer_get_value_t::message_id);
  // With descriptors back, the queued console is served.
  EXPECT_TRUE(say_hello(*queued, 2));
  ::close(log_fd);
}

}  // namespace ferun_test
