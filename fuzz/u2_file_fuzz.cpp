// The unified2 reader. Input: flags (bit 0: channel "u2_file" at debug level; bits 1-2: 0 to 3
// cut points; bit 3: a 4-byte start position follows), two bytes per cut point, the contents.
// A reader following the file as it grows and one reading it whole hand out the same records at
// the same positions; positions never move back; a run of unknown records logs at most 2 lines,
// a refused record one, once.
#include <algorithm>
#include <fstream>

#include "fuzz_support.h"
#include "snort/u2_file.h"

static std::string join(std::initializer_list<std::uint64_t> values, const void* bytes,
                        std::size_t n) {
  std::string s;
  for (const std::uint64_t v : values) s += std::to_string(v) + " ";
  return s.append(static_cast<const char*>(bytes), n);
}

// What a handed-out record carried, as text: the next read may overwrite the record.
static std::string text_of(const u2_record_t& r) {
  if (r.type == u2_type_event) {
    const auto& e = static_cast<const u2_event_t&>(r);
    FUZZ_CHECK(e.ip_version == 1 || e.ip_version == 2);
    return join({e.ip_version, e.event_id, e.event_time, e.signature_id, e.generator_id,
                 e.signature_revision, e.classification_id, e.priority_id, e.protocol, e.port_src,
                 e.port_dst, e.impact_flag, e.blocked, e.mpls, e.vlan, e.linktype},
                e.mac_src, 12) +
           join({}, &e.ip_src, e.ip_version * 12u - 8) +
           join({}, &e.ip_dst, e.ip_version * 12u - 8);
  }
  if (r.type != u2_type_packet) return "S";
  const auto& p = static_cast<const u2_packet_t&>(r);
  FUZZ_CHECK(p.packet_length <= u2_packet_t::data_capacity && p.data == p.buffer);
  const u2_packet_summary_t s = u2_decode_packet(p.data, p.packet_length);  // stays inside
  FUZZ_CHECK(!s.has_ports || s.has_transport);
  return join({p.event_id, p.event_second, p.packet_time, p.linktype}, p.data, p.packet_length);
}

// Reads all it can of the first `size` bytes of `file`, counting the runs of unknown records.
static void drain(u2_file_t& u2, const std::uint8_t* file, std::size_t size,
                  std::vector<std::string>& seen, std::size_t& runs) {
  std::int64_t run = -1;  // type of the unknown records just skipped
  for (std::size_t calls = 0;; ++calls) {
    FUZZ_CHECK(calls <= 2 * (size / 8) + 4);
    const unsigned long from = u2.get_position();
    const u2_record_t* r = u2.read();
    FUZZ_CHECK(u2.get_position() >= from);
    if (!r) return;
    seen.push_back(text_of(*r) + "@" + std::to_string(u2.get_position()));
    std::int64_t t = r->type == u2_type_skip ? __builtin_bswap32(fuzz::le(file + from, 4)) : -1;
    if (t == 104 || t == 105 || (t >= 110 && t <= 112)) t = -1;  // a known type: no run
    runs += t >= 0 && t != run;
    run = t;
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_stdout();
  static const std::string path = fuzz::scratch_dir() + "/spool.u2", log = path + ".log";
  const std::size_t cut_count = size ? (data[0] >> 1) & 3 : 0, head = size && data[0] & 8 ? 5 : 1;
  if (size < head + 2 * cut_count) return 0;
  const std::uint8_t* contents = data + head + 2 * cut_count;
  const std::size_t length = size - head - 2 * cut_count;
  std::vector<std::size_t> cuts{0, length, length};  // the last: a look at an unchanged file
  for (std::size_t i = 0; i < cut_count; ++i)
    cuts.push_back(fuzz::le(data + head + 2 * i, 2) % (length + 1));
  std::sort(cuts.begin(), cuts.end());

  log_t::set_filename(log);
  log_t::enable("u2_file", data[0] & 1 ? log_t::level_of("debug4") : 0);
  std::vector<std::string> seen[2];
  std::size_t runs = 0, lines = 0, refused = 0;
  for (int whole = 0; whole < 2; ++whole) {
    fuzz::write_file(path, contents, 0);
    u2_file_t u2;
    u2.open(path);
    if (data[0] & 8) u2.set_position(fuzz::le(data + 1, 4));
    for (const std::size_t cut : whole ? std::vector<std::size_t>{length, length} : cuts) {
      fuzz::write_file(path, contents, cut);  // the same file, grown
      drain(u2, contents, cut, seen[whole], runs);
    }
  }
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);
       refused += line.find("refused record") != line.npos)
    lines += line.find("unknown type") != line.npos;
  FUZZ_CHECK(lines <= 2 * runs && refused <= 2 && seen[0] == seen[1]);  // one per reader
  return 0;
}
