// Replays saved fuzz inputs through a target without libFuzzer, for builds with g++ or without
// the fuzzer runtime. Each argument is a file or a directory whose regular files are replayed in
// name order. A fault aborts the process like it would under the fuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool is_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> files;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* entry = readdir(d)) {
      const std::string path = dir + "/" + entry->d_name;
      struct stat st;
      if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(path);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool replay(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  // An exact-size heap copy, so that a read one byte past the input is caught by AddressSanitizer
  // as it would be under libFuzzer.
  std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
  std::fprintf(stderr, "replay %s (%zu bytes)\n", path.c_str(), input.size());
  LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t count = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::vector<std::string> files =
        is_directory(arg) ? files_in(arg) : std::vector<std::string>{arg};
    for (const std::string& file : files) {
      ok = replay(file) && ok;
      ++count;
    }
  }
  std::fprintf(stderr, "%zu inputs replayed\n", count);
  return ok ? 0 : 1;
}
