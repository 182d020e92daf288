// Uploads placed by the sensor: the command and its raw bytes go over a real connection, and real
// gzip and tar make and unpack the content.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <chrono>
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

constexpr std::uint32_t plain = 0x0, gzip = 0x1, tar_gz = 0x2;

void write_file(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  ferun_test::write_file(path, text);
}

void run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// Every path under `dir`, relative to it, links not followed.
std::set<std::string> tree(const fs::path& dir) {
  std::set<std::string> names;
  for (fs::recursive_directory_iterator it(dir), end; it != end; ++it)
    names.insert(fs::relative(it->path(), dir).string());
  return names;
}

std::string attack(const std::string& path) {
  return "Download file error: path attack detected (" + path + ")";
}

class SensorFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(f.handshake("ids", 7, "probe").status, 0);
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
    if (!cmd || cmd->id != ferun::command_file_t::message_id) throw std::runtime_error("no file");
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
  // A tar.gz of `src`, made with the tar arguments `args` (-P: member names kept as given).
  std::string tarred(const fs::path& src, const std::string& args = ".") {
    run("cd " + shell_quote(src.string()) + " && tar -czPf " +
        shell_quote((work / "out.tgz").string()) + " " + args);
    return read_file(work / "out.tgz");
  }

  ferun_test::sensor_fixture_t f;
  ferun_test::temp_dir_t work{"ferun-files"};
  fs::path outside = work / "outside";
  fs::path dir;
};

TEST_F(SensorFiles, PlacementsChosenByTheFlagsWithPathsPlacedAsNamed) {
  const std::string odd = "x y/it's;touch pwned&$(touch pwned)`touch pwned`|<>\"x\"";
  write_file(work / "src/rules/local.rules", "alert\n");
  write_file(work / "src/replace.me", "new");
  write_file(dir / "five" / odd / "keep.me", "kept");
  write_file(dir / "five" / odd / "replace.me", "old");
  const std::string tgz = tarred(work / "src");
  const struct {
    std::string path;
    std::uint32_t flags;
    std::string content, placed, expected;
  } cases[] = {
      {"one/" + odd, plain, std::string("raw\0b\n", 6), "", std::string("raw\0b\n", 6)},
      {"/three/" + odd, gzip, gzipped("gunzipped\n"), "", "gunzipped\n"},
      {"five/" + odd, tar_gz, tgz, "/rules/local.rules", "alert\n"},
      {"other", 0x4, "as sent", "", "as sent"},  // higher bits ignored
      {"t", tar_gz | 0x8, tgz, "/replace.me", "new"},
      {"both", gzip | tar_gz, gzipped("gz wins\n"), "", "gz wins\n"},  // gzip wins over tar
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto a = upload(c.path, c.flags, c.content);
    EXPECT_EQ(a.status, 0) << a.message;
    EXPECT_EQ(a.message, "");
    EXPECT_EQ(read_file(dir / (c.path + c.placed)), c.expected);
  }
  for (const fs::path& where : {fs::current_path(), dir, dir / "one/x y", f.conf.tmpdir})
    EXPECT_FALSE(fs::exists(where / "pwned")) << where;
  EXPECT_FALSE(fs::exists("/three"));
  EXPECT_EQ(read_file(dir / "five" / odd / "keep.me"), "kept");  // a tar keeps other entries
  EXPECT_EQ(read_file(dir / "five" / odd / "replace.me"), "new");

  // The last (gzip) upload leaves the ".gz" name in the temporary directory.
  const std::string download = f.sensor->proto.download_path();
  EXPECT_EQ(fs::path(download).parent_path(), f.conf.tmpdir);
  EXPECT_TRUE(fs::exists(download + ".gz"));
  EXPECT_FALSE(fs::exists(download));
}

TEST_F(SensorFiles, RefusedPathsAndContentPlaceNothing) {
  write_file(dir / "existing", "x");
  const auto before = tree(dir);
  for (const std::string path : {"conf/../x", "..x", "a..b", "../../outside/x", ".."}) {
    for (std::uint32_t flags : {plain, gzip, tar_gz}) {
      SCOPED_TRACE(path + " " + std::to_string(flags));
      const auto a = upload(path, flags, "data");
      EXPECT_EQ(a.status, 1);
      EXPECT_EQ(a.message, attack(path));
    }
  }
  EXPECT_EQ(tree(dir), before);
  EXPECT_TRUE(tree(outside).empty());
  const struct {
    std::string path;
    std::uint32_t flags;
    std::string content, message;
  } cases[] = {
      {"not.gz", gzip, "plain text", "unable unpack configuration"},
      {"not.tgz", tar_gz, "plain text", "unable unpack configurations"},
      {"cut.tgz", tar_gz, gzipped(std::string(2000, 'x')).substr(0, 20),
       "unable unpack configurations"},
  };
  for (const auto& c : cases) {
    const auto a = upload(c.path, c.flags, c.content);
    EXPECT_EQ(a.status, 1) << c.path;
    EXPECT_EQ(a.message, c.message);
  }
  EXPECT_EQ(upload("", plain, "data").status, 1);
  EXPECT_TRUE(fs::is_directory(dir));
}

TEST_F(SensorFiles, UploadFollowedAtOnceByAnotherCommand) {
  ferun::command_get_value_t get;
  get.names = {"k"};
  const std::string content("\x04\x00\x05\x00garbage", 11);  // looks like a frame
  send_upload("first", plain, content);
  f.console->send(get);
  EXPECT_EQ(place().status, 0);
  EXPECT_EQ(read_file(dir / "first"), content);
  const auto cmd = f.sensor->proto.read(false);
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->id, ferun::command_get_value_t::message_id);
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
}

TEST_F(SensorFiles, LinksLeadingOutOfTheSensorDirectoryAreNotWrittenThrough) {
  fs::create_symlink(outside, dir / "out");
  fs::create_symlink(outside / "new", dir / "dangling");
  write_file(work / "src/f", "archived");
  const std::string tgz = tarred(work / "src"), gz = gzipped("g");
  for (const std::string path : {"out/file", "out", "dangling", "/out/sub/file"}) {
    for (std::uint32_t flags : {plain, gzip, tar_gz}) {
      SCOPED_TRACE(path + " " + std::to_string(flags));
      const auto a = upload(path, flags, flags == tar_gz ? tgz : flags == gzip ? gz : "p");
      EXPECT_EQ(a.status, 1);
      EXPECT_EQ(a.message, attack(path));
    }
  }
  // An archive may plant a link, but nothing is written through it later.
  fs::create_directories(work / "planter");
  fs::create_symlink(outside, work / "planter/link");
  ASSERT_EQ(upload("", tar_gz, tarred(work / "planter")).status, 0);
  ASSERT_TRUE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(upload("link/x", plain, "p").message, attack("link/x"));
  write_file(work / "via/link/x", "through the link");
  EXPECT_EQ(upload("", tar_gz, tarred(work / "via", "./link/x")).message, attack("./link/x"));
  EXPECT_TRUE(tree(outside).empty());
}

TEST_F(SensorFiles, ArchiveMemberNamesCannotLeaveTheTarget) {
  write_file(work / "escaped", "climbing");
  fs::create_directories(work / "a/b");
  const std::string climbing = tarred(work / "a/b", "../../escaped");
  fs::remove(work / "escaped");
  write_file(work / "absolute/file", "absolute");
  const std::string absolute = tarred(work.path(), shell_quote((work / "absolute/file").string()));
  fs::remove_all(work / "absolute");

  upload("sub", tar_gz, climbing);
  upload("sub", tar_gz, absolute);
  for (const fs::path& p : {work / "escaped", work / "absolute/file", dir.parent_path() / "escaped",
                            f.root.path() / "escaped"})
    EXPECT_FALSE(fs::exists(p)) << p;
  // The absolute member lands under the target, its leading "/" removed.
  EXPECT_EQ(read_file(dir / "sub" / (work / "absolute/file").relative_path()), "absolute");
}

}  // namespace
