// The daemon on a full file system: a small tmpfs on its temporary directory or on one sensor's
// directory. An upload or a value change that does not fit fails with status 1, whatever was
// stored before stays as it was, and the same connection goes on working once there is room.
//
// Mounting needs root. The test process moves into a mount namespace of its own first, so the
// mounts are seen only by it and the daemon it starts, and vanish with them.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fault/fault_fixture.h"

namespace fs = boost::filesystem;
using namespace ferun_test;

namespace {

// Empty when this process may mount; otherwise why not.
std::string private_mounts() {
  static const std::string why = []() -> std::string {
    if (geteuid() != 0) return "mounting a small tmpfs needs root";
    if (unshare(CLONE_NEWNS) != 0) return std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return std::string("making mounts private: ") + strerror(errno);
    return std::string();
  }();
  return why;
}

class small_tmpfs_t {
 public:
  explicit small_tmpfs_t(const fs::path& dir) : dir_(dir) {
    fs::create_directories(dir_);
    if (mount("ferun-fault", dir_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k") != 0)
      throw std::runtime_error("mount tmpfs on " + dir_.string() + ": " + strerror(errno));
  }
  ~small_tmpfs_t() { umount2(dir_.c_str(), MNT_DETACH); }
  small_tmpfs_t(const small_tmpfs_t&) = delete;
  small_tmpfs_t& operator=(const small_tmpfs_t&) = delete;

  // Takes every free block with one file.
  void fill() {
    const int fd = open(filler().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << strerror(errno);
    const std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    const int error = errno;
    close(fd);
    ASSERT_EQ(error, ENOSPC);
  }
  // Frees `pages` blocks of the filler, or all of it.
  void make_room(std::size_t pages = 0) {
    if (pages == 0) {
      fs::remove(filler());
      return;
    }
    const auto size = fs::file_size(filler());
    ASSERT_GE(size, pages * 4096);
    fs::resize_file(filler(), size - pages * 4096);
  }

 private:
  fs::path filler() const { return dir_ / "filler"; }
  fs::path dir_;
};

class FullDisk : public DaemonFault {
 protected:
  void SetUp() override {
    const std::string why = private_mounts();
    if (!why.empty()) GTEST_SKIP() << "full file system tests skipped: " << why;
  }

  // The sensor directory that hello "full" 1 uses.
  fs::path sensor_dir() const { return data() / "full-1"; }

  // Destroyed before the launcher, which then removes the directory below.
  std::unique_ptr<small_tmpfs_t> tmpfs_;
};

// Names of the files in `dir`, the filler excepted.
std::vector<std::string> files_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
       ++it)
    if (it->path().filename() != "filler") names.push_back(fs::relative(it->path(), dir).string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST_F(FullDisk, UploadThatOverflowsTheTemporaryDirectoryFailsAndKeepsTheStoredFile) {
  tmpfs_ = std::make_unique<small_tmpfs_t>(daemon_.tmpdir());
  start();
  console_client_t console(port_, 20s);
  ASSERT_EQ(say_hello(console, "full", 1).status, 0);
  fs::create_directories(sensor_dir() / "rules");
  write_file(sensor_dir() / "rules" / "local.rules", "stored rules\n");

  // Four times the file system: the content is still taken off the stream whole, so the next
  // frames are read where they start.
  const auto failed = upload(console, "rules/local.rules", std::string(1 << 20, 'n'));
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.message, strerror(ENOSPC));
  EXPECT_EQ(read_file(sensor_dir() / "rules" / "local.rules"), "stored rules\n");
  EXPECT_EQ(set_value(console, "after", "full").status, 0);
  EXPECT_EQ(get_value(console, "after"), "full");
  EXPECT_TRUE(serves_new_console(2));
}

TEST_F(FullDisk, UploadIsPlacedFromATemporaryDirectoryOnAnotherFileSystem) {
  tmpfs_ = std::make_unique<small_tmpfs_t>(daemon_.tmpdir());
  start();
  console_client_t console(port_, 20s);
  ASSERT_EQ(say_hello(console, "full", 1).status, 0);
  const auto placed = upload(console, "rules/local.rules", "new rules\n");
  EXPECT_EQ(placed.status, 0) << placed.message;
  EXPECT_EQ(read_file(sensor_dir() / "rules" / "local.rules"), "new rules\n");
}

TEST_F(FullDisk, UploadIntoAFullSensorDirectoryFailsAndKeepsTheStoredFile) {
  // One file system for the temporary and the data directory, with room for the download but
  // not for placing it.
  tmpfs_ = std::make_unique<small_tmpfs_t>(daemon_.tmpdir());
  datadir_ = daemon_.tmpdir() / "data";
  start();
  console_client_t console(port_, 20s);
  ASSERT_EQ(say_hello(console, "full", 1).status, 0);
  const std::string stored(4096, 's');
  const auto first = upload(console, "rules/local.rules", stored);
  ASSERT_EQ(first.status, 0) << first.message;
  const auto before = files_in(sensor_dir());

  // The old download's page comes back when the next one starts, the stored file's page when it
  // is replaced: 5 free pages for a download of 4, then 2 for placing them.
  tmpfs_->fill();
  tmpfs_->make_room(4);
  const std::string replacement(4 * 4096, 'n');
  const auto answer = upload(console, "rules/local.rules", replacement);
  // Placing by a rename needs no room and may succeed; anything else must fail and leave the
  // stored file whole. Never a cut file.
  const std::string now = read_file(sensor_dir() / "rules" / "local.rules");
  if (answer.status == 0) {
    EXPECT_TRUE(now == replacement) << "answered success, placed " << now.size() << " bytes";
  } else {
    EXPECT_EQ(answer.status, 1);
    EXPECT_NE(answer.message.find(strerror(ENOSPC)), std::string::npos) << answer.message;
    EXPECT_TRUE(now == stored) << "the stored file was lost: " << now.size() << " bytes of "
                               << now.substr(0, 1);
    EXPECT_EQ(files_in(sensor_dir()), before) << "a partial file was left behind";
  }

  tmpfs_->make_room();
  EXPECT_EQ(upload(console, "rules/local.rules", "new rules\n").status, 0);
  EXPECT_EQ(read_file(sensor_dir() / "rules" / "local.rules"), "new rules\n");
  EXPECT_TRUE(serves_new_console(2));
}

TEST_F(FullDisk, SetValueOnAFullSensorDirectoryFailsAndKeepsTheValueFile) {
  tmpfs_ = std::make_unique<small_tmpfs_t>(sensor_dir());
  start();
  console_client_t console(port_, 20s);
  ASSERT_EQ(say_hello(console, "full", 1).status, 0);
  ASSERT_EQ(set_value(console, "kept", "old").status, 0);
  const std::string stored = read_file(sensor_dir() / "sensor.ini");
  ASSERT_NE(stored.find("old"), std::string::npos) << stored;
  const auto before = files_in(sensor_dir());

  tmpfs_->fill();
  const auto failed = set_value(console, "kept", std::string(500, 'n'));
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.message.find(strerror(ENOSPC)), std::string::npos) << failed.message;
  EXPECT_EQ(read_file(sensor_dir() / "sensor.ini"), stored);
  EXPECT_EQ(files_in(sensor_dir()), before) << "a temporary file was left behind";
  EXPECT_EQ(get_value(console, "kept"), "old");

  tmpfs_->make_room();
  EXPECT_EQ(set_value(console, "kept", "new").status, 0);
  EXPECT_EQ(get_value(console, "kept"), "new");
  EXPECT_TRUE(serves_new_console(2));
}
