// Uploads placed by the sensor: the command and its raw bytes go over a real connection, and real
// gzip and tar make and unpack the content.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <string>

#include "common/daemon_launcher.h"
#include "common/sensor_fixture.h"
#include "support/path_utils.h"
#include "support/string_utils.h"

namespace {

namespace fs = boost::filesystem;
using ferun_test::read_file;

class SensorFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(f.handshake("ids", 7, "probe").status, 0);
    fs::create_directories(outside);
  }
  std::string upload(const std::string& path, std::uint32_t flags, const std::string& content) {
    ferun::command_file_t cmd;
    cmd.path = path;
    cmd.flags = flags;
    cmd.size = static_cast<std::uint32_t>(content.size());
    f.console->send(cmd);
    f.console->send_raw(content);
    const auto read = f.sensor->proto.read(false);
    if (!read || read->id != ferun::command_file_t::message_id) throw std::runtime_error("no file");
    f.sensor->on_file(static_cast<const ferun::command_file_t&>(*read));
    const auto frame = f.console->receive(std::chrono::seconds(30));
    if (!frame || frame->id != 0x86) throw std::runtime_error("no answer");
    const auto a = frame->as<ferun::answer_t>();
    return std::to_string(a.status) + ":" + a.message;
  }
  // Runs `command` in the work directory; returns the file "out" it made.
  std::string made(const std::string& command) {
    const std::string line = "cd " + shell_quote(work.path().string()) + " && " + command;
    if (std::system(line.c_str()) != 0) throw std::runtime_error("failed: " + command);
    return read_file(work / "out");
  }

  ferun_test::sensor_fixture_t f;
  ferun_test::temp_dir_t work{"ferun-files"};
  fs::path outside = work / "outside";
};

TEST_F(SensorFiles, ThreePlacementsWithAPathHoldingShellCharacters) {
  const std::string odd = "x y/it's;touch pwned&$(touch pwned)`touch pwned`|\"x\"";
  const std::string tgz = made("mkdir -p s/r && echo alert >s/r/a && tar -czf out -C s .");
  const std::string gz = made("echo gunzipped | gzip -c >out"), raw("raw\0b\n", 6);
  const fs::path dir = f.sensor->sensor_dir;
  ASSERT_EQ(upload("1/" + odd, 0x0, raw), "0:");
  ASSERT_EQ(upload("2/" + odd, 0x1, gz), "0:");
  ASSERT_EQ(upload("3/" + odd, 0x2, tgz), "0:");
  EXPECT_EQ(read_file(dir / ("1/" + odd)), raw);
  EXPECT_EQ(read_file(dir / ("2/" + odd)), "gunzipped\n");
  EXPECT_EQ(read_file(dir / ("3/" + odd + "/r/a")), "alert\n");
  for (const fs::path& where : {fs::current_path(), dir, dir / "1/x y", f.conf.tmpdir})
    EXPECT_FALSE(fs::exists(where / "pwned")) << where;
}

TEST_F(SensorFiles, ClimbingPathAndLinkLeadingOutAreRefused) {
  fs::create_symlink(outside, f.sensor->sensor_dir / "out");
  for (const std::string path : {"conf/../x", "out/file"})
    EXPECT_EQ(upload(path, 0x0, "data"),
              "1:Download file error: path attack detected (" + path + ")");
  EXPECT_TRUE(fs::is_empty(outside));
}

TEST_F(SensorFiles, DownloadNotStoredWholeIsNotPlaced) {
  // A link under the download file's name keeps the framer from storing the content.
  const fs::path download = path_join(
      f.conf.tmpdir,
      string_utils::format("sensor_%p.download", static_cast<const void*>(&f.sensor->proto)));
  fs::create_symlink(outside / "sink", download);
  EXPECT_EQ(upload("target", 0x0, "content"), "1:Too many levels of symbolic links");
  EXPECT_FALSE(fs::exists(f.sensor->sensor_dir / "target"));
}

}  // namespace
