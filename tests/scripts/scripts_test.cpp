// The wrapper script run as the daemon runs it; the IDS is a stand-in "snort" that records its
// words (the one on eth9 ignores SIGTERM).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <boost/regex.hpp>
#include <csignal>

#include "common/daemon_launcher.h"
#include "support/path_utils.h"

// Without an interface, status and stop take every instance, and a stop that leaves one running
// fails. Hostile values reach the IDS as single words and run nothing.
TEST(Scripts, WrapperScript) {
  ferun_test::temp_dir_t dir{"ferun-scripts"};
  const std::string d = dir.path().string(), spool = d + "/spool", marker = d + "/ran";
  ferun_test::write_file(dir / "snort",
                         "#!/bin/sh\ncase \"$2\" in eth9) trap '' TERM ;; esac\nprintf '%s\\n' "
                         "\"$@\" >\"$0.args\"\nwhile :; do sleep 1 & wait $!; done\n",
                         0755);
  const std::string config = "my cfg; touch " + marker, home = "$(touch " + marker + ") `touch`";
  // Environment, words, exit status, a regular expression of the output.
  const std::tuple<std::string, std::vector<std::string>, int, std::string> steps[] = {
      {"SNORT=" + d, {"start", "lo", "c", "h", spool}, 1, ".* is not an executable file\n"},
      {"", {"start", "eth9", "c", "h", spool}, 0, "snort started on eth9 \\(pid [0-9]+\\)\n"},
      {"", {"start", "lo", config, home, spool}, 0, "snort started on lo \\(pid [0-9]+\\)\n"},
      {"", {"status"}, 0, "running on eth9\nrunning on lo\n"},
      {"", {"stop"}, 1, ".* on eth9 did not end within 1 seconds\nsnort stopped on lo\n"},
      {"", {"status"}, 0, "running on eth9\n"},
  };
  for (const auto& [env, words, rc, output] : steps) {
    std::string line = "TAVREL_SNORT_RUNDIR=" + d + "/run TAVREL_SNORT_STOP_SECONDS=1 SNORT=" + d +
                       "/snort " + env + " " FERUN_BINARY_DIR "/tavrel-snort";
    for (const std::string& word : words) shell_append(line, word);
    const int status = std::system((line + " -q >" + d + "/out 2>&1").c_str());
    const std::string out = ferun_test::read_file(dir / "out");
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, rc) << line;
    EXPECT_TRUE(boost::regex_match(out, boost::regex(output))) << line << "\n" << out;
  }
  EXPECT_EQ(ferun_test::read_file(dir / "snort.args"),
            "-i\nlo\n-c\n" + config + "\n-h\n" + home + "\n-l\n" + spool + "\n-q\n");
  EXPECT_FALSE(boost::filesystem::exists(marker));
  for (const char* pid_file : {"lo.pid", "eth9.pid"})  // never leave a stand-in running
    if (const pid_t pid = std::atoi(ferun_test::read_file(dir / "run" / pid_file).c_str()); pid > 1)
      kill(pid, SIGKILL);
}
