// Uploads placed by the sensor: the command and its raw bytes go over a real connection, and real
// gzip and tar make the content.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <boost/filesystem.hpp>
#include <csignal>
#include <numeric>
#include <set>

#include "common/daemon_launcher.h"
#include "common/sensor_fixture.h"
#include "support/path_utils.h"
#include "support/string_utils.h"

namespace {

namespace fs = boost::filesystem;
using ferun_test::read_file;

// Every entry below `dir` as "name mode content-or-link-text", sorted, one per line.
std::string tree(const fs::path& dir) {
  std::set<std::string> lines;
  for (fs::recursive_directory_iterator it(dir), end; it != end; ++it) {
    struct stat st;
    ::lstat(it->path().c_str(), &st);
    lines.insert(it->path().lexically_relative(dir).string() +
                 string_utils::format(" %o ", st.st_mode & 07777) +
                 (S_ISLNK(st.st_mode)   ? "-> " + fs::read_symlink(*it).string()
                  : S_ISREG(st.st_mode) ? read_file(*it)
                                        : "") +
                 "\n");
  }
  return std::accumulate(lines.begin(), lines.end(), std::string());
}

TEST(SensorFiles, EachUploadIsPlacedWholeOrNotAtAll) {
  ::umask(022);
  ::signal(SIGXFSZ, SIG_IGN);  // a write past the file size limit fails instead
  ferun_test::sensor_fixture_t f;
  ASSERT_EQ(f.handshake("ids", 7, "probe").status, 0);
  const fs::path dir = f.sensor->sensor_dir, outside = f.root / "outside";
  const std::string odd = "x y';&$(touch p)`touch p`|\"", attack = "86:1:Download file error: ";
  fs::create_directories(dir / "conf");
  ferun_test::write_file(dir / "conf/a", "stored", 0600);
  fs::create_directories(outside);
  ferun_test::write_file(outside / "keep", "kept", 0644);
  fs::create_symlink(outside, dir / "b");  // as a first archive could once plant
  ::mkfifo((dir / odd).c_str(), 0600);     // replaced by a file of the usual mode
  const std::string tar = " && tar -czf out m ", unable = "86:1:unable unpack configurations";
  const std::string through = " && mkdir x && echo p >x/f" + tar + "a x/f --transform s,^x/,a/,";
  const struct {
    std::uint32_t flags;
    std::string path, content, answer, placed = "";  // placed: part of the tree after, or no change
    int resource = RLIMIT_CORE;                      // no core dumps: as good as no limit
    rlim_t limit = 0;
  } rows[] = {
      {2, "", "ln -s \"$OUT\" b" + tar + "b", attack + "path attack detected (b)"},
      {2, "", "ln -s ../../.. up" + tar + "up", attack + "path attack detected (up)"},
      {2, "", "mkdir d && ln -s ../../.. d/up" + tar + "d", attack + "path attack detected (d/up)"},
      {2, "", "ln -s b a" + tar + "a", attack + "path attack detected (a)"},
      {2, "", "mkdir b && echo p >b/f" + tar + "b", attack + "path attack detected (b)"},
      {2, "", "ln -s b a" + through, unable},
      {2, "", "ln -s \"$OUT\" a" + through, unable},
      {2, "", "ln -s ../ids-7x s" + tar + "s", attack + "path attack detected (s)"},
      {2, "", "printf f >conf" + tar + "conf", unable},
      {2, "", "ln m h" + tar + "h", unable},
      {2, "", "mkfifo p" + tar + "p", unable},
      {2, "", "mkdir conf && head -c 99999 /dev/zero >conf/a" + tar + "conf", unable, "",
       RLIMIT_FSIZE, 65536},
      {1, "conf/a", "echo x | gzip >out", "86:1:unable unpack configuration", "", RLIMIT_NOFILE},
      {0, "conf/a", "head -c 99999 /dev/zero >out", attack + "File too large", "", RLIMIT_FSIZE,
       65536},
      {0, "conf/a/x", "echo x >out",
       "86:1:boost::filesystem::create_directory: File exists: \"" + (dir / "conf/a\"").string()},
      {0, "conf/../x", "echo x >out", attack + "path attack detected (conf/../x)"},
      {4, "conf/a", "printf 'r\\0w' >out", "86:0:", "conf/a 600 r" + std::string(1, '\0') + "w\n"},
      {3, "conf/a", "printf z | gzip >out", "86:0:", "conf/a 600 z\n"},
      {2, "conf", "printf t >a && ln -s a l && mkdir d && ln -s ../a d/u && tar -czf out a l d",
       "86:0:", "conf/a 600 t\nconf/d 755 \nconf/d/u 777 -> ../a\nconf/l 777 -> a\n"},
      {0, odd, "printf 1 >out", "86:0:", odd + " 644 1\n"},
      {1, odd + "g", "printf 2 | gzip >out", "86:0:", odd + "g 644 2\n"},
      {2, odd + "t", "printf 3 >a && tar -czf out a", "86:0:", odd + "t/a 644 3\n"},
  };
  for (const auto& row : rows) {
    // The content is made in a fresh directory holding the file "m", OUT naming the outside one.
    const ferun_test::temp_dir_t work;
    ASSERT_EQ(std::system(("cd " + shell_quote(work.path().string()) + " && OUT=" +
                           shell_quote(outside.string()) + " && printf m >m && " + row.content)
                              .c_str()),
              0);
    const std::string content = read_file(work / "out"), before = tree(dir);
    ferun::command_file_t cmd;
    cmd.path = row.path;
    cmd.flags = row.flags;
    cmd.size = static_cast<std::uint32_t>(content.size());
    f.console->send(cmd);
    f.console->send_raw(content);
    const auto read = f.sensor->proto.read(false);
    // Placed with the row's limit; for descriptors, none is left free.
    rlim_t limit = row.limit;
    if (row.resource == RLIMIT_NOFILE) ::close(static_cast<int>(limit = ::dup(0)));
    struct rlimit saved;
    ::getrlimit(row.resource, &saved);
    const struct rlimit tight = {limit, saved.rlim_max};
    ::setrlimit(row.resource, &tight);
    f.sensor->on_file(dynamic_cast<const ferun::command_file_t&>(*read));
    ::setrlimit(row.resource, &saved);
    const auto a = f.console->receive(std::chrono::seconds(30)).value().as<ferun::answer_t>();
    EXPECT_EQ(string_utils::format("%x:%u:", a.id, a.status) + a.message, row.answer)
        << row.content;
    const std::string after = tree(dir);
    EXPECT_TRUE(row.placed.empty() ? after == before : after.find(row.placed) != std::string::npos)
        << row.content << " leaves\n"
        << after;
    EXPECT_TRUE(fs::is_empty(f.conf.tmpdir));  // no download file left
    EXPECT_EQ(tree(outside), "keep 644 kept\n");
  }
  EXPECT_FALSE(fs::exists("p"));
}

}  // namespace
