// The unified2 reader over arbitrary file contents, with the file growing between reads.
//
// Input: a flags byte (bit 0: the "u2_file" log channel on, which decodes and renders every
// packet and extra-data record; bits 1-2: the number of extra cut points, 0 to 3; bit 3: a
// start position follows), the start position (4 bytes, little-endian) when flagged, two bytes
// per cut point, then the file contents.
//
// One reader opens the file while it is still empty and reads all it can after each slice is
// appended; another opens the finished file and reads all it can. Both must hand out the same
// records with the same positions: growth in the middle of a record must neither lose it nor
// show it twice.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "snort/u2_file.h"

namespace {

// What a handed-out record carried, copied before the next read replaces it.
struct seen_t {
  std::uint8_t type = 0;
  unsigned long position = 0;
  std::vector<std::uint64_t> fields;
  std::vector<std::uint8_t> bytes;

  bool operator==(const seen_t& o) const {
    return type == o.type && position == o.position && fields == o.fields && bytes == o.bytes;
  }
};

seen_t copy_of(const u2_record_t& r, unsigned long position) {
  seen_t s;
  s.type = r.type;
  s.position = position;
  if (r.type == u2_type_event) {
    const auto& e = static_cast<const u2_event_t&>(r);
    FUZZ_CHECK(e.ip_version == 1 || e.ip_version == 2);
    s.fields = {e.ip_version,        e.event_id,     e.event_time,
                e.signature_id,      e.generator_id, e.signature_revision,
                e.classification_id, e.priority_id,  e.protocol,
                e.port_src,          e.port_dst,     e.impact_flag,
                e.blocked,           e.mpls,         e.vlan,
                e.linktype};
    const auto* src = reinterpret_cast<const std::uint8_t*>(&e.ip_src);
    const auto* dst = reinterpret_cast<const std::uint8_t*>(&e.ip_dst);
    const std::size_t n = e.ip_version == 1 ? sizeof e.ip_src.ip4 : sizeof e.ip_src.ip6;
    s.bytes.insert(s.bytes.end(), src, src + n);
    s.bytes.insert(s.bytes.end(), dst, dst + n);
    s.bytes.insert(s.bytes.end(), e.mac_src, e.mac_src + 6);
    s.bytes.insert(s.bytes.end(), e.mac_dst, e.mac_dst + 6);
  } else if (r.type == u2_type_packet) {
    const auto& p = static_cast<const u2_packet_t&>(r);
    FUZZ_CHECK(p.packet_length <= u2_packet_t::data_capacity);
    FUZZ_CHECK(p.data == p.buffer);
    s.fields = {p.event_id, p.event_second, p.packet_time, p.linktype, p.packet_length};
    s.bytes.assign(p.data, p.data + p.packet_length);
    // The header decoder must stay inside the bytes it is given, wherever they are cut.
    const u2_packet_summary_t summary = u2_decode_packet(p.data, p.packet_length);
    if (summary.has_ports) FUZZ_CHECK(summary.has_transport);
  } else {
    FUZZ_CHECK(r.type == u2_type_skip);
  }
  return s;
}

// Reads until the reader has nothing to hand out. Each record handed out but a pending packet
// moves the position by at least one header, which bounds the calls. A record is handed out only
// once all of it is in the file, so the position never passes the file's end (unless reading
// started beyond it).
void drain(u2_file_t& reader, std::size_t file_size, std::uint32_t start,
           std::vector<seen_t>& seen) {
  const std::size_t limit = 2 * (file_size / 8) + 4;
  for (std::size_t calls = 0;; ++calls) {
    FUZZ_CHECK(calls <= limit);
    const u2_record_t* r = reader.read();
    if (!r) return;
    FUZZ_CHECK(reader.get_position() <= std::max<unsigned long>(file_size, start));
    seen.push_back(copy_of(*r, reader.get_position()));
  }
}

void append(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    FUZZ_CHECK(n > 0);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_stdout();
  static const std::string path = fuzz::scratch_dir() + "/spool.u2";
  if (size < 1) return 0;
  const std::uint8_t flags = data[0];
  const bool logging = flags & 1;
  const std::size_t cut_count = (flags >> 1) & 3;
  const bool positioned = flags & 8;
  std::size_t at = 1;
  std::uint32_t start = 0;
  if (positioned) {
    if (size - at < 4) return 0;
    start = fuzz::le(data + at, 4);
    at += 4;
  }
  if (size - at < 2 * cut_count) return 0;
  const std::uint8_t* cut_bytes = data + at;
  at += 2 * cut_count;
  const std::uint8_t* contents = data + at;
  const std::size_t length = size - at;

  std::vector<std::size_t> cuts;
  for (std::size_t i = 0; i < cut_count; ++i)
    cuts.push_back(length ? fuzz::le(cut_bytes + 2 * i, 2) % (length + 1) : 0);
  std::sort(cuts.begin(), cuts.end());
  cuts.push_back(length);

  if (logging) log_t::enable("u2_file", log_t::level_of("debug4"));

  std::vector<seen_t> grown, whole;
  {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    auto reader = std::make_unique<u2_file_t>();
    reader->open(path);
    if (positioned) reader->set_position(start);
    drain(*reader, 0, start, grown);
    FUZZ_CHECK(grown.empty());
    std::size_t written = 0;
    for (std::size_t cut : cuts) {
      append(fd, contents + written, cut - written);
      written = cut;
      drain(*reader, written, start, grown);
    }
    ::close(fd);
  }
  {
    auto reader = std::make_unique<u2_file_t>();
    reader->open(path);
    if (positioned) reader->set_position(start);
    drain(*reader, length, start, whole);
    // A second look at a file that did not change finds nothing new.
    drain(*reader, length, start, whole);
  }
  if (logging) log_t::disable("u2_file");

  FUZZ_CHECK(grown.size() == whole.size());
  for (std::size_t i = 0; i < grown.size(); ++i) FUZZ_CHECK(grown[i] == whole[i]);
  return 0;
}
