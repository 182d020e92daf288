#include "support/path_utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/daemon_launcher.h"

TEST(PathJoin, AppendsTheRightSideUnderTheLeft) {
  const char* cases[][3] = {
      {"/var/lib/ferun", "sensor-1", "/var/lib/ferun/sensor-1"},
      {"/var/lib/ferun/", "sensor-1", "/var/lib/ferun/sensor-1"},
      {"/var/lib/ferun", "", "/var/lib/ferun"},
      {"/var/lib/ferun", "/etc/passwd", "/var/lib/ferun/etc/passwd"},
      {"/var/lib/ferun/", "/x", "/var/lib/ferun//x"},
      {"", "rules", "rules"},
      {"spool", "a/b", "spool/a/b"},
  };
  for (const auto& c : cases) EXPECT_EQ(path_join(c[0], c[1]).string(), c[2]) << c[0] << c[1];
}

namespace {

// What /bin/sh makes of `command`: its standard output.
std::string shell_output(const std::string& command) {
  ferun_test::temp_dir_t dir;
  EXPECT_EQ(std::system((command + " >" + (dir / "out").string()).c_str()), 0) << command;
  return ferun_test::read_file(dir / "out");
}

}  // namespace

TEST(ShellQuote, EveryWordReachesTheShellUnchanged) {
  ferun_test::temp_dir_t dir;
  const std::string touch = "touch " + (dir / "witness").string();
  for (const std::string& word :
       std::vector<std::string>{"two words", "it's", "''", "\"$HOME\" *", "`" + touch + "`",
                                "$(" + touch + ")", "; " + touch, "back\\slash\ttab\nline"})
    EXPECT_EQ(shell_output("printf '%s' " + shell_quote(word)), word);
  EXPECT_FALSE(boost::filesystem::exists(dir / "witness"));

  std::string command = "printf '<%s>'";
  for (const char* word : {"a b", "", "it's"}) shell_append(command, word);
  EXPECT_EQ(command, "printf '<%s>' 'a b' 'it'\\''s'") << "an empty word adds nothing";
  EXPECT_EQ(shell_output(command), "<a b><it's>");
}
