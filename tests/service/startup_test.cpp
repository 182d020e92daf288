// Start-up of the real daemon: what it prints, and the configuration file.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "common/daemon_launcher.h"

namespace ferun_test {

TEST(Startup, PrintsVersionHelpAndFailuresExactly) {
  daemon_launcher_t daemon;
  const std::string data = (daemon.dir() / "var").string();
  const auto run = [&](std::vector<std::string> args) {  // ends by itself with status 0
    args.insert(args.end(), {"-d", data});
    daemon.start(args);
    const int status = daemon.wait_exit(std::chrono::minutes(1)).value_or(-1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe_status(status);
    return daemon.output();
  };
  EXPECT_EQ(run({"--help", "--version"}), "Version: 1.7.2\n");
  const std::string help = run({"--help"});
  EXPECT_EQ(help.rfind("Allowed options:\n", 0), 0u) << help;
  EXPECT_NE(help.find("\n  -p [ --port ] <port> (=9030) "), std::string::npos) << help;
  EXPECT_EQ(run({"--bogus"}), "can't start: unrecognised option '--bogus', exit\n");
  EXPECT_EQ(run({"--port", "65536"}),
            "can't start: the argument ('65536') for option '--port' is invalid, exit\n");
  // The command line wins over the file (its bad port is never read); the file fills the rest.
  const auto cfg = daemon.dir() / "run.cfg";
  write_file(cfg, "port=bad\nlogfile=" + (daemon.dir() / "no" / "run.log").string() + "\n");
  EXPECT_EQ(run({"-c", cfg.string(), "--port", "1"}),
            "can't start: can't open logfile: No such file or directory, exit\n");
}

}  // namespace ferun_test
