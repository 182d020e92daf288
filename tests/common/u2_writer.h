// Writes unified2 spool files for tests and benchmarks, the way Snort does: big-endian records of
// an 8-byte header (type, body length) and a body, appended to a file a reader may be following.
#pragma once

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <string>

namespace u2w {

// An IDS event of generator 1, revision 1, TCP: type 104 (IPv4) or another event type (IPv6),
// with Snort's body of 60 or 84 bytes and zero addresses, ports, flags and labels.
struct event_t {
  uint32_t type = 104, event_id = 1, second = 0, signature_id = 1;
};

struct packet_t {
  uint32_t event_id = 1, event_second = 0, second = 0;
  std::string data;
};

// Each value as four big-endian bytes.
inline std::string words(std::initializer_list<uint32_t> values) {
  std::string s;
  for (const uint32_t v : values)
    for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>(v >> shift);
  return s;
}

inline std::string record(uint32_t type, std::string const& body) {
  return words({type, static_cast<uint32_t>(body.size())}) + body;
}

inline std::string encode(event_t const& e) {
  // Sensor, event id, second, microsecond, signature, generator, revision, class, priority;
  // addresses; ports; protocol, impact flag, pad, blocked; MPLS label; VLAN id, policy id.
  return record(e.type, words({0, e.event_id, e.second, 0, e.signature_id, 1, 1, 0, 0}) +
                            std::string(e.type == 104 ? 8 : 32, '\0') + words({0, 6u << 24, 0, 0}));
}

inline std::string encode(packet_t const& p) {
  const uint32_t length = static_cast<uint32_t>(p.data.size());
  return record(2, words({0, p.event_id, p.event_second, p.second, 0, 1, length}) + p.data);
}

// Appends records to one spool file, flushing each append. The file is created or emptied; the
// first append goes to offset `hole` (a sparse start).
struct spool_t {
  explicit spool_t(std::string const& path, uint64_t hole = 0) : out(path, std::ios::binary) {
    out.seekp(static_cast<std::streamoff>(hole));
  }
  void append(std::string const& bytes) {
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).flush())
      throw std::runtime_error("cannot write a spool file");
  }
  std::ofstream out;
};

}  // namespace u2w
