// The scripts run as the daemon runs them; the IDS is a stand-in "snort" that records its words.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/regex.hpp>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/daemon_launcher.h"
#include "support/path_utils.h"

namespace fs = boost::filesystem;
using ferun_test::read_file;

namespace {

const char* const kStandIn = R"(#!/bin/sh
case "$2" in eth9) trap '' TERM ;; esac
printf '%s\n' "$@" >"$TEST_DIR/args.tmp" && mv "$TEST_DIR/args.tmp" "$TEST_DIR/args"
while :; do sleep 1 & wait $!; done
)";

class Scripts : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"run", "spool", "bin"}) fs::create_directories(dir_ / sub);
    ferun_test::write_file(dir_ / "bin" / "snort", kStandIn, 0755);
  }
  void TearDown() override {  // never leave a stand-in running
    for (const char* pid_file : {"lo.pid", "eth9.pid"}) {
      const pid_t pid = std::atoi(read_file(dir_ / "run" / pid_file).c_str());
      if (pid > 1 && pid != getpid()) kill(pid, SIGKILL);
    }
  }
  std::pair<int, std::string> run(const std::string& script, const std::vector<std::string>& words,
                                  const std::string& env = "SNORT= ") {
    const std::string d = dir_.path().string();  // a plain temporary path
    std::string line = "TEST_DIR=" + d + " TAVREL_SNORT_RUNDIR=" + d + "/run " + env +
                       "PATH=" + shell_quote(d + "/bin:" + std::getenv("PATH")) + " " +
                       shell_quote(FERUN_BINARY_DIR "/" + script);
    for (const std::string& word : words) shell_append(line, word);
    line += (script == "sysinfo" ? " >" : " -q >") + d + "/out 2>&1";
    const int status = std::system(line.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(dir_ / "out")};
  }
  ferun_test::temp_dir_t dir_{"ferun-scripts"};
  const std::string spool_ = (dir_ / "spool").string();
};

}  // namespace

TEST_F(Scripts, SysinfoPrintsNameValueLinesAndExitsZero) {
  const auto r = run("sysinfo", {});
  EXPECT_EQ(r.first, 0);
  EXPECT_TRUE(boost::regex_match(r.second, boost::regex("([a-z_]+: [^\\n]+\\n)+"))) << r.second;
}

TEST_F(Scripts, WithoutTheIdsStartFailsClearlyAndInfoStillGivesElevenFigures) {
  const auto start = run("tavrel-snort", {"start", "lo", "cfg", "any", spool_}, "SNORT=no-snort ");
  EXPECT_NE(start.first, 0);
  EXPECT_NE(start.second.find("'no-snort' is not installed"), std::string::npos) << start.second;
  const auto info = run("tavrel-snort", {"info", "lo"}, "SNORT=no-snort ");
  EXPECT_EQ(info.first, 0);
  std::string form = "(status: stopped\\n";
  for (const char* name : {"uptime", "cpu_usage", "mem", "mem_usage", "disk", "disk_usage",
                           "rx_bytes", "rx_packets", "tx_bytes", "tx_packets"})
    form += std::string("|") + name + ": [0-9.]+\\n";
  EXPECT_TRUE(boost::regex_match(info.second, boost::regex(form + "){11}"))) << info.second;
}

// Without an interface, stop, reload and status take every instance; a stop that leaves one (eth9
// ignores SIGTERM) running fails. Hostile values reach the IDS as single words and run nothing. A
// SNORT path that cannot run is named as such.
TEST_F(Scripts, EveryInstanceWithoutAnInterface) {
  const std::string e = "TAVREL_SNORT_STOP_SECONDS=1 SNORT= ", marker = (dir_ / "ran").string();
  const std::string config = "my cfg; touch " + marker, home = "$(touch " + marker + ") `touch`";
  const std::pair<std::vector<std::string>, std::pair<int, std::string>> steps[] = {
      {{"status"}, {0, "stopped\n"}},
      {{"stop"}, {0, "snort is not running\n"}},
      {{"reload"}, {1, "tavrel-snort: snort is not running, nothing to reload\n"}},
      {{"start", "eth9", "c", "h", spool_}, {0, ""}},
      {{"start", "lo", config, home, spool_}, {0, ""}},
      {{"status"}, {0, "running on eth9\nrunning on lo\n"}},
      {{"stop"},
       {1,
        "tavrel-snort: snort (pid P) on eth9 did not end within 1 seconds\n"
        "snort stopped on lo\n"}},
      {{"status"}, {0, "running on eth9\n"}},
  };
  for (const auto& step : steps) {
    auto r = run("tavrel-snort", step.first, e);
    r.second = boost::regex_replace(r.second, boost::regex("pid [0-9]+\\)"), "pid P)");
    r.second = boost::regex_replace(r.second, boost::regex("snort started on .*\n"), "");
    EXPECT_EQ(r, step.second) << step.first[0];
  }
  EXPECT_EQ(read_file(dir_ / "args"),
            "-i\nlo\n-c\n" + config + "\n-h\n" + home + "\n-l\n" + spool_ + "\n-q\n");
  EXPECT_FALSE(fs::exists(marker));
  const std::string start = "tavrel-snort: cannot start: the IDS program '";
  EXPECT_EQ(run("tavrel-snort", {"start", "lo", "c", "h", spool_}, "SNORT=/no/snort ").second,
            start + "/no/snort' does not exist\n");
  EXPECT_EQ(run("tavrel-snort", {"start", "lo", "c", "h", spool_}, "SNORT=" + spool_ + " ").second,
            start + spool_ + "' is not an executable file\n");
}
