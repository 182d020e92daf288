// Start-up of the real daemon: options, configuration file, paths, and what it prints.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <boost/filesystem.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "common/daemon_launcher.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;

namespace ferun_test {
namespace {

using args_t = std::vector<std::string>;

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

class Startup : public testing::Test {
 protected:
  fs::path dir() const { return daemon_.dir(); }
  fs::path data() const { return dir() / "var"; }

  // A run that ends by itself (version, help, failures), with status 0: what it printed.
  std::string run_to_end(const args_t& args) {
    daemon_.start(args);
    const int status = daemon_.wait_exit(60s).value_or(-1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe_status(status);
    return daemon_.output();
  }

  // A start that must serve: waits until it listens, stops it, and returns the lines
  // "current logfile: ..." and "enable log: ..." it printed.
  std::string log_setup(args_t args, const fs::path& cwd) {
    const std::uint16_t port = daemon_launcher_t::free_port();
    args.insert(args.end(), {"--port", std::to_string(port)});
    daemon_.start(args, cwd);
    EXPECT_TRUE(daemon_.wait_listening(port, 60s)) << daemon_.output();
    const int status = daemon_.stop(30s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe_status(status);
    std::istringstream in(daemon_.output());
    std::string setup;
    for (std::string line; std::getline(in, line);)
      if (starts_with(line, "current logfile: ") || starts_with(line, "enable log: "))
        setup += line + "\n";
    return setup;
  }

  daemon_launcher_t daemon_;
};

}  // namespace

TEST_F(Startup, VersionWinsOverHelpAndTouchesNothing) {
  for (args_t args : {args_t{"--version"}, args_t{"--help", "--version"},
                      args_t{"-h", "--version", "-l", "sensor"}}) {
    SCOPED_TRACE(args.front());
    args.insert(args.end(), {"--datadir", data().string(), "--logfile", "run.log"});
    EXPECT_EQ(run_to_end(args), "Version: 1.7.2\n");
    EXPECT_FALSE(fs::exists(data()));
    EXPECT_FALSE(fs::exists(dir() / "run.log"));
  }
}

TEST_F(Startup, HelpPrintsTheOptionTable) {
  const std::string help = run_to_end({"--help", "--datadir", data().string()});
  EXPECT_TRUE(starts_with(help, "Allowed options:\n")) << help;
  ASSERT_GE(help.size(), 2u);
  EXPECT_EQ(help.substr(help.size() - 2), "\n\n");
  EXPECT_FALSE(fs::exists(data()));
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
      "test launch, parse snort log files"};
  size_t at = 0;
  for (const std::string& piece : pieces) {
    const size_t found = help.find(piece, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << piece << "\n" << help;
    at = found + piece.size();
  }
}

// Each failure prints one "can't start: ..., exit" line (exactly `text`, or containing it) and
// exits with 0. Ports at both ends of the range convert: the missing log directory ends those.
TEST_F(Startup, FailuresPrintOneLineAndExitWithZero) {
  const std::string missing_cfg = (dir() / "missing.cfg").string();
  const std::string no_log = (dir() / "no" / "run.log").string();
  const std::string no_log_line =
      "can't start: can't open logfile: No such file or directory, exit\n";
  const fs::path port_cfg = dir() / "port.cfg", unknown_cfg = dir() / "unknown.cfg";
  write_file(port_cfg, "port=70000\n");
  write_file(unknown_cfg, "log=sensor\ncontrol=1\n");
  write_file(dir() / "file", "not a directory");
  const auto invalid = [](const std::string& value, const std::string& option) {
    return "can't start: the argument ('" + value + "') for option '" + option +
           "' is invalid, exit\n";
  };
  const struct {
    args_t args;
    std::string text;
    bool exact;
  } cases[] = {
      {{"--bogus"}, "can't start: unrecognised option '--bogus', exit\n", true},
      {{"--port", "65536"}, invalid("65536", "--port"), true},
      {{"--port", "abc"}, invalid("abc", "--port"), true},
      {{"--port=-1"}, invalid("-1", "--port"), true},
      {{"-p", "1", "--port", "2"},
       "can't start: option '--port' cannot be specified more than once, exit\n",
       true},
      {{"-c", missing_cfg},
       "can't start: can not read options configuration file '" + missing_cfg + "', exit\n",
       true},
      {{"--cfg", port_cfg.string()}, invalid("70000", "port"), true},
      {{"-c", unknown_cfg.string()}, "can't start: unrecognised option 'control', exit\n", true},
      {{"--logfile", no_log}, no_log_line, true},
      {{"--port", "0", "--logfile", no_log}, no_log_line, true},
      {{"--port", "65535", "--logfile", no_log}, no_log_line, true},
      {{"-d", (dir() / "missing" / "data").string()}, "No such file or directory", false},
      {{"-d", (dir() / "file").string()}, "File exists", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.args.back());
    args_t args = c.args;
    if (args.front() != "-d") args.insert(args.end(), {"-d", data().string()});
    const std::string out = run_to_end(args);
    if (c.exact) {
      EXPECT_EQ(out, c.text);
    } else {
      EXPECT_TRUE(starts_with(out, "can't start: ")) << out;
      EXPECT_NE(out.find(c.text), std::string::npos) << out;
      EXPECT_TRUE(out.size() > 7 && out.find('\n') == out.size() - 1 &&
                  out.substr(out.size() - 7) == ", exit\n")
          << out;
    }
  }
  EXPECT_FALSE(fs::exists(dir() / "missing"));
  EXPECT_EQ(read_file(dir() / "file"), "not a directory");
}

// The log file is chosen before the channels; the command line wins over the configuration file,
// which fills what it leaves out; daemon, parse and cfg count only on the command line; relative
// paths are taken from the starting directory; the log file is emptied.
TEST_F(Startup, LogSetupFollowsTheOptions) {
  const fs::path start = dir() / "start";
  fs::create_directories(start);
  write_file(start / "run.log", "left over from before\n");
  fs::create_directories(data());
  write_file(data() / "keep", "x");
  const fs::path wins = dir() / "wins.cfg", fills = dir() / "fills.cfg";
  const fs::path switches = dir() / "switches.cfg", nested = dir() / "nested.cfg";
  write_file(wins, "port=not-a-port\nlog=proto\n");
  write_file(fills, "# options\nlog=proto:warning\nlogfile=from-cfg.log\ndatadir=" +
                        data().string() + "\n");
  write_file(nested, "unknown-key=1\n");
  write_file(switches, "daemon=1\nparse=1\ncfg=" + nested.string() + "\nlog=sensor\n");
  const std::string d = data().string();
  const struct {
    args_t args;
    std::string setup;
    fs::path cwd;
  } cases[] = {
      {{"-d", d}, "current logfile: \nenable log:  info\n", {}},
      {{"-d", d, "-l", "sensor:debug1,proto,x:"},
       "current logfile: \nenable log: sensor debug1\nenable log: proto info\nenable log: x \n",
       {}},
      {{"-c", wins.string(), "-l", "sensor", "-d", d},
       "current logfile: \nenable log: sensor info\n",
       {}},
      {{"--cfg", fills.string()},
       "current logfile: " + (dir() / "from-cfg.log").string() + "\nenable log: proto warning\n",
       {}},
      {{"-c", switches.string(), "-d", d}, "current logfile: \nenable log: sensor info\n", {}},
      {{"--datadir", "data", "--logfile", "run.log"},
       "current logfile: " + (start / "run.log").string() + "\nenable log:  info\n",
       start},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.args[1]);
    EXPECT_EQ(log_setup(c.args, c.cwd), c.setup);
  }
  EXPECT_TRUE(fs::exists(data() / "keep"));
  EXPECT_TRUE(fs::is_directory(start / "data"));
  EXPECT_FALSE(fs::exists(dir() / "data"));
  EXPECT_EQ(read_file(start / "run.log").find("left over"), std::string::npos);
}

}  // namespace ferun_test
