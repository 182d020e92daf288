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
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "common/console_client.h"
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
  rlim_t limit = 0;                                     // for descriptors: how many are left free
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
  rlim_t limit = row.limit;  // for descriptors, above the lowest free one
  if (row.resource == RLIMIT_NOFILE) {
    const int lowest = ::dup(0);
    ::close(lowest);
    limit += static_cast<rlim_t>(lowest);
  }
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
  const std::string odd = "x y';&$(touch p)`touch p`|\"", name(300, 'n'), longest(255, 'l');
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
      {":", 2, "", "mkdir d" + tar + "d", unable, "", RLIMIT_NOFILE, 1},  // none left to check
      {":", 1, "conf/a", "echo x >out", "86:1:unable unpack configuration"},
      {":", 0, "conf/a", "head -c 99999 /dev/zero >out", "86:1:Download file error: File too large",
       "", RLIMIT_FSIZE, 65536},
      {":", 0, "conf/a/x", "echo x >out", "86:1:Download file error: Not a directory"},
      {":", 0, "", "echo x >out", "86:1:Download file error: Is a directory"},
      {":", 0, "conf/../x", "echo x >out", attack + "conf/../x)"},
      {"mkfifo " + shell_quote(odd), 0, odd, "printf 1 >out", ok, odd + " 644 0 1\n"},
      {":", 2, odd + "t", "printf 3 >a" + tar + "a", ok, odd + "t/a 644 0 3\n"},
      // A name as long as a directory entry may be, plain or gunzipped, new or replacing a file.
      {":", 0, "conf/" + longest, "printf 4 >out", ok, "conf/" + longest + " 644 0 4\n"},
      {"printf o >" + longest + " && chmod 6640 " + longest, 1, longest, "printf 5 | gzip >out", ok,
       longest + " 640 0 5\n"},
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
    const auto open_files = [] {
      return std::distance(fs::directory_iterator("/proc/self/fd"), {});
    };
    const auto open_before = open_files();
    const ferun::answer_t a = upload(f, row);
    EXPECT_EQ(open_files(), open_before);  // no descriptor left behind
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
  const std::string before = tree(data / "ids-7");
  EXPECT_EQ(before, ". 755 0 \na 640 0 old\n");
  // Inodes for the staging directory and one file: the journal cannot be made. One more: "a" is
  // exchanged, "z" cannot be made.
  for (const auto& [inodes, log] : {std::pair(2, "journal"), std::pair(3, "z")}) {
    for (int n = 0; n < inodes; ++n) fs::remove(data / std::to_string(n));
    log_t::set_filename((f.root / "log").string()), log_t::enable("sensor", "info");
    const auto a = upload(f, {":", 2, "", "mkdir z && printf new >a && tar -czf out a z"});
    log_t::disable("sensor"), log_t::set_filename("");
    EXPECT_EQ(std::to_string(a.status) + a.message, "1unable unpack configurations");
    EXPECT_EQ(read_file(f.root / "log"), std::string("ERROR sensor: Download file error: ") + log +
                                             ": No space left on device\n");
    EXPECT_EQ(tree(data / "ids-7"), before);
  }
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

// The sensor channel logged into `file` while the object lives.
struct sensor_log_t {
  explicit sensor_log_t(const fs::path& file) : file(file) {
    log_t::set_filename(file.string()), log_t::enable("sensor", "info");
  }
  ~sensor_log_t() { log_t::disable("sensor"), log_t::set_filename(""); }
  std::string text() const { return read_file(file); }
  fs::path file;
};

// The staging directories in `dir`.
std::vector<fs::path> staging_dirs(const fs::path& dir) {
  std::vector<fs::path> found;
  boost::system::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
    if (it->path().filename().string().rfind(".upload-", 0) == 0) found.push_back(it->path());
  return found;
}

// Descriptors run out in the middle of placing (a chain of new directories needs one each, which
// neither reading nor checking did): everything already exchanged, added and made is put back.
TEST(SensorFiles, DescriptorsRunningOutMidPlacingPutAllBack) {
  ferun_test::sensor_fixture_t f;
  ASSERT_EQ(f.handshake("ids", 7, "probe").status, 0);
  const fs::path dir = f.sensor->sensor_dir;
  shell(dir,
        "mkdir -p conf/sub && for i in $(seq 2000); do printf o$i >conf/f$i; done && chmod 640 "
        "conf/f7 && printf x >conf/sub/x && ln -s f1 conf/l",
        f);
  const std::string before = tree(dir);
  std::optional<sensor_log_t> log;
#if !defined(__SANITIZE_ADDRESS__)  // UBSan's vptr check in a log call misfires without descriptors
  log.emplace(f.root / "log");
#endif
  const ferun::answer_t a = upload(
      f, {":", 2, "",
          "mkdir -p conf/sub $(printf 'z/%.0s' $(seq 40)) && for i in $(seq 2000); do printf n$i "
          ">conf/f$i; done && printf y >conf/sub/x && printf y >conf/sub/new && ln -s f2 conf/l "
          "&& printf y >conf/zz && tar -czf out conf z",
          "", "", RLIMIT_NOFILE, 10});
  EXPECT_EQ(string_utils::format("%x:%u:", a.id, a.status) + a.message,
            "86:1:unable unpack configurations");
  EXPECT_EQ(tree(dir), before);  // byte for byte, no staging directory left
  EXPECT_TRUE(!log || std::regex_match(log->text(), std::regex("ERROR sensor: Download file error: "
                                                               "z(/z)+: Too many open files\n")))
      << log->text();
  EXPECT_TRUE(fs::is_empty(f.conf.tmpdir));
}

// A directory that cannot be entered again on the way back (another root process swapped it
// for a link meanwhile): what cannot be put back stays with its journal, the answer says so, and
// the next upload, once the directory is back, first puts back the rest.
TEST(SensorFiles, AnUndoThatCannotFinishIsCompletedBeforeTheNextUpload) {
  ferun_test::sensor_fixture_t f;
  ASSERT_EQ(f.handshake("ids", 7, "probe").status, 0);
  const fs::path dir = f.sensor->sensor_dir;
  shell(dir, "mkdir conf d && for i in $(seq 2000); do printf o$i >conf/f$i; done && printf o >d/x",
        f);
  const std::string before = tree(dir);
  const sensor_log_t log(f.root / "log");
  const auto read = send(f, {":", 2, "",
                             "mkdir conf d && for i in $(seq 2000); do printf n$i >conf/f$i; done "
                             "&& printf n >d/x && tar -czf out conf d"});
  std::thread swapper([&] {  // once the placing is well inside conf
    struct stat st {};
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         std::chrono::steady_clock::now() < end;) {
      const auto stages = staging_dirs(dir);
      if (!stages.empty() && ::stat((stages[0] / "journal").c_str(), &st) == 0 && st.st_size > 2048)
        break;
    }
    for (const std::string name : {"conf", "d"}) {
      fs::rename(dir / name, f.root / name);
      fs::create_directory_symlink(f.root / name, dir / name);
    }
  });
  f.sensor->on_file(*read);
  swapper.join();
  ferun::answer_t a = answer(f);
  EXPECT_EQ(string_utils::format("%x:%u:", a.id, a.status) + a.message,
            "86:1:unable unpack configurations (replaced files are put back at the next hello)");
  EXPECT_TRUE(std::regex_match(
      log.text(), std::regex("ERROR sensor: Download file error: d: Too many levels of symbolic "
                             "links\nERROR sensor: Download file error: can't reach conf \\(Too "
                             "many levels of symbolic links\\)\nERROR sensor: Download file error: "
                             "replaced files are put back at the next hello \\(from "
                             "\\.upload-[0-9a-f]{8}\\)\n")))
      << log.text();
  const auto stages = staging_dirs(dir);
  ASSERT_EQ(stages.size(), 1u);
  EXPECT_TRUE(fs::exists(stages[0] / "journal"));
  EXPECT_EQ(read_file(f.root / "conf/f1"), "n1");  // replaced, the old one waits
  for (const std::string name : {"conf", "d"}) {
    fs::remove(dir / name);
    fs::rename(f.root / name, dir / name);
  }
  const std::string rest = log.text();
  a = upload(f, {":", 0, "u", "printf u >out"});
  EXPECT_EQ(string_utils::format("%x:%u:", a.id, a.status) + a.message, "86:0:");
  EXPECT_EQ(log.text().substr(rest.size()), "WARNING sensor: unfinished upload " +
                                                stages[0].filename().string() +
                                                " of sensor probe rolled back\n");
  EXPECT_EQ(tree(dir), before + "u 644 0 u\n");
}

// A journal record as placing writes it: kind, three zero bytes, the name's length, the staged
// number, four zero bytes, the device and inode of `file` (what an exchange replaces or an
// addition adds), all little-endian, then the name and a NUL.
std::string record(int kind, const std::string& name, int staged = 0, const fs::path& file = {}) {
  struct stat st {};
  if (!file.empty()) ::lstat(file.c_str(), &st);
  return ferun_test::le(kind, 4) + ferun_test::le(name.size(), 4) + ferun_test::le(staged, 4) +
         ferun_test::le(0, 4) + ferun_test::le(st.st_dev, 8) + ferun_test::le(st.st_ino, 8) + name +
         '\0';
}

// A placing cut short (as by a killed worker) is rolled back at the next hello, or before the
// next upload of a connection already past it: replaced files return, added files and
// directories go, steps never taken are left alone, and a record cut at the end is ignored. A
// journal that cannot be followed keeps its staging directory, logged.
TEST(SensorFiles, APlacingCutShortIsRolledBackBeforeTheDirectoryIsUsed) {
  const std::string magic = "ferun placing journal 1\n";
  // Stored: conf/a, conf/c, f, keep. The placing exchanged conf/a (the old file waits as 0), added
  // conf/b and the directory d; it had not yet exchanged conf/c (staged 2) nor added e (4), and
  // was writing the record of adding another f.
  const std::string half_done =
      "mkdir -m 700 conf .upload-0000abcd && printf old-a >conf/a && chmod 600 conf/a && printf "
      "old-c >conf/c && printf f >f && printf k >keep && mv conf/a .upload-0000abcd/0 && printf "
      "new-a >conf/a && printf new-b >conf/b && printf new-c >.upload-0000abcd/2 && mkdir -p d/x "
      "&& printf new-e >.upload-0000abcd/4";
  const auto journal = [&](const fs::path& dir) {
    const fs::path stage = dir / ".upload-0000abcd";
    return magic + record(1, "conf") + record(3, "a", 0, stage / "0") +
           record(4, "b", 1, dir / "conf/b") + record(3, "c", 2, dir / "conf/c") +
           record(2, "conf") + record(4, "d", 3, dir / "d") + record(4, "e", 4, stage / "4") +
           record(4, "f", 5, dir / "f").substr(0, 33);
  };
  const std::string old_tree =
      ". 755 0 \nconf 700 0 \nconf/a 600 0 old-a\nconf/c 644 0 old-c\nf 644 0 f\nkeep 644 0 k\n";
  const std::string leftover = "unfinished upload .upload-0000abcd of sensor probe";
  const struct {
    std::string setup;
    std::function<std::string(const fs::path&)> journal;
    std::string upload;  // the upload's answer when one finds the leftover; else a hello does
    std::string after;   // the tree afterwards; empty: as before
    std::string log;
  } rows[] = {
      {half_done, journal, "", old_tree, "WARNING sensor: " + leftover + " rolled back\n"},
      {half_done, journal, "86:0:", old_tree + "u 644 0 u\n",
       "WARNING sensor: " + leftover + " rolled back\n"},
      // Cut in its first line: no step had been taken.
      {half_done + " && rm -r d", [&](const fs::path&) { return magic.substr(0, 5); }, "",
       ". 755 0 \nconf 700 0 \nconf/a 644 0 new-a\nconf/b 644 0 new-b\nconf/c 644 0 old-c\nf 644 "
       "0 f\nkeep 644 0 k\n",
       "WARNING sensor: " + leftover + " rolled back\n"},
      {half_done, [&](const fs::path&) { return magic + record(1, "conf") + record(9, "a"); }, "",
       "",
       "ERROR sensor: " + leftover + ": damaged journal (at byte " +
           std::to_string(magic.size() + 37) + ")\nERROR sensor: " + leftover +
           " is kept, to be rolled back at the next hello\n"},
      // While one cannot be put back, no upload is placed.
      {half_done, [&](const fs::path&) { return magic + record(1, "conf") + record(9, "a"); },
       "86:1:Download file error: an earlier upload is still to be put back", "",
       "ERROR sensor: " + leftover + ": damaged journal (at byte " +
           std::to_string(magic.size() + 37) + ")\nERROR sensor: " + leftover +
           " is kept, to be rolled back at the next hello\nERROR sensor: Download file error: an "
           "earlier upload is still to be put back\n"},
      // Bytes that must be zero are not.
      {half_done, [&](const fs::path&) { return magic + record(1, "conf").replace(1, 1, "\1"); },
       "", "",
       "ERROR sensor: " + leftover + ": damaged journal (at byte " + std::to_string(magic.size()) +
           ")\nERROR sensor: " + leftover + " is kept, to be rolled back at the next hello\n"},
      {half_done, [&](const fs::path&) { return magic + record(1, "conf").replace(12, 1, "\1"); },
       "", "",
       "ERROR sensor: " + leftover + ": damaged journal (at byte " + std::to_string(magic.size()) +
           ")\nERROR sensor: " + leftover + " is kept, to be rolled back at the next hello\n"},
      {half_done, [&](const fs::path&) { return magic + record(2, "conf"); }, "", "",
       "ERROR sensor: " + leftover + ": damaged journal (at byte " + std::to_string(magic.size()) +
           ")\nERROR sensor: " + leftover + " is kept, to be rolled back at the next hello\n"},
      {half_done + " && mv conf real && ln -s real conf",
       [&](const fs::path& dir) {
         return magic + record(1, "conf") + record(3, "a", 0, dir / ".upload-0000abcd/0");
       },
       "", "",
       "ERROR sensor: " + leftover + ": can't reach conf (Too many levels of symbolic links)\n" +
           "ERROR sensor: " + leftover + " is kept, to be rolled back at the next hello\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.setup);
    ferun_test::sensor_fixture_t f;
    const fs::path dir = f.conf.datadir / "ids-7";
    if (!row.upload.empty()) {
      ASSERT_EQ(f.handshake("ids", 7, "probe").status, 0);
    }
    fs::create_directory(dir);
    shell(dir, row.setup, f);
    ferun_test::write_file(dir / ".upload-0000abcd/journal", row.journal(dir));
    const std::string before = tree(dir);
    const sensor_log_t log(f.root / "log");
    if (!row.upload.empty()) {
      const ferun::answer_t a = upload(f, {":", 0, "u", "printf u >out"});
      EXPECT_EQ(string_utils::format("%x:%u:", a.id, a.status) + a.message, row.upload);
    } else {
      EXPECT_EQ(f.handshake("ids", 7, "probe").message, "hello from sensor!");
    }
    EXPECT_EQ(log.text(), row.log);
    EXPECT_EQ(tree(dir), row.after.empty() ? before : row.after);
  }
}

// A stop request during a long unpack (an archive member or a gzip file of 1 GiB of zeros, about
// 1 MB sent) ends it: nothing is placed, the staging directory and the download file are gone,
// and the answer tells why.
TEST(SensorFiles, AStopEndsALongUnpackAndPlacesNothing) {
  // 1 GiB of zeros as 1024 gzip members of 1 MiB each; the archive's header comes first.
  const std::string zeros =
      "head -c 1048576 /dev/zero | gzip >z && for i in $(seq 1024); do cat z; done >>out";
  const struct {
    std::uint32_t flags;
    std::string path, content;
  } rows[] = {
      {2, "conf",
       "truncate -s 1G a && (tar -cf - a | head -c 512 | gzip >out) && " + zeros +
           " && head -c 1024 /dev/zero | gzip >>out"},
      {1, "conf/a", zeros},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    ferun_test::sensor_fixture_t f;
    ASSERT_EQ(f.handshake("ids", 7, "probe").status, 0);
    const fs::path dir = f.sensor->sensor_dir;
    shell(dir, reset + ":", f);
    const std::string before = tree(dir);
    const sensor_log_t log(f.root / "log");
    const auto read = send(f, {":", row.flags, row.path, row.content});
    std::thread placing([&] { f.sensor->on_file(*read); });
    const auto staged_bytes = [&] {
      for (const fs::path& stage : staging_dirs(dir)) {
        boost::system::error_code error;
        for (fs::directory_iterator it(stage, error), end; !error && it != end; it.increment(error))
          if (fs::is_regular_file(it->status()) && fs::file_size(it->path(), error) > 0 && !error)
            return true;
      }
      return false;
    };
    EXPECT_TRUE(ferun_test::poll_until(staged_bytes, std::chrono::seconds(60)));
    f.sensor->stop_requested = true;
    placing.join();
    f.sensor->stop_requested = false;
    const ferun::answer_t a = answer(f);
    EXPECT_EQ(string_utils::format("%x:%u:", a.id, a.status) + a.message,
              "86:1:upload cancelled: the sensor is stopping");
    EXPECT_EQ(log.text(),
              "WARNING sensor: upload of " + row.path + " cancelled: the sensor is stopping\n");
    EXPECT_EQ(tree(dir), before);
    EXPECT_TRUE(fs::is_empty(f.conf.tmpdir));
  }
}

// The real daemon's worker killed (as by the OOM killer) while it places an archive of 2,000
// files over stored ones, the tree half old, half new: the next hello puts back every old file.
TEST(SensorFiles, AWorkerKilledMidPlacingIsRolledBackAtTheNextHello) {
#if defined(FERUN_TEST_TSAN)
  GTEST_SKIP() << "ThreadSanitizer cannot follow the monitor's fork";
#endif
  using namespace std::chrono_literals;
  ferun_test::daemon_launcher_t daemon;
  const std::uint16_t port = ferun_test::daemon_launcher_t::free_port();
  const fs::path data = daemon.dir() / "data", dir = data / "f-1", work = daemon.dir() / "work";
  daemon.start({"--port", std::to_string(port), "--datadir", data.string(), "--log", "sensor"});
  ASSERT_TRUE(daemon.wait_listening(port, 20s)) << daemon.output();
  const auto hello = [&](ferun_test::console_client_t& console) {
    ferun::command_hello_t hello;
    std::tie(hello.version, hello.prefix, hello.sensor_id, hello.sensor_name) =
        std::make_tuple(ferun::protocol_version, "f", 1, "probe");
    console.send(hello);
    const auto frame = console.receive(20s);
    return frame ? frame->as<ferun::answer_hello_t>().status : -1;
  };
  ferun_test::console_client_t first(port, 20s);
  ASSERT_EQ(hello(first), 0);
  for (const auto& [root, text] : {std::pair(dir, "o"), std::pair(work, "n")}) {
    for (int d = 0; d < 10; ++d) {
      fs::create_directories(root / "conf" / std::to_string(d));
      for (int i = 0; i < 200; ++i)
        ferun_test::write_file(root / "conf" / std::to_string(d) / std::to_string(i),
                               text + std::to_string(d * 200 + i));
    }
  }
  ASSERT_EQ(
      std::system(("cd " + shell_quote(work.string()) + " && tar -czf ../a.tgz conf").c_str()), 0);
  const std::string before = tree(dir), archive = read_file(daemon.dir() / "a.tgz");
  ferun::command_file_t file;
  std::tie(file.path, file.flags, file.size) =
      std::make_tuple("", 2u, static_cast<std::uint32_t>(archive.size()));
  first.send(file), first.send_raw(archive);
  // Caught while it places: its journal holds some 450 records.
  std::vector<fs::path> stages;
  ASSERT_TRUE(ferun_test::poll_until([&] { return !(stages = staging_dirs(dir)).empty(); }, 60s));
  const fs::path journal = stages[0] / "journal";
  struct stat st {};
  for (const auto end = std::chrono::steady_clock::now() + 60s;
       std::chrono::steady_clock::now() < end;)  // busy: placing takes a fraction of a second
    if (::stat(journal.c_str(), &st) == 0 && st.st_size > 16384) break;
  const pid_t worker = daemon.worker();
  ASSERT_EQ(::kill(worker, SIGSTOP), 0);
  ASSERT_TRUE(fs::exists(journal)) << "placed before it could be stopped";
  std::size_t replaced = 0;
  for (fs::recursive_directory_iterator it(dir / "conf"), end; it != end; ++it)
    replaced += fs::is_regular_file(it->status()) && read_file(it->path())[0] == 'n';
  EXPECT_GT(replaced, 0u);
  EXPECT_LT(replaced, 2000u);
  ASSERT_EQ(::kill(worker, SIGKILL), 0);
  ASSERT_TRUE(ferun_test::poll_until(
      [&] { return daemon.worker() != worker && daemon.worker() != 0; }, 20s));
  ASSERT_TRUE(daemon.wait_listening(port, 20s)) << daemon.output();
  ferun_test::console_client_t next(port, 20s);  // served by the worker started anew
  EXPECT_EQ(hello(next), 0);
  EXPECT_EQ(tree(dir), before);
  EXPECT_TRUE(staging_dirs(dir).empty());
  const std::string out = daemon.output();
  EXPECT_NE(out.find("WARNING sensor: unfinished upload " + stages[0].filename().string() +
                     " of sensor probe rolled back\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
}

}  // namespace
