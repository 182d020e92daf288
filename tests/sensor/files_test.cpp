// Uploads over a real connection, one table of the ways a hostile console or local user could turn
// the root daemon against its host (a shell plants links, owners and modes first; real gzip and
// tar make the content). Each row checks the answer, the tree with owners and modes, a canary.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

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

// Every entry below `dir`, itself included, as "name mode owner content-or-link-text", sorted.
std::string tree(const fs::path& dir) {
  std::vector<fs::path> paths{dir};
  paths.insert(paths.end(), fs::recursive_directory_iterator(dir), {});
  std::set<std::string> lines;
  for (const fs::path& path : paths) {
    struct stat st;
    ::lstat(path.c_str(), &st);
    lines.insert(path.lexically_relative(dir).string() +
                 string_utils::format(" %o %u ", st.st_mode & 07777, st.st_uid) +
                 (S_ISLNK(st.st_mode)   ? "-> " + fs::read_symlink(path).string()
                  : S_ISREG(st.st_mode) ? read_file(path)
                                        : "") +
                 "\n");
  }
  return std::accumulate(lines.begin(), lines.end(), std::string());
}

// Runs `script` in `dir` with OUT naming the canary directory and TMP the temporary one.
void shell(const fs::path& dir, const std::string& script, ferun_test::sensor_fixture_t& f) {
  const std::string line = "cd " + shell_quote(dir.string()) +
                           " && OUT=" + shell_quote((f.root / "outside").string()) +
                           " TMP=" + shell_quote(f.conf.tmpdir.string()) + " && " + script;
  ASSERT_EQ(std::system(line.c_str()), 0) << script;
}

struct row_t {
  std::string setup;  // run in the sensor directory first
  std::uint32_t flags;
  std::string path, content, answer = "", placed = "";  // placed: part of the tree after, or none
  int resource = RLIMIT_CORE;                           // no core dumps: as good as no limit
  rlim_t limit = 0;
};

// Sends the row's upload; the command as the sensor has read it.
std::shared_ptr<ferun::command_file_t> send(ferun_test::sensor_fixture_t& f, const row_t& row) {
  const ferun_test::temp_dir_t work;
  shell(work.path(), "printf m >m && " + row.content, f);
  const std::string content = read_file(work / "out");
  ferun::command_file_t cmd;
  std::tie(cmd.path, cmd.flags, cmd.size) =
      std::make_tuple(row.path, row.flags, static_cast<std::uint32_t>(content.size()));
  f.console->send(cmd), f.console->send_raw(content);
  return std::dynamic_pointer_cast<ferun::command_file_t>(f.sensor->proto.read(false));
}
ferun::answer_t answer(ferun_test::sensor_fixture_t& f) {
  return f.console->receive(std::chrono::seconds(30)).value().as<ferun::answer_t>();
}

// Sends the row's upload and places it on this thread, under the row's limit.
ferun::answer_t upload(ferun_test::sensor_fixture_t& f, const row_t& row) {
  const auto read = send(f, row);
  rlim_t limit = row.limit;  // for descriptors, none is left free
  if (row.resource == RLIMIT_NOFILE) ::close(static_cast<int>(limit = ::dup(0)));
  struct rlimit saved;
  ::getrlimit(row.resource, &saved);
  const struct rlimit tight = {limit, saved.rlim_max};
  ::setrlimit(row.resource, &tight);
  f.sensor->on_file(*read);
  ::setrlimit(row.resource, &saved);
  return answer(f);
}

// Each row starts from the same sensor directory, conf/a (mode 0600) alone, and the same canary.
const std::string reset =
    "find . -mindepth 1 -delete && mkdir conf && printf stored >conf/a && chmod 600 conf/a && rm "
    "-rf \"$OUT\" \"$TMP\" && mkdir -m 700 \"$TMP\" && mkdir \"$OUT\" && printf kept "
    ">\"$OUT\"/keep && ";
struct uploads_t : testing::Test {
  uploads_t() {
    ::umask(022);
    ::signal(SIGXFSZ, SIG_IGN);  // a write past the file size limit fails instead
    EXPECT_EQ(f.handshake("ids", 7, "probe").status, 0);
  }
  ferun_test::sensor_fixture_t f;
  const std::string attack = "86:1:Download file error: path attack detected (";
  const std::string unable = "86:1:unable unpack configurations", ok = "86:0:";
  const std::string tar = " && tar -czf out ";
};

TEST_F(uploads_t, LinksOwnersModesWholeOrNothingTemporaryDirectoryOneAtATime) {
  const std::string odd = "x y';&$(touch p)`touch p`|\"", name(300, 'n');
  const std::string tmp = "86:1:temporary directory " + f.conf.tmpdir.string();
  const std::vector<row_t> rows{
      // No link on the disk is gone through; an archive's link is placed only if it points down.
      {"ln -s . self", 0, "self/x", "echo x >out", attack + "self/x)"},
      {"ln -s . p", 2, "", "mkdir p && echo p >p/sensor.ini" + tar + "p/sensor.ini",
       attack + "p/sensor.ini)"},
      {"ln -s \"$OUT\"/keep s", 0, "s", "printf 1 >out", ok, "s 644 0 1\n"},
      {":", 2, "", "ln -s \"$OUT\" b" + tar + "b", attack + "b)"},
      {":", 2, "", "printf t >a" + tar + "a m --transform s,^m,x/../../m,", attack + "x/../../m)"},
      {":", 2, "", "ln -s p/p/../../x sensor.ini" + tar + "sensor.ini", attack + "sensor.ini)"},
      {":", 2, "", "ln -s . a && mkdir x && : >x/f" + tar + "m a x/f --transform s,^x,a,", unable},
      {":", 2, "conf", "printf t >a && ln -s . p && mkdir d && ln -s a/./b d/u" + tar + "a p d", ok,
       "conf/a 600 0 t\nconf/d 755 0 \nconf/d/u 777 0 -> a/./b\nconf/p 777 0 -> .\n"},
      // Nothing placed keeps another owner, setuid, setgid or group or other write; nor does ".".
      {":", 2, "",
       "mkdir t && cd t && printf s >s && chmod 6777 s && mkdir -m 777 d && mkdir -m 750 e && "
       "chmod 777 . && tar --owner=65534 --group=65534 -czf ../out .",
       ok, ". 755 0 \nconf 755 0 \nconf/a 600 0 stored\nd 755 0 \ne 750 0 \ns 755 0 s\n"},
      {"chmod 6666 conf/a", 2, "conf", "printf z >a" + tar + "a", ok, "conf/a 644 0 z\n"},
      {":", 4, "conf/a", "printf 'r\\0w' >out", ok,
       "conf/a 600 0 r" + std::string(1, '\0') + "w\n"},
      {":", 3, "n/g", "printf z | gzip >out", ok, "n 755 0 \nn/g 644 0 z\n"},
      {":", 2, "", "mkdir -p a/b && printf x >a/b/s && truncate -s 8192 a/b/s" + tar + "-S a/b/s",
       ok, "a 755 0 \na/b 755 0 \na/b/s 644 0 x" + std::string(8191, '\0') + "\n"},
      // What cannot be examined, placed or written refuses the whole upload.
      {":", 2, "", "printf t >a" + tar + "a m --transform s,^m,m/" + name + ",", unable},
      {":", 2, "", "printf t >a && ln m h" + tar + "a m h", unable},
      {":", 2, "", "printf t >a && mkfifo p" + tar + "a p", unable},
      {":", 2, "conf/a/x", "printf t >a" + tar + "a", unable},
      {":", 2, "", "printf t >a && printf f >conf" + tar + "a conf", unable},
      {":", 2, "", "mkdir conf && head -c 99999 /dev/zero >conf/a" + tar + "conf", unable, "",
       RLIMIT_FSIZE, 65536},
      {":", 2, "", "echo not gzip >out", unable},
      {":", 1, "conf/a", "echo x | gzip >out", "86:1:unable unpack configuration", "",
       RLIMIT_NOFILE},
      {":", 1, "conf/a", "echo x >out", "86:1:unable unpack configuration"},
      {":", 0, "conf/a", "head -c 99999 /dev/zero >out", "86:1:Download file error: File too large",
       "", RLIMIT_FSIZE, 65536},
      {":", 0, "conf/a/x", "echo x >out", "86:1:Download file error: Not a directory"},
      {":", 0, "", "echo x >out", "86:1:Download file error: Is a directory"},
      {":", 0, "conf/../x", "echo x >out", attack + "conf/../x)"},
      {"mkfifo " + shell_quote(odd), 0, odd, "printf 1 >out", ok, odd + " 644 0 1\n"},
      {":", 2, odd + "t", "printf 3 >a" + tar + "a", ok, odd + "t/a 644 0 3\n"},
      // The temporary directory is checked at every upload.
      {"rm -r \"$TMP\" && ln -s \"$OUT\" \"$TMP\"", 0, "x", "echo x >out",
       tmp + " is a symbolic link"},
      {"rm -r \"$TMP\"", 0, "x", "echo x >out", ok, "x 644 0 x\n"},
  };
  const fs::path dir = f.sensor->sensor_dir, outside = f.root / "outside";
  for (const row_t& row : rows) {
    SCOPED_TRACE(row.setup + " | " + row.content);
    shell(dir, reset + row.setup, f);
    const std::string before = tree(dir);
    const ferun::answer_t a = upload(f, row);
    EXPECT_EQ(string_utils::format("%x:%u:", a.id, a.status) + a.message, row.answer);
    const std::string after = tree(dir);
    EXPECT_TRUE(row.placed.empty() ? after == before : after.find(row.placed) != std::string::npos)
        << after;
    EXPECT_TRUE(fs::is_symlink(f.conf.tmpdir) || fs::is_empty(f.conf.tmpdir));  // nothing left
    EXPECT_EQ(tree(outside), ". 755 0 \nkeep 644 0 kept\n");
  }
  EXPECT_FALSE(fs::exists("p"));

  // Uploads of one sensor wait for each other: a directory swapped for a link meanwhile is seen.
  // A 2000-deep chain is placed, also over itself (two descriptors at a time, not one per level).
  shell(dir, reset + ":", f);
  const ferun::fd_t other(::open(dir.c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_EQ(::flock(other.get(), LOCK_EX), 0);  // as another connection's upload holds it
  const auto read = send(f, {":", 2, "", "mkdir conf && echo p >conf/ff && tar -czf out conf"});
  std::thread first([&] { f.sensor->on_file(*read); });
  EXPECT_FALSE(f.console->receive(std::chrono::milliseconds(300)));  // waits for the lock
  fs::rename(dir / "conf", f.root / "moved");
  fs::create_directory_symlink(f.root / "moved", dir / "conf");
  ::flock(other.get(), LOCK_UN);
  first.join();
  EXPECT_EQ(answer(f).message, "Download file error: path attack detected (conf)");
  EXPECT_EQ(tree(f.root / "moved"), ". 755 0 \na 600 0 stored\n");

  const std::string chain = "mkdir -p $(printf 'a/%.0s' $(seq 2000)) && tar -czf out a";
  for (int round = 0; round < 2; ++round) {
    const auto read = send(f, {":", 2, "deep", chain});
    f.sensor->on_file(*read);
    EXPECT_EQ(answer(f).status, 0);
  }
}

// A placing that fails after all (a file system out of inodes) puts back what it replaced.
TEST(SensorFiles, FailedPlacingPutsBackWhatItReplaced) {
  ferun_test::sensor_fixture_t f;
  const fs::path data = f.conf.datadir;
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
      ::mount("ferun-test", data.c_str(), "tmpfs", 0, "size=1m,nr_inodes=64,mode=0755") != 0)
    GTEST_SKIP() << "needs root";
  ASSERT_EQ(f.handshake("ids", 7, "probe").status, 0);
  ferun_test::write_file(data / "ids-7/a", "old", 0640);
  for (int n = 0; ::mkdir((data / std::to_string(n)).c_str(), 0) == 0; ++n) continue;
  fs::remove(data / "0"), fs::remove(data / "1");  // the unpacking directory and one file
  const std::string before = tree(data / "ids-7");
  const ferun::answer_t a = upload(f, {":", 2, "", "mkdir z && printf new >a && tar -czf out a z"});
  EXPECT_EQ(std::to_string(a.status) + a.message, "1unable unpack configurations");
  EXPECT_EQ(tree(data / "ids-7"), before);
  EXPECT_EQ(before, ". 755 0 \na 640 0 old\n");
  ::umount2(data.c_str(), MNT_DETACH);
}

// At each hello, unpacking directories an earlier worker left are removed, also when their names
// are longer than a path may be, and nothing else; no error is logged.
TEST(SensorFiles, HelloRemovesLeftovers) {
  ferun_test::sensor_fixture_t f;
  shell(f.conf.datadir,
        "mkdir -m 755 ids-7 ../outside && cd ids-7 && printf k >k && : >.upload-f && mkdir -p "
        ".upload-x/l && cd .upload-x && ln -s \"$OUT\" l/o && for i in $(seq 30); do mkdir n && "
        "mv l n/$(printf %0200d 0) && mv n l; done",
        f);
  log_t::set_filename((f.root / "log").string()), log_t::enable("sensor", "info");
  EXPECT_EQ(f.handshake("ids", 7, "probe").message, "hello from sensor!");
  log_t::disable("sensor"), log_t::set_filename("");
  EXPECT_EQ(read_file(f.root / "log").find("ERROR"), std::string::npos);
  EXPECT_EQ(tree(f.root / "outside"), ". 755 0 \n");
  EXPECT_EQ(tree(f.conf.datadir / "ids-7"), ". 755 0 \nk 644 0 k\n");
}

}  // namespace
