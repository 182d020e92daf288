#include "support/string_utils.h"

#include <gtest/gtest.h>

#include <string>

#include "common/daemon_launcher.h"

TEST(Format, ReturnsTheWholeText) {
  EXPECT_EQ(string_utils::format("%s-%u", "sensor", 7u), "sensor-7");
  EXPECT_EQ(string_utils::format("%s", ""), "");
  const std::string long_text(100000, 'z');
  EXPECT_EQ(string_utils::format("<%s>", long_text.c_str()), "<" + long_text + ">");
}

TEST(ToStr, GrowsItsBufferUpTo512AndCutsBeyond) {
  for (size_t length : {0, 63, 64, 127, 128, 511, 512, 5000}) {
    const std::string text(length, 'a');
    EXPECT_EQ(string_utils::to_str("%s", text.c_str()), text.substr(0, 511)) << length;
  }
}

TEST(GetFileContent, AppendsOneNulOrIsEmptyWhenNothingCanBeRead) {
  ferun_test::temp_dir_t dir;
  ferun_test::write_file(dir / "empty", "");
  EXPECT_EQ(get_file_content((dir / "empty").c_str()), std::string(1, '\0'));
  const std::string bytes = std::string("line\n\0binary\xff", 13) + std::string(300000, 'q');
  ferun_test::write_file(dir / "bytes", bytes);
  EXPECT_EQ(get_file_content((dir / "bytes").c_str()), bytes + '\0');
  EXPECT_EQ(get_file_content((dir / "missing").c_str()), "");
  EXPECT_EQ(get_file_content(dir.path().c_str()), "");
}
