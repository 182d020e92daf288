// Uploads placed by the sensor: the command and its raw bytes go over a real connection, and real
// gzip and tar make and unpack the content.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <csignal>
#include <cstdlib>
#include <set>
#include <string>

#include "common/daemon_launcher.h"
#include "common/sensor_fixture.h"
#include "support/path_utils.h"
#include "support/string_utils.h"

namespace {

namespace fs = boost::filesystem;
using ferun_test::read_file;

void put(const fs::path& file, const std::string& text, unsigned mode) {
  fs::create_directories(file.parent_path());
  ferun_test::write_file(file, text, mode);
}

// Every entry below `dir` as "name mode content-or-link-text", sorted, one per line.
std::string tree(const fs::path& dir) {
  std::set<std::string> lines;
  for (fs::recursive_directory_iterator it(dir), end; it != end; ++it) {
    struct stat st;
    ::lstat(it->path().c_str(), &st);
    const std::string what = S_ISLNK(st.st_mode)   ? "-> " + fs::read_symlink(*it).string()
                             : S_ISREG(st.st_mode) ? read_file(*it)
                                                   : "";
    lines.insert(it->path().lexically_relative(dir).string() +
                 string_utils::format(" %o ", st.st_mode & 07777) + what + "\n");
  }
  std::string all;
  for (const std::string& line : lines) all += line;
  return all;
}

int lowest_free_fd() {
  const int fd = ::dup(0);
  ::close(fd);
  return fd;
}

class SensorFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ::umask(022);
    ASSERT_EQ(f.handshake("ids", 7, "probe").status, 0);
    dir = f.sensor->sensor_dir;
    put(outside / "keep", "kept", 0644);
    fds = lowest_free_fd();
  }
  void TearDown() override {
    EXPECT_EQ(tree(outside), "keep 644 kept\n");
    EXPECT_EQ(lowest_free_fd(), fds);  // no descriptor left open
  }
  // Sends the upload, places it with at most `limit` descriptors (when given) and returns
  // "status:message". No download file is left either way.
  std::string upload(const std::string& path, std::uint32_t flags, const std::string& content,
                     int limit = 0) {
    ferun::command_file_t cmd;
    cmd.path = path;
    cmd.flags = flags;
    cmd.size = static_cast<std::uint32_t>(content.size());
    f.console->send(cmd);
    f.console->send_raw(content);
    const auto read = f.sensor->proto.read(false);
    if (!read || read->id != ferun::command_file_t::message_id) throw std::runtime_error("no file");
    struct rlimit saved;
    ::getrlimit(RLIMIT_NOFILE, &saved);
    const struct rlimit tight = {static_cast<rlim_t>(lowest_free_fd()), saved.rlim_max};
    if (limit) ::setrlimit(RLIMIT_NOFILE, &tight);
    f.sensor->on_file(static_cast<const ferun::command_file_t&>(*read));
    ::setrlimit(RLIMIT_NOFILE, &saved);
    const auto frame = f.console->receive(std::chrono::seconds(30));
    if (!frame || frame->id != 0x86) throw std::runtime_error("no answer");
    EXPECT_TRUE(fs::is_empty(f.conf.tmpdir));
    const auto a = frame->as<ferun::answer_t>();
    return std::to_string(a.status) + ":" + a.message;
  }
  // Runs `command` in a fresh work directory, OUT naming the outside directory; returns "out".
  std::string made(const std::string& command) {
    const ferun_test::temp_dir_t work;
    const std::string line = "cd " + shell_quote(work.path().string()) +
                             " && OUT=" + shell_quote(outside.string()) + " && printf m >m && " +
                             command;
    if (std::system(line.c_str()) != 0) throw std::runtime_error("failed: " + command);
    return read_file(work / "out");
  }

  ferun_test::sensor_fixture_t f;
  fs::path dir, outside = f.root / "outside";
  int fds = 0;
};

TEST_F(SensorFiles, ThreePlacementsKeepTheModeAndQuoteThePath) {
  const std::string odd = "x y/it's;touch pwned&$(touch pwned)`touch pwned`|\"x\"";
  for (const std::string& file : {"1/" + odd, "2/" + odd, "3/" + odd + "/r/a"})
    put(dir / file, "old", 0600);
  const std::string raw("raw\0b\n", 6);
  ASSERT_EQ(upload("1/" + odd, 0x4, raw), "0:");
  ASSERT_EQ(upload("2/" + odd, 0x3, made("printf gz | gzip -c >out")), "0:");
  ASSERT_EQ(upload("3/" + odd, 0x2, made("mkdir -p r && printf t >r/a && tar -czf out r")), "0:");
  EXPECT_EQ(tree(dir / "1"), "x y 755 \nx y/" + odd.substr(4) + " 600 " + raw + "\n");
  EXPECT_EQ(tree(dir / "2") + tree(dir / "3"),
            "x y 755 \nx y/" + odd.substr(4) + " 600 gz\n" + "x y 755 \nx y/" + odd.substr(4) +
                " 755 \nx y/" + odd.substr(4) + "/r 755 \nx y/" + odd.substr(4) + "/r/a 600 t\n");
  for (const fs::path& where : {fs::current_path(), dir, dir / "1/x y", f.conf.tmpdir})
    EXPECT_FALSE(fs::exists(where / "pwned")) << where;
}

TEST_F(SensorFiles, ArchiveWithALinkLeadingOutOrASpecialMemberIsRefusedWhole) {
  fs::create_symlink(outside, dir / "b");  // as a first archive could once plant
  const std::string attack = "1:Download file error: path attack detected (";
  const std::string through = " && mkdir x && echo p >x/f && tar -czf out m ";
  const struct {
    std::string archive, answer;
  } rows[] = {
      {"ln -s \"$OUT\" b && tar -czf out m b", attack + "b)"},
      {"ln -s ../../.. up && tar -czf out m up", attack + "up)"},
      {"mkdir d && ln -s ../../.. d/up && tar -czf out m d", attack + "d/up)"},
      {"ln -s b a && tar -czf out m a", attack + "a)"},
      {"mkdir b && echo p >b/f && tar -czf out m b", attack + "b)"},
      {"ln -s b a" + through + "a x/f --transform s,^x/,a/,", "1:unable unpack configurations"},
      {"ln -s \"$OUT\" a" + through + "a x/f --transform s,^x/,a/,",
       "1:unable unpack configurations"},
      {"ln m h && tar -czf out m h", "1:unable unpack configurations"},
      {"mkfifo p && tar -czf out m p", "1:unable unpack configurations"},
      {"cat /dev/urandom | head -c 300 >out", "1:unable unpack configurations"},
  };
  const std::string before = tree(dir);
  for (const auto& row : rows) {
    EXPECT_EQ(upload("", 0x2, made(row.archive)), row.answer) << row.archive;
    EXPECT_EQ(tree(dir), before) << row.archive;
  }
  // Links that stay inside are placed as they are.
  ASSERT_EQ(upload("s", 0x2, made("mkdir d && ln -s ../m d/l && ln -s m l && tar -czf out m d l")),
            "0:");
  EXPECT_EQ(tree(dir / "s"), "d 755 \nd/l 777 -> ../m\nl 777 -> m\nm 644 m\n");
}

TEST_F(SensorFiles, FailedPlacementKeepsTheStoredFile) {
  put(dir / "conf/a.txt", "stored", 0600);
  const std::string before = tree(dir);
  // The unpacker may write little (as on a full disk), and no descriptor is left for the file
  // beside the target: the kind of upload gives the answer.
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const struct rlimit small = {64 * 1024, saved.rlim_max};
  const std::string big = made(
      "mkdir conf && echo new >conf/b && head -c 1000000 /dev/zero >conf/a.txt && tar -czf out "
      "conf");
  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_EQ(upload("", 0x2, big), "1:unable unpack configurations");
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(upload("conf/a.txt", 0x0, "new", 1), "1:Download file error: Too many open files");
  EXPECT_EQ(upload("conf/a.txt", 0x1, made("echo new | gzip >out"), 1),
            "1:unable unpack configuration");
  EXPECT_EQ(upload("conf/../x", 0x0, "new"),
            "1:Download file error: path attack detected (conf/../x)");
  EXPECT_EQ(tree(dir), before);
}

}  // namespace
