// Start-up of the real daemon: options, configuration file, paths, and what it prints.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <string>
#include <vector>

#include "common/daemon_launcher.h"

namespace fs = boost::filesystem;
using ferun_test::daemon_launcher_t;
using ferun_test::describe_status;
using ferun_test::read_file;
using ferun_test::write_file;
using namespace std::chrono_literals;

namespace {

using args_t = std::vector<std::string>;

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

class Startup : public testing::Test {
 protected:
  fs::path data() const { return daemon_.dir() / "data"; }

  // For runs that end by themselves (version, help, failures): what they printed. The exit
  // status is 0 on every such path.
  std::string run_to_end(const args_t& args) {
    daemon_.start(args);
    const auto status = daemon_.wait_exit(60s);
    if (!status) {
      ADD_FAILURE() << "still running; printed: " << daemon_.output();
      daemon_.stop();
    } else {
      EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe_status(*status);
    }
    return daemon_.output();
  }

  // For starts that succeed (run on a free port): waits until `last_line` is printed, then ends a
  // daemon that goes on serving, and returns everything it printed. The stop request waits until
  // the daemon listens, so that it never lands while the processes are still starting up.
  std::string run_start(args_t args, const std::string& last_line, const fs::path& cwd = {}) {
    const std::uint16_t port = daemon_launcher_t::free_port();
    args.insert(args.end(), {"--port", std::to_string(port)});
    daemon_.start(args, cwd);
    EXPECT_TRUE(daemon_.wait_for_output(last_line, 60s)) << daemon_.output();
    if (daemon_.wait_listening(port, 60s)) {
      // Serving: a stop request ends it in order.
      daemon_.stop(30s);
    } else if (daemon_.running()) {
      ADD_FAILURE() << "neither listening nor ended; printed: " << daemon_.output();
      daemon_.stop(30s);
    }
    const int status = daemon_.status().value_or(-1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << describe_status(status) << "; printed: " << daemon_.output();
    return daemon_.output();
  }

  daemon_launcher_t daemon_;
};

}  // namespace

TEST_F(Startup, VersionWinsOverHelpAndTouchesNothing) {
  const args_t runs[] = {
      {"--version"}, {"--help", "--version"}, {"-h", "--version", "-l", "sensor"}};
  for (args_t args : runs) {
    SCOPED_TRACE(args.front());
    args.insert(args.end(), {"--datadir", data().string(), "--logfile", "run.log"});
    EXPECT_EQ(run_to_end(args), "Version: 1.7.2\n");
    EXPECT_FALSE(fs::exists(data()));
    EXPECT_FALSE(fs::exists(daemon_.dir() / "run.log"));
  }
}

TEST_F(Startup, HelpPrintsTheOptionTable) {
  const std::string help = run_to_end({"--help", "--datadir", data().string()});
  EXPECT_TRUE(starts_with(help, "Allowed options:\n")) << help;
  ASSERT_GE(help.size(), 2u);
  EXPECT_EQ(help.substr(help.size() - 2), "\n\n") << "the table is followed by an empty line";
  EXPECT_FALSE(fs::exists(data()));
  EXPECT_EQ(help.find("current logfile"), std::string::npos);

  // Each option in table order, with its value name, default and help text.
  const std::string pieces[] = {
      "  --version ",
      "show version of software",
      "  -h [ --help ] ",
      "produce help message",
      "  -c [ --cfg ] <file> ",
      "use config file <file>",
      "  -b [ --daemon ] ",
      "Run as daemon",
      "  --pidfile <path> ",
      "Path to pidfile.",
      "  -p [ --port ] <port> (=9030) ",
      "Communication PORT with Tavrel console.",
      "Default is 9030",
      "  -l [ --log ] arg ",
      "log types and its level, example",
      "(control:warning)",
      "  --logfile <file> ",
      "log to <file>",
      "  -d [ --datadir ] <path> (=\"/var/lib/" + daemon_.program_name() + "\")",
      "Path to data directory.",
      "  --parse ",
      "test launch, parse snort log files",
  };
  size_t at = 0;
  for (const std::string& piece : pieces) {
    const size_t found = help.find(piece, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << piece << "\n" << help;
    at = found + piece.size();
  }
}

TEST_F(Startup, FailuresPrintOneLineAndExitWithZero) {
  const fs::path missing_cfg = daemon_.dir() / "missing.cfg";
  const struct {
    args_t args;
    std::string line;
  } cases[] = {
      {{"--bogus"}, "can't start: unrecognised option '--bogus', exit\n"},
      {{"-p", "70000"},
       "can't start: the argument ('70000') for option '--port' is invalid, exit\n"},
      {{"--port", "65536"},
       "can't start: the argument ('65536') for option '--port' is invalid, exit\n"},
      {{"--port", "abc"},
       "can't start: the argument ('abc') for option '--port' is invalid, exit\n"},
      {{"--port=-1"}, "can't start: the argument ('-1') for option '--port' is invalid, exit\n"},
      {{"-p", "1", "--port", "2"},
       "can't start: option '--port' cannot be specified more than once, exit\n"},
      {{"-c", missing_cfg.string()},
       "can't start: can not read options configuration file '" + missing_cfg.string() +
           "', exit\n"},
      {{"--logfile", (daemon_.dir() / "no" / "run.log").string()},
       "can't start: can't open logfile: No such file or directory, exit\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    args_t args = c.args;
    args.insert(args.end(), {"-d", data().string()});
    EXPECT_EQ(run_to_end(args), c.line);
  }
}

TEST_F(Startup, WithoutLogOptionsTheLogGoesToStandardOutputAndNothingIsEnabled) {
  const std::string out = run_start({"-d", data().string()}, "enable log:  info\n");
  EXPECT_TRUE(starts_with(out, "current logfile: \nenable log:  info\n")) << out;
  EXPECT_TRUE(fs::is_directory(data()));
}

TEST_F(Startup, PortsAtBothEndsOfTheRangeAreTaken) {
  // The missing log directory ends the start right after the options were taken, so the run ends
  // by itself: a port that did not convert would have ended it earlier, with its own line.
  const std::string logfile = (daemon_.dir() / "no" / "run.log").string();
  for (const char* port : {"0", "65535", "00080"}) {
    SCOPED_TRACE(port);
    EXPECT_EQ(run_to_end({"--port", port, "-d", data().string(), "--logfile", logfile}),
              "can't start: can't open logfile: No such file or directory, exit\n");
  }
}

TEST_F(Startup, LogOptionEnablesChannelsAfterChoosingTheFile) {
  const std::string out =
      run_start({"-d", data().string(), "-l", "sensor:debug1,proto,x:"}, "enable log: x \n");
  EXPECT_TRUE(starts_with(out,
                          "current logfile: \n"
                          "enable log: sensor debug1\n"
                          "enable log: proto info\n"
                          "enable log: x \n"))
      << out;
}

TEST_F(Startup, RelativePathsAreTakenFromTheStartingDirectory) {
  const fs::path start = daemon_.dir() / "start";
  fs::create_directory(start);
  write_file(start / "run.log", "left over from before\n");
  const std::string out =
      run_start({"--datadir", "data", "--logfile", "run.log"}, "enable log:  info\n", start);
  EXPECT_TRUE(starts_with(
      out, "current logfile: " + (start / "run.log").string() + "\nenable log:  info\n"))
      << out;
  EXPECT_TRUE(fs::is_directory(start / "data"));
  EXPECT_FALSE(fs::exists(daemon_.dir() / "data"));
  EXPECT_EQ(read_file(start / "run.log").find("left over"), std::string::npos);
}

TEST_F(Startup, ExistingDataDirectoryIsUsed) {
  fs::create_directory(data());
  write_file(data() / "keep", "x");
  run_start({"-d", data().string()}, "enable log:  info\n");
  EXPECT_TRUE(fs::exists(data() / "keep"));
}

TEST_F(Startup, DataDirectoryIsCreatedOneLevelOnly) {
  const fs::path parent = daemon_.dir() / "missing";
  const std::string out = run_to_end({"-d", (parent / "data").string()});
  EXPECT_TRUE(starts_with(out, "can't start: ")) << out;
  EXPECT_NE(out.find("No such file or directory"), std::string::npos) << out;
  EXPECT_TRUE(out.size() > 7 && out.substr(out.size() - 7) == ", exit\n") << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_FALSE(fs::exists(parent));
}

TEST_F(Startup, DataDirectoryThatIsAFileEndsStartUp) {
  write_file(data(), "not a directory");
  const std::string out = run_to_end({"-d", data().string()});
  EXPECT_TRUE(starts_with(out, "can't start: ")) << out;
  EXPECT_NE(out.find("File exists"), std::string::npos) << out;
  EXPECT_TRUE(out.size() > 7 && out.substr(out.size() - 7) == ", exit\n") << out;
  EXPECT_EQ(read_file(data()), "not a directory");
}

TEST_F(Startup, CommandLineWinsOverTheConfigurationFile) {
  // The file's port would not even convert: it is never looked at when the command line has one.
  const fs::path cfg = daemon_.dir() / "ferun.cfg";
  write_file(cfg, "port=not-a-port\nlog=proto\n");
  const std::string out =
      run_start({"-c", cfg.string(), "-l", "sensor", "-d", data().string()}, "enable log: ");
  EXPECT_TRUE(starts_with(out, "current logfile: \nenable log: sensor info\n")) << out;
  EXPECT_EQ(out.find("proto"), std::string::npos) << out;
}

TEST_F(Startup, ConfigurationFileFillsWhatTheCommandLineLeavesOut) {
  const fs::path cfg = daemon_.dir() / "ferun.cfg";
  write_file(cfg, "# options for the test\nlog=proto:warning\nlogfile=from-cfg.log\ndatadir=" +
                      data().string() + "\n");
  const std::string out = run_start({"--cfg", cfg.string()}, "enable log: proto warning\n");
  EXPECT_TRUE(starts_with(out, "current logfile: " + (daemon_.dir() / "from-cfg.log").string() +
                                   "\nenable log: proto warning\n"))
      << out;
  EXPECT_TRUE(fs::is_directory(data()));

  // A port from the file is converted like one from the command line.
  write_file(cfg, "port=70000\n");
  EXPECT_EQ(run_to_end({"--cfg", cfg.string(), "-d", data().string()}),
            "can't start: the argument ('70000') for option 'port' is invalid, exit\n");
}

TEST_F(Startup, ConfigurationFileWithUnknownKeyEndsStartUp) {
  const fs::path cfg = daemon_.dir() / "ferun.cfg";
  write_file(cfg, "log=sensor\ncontrol=1\n");
  EXPECT_EQ(run_to_end({"-c", cfg.string(), "-d", data().string()}),
            "can't start: unrecognised option 'control', exit\n");
}

TEST_F(Startup, SwitchesAndCfgInsideTheFileChangeNothing) {
  // "daemon" and "parse" count only on the command line; a "cfg" key is not followed.
  const fs::path cfg = daemon_.dir() / "ferun.cfg";
  const fs::path nested = daemon_.dir() / "nested.cfg";
  write_file(nested, "unknown-key=1\n");
  write_file(cfg, "daemon=1\nparse=1\ncfg=" + nested.string() + "\nlog=sensor\n");
  const std::string out =
      run_start({"-c", cfg.string(), "-d", data().string()}, "enable log: sensor info\n");
  EXPECT_TRUE(starts_with(out, "current logfile: \nenable log: sensor info\n")) << out;
  EXPECT_EQ(out.find("can't start"), std::string::npos) << out;
}
