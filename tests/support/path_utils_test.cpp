#include "support/path_utils.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "common/daemon_launcher.h"

TEST(PathJoin, AppendsTheRightSideUnderTheLeft) {
  const struct {
    const char* left;
    const char* right;
    const char* joined;
  } cases[] = {
      {"/var/lib/ferun", "sensor-1", "/var/lib/ferun/sensor-1"},
      {"/var/lib/ferun/", "sensor-1", "/var/lib/ferun/sensor-1"},
      {"/var/lib/ferun", "", "/var/lib/ferun"},
      {"/var/lib/ferun", "/etc/passwd", "/var/lib/ferun/etc/passwd"},
      {"/var/lib/ferun/", "/x", "/var/lib/ferun//x"},
      {"", "rules", "rules"},
      {"", "/rules", "/rules"},
      {"spool", "a/b", "spool/a/b"},
      {"/", "x", "/x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.left) + " + " + c.right);
    EXPECT_EQ(path_join(c.left, c.right).string(), c.joined);
  }
}

namespace {

// What /bin/sh makes of `command`: its standard output.
std::string shell_output(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), &pclose);
  if (!pipe) return "<popen failed>";
  std::string out;
  char buffer[256];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0) out.append(buffer, n);
  return out;
}

}  // namespace

TEST(ShellQuote, EveryWordReachesTheShellUnchanged) {
  ferun_test::temp_dir_t dir;
  const std::string witness = (dir / "witness").string();
  const std::string words[] = {
      "plain",
      "two words",
      "it's",
      "'",
      "''",
      "\"double\"",
      "$HOME",
      "`touch " + witness + "`",
      "$(touch " + witness + ")",
      "; touch " + witness,
      "back\\slash",
      "tab\there",
      "new\nline",
      "*",
      "~",
      "a'b'c'",
  };
  for (const std::string& word : words) {
    SCOPED_TRACE(word);
    EXPECT_EQ(shell_output("printf '%s' " + shell_quote(word)), word);
  }
  EXPECT_FALSE(boost::filesystem::exists(witness));
}

TEST(ShellQuote, AppendAddsOneWordAndSkipsEmptyOnes) {
  std::string command = "printf '<%s>'";
  shell_append(command, "a b");
  shell_append(command, "");
  shell_append(command, "it's");
  EXPECT_EQ(command, "printf '<%s>' 'a b' 'it'\\''s'");
  EXPECT_EQ(shell_output(command), "<a b><it's>");
}
