// The clock thread and the listener inside the test process, on real loopback sockets.
#include <gtest/gtest.h>

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

}  // namespace ferun_test
