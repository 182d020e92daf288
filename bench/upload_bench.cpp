// Placing an uploaded archive: a gzip-compressed tar archive of `members` members (10,000: 100
// directories of 99 files of 1 KiB) placed by the sensor's unpacking into an empty directory and
// over a directory that already holds it, against `tar -xzf` of the same archive into an empty
// directory. Best of three each.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "bench_util.h"
#include "common/test_util.h"
#include "sensor/sensor_files.h"
#include "support/held_dir.h"
#include "support/path_utils.h"
#include "support/string_utils.h"

namespace {

void run(const std::string& line) {
  if (std::system(line.c_str()) != 0) throw std::runtime_error("failed: " + line);
}

}  // namespace

int main(int argc, char** argv) {
  const int members = argc > 1 ? std::atoi(argv[1]) : 10000;
  const ferun_test::temp_dir_t work("upload-bench");
  const std::string dir = work.path().string(), archive = dir + "/a.tgz";
  const int dirs = std::max(1, members / 100), files = members / dirs - 1;
  run(string_utils::format(
      "cd %s && mkdir src && cd src && for d in $(seq %d); do mkdir d$d && for f in $(seq %d); do "
      "head -c 1024 /dev/urandom >d$d/f$f; done; done && tar -czf %s .",
      shell_quote(dir).c_str(), dirs, files, shell_quote(archive).c_str()));
  double tar = 1e9, empty = 1e9, over = 1e9;
  for (int round = 0; round < 3; ++round) {
    const std::string into = dir + "/tar" + std::to_string(round);
    run("mkdir " + shell_quote(into));
    auto start = bench::clock_type::now();
    run("tar -xzf " + shell_quote(archive) + " -C " + shell_quote(into));
    tar = std::min(tar, bench::seconds_since(start));

    const std::string sensor = dir + "/sensor" + std::to_string(round);
    run("mkdir " + shell_quote(sensor));
    const ferun::fd_t sensor_fd(::open(sensor.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const ferun::fd_t input(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    for (double* best : {&empty, &over}) {
      start = bench::clock_type::now();
      ferun::place_archive(sensor_fd.get(), "", input.get());
      *best = std::min(*best, bench::seconds_since(start));
    }
  }
  std::printf(
      "%d members (%d directories): tar -xzf %.3f s; placed into an empty directory "
      "%.3f s (%.2fx tar), over the same tree %.3f s (%.2fx tar)\n",
      dirs * (files + 1), dirs, tar, empty, empty / tar, over, over / tar);
  return 0;
}
