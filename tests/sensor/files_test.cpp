// Uploads placed by the sensor: the command and its raw bytes go over a real loopback
// connection, and real gzip and tar make and unpack the content.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "common/sensor_fixture.h"
#include "support/path_utils.h"
#include "support/string_utils.h"

namespace {

namespace fs = boost::filesystem;

constexpr std::uint32_t plain = 0x0, gzip = 0x1, tar_gz = 0x2;

std::string read_file(const fs::path& path) {
  std::ifstream in(path.string(), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path.string(), std::ios::binary) << text;
}

void run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// Every path under `dir`, relative to it, symbolic links not followed.
std::set<std::string> tree(const fs::path& dir) {
  std::set<std::string> names;
  if (!fs::exists(dir)) return names;
  for (fs::recursive_directory_iterator it(dir), end; it != end; ++it)
    names.insert(fs::relative(it->path(), dir).string());
  return names;
}

class SensorFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto hello = f.handshake("ids", 7, "probe");
    ASSERT_EQ(hello.status, 0) << hello.message;
    dir = f.sensor->sensor_dir;
    fs::create_directories(outside);
  }

  void send_upload(const std::string& path, std::uint32_t flags, const std::string& content) {
    ferun::command_file_t cmd;
    cmd.path = path;
    cmd.flags = flags;
    cmd.size = static_cast<std::uint32_t>(content.size());
    f.console->send(cmd);
    f.console->send_raw(content);
  }

  // Runs the sensor's side of one upload on this thread and returns its answer.
  ferun::answer_t place() {
    const auto cmd = f.sensor->proto.read(false);
    if (!cmd || cmd->id != ferun::command_file_t::message_id)
      throw std::runtime_error("no file command");
    f.sensor->on_file(static_cast<const ferun::command_file_t&>(*cmd));
    const auto frame = f.console->receive(std::chrono::seconds(30));
    if (!frame) throw std::runtime_error("no answer");
    EXPECT_EQ(frame->id, 0x86);
    return frame->as<ferun::answer_t>();
  }

  ferun::answer_t upload(const std::string& path, std::uint32_t flags, const std::string& content) {
    send_upload(path, flags, content);
    return place();
  }

  std::string gzipped(const std::string& content) {
    write_file(work / "gz.in", content);
    run("gzip -c " + shell_quote((work / "gz.in").string()) + " > " +
        shell_quote((work / "gz.out").string()));
    return read_file(work / "gz.out");
  }

  // A tar.gz of everything in `src`, made with extra tar arguments `args` when given.
  std::string tarred(const fs::path& src, const std::string& args = ".") {
    run("cd " + shell_quote(src.string()) + " && tar -czPf " +
        shell_quote((work / "out.tgz").string()) + " " + args);
    return read_file(work / "out.tgz");
  }

  static std::string attack(const std::string& path) {
    return "Download file error: path attack detected (" + path + ")";
  }

  ferun_test::sensor_fixture_t f;
  ferun_test::temp_dir_t work{"ferun-files"};
  fs::path outside = work / "outside";
  fs::path dir;
};

TEST_F(SensorFiles, ThreePlacementsIntoNewNestedDirectories) {
  auto a = upload("one/two/plain.conf", plain, std::string("raw\0bytes\n", 10));
  EXPECT_EQ(a.status, 0) << a.message;
  EXPECT_EQ(a.message, "");
  EXPECT_EQ(read_file(dir / "one/two/plain.conf"), std::string("raw\0bytes\n", 10));

  a = upload("three/four/unzipped.conf", gzip, gzipped("gunzipped text\n"));
  EXPECT_EQ(a.status, 0) << a.message;
  EXPECT_EQ(read_file(dir / "three/four/unzipped.conf"), "gunzipped text\n");

  write_file(work / "src/rules/local.rules", "alert tcp any any -> any any\n");
  write_file(work / "src/top.conf", "top\n");
  a = upload("five/six", tar_gz, tarred(work / "src"));
  EXPECT_EQ(a.status, 0) << a.message;
  EXPECT_EQ(read_file(dir / "five/six/rules/local.rules"), "alert tcp any any -> any any\n");
  EXPECT_EQ(read_file(dir / "five/six/top.conf"), "top\n");
}

TEST_F(SensorFiles, LeadingSlashStaysUnderTheSensorDirectory) {
  const auto a = upload("/sub/deeper/file", plain, "content");
  EXPECT_EQ(a.status, 0) << a.message;
  EXPECT_EQ(read_file(dir / "sub/deeper/file"), "content");
  EXPECT_FALSE(fs::exists("/sub/deeper/file"));
}

TEST_F(SensorFiles, DoubleDotAnywhereIsRefusedAndNothingIsWritten) {
  write_file(dir / "existing", "x");
  const auto before = tree(dir);
  for (const std::string path : {"conf/../x", "..x", "a..b", "../../outside/x", ".."}) {
    for (std::uint32_t flags : {plain, gzip, tar_gz}) {
      const auto a = upload(path, flags, "data");
      EXPECT_EQ(a.status, 1);
      EXPECT_EQ(a.message, attack(path));
    }
  }
  EXPECT_EQ(tree(dir), before);
  EXPECT_TRUE(tree(outside).empty());
}

TEST_F(SensorFiles, FlagsChooseThePlacement) {
  // Gzip wins over tar; bits other than the two low ones are ignored.
  EXPECT_EQ(upload("both", gzip | tar_gz, gzipped("gz\n")).status, 0);
  EXPECT_EQ(read_file(dir / "both"), "gz\n");
  EXPECT_EQ(upload("other", 0x4, "as sent").status, 0);
  EXPECT_EQ(read_file(dir / "other"), "as sent");
  write_file(work / "src/inner", "in");
  EXPECT_EQ(upload("t", tar_gz | 0x8, tarred(work / "src")).status, 0);
  EXPECT_EQ(read_file(dir / "t/inner"), "in");
}

TEST_F(SensorFiles, EmptyPathCannotReplaceTheSensorDirectory) {
  const auto a = upload("", plain, "data");
  EXPECT_EQ(a.status, 1);
  EXPECT_NE(a.message, "");
  EXPECT_TRUE(fs::is_directory(dir));
}

TEST_F(SensorFiles, TarIntoExistingDirectoryKeepsOtherEntries) {
  write_file(dir / "conf/keep.me", "kept");
  write_file(dir / "conf/replace.me", "old");
  write_file(work / "src/replace.me", "new");
  write_file(work / "src/added", "added");
  const auto a = upload("conf", tar_gz, tarred(work / "src"));
  EXPECT_EQ(a.status, 0) << a.message;
  EXPECT_EQ(read_file(dir / "conf/keep.me"), "kept");
  EXPECT_EQ(read_file(dir / "conf/replace.me"), "new");
  EXPECT_EQ(read_file(dir / "conf/added"), "added");
}

TEST_F(SensorFiles, ContentThatIsNotWhatTheFlagsSay) {
  auto a = upload("not.gz", gzip, "plain text, not gzip");
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.message, "unable unpack configuration");
  a = upload("not.tgz", tar_gz, "plain text, not an archive");
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.message, "unable unpack configurations");
  const std::string truncated = gzipped(std::string(2000, 'x')).substr(0, 20);
  a = upload("cut.tgz", tar_gz, truncated);
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.message, "unable unpack configurations");
}

TEST_F(SensorFiles, ShellCharactersInPathsArePlacedAsNamed) {
  const std::string odd = "dir with blank/it's;touch pwned&$(touch pwned)`touch pwned`|<>\"x\"";
  write_file(work / "src/f", "archived");
  const std::string gz = gzipped("zipped");
  const std::string tgz = tarred(work / "src");
  const fs::path cwd = fs::current_path();

  EXPECT_EQ(upload(odd + ".plain", plain, "as sent").status, 0);
  EXPECT_EQ(read_file(dir / (odd + ".plain")), "as sent");
  auto a = upload(odd + ".gz", gzip, gz);
  EXPECT_EQ(a.status, 0) << a.message;
  EXPECT_EQ(read_file(dir / (odd + ".gz")), "zipped");
  a = upload(odd + ".d", tar_gz, tgz);
  EXPECT_EQ(a.status, 0) << a.message;
  EXPECT_EQ(read_file(dir / (odd + ".d") / "f"), "archived");

  for (const fs::path& where : {cwd, dir, dir / "dir with blank", f.conf.tmpdir})
    EXPECT_FALSE(fs::exists(where / "pwned")) << where;
}

TEST_F(SensorFiles, GzipUploadLeavesTheGzNameInTheTemporaryDirectory) {
  EXPECT_EQ(upload("z", gzip, gzipped("z\n")).status, 0);
  const std::string download = f.sensor->proto.download_path();
  ASSERT_FALSE(download.empty());
  EXPECT_EQ(fs::path(download).parent_path(), f.conf.tmpdir);
  EXPECT_TRUE(fs::exists(download + ".gz"));
  EXPECT_FALSE(fs::exists(download));
  // A second gzip upload replaces it.
  EXPECT_EQ(upload("z2", gzip, gzipped("z2\n")).status, 0);
  EXPECT_EQ(read_file(dir / "z2"), "z2\n");
}

TEST_F(SensorFiles, UploadFollowedAtOnceByAnotherCommand) {
  ferun::command_get_value_t get;
  get.names = {"k"};
  // Content that looks like a frame must still be taken as content.
  const std::string content("\x04\x00\x05\x00garbage", 11);
  send_upload("first", plain, content);
  f.console->send(get);

  EXPECT_EQ(place().status, 0);
  EXPECT_EQ(read_file(dir / "first"), content);
  const auto cmd = f.sensor->proto.read(false);
  ASSERT_TRUE(cmd);
  ASSERT_EQ(cmd->id, ferun::command_get_value_t::message_id);
  f.sensor->on_get_value(static_cast<const ferun::command_get_value_t&>(*cmd));
  const auto frame = f.console->receive(std::chrono::seconds(10));
  ASSERT_TRUE(frame);
  const auto answer = frame->as<ferun::answer_get_value_t>();
  EXPECT_EQ(answer.status, 0);
  ASSERT_EQ(answer.values.size(), 1u);
  EXPECT_EQ(answer.values[0].name, "k");
}

TEST_F(SensorFiles, DownloadNotStoredWholeIsNotPlaced) {
  // A link under the download file's name keeps the framer from storing the content.
  const fs::path download = path_join(
      f.conf.tmpdir,
      string_utils::format("sensor_%p.download", static_cast<const void*>(&f.sensor->proto)));
  fs::create_symlink(outside / "sink", download);
  for (std::uint32_t flags : {plain, gzip, tar_gz}) {
    const auto a = upload("target", flags, "content");
    EXPECT_EQ(a.status, 1);
    EXPECT_EQ(a.message, "Too many levels of symbolic links");
    EXPECT_FALSE(fs::exists(dir / "target"));
  }
  EXPECT_FALSE(fs::exists(outside / "sink"));

  fs::remove(download);
  EXPECT_EQ(upload("target", plain, "content").status, 0);
  EXPECT_EQ(read_file(dir / "target"), "content");
}

TEST_F(SensorFiles, LinksLeadingOutOfTheSensorDirectoryAreNotWrittenThrough) {
  fs::create_symlink(outside, dir / "out");
  fs::create_symlink(outside / "new", dir / "dangling");
  write_file(work / "src/f", "archived");
  const std::string tgz = tarred(work / "src");

  for (const std::string path : {"out/file", "out", "dangling", "/out/sub/file"}) {
    for (std::uint32_t flags : {plain, gzip, tar_gz}) {
      const auto a = upload(path, flags,
                            flags == tar_gz ? tgz
                            : flags == gzip ? gzipped("g")
                                            : "p");
      EXPECT_EQ(a.status, 1) << path << " " << flags;
      EXPECT_EQ(a.message, attack(path));
    }
  }
  EXPECT_TRUE(tree(outside).empty());
  EXPECT_TRUE(fs::is_symlink(dir / "out"));

  // A link that stays inside is followed as before.
  fs::create_directories(dir / "real");
  fs::create_symlink("real", dir / "inside");
  EXPECT_EQ(upload("inside/file", plain, "through").status, 0);
  EXPECT_EQ(read_file(dir / "real/file"), "through");
}

TEST_F(SensorFiles, ArchiveThatPlantsALinkCannotBeWrittenThroughLater) {
  fs::create_directories(work / "planter");
  fs::create_symlink(outside, work / "planter/link");
  auto a = upload("", tar_gz, tarred(work / "planter"));
  ASSERT_EQ(a.status, 0) << a.message;
  ASSERT_TRUE(fs::is_symlink(dir / "link"));

  EXPECT_EQ(upload("link/x", plain, "p").message, attack("link/x"));
  write_file(work / "via/link/x", "through the link");
  a = upload("", tar_gz, tarred(work / "via", "./link/x"));
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.message, attack("./link/x"));
  EXPECT_TRUE(tree(outside).empty());
}

TEST_F(SensorFiles, ArchiveMemberNamesCannotLeaveTheTarget) {
  // Members named "../../escaped" and by an absolute path, kept as named by tar -P.
  write_file(work / "escaped", "climbing");
  fs::create_directories(work / "a/b");
  tarred(work / "a/b", "../../escaped");
  const std::string climbing = read_file(work / "out.tgz");
  fs::remove(work / "escaped");

  write_file(work / "absolute/file", "absolute");
  const std::string absolute = tarred(work.path(), shell_quote((work / "absolute/file").string()));
  fs::remove_all(work / "absolute");

  upload("sub", tar_gz, climbing);
  upload("sub", tar_gz, absolute);
  EXPECT_FALSE(fs::exists(work / "escaped"));
  EXPECT_FALSE(fs::exists(work / "absolute/file"));
  EXPECT_FALSE(fs::exists(dir.parent_path() / "escaped"));
  EXPECT_FALSE(fs::exists(f.root.path() / "escaped"));
  // The absolute member lands under the target, its leading "/" removed.
  EXPECT_EQ(read_file(dir / "sub" / (work / "absolute/file").relative_path()), "absolute");
}

}  // namespace
