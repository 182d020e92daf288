// The listener inside the test process, on real loopback sockets (ThreadSanitizer runs it).
#include <gtest/gtest.h>

#include "common/console_client.h"
#include "common/daemon_launcher.h"
#include "common/poll_until.h"
#include "service/sensor_server.h"
#include "support/clock.h"

namespace fs = boost::filesystem;

namespace ferun_test {

bool hello(console_client_t& console) {  // answered with status 0
  ferun::command_hello_t hello;
  hello.version = 1;
  hello.prefix = "ids";
  console.send(hello);
  const auto frame = console.receive(20s);
  return frame && frame->as<ferun::answer_hello_t>().status == 0;
}

// The exit flag alone ends the loop and every connection, a silent one and one stalled in the
// middle of an upload too, which the stop breaks off once its grace has passed.
TEST(Listener, StopsOnTheExitFlag) {
  temp_dir_t root("ferun_listener");
  ferun::config_t conf;
  conf.progdir = FERUN_BINARY_DIR;
  conf.datadir = root / "data";
  conf.tmpdir = root / "tmp";
  conf.port = daemon_launcher_t::free_port();
  fs::create_directories(conf.datadir);
  ferun::g_do_exit = false;
  std::thread runner([&] { ferun::sensor_server_t(conf).run(); });
  console_client_t stalled(conf.port, 10s), silent(conf.port, 10s);
  EXPECT_TRUE(hello(stalled));
  ferun::command_file_t file;
  file.path = "stalled.rules";
  file.size = 1000;
  stalled.send(file);
  stalled.send_raw("only a part");
  EXPECT_TRUE(
      poll_until([&] { return fs::exists(conf.tmpdir) && !fs::is_empty(conf.tmpdir); }, 10s));
  const auto begin = std::chrono::steady_clock::now();
  ferun::g_do_exit = true;
  runner.join();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1800ms);  // the stop's grace is 1 s
  EXPECT_TRUE(stalled.wait_closed(5s) && silent.wait_closed(5s));
}

}  // namespace ferun_test
