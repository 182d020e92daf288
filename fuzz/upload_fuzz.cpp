// Archive uploads: the input is a tar archive (gzip-compressed or not), unpacked into a sensor
// directory that already holds links to ".", to "..", to "/" and through another link, beside a
// canary directory outside. Checks: the canary is never touched; a refused archive changes
// nothing; afterwards nothing is another user's, setuid, setgid or group or other writable, no
// link is absolute or climbs (but those planted), and no unpacking directory is left.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "fuzz_support.h"
#include "sensor/sensor_files.h"
#include "support/held_dir.h"
#include "support/string_utils.h"

namespace fs = std::filesystem;

// Every entry below `dir` as its mode, owner and content or link text.
static std::map<std::string, std::string> tree(const std::string& dir) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    struct stat st;
    FUZZ_CHECK(::lstat(entry.path().c_str(), &st) == 0);
    std::ifstream in(S_ISREG(st.st_mode) ? entry.path().c_str() : "/dev/null", std::ios::binary);
    entries[entry.path().string().substr(dir.size())] =
        std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " +
        (S_ISLNK(st.st_mode) ? fs::read_symlink(entry.path()).string() : "") +
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return entries;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::map<std::string, std::string> planted = {
      {"/l", "."}, {"/up", ".."}, {"/abs", "/"}, {"/d/x", "../l"}, {"/via", "d/x/../.."}};
  fuzz::quiet_stdout();
  ::umask(022);
  const std::string root = fuzz::scratch_dir(), dir = root + "/s", archive = root + "/a";
  fs::remove_all(dir);
  fs::create_directories(dir + "/d");
  fs::create_directories(root + "/outside");
  fuzz::write_file(root + "/outside/keep", "kept", 4);
  fuzz::write_file(dir + "/d/f", "f", 1);
  for (const auto& [name, text] : planted) fs::create_symlink(text, dir + name);
  fuzz::write_file(archive, data, size);
  const auto before = tree(dir), outside = tree(root + "/outside");
  const ferun::fd_t sensor(::open(dir.c_str(), O_RDONLY | O_DIRECTORY));
  const ferun::fd_t input(::open(archive.c_str(), O_RDONLY));
  bool placed = true;
  try {
    ferun::place_archive(sensor.get(), "", input.get());
  } catch (const exception_t&) {
    placed = false;
  }
  const auto after = tree(dir);
  FUZZ_CHECK(tree(root + "/outside") == outside && (placed || after == before));
  for (const auto& [name, text] : after) {
    const std::size_t owner = text.find(' ') + 1, link = text.find(' ', owner) + 1;
    const auto mode = static_cast<mode_t>(std::stoul(text));
    const std::string target = text.substr(link), uid = std::to_string(::geteuid()) + " ";
    FUZZ_CHECK(name.find("/.upload-") == std::string::npos &&
               text.compare(owner, uid.size(), uid) == 0);
    FUZZ_CHECK(S_ISLNK(mode) ? (planted.count(name) && planted.at(name) == target) ||
                                   (target[0] != '/' && target.find("..") == std::string::npos)
                             : (mode & 07022) == 0);
  }
  return 0;
}
