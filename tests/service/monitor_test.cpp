// The real daemon: monitor and worker processes, signals, pidfile, a taken port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <boost/asio/ip/tcp.hpp>

#include "common/console_client.h"
#include "common/daemon_launcher.h"

using namespace std::chrono_literals;

namespace ferun_test {

// A taken port is tried again until free; SIGHUP restarts the worker; SIGTERM stops all.
TEST(Monitor, RetriesATakenPortRestartsOnSighupAndStopsOnSigterm) {
  daemon_launcher_t daemon;
  const std::uint16_t port = daemon_launcher_t::free_port();
  boost::asio::io_context io;  // another listener holds the port
  boost::asio::ip::tcp::acceptor taken(io, {boost::asio::ip::tcp::v4(), port}, false);
  ASSERT_EQ(fcntl(taken.native_handle(), F_SETFD, FD_CLOEXEC), 0);  // not inherited
  const auto pidfile = daemon.dir() / "ferun.pid";
  daemon.start({"--port", std::to_string(port), "-d", (daemon.dir() / "data").string(), "--log",
                "monitor,sensor", "--pidfile", pidfile.string()});
  const std::string bind = "ERROR sensor: can't start: bind: Address already in use, restarting\n";
  EXPECT_TRUE(daemon.wait_for_output(bind, 20s)) << daemon.output();
  taken.close();
  EXPECT_TRUE(daemon.wait_listening(port, 20s)) << daemon.output();
  EXPECT_EQ(read_file(pidfile), std::to_string(daemon.pid()));

  ASSERT_TRUE(daemon.send_signal(SIGHUP));  // passed on: the worker dies of it
  const std::string failed = "ERROR monitor: sensor has failed with status 0, restatring it\n";
  EXPECT_TRUE(daemon.wait_for_output(failed, 20s)) << daemon.output();
  EXPECT_TRUE(daemon.wait_listening(port, 20s)) << daemon.output();

  console_client_t silent(port, 10s);
  ASSERT_TRUE(daemon.send_signal(SIGTERM));
  const int status = daemon.wait_exit(20s).value_or(-1);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe_status(status);
  const std::string out = daemon.output();
  EXPECT_NE(out.find("INFO monitor: Has got SIGTERM, exiting\n"), std::string::npos) << out;
  EXPECT_FALSE(boost::filesystem::exists(pidfile));
  EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
}

}  // namespace ferun_test
