#include "support/string_utils.h"

#include <gtest/gtest.h>

#include <string>

#include "common/daemon_launcher.h"

using ferun_test::temp_dir_t;
using ferun_test::write_file;

TEST(Format, ReturnsTheWholeText) {
  EXPECT_EQ(string_utils::format("%d", 42), "42");
  EXPECT_EQ(string_utils::format("%s-%u", "sensor", 7u), "sensor-7");
  EXPECT_EQ(string_utils::format("%s", ""), "");
  const std::string long_text(100000, 'z');
  const std::string formatted = string_utils::format("<%s>", long_text.c_str());
  EXPECT_EQ(formatted.size(), long_text.size() + 2);
  EXPECT_EQ(formatted, "<" + long_text + ">");
}

TEST(ToStr, GrowsItsBufferUpTo512AndCutsBeyond) {
  for (size_t length : {0, 1, 63, 64, 100, 127, 128, 255, 256, 511}) {
    SCOPED_TRACE(length);
    const std::string text(length, 'a');
    EXPECT_EQ(string_utils::to_str("%s", text.c_str()), text);
  }
  for (size_t length : {512, 600, 5000}) {
    SCOPED_TRACE(length);
    const std::string text(length, 'b');
    EXPECT_EQ(string_utils::to_str("%s", text.c_str()), text.substr(0, 511));
  }
  EXPECT_EQ(string_utils::to_str(".%u", 4294967295u), ".4294967295");
  EXPECT_EQ(string_utils::to_str("%s-%u", "pfx", 12u), "pfx-12");
}

TEST(GetFileContent, AppendsOneNul) {
  temp_dir_t dir;
  write_file(dir / "empty", "");
  const std::string empty = get_file_content((dir / "empty").c_str());
  EXPECT_EQ(empty, std::string(1, '\0'));

  const std::string bytes("line one\n\0binary\xff\n", 18);
  write_file(dir / "bytes", bytes);
  EXPECT_EQ(get_file_content((dir / "bytes").c_str()), bytes + '\0');

  const std::string large(300000, 'q');
  write_file(dir / "large", large);
  EXPECT_EQ(get_file_content((dir / "large").c_str()), large + '\0');
}

TEST(GetFileContent, EmptyWhenNothingToRead) {
  temp_dir_t dir;
  EXPECT_EQ(get_file_content((dir / "missing").c_str()), "");
  EXPECT_EQ(get_file_content(dir.path().c_str()), "");
}
