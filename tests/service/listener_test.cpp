// The listener and the worker inside the test process, on real loopback sockets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <memory>
#include <thread>

#include "common/console_client.h"
#include "common/daemon_launcher.h"
#include "service/clock.h"
#include "service/monitor.h"
#include "service/sensor_server.h"
#include "service/service_test_util.h"
#include "support/log.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace ferun_test {
namespace {

std::size_t open_fds() {
  std::size_t count = 0;
  for (fs::directory_iterator it("/proc/self/fd"); it != fs::directory_iterator(); ++it) ++count;
  return count;
}

class Service : public testing::Test {
 protected:
  Service() {
    ferun::g_do_exit = false;
    conf.progname = "ferun";
    conf.progdir = FERUN_BINARY_DIR;
    conf.datadir = root / "data";
    conf.tmpdir = root / "tmp";
    conf.port = daemon_launcher_t::free_port();
    fs::create_directories(conf.datadir);
  }
  ~Service() override { stop(); }

  void start_listener() {
    ferun::g_do_exit = false;
    runner = std::thread([this] {
      try {
        ferun::sensor_server_t(conf).run();
      } catch (...) {
        failed = true;
      }
      finished = true;
    });
  }

  // Sets the exit flag, without any signal, and waits for the loop; how long that took.
  steady::duration stop() {
    const auto begin = steady::now();
    ferun::g_do_exit = true;
    if (runner.joinable()) runner.join();
    return steady::now() - begin;
  }

  temp_dir_t root{"ferun_listener"};
  ferun::config_t conf;
  std::thread runner;
  std::atomic<bool> finished{false}, failed{false};
};

}  // namespace

TEST_F(Service, ExitFlagAloneEndsTheLoopWithOrWithoutConsoles) {
  start_listener();
  ASSERT_TRUE(served(conf.port, "ids", 1));
  EXPECT_LT(stop(), 1s);
  EXPECT_FALSE(failed);

  // The served connection left the port in TIME_WAIT: the next listener binds anyway.
  start_listener();
  console_client_t greeted(conf.port, 10s);
  ASSERT_TRUE(say_hello(greeted, "ids", 2));
  console_client_t silent(conf.port, 10s), also_silent(conf.port, 10s);
  EXPECT_LT(stop(), 1500ms);
  EXPECT_FALSE(failed);
  for (console_client_t* console : {&greeted, &silent, &also_silent})
    EXPECT_TRUE(console->wait_closed(5s));
}

TEST_F(Service, EndedConnectionsAreReleasedWithoutANewConsole) {
  start_listener();
  console_client_t staying(conf.port, 10s);
  ASSERT_TRUE(say_hello(staying, "ids", 1));
  const std::size_t before = open_fds();
  {
    console_client_t leaving(conf.port, 10s);
    ASSERT_TRUE(say_hello(leaving, "ids", 2));
    EXPECT_GT(open_fds(), before + 1);
  }
  for (int i = 0; i < 20; ++i) {
    console_client_t resetting(conf.port, 10s);
    linger abort{1, 0};  // closing sends a reset instead of an orderly end
    ASSERT_EQ(setsockopt(resetting.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
  }
  EXPECT_TRUE(poll_until([&] { return open_fds() == before; }, 3s))
      << open_fds() << " descriptors open, " << before << " before";
  EXPECT_FALSE(finished);
  EXPECT_FALSE(staying.receive(50ms));
  EXPECT_FALSE(staying.closed());
}

TEST_F(Service, RunningOutOfDescriptorsKeepsServingAndQueuesNewConsoles) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address and undefined-behaviour checks need descriptors of their own";
#endif
  // The listener's warning shows when it has met the limit. The log is opened (and read back
  // through a stream opened) while descriptors are still to be had, and the channel is enabled
  // before any thread logs.
  const fs::path log = root / "listener.log";
  log_t::set_filename(log.string());
  log_t::enable("sensor", "warning");
  const int log_fd = ::open(log.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(log_fd, 0);
  start_listener();
  console_client_t served_first(conf.port, 10s);
  ASSERT_TRUE(say_hello(served_first, "ids", 1));

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
  const auto hello = say_hello(*queued, "ids", 2);
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->status, 0);
  stop();
  log_t::disable("sensor");
  ::close(log_fd);
}

TEST_F(Service, SigtermStopsTheWorkerInOrderWithConsolesConnected) {
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    ferun::sensor(conf);
    returned = true;
  });
  console_client_t greeted(conf.port, 20s);
  ASSERT_TRUE(say_hello(greeted, "ids", 1));  // served: the handler is installed
  console_client_t silent(conf.port, 10s);
  const auto begin = steady::now();
  ASSERT_EQ(kill(getpid(), SIGTERM), 0);
  EXPECT_TRUE(poll_until([&] { return returned.load(); }, 2500ms));
  worker.join();
  EXPECT_LT(steady::now() - begin, 2500ms);
  EXPECT_TRUE(ferun::g_do_exit);
  EXPECT_TRUE(greeted.wait_closed(5s));
  EXPECT_TRUE(silent.wait_closed(5s));
}

}  // namespace ferun_test
