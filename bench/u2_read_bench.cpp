// Reading speed of u2_file_t against the I/O floor.
//
// Writes a spool of event+packet pairs (1,000,000 by default), then reads it twice from the page
// cache: with a plain 64 KiB fread loop that only walks the record headers (the floor), and with
// u2_file_t::read() handing out every event and packet. Prints records/s, MB/s and the ratio.
//
//   u2_read_bench [pairs] [directory]
#include <algorithm>
#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "bench/bench_util.h"
#include "snort/u2_file.h"

namespace {

using bench::clock_type;
using bench::seconds_since;

struct closer_t {
  void operator()(FILE* f) const { fclose(f); }
};

// The floor: sequential 64 KiB reads, records counted by walking their headers.
size_t walk_headers(const std::string& path) {
  std::unique_ptr<FILE, closer_t> fp(fopen(path.c_str(), "re"));
  if (!fp) return 0;
  static char buf[65536];
  size_t records = 0;
  uint64_t offset = 0, next = 0;  // file offsets of the buffer start and of the next header
  unsigned char header[8];
  size_t have = 0;  // header bytes collected so far (a header may straddle two reads)
  for (size_t n; (n = fread(buf, 1, sizeof buf, fp.get())) > 0; offset += n) {
    while (next < offset + n) {
      header[have++] = static_cast<unsigned char>(buf[next - offset]);
      ++next;
      if (have < 8) continue;
      const uint32_t length = uint32_t{header[4]} << 24 | uint32_t{header[5]} << 16 |
                              uint32_t{header[6]} << 8 | header[7];
      next += length;
      have = 0;
      ++records;
    }
  }
  return records;
}

size_t read_records(const std::string& path) {
  u2_file_t u2;
  u2.open(path);
  size_t records = 0;
  uint64_t check = 0;  // keeps the compiler from dropping the reads
  while (const u2_record_t* r = u2.read()) {
    ++records;
    check += r->type;
  }
  return check ? records : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t pairs = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
  const boost::filesystem::path dir =
      argc > 2 ? boost::filesystem::path(argv[2])
               : boost::filesystem::temp_directory_path() /
                     boost::filesystem::unique_path("u2-bench-%%%%-%%%%");
  boost::filesystem::create_directories(dir);
  const std::string path = (dir / "bench.u2").string();

  bench::write_spool(path, pairs, {1000, false});
  const double mb = static_cast<double>(boost::filesystem::file_size(path)) / 1e6;
  printf("spool: %zu event+packet pairs, %.1f MB\n", pairs, mb);

  // Best of three runs each, after one warm-up pass that pulls the file into the page cache.
  walk_headers(path);
  double floor_s = 1e9, reader_s = 1e9;
  size_t floor_records = 0, reader_records = 0;
  for (int run = 0; run < 3; ++run) {
    auto start = clock_type::now();
    floor_records = walk_headers(path);
    floor_s = std::min(floor_s, seconds_since(start));
    start = clock_type::now();
    reader_records = read_records(path);
    reader_s = std::min(reader_s, seconds_since(start));
  }

  printf("floor  (fread 64 KiB, headers only): %zu records, %.3f s, %.0f records/s, %.0f MB/s\n",
         floor_records, floor_s, floor_records / floor_s, mb / floor_s);
  printf("reader (u2_file_t::read):            %zu records, %.3f s, %.0f records/s, %.0f MB/s\n",
         reader_records, reader_s, reader_records / reader_s, mb / reader_s);
  printf("reader / floor: %.2f\n", floor_s / reader_s);

  if (argc <= 2) boost::filesystem::remove_all(dir);
  return reader_records == 2 * pairs ? 0 : 1;
}
