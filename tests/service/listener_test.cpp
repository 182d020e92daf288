// The listener and the worker inside the test process, on real loopback sockets, with the real
// sensor objects and the built `sysinfo` script behind them.
#include "service/sensor_server.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include "common/console_client.h"
#include "common/daemon_launcher.h"
#include "service/clock.h"
#include "service/monitor.h"
#include "service/service_test_util.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using ferun_test::console_client_t;
using ferun_test::poll_until;
using ferun_test::say_hello;
using ferun_test::served;
using steady = std::chrono::steady_clock;

namespace {

// Open descriptors of this process.
std::size_t open_fds() {
  std::size_t count = 0;
  for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it)
    ++count;
  return count;
}

class ServiceInProcess : public testing::Test {
 protected:
  ServiceInProcess() {
    // The flag only ever goes up in a real process; each test here starts a fresh service.
    ferun::g_do_exit = false;
    conf.progname = "ferun";
    conf.progdir = FERUN_BINARY_DIR;
    conf.datadir = root / "data";
    conf.tmpdir = root / "tmp";
    conf.port = ferun_test::daemon_launcher_t::free_port();
    fs::create_directories(conf.datadir);
  }

  ~ServiceInProcess() override { stop(); }

  // Builds the listener here (so a set-up failure shows) and runs it on a thread of its own.
  void start_listener() {
    server = std::make_unique<ferun::sensor_server_t>(conf);
    runner = std::thread([this] {
      try {
        server->run();
      } catch (...) {
        failure = std::current_exception();
      }
      finished = true;
    });
  }

  // Sets the exit flag, without any signal, and waits for the loop; how long that took.
  steady::duration stop() {
    const auto begin = steady::now();
    ferun::g_do_exit = true;
    if (runner.joinable()) runner.join();
    server.reset();
    return steady::now() - begin;
  }

  ferun_test::temp_dir_t root{"ferun_listener"};
  ferun::config_t conf;
  std::unique_ptr<ferun::sensor_server_t> server;
  std::thread runner;
  std::atomic<bool> finished{false};
  std::exception_ptr failure;
};

using Listener = ServiceInProcess;
using Worker = ServiceInProcess;

}  // namespace

TEST_F(Listener, PortInUseFailsAtConstructionWithTheBindError) {
  ferun::sensor_server_t first(conf);
  try {
    ferun::sensor_server_t second(conf);
    FAIL() << "a second listener bound the same port";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), boost::system::errc::address_in_use);
    EXPECT_EQ(std::string(e.what()).rfind("bind: ", 0), 0u) << e.what();
  }
}

TEST_F(Listener, AddressReuseLetsANewListenerBindRightAfterTheOldOne) {
  start_listener();
  ASSERT_TRUE(served(conf.port, "ids", 1));
  stop();
  // The served connection leaves the port in TIME_WAIT; the next listener must bind anyway.
  ferun::g_do_exit = false;
  start_listener();
  EXPECT_TRUE(served(conf.port, "ids", 2));
}

TEST_F(Listener, ServesTwoConsolesAtOnceEachWithItsOwnDirectory) {
  start_listener();
  console_client_t first(conf.port, 10s);
  console_client_t second(conf.port, 10s);
  const auto answer_second = say_hello(second, "ids", 2);
  const auto answer_first = say_hello(first, "ids", 1);
  ASSERT_TRUE(answer_first && answer_second);
  EXPECT_EQ(answer_first->status, 0) << answer_first->message;
  EXPECT_EQ(answer_second->status, 0) << answer_second->message;
  EXPECT_TRUE(fs::is_directory(conf.datadir / "ids-1"));
  EXPECT_TRUE(fs::is_directory(conf.datadir / "ids-2"));
  // Both stay connected while the other is being served.
  EXPECT_FALSE(first.receive(50ms));
  EXPECT_FALSE(first.closed());
  EXPECT_FALSE(second.closed());
}

TEST_F(Listener, ExitFlagAloneEndsAnIdleAcceptLoop) {
  start_listener();
  ASSERT_TRUE(served(conf.port, "ids", 1));
  // No signal interrupts anything: the loop must find the flag on its own.
  const auto took = stop();
  EXPECT_LT(took, 1s);
  EXPECT_FALSE(failure);
}

TEST_F(Listener, StopEndsEveryConnectionSilentOnesIncluded) {
  start_listener();
  console_client_t greeted(conf.port, 10s);
  ASSERT_TRUE(say_hello(greeted, "ids", 1));
  console_client_t silent(conf.port, 10s);
  console_client_t also_silent(conf.port, 10s);

  const auto took = stop();
  EXPECT_LT(took, 1500ms);
  EXPECT_TRUE(greeted.wait_closed(5s));
  EXPECT_TRUE(silent.wait_closed(5s));
  EXPECT_TRUE(also_silent.wait_closed(5s));
  EXPECT_FALSE(failure);
}

TEST_F(Listener, EndedConnectionIsReleasedWithoutWaitingForTheNextConsole) {
  start_listener();
  console_client_t staying(conf.port, 10s);
  ASSERT_TRUE(say_hello(staying, "ids", 1));
  const std::size_t before = open_fds();

  {
    console_client_t leaving(conf.port, 10s);
    ASSERT_TRUE(say_hello(leaving, "ids", 2));
    EXPECT_GT(open_fds(), before + 1);  // the client's socket and the sensor's resources
  }
  // Everything the ended sensor held (socket, I/O context) goes back although nobody connects.
  EXPECT_TRUE(poll_until([&] { return open_fds() == before; }, 3s))
      << open_fds() << " descriptors open, " << before << " before";
  // The other connection is untouched.
  EXPECT_FALSE(staying.receive(50ms));
  EXPECT_FALSE(staying.closed());
}

TEST_F(Listener, ConsolesThatResetAtOnceDoNotEndTheListener) {
  start_listener();
  console_client_t staying(conf.port, 10s);
  ASSERT_TRUE(say_hello(staying, "ids", 1));
  for (int i = 0; i < 20; ++i) {
    console_client_t resetting(conf.port, 10s);
    // Closing with a zero linger time sends a reset instead of an orderly end.
    linger abort{1, 0};
    ASSERT_EQ(setsockopt(resetting.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
  }
  EXPECT_TRUE(served(conf.port, "ids", 2));
  EXPECT_FALSE(finished);
  EXPECT_FALSE(staying.receive(50ms));
  EXPECT_FALSE(staying.closed());
}

TEST_F(Worker, SigtermStopsTheWorkerInOrderWithConsolesConnected) {
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    ferun::sensor(conf);
    returned = true;
  });
  console_client_t greeted(conf.port, 20s);
  ASSERT_TRUE(say_hello(greeted, "ids", 1));
  console_client_t silent(conf.port, 10s);

  // Served means the handler is installed: the signal cannot end the test process.
  const auto begin = steady::now();
  ASSERT_EQ(kill(getpid(), SIGTERM), 0);
  // One pass, the joins and the one-second pause.
  EXPECT_TRUE(poll_until([&] { return returned.load(); }, 2500ms));
  worker.join();
  EXPECT_LT(steady::now() - begin, 2500ms);
  EXPECT_TRUE(ferun::g_do_exit);
  EXPECT_TRUE(greeted.wait_closed(5s));
  EXPECT_TRUE(silent.wait_closed(5s));
}

TEST_F(Worker, SignalHandlerSetsTheFlagOnlyForStopSignals) {
  ferun::sensor_sig_act(SIGHUP);
  ferun::sensor_sig_act(SIGQUIT);
  EXPECT_FALSE(ferun::g_do_exit);
  ferun::sensor_sig_act(SIGINT);
  EXPECT_TRUE(ferun::g_do_exit);
}
