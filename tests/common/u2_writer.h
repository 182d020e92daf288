// Writes unified2 spool files for tests and benchmarks, the way Snort does: big-endian records of
// an 8-byte header (type, body length) and a body, appended to a file a reader may be following.
#pragma once

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <string>

namespace u2w {

// An IDS event of generator 1: type 104 (IPv4) or another event type (IPv6, zero addresses).
// `body_length` cuts or pads the body with zeros; 0 keeps Snort's 60 or 84 bytes. Host order.
struct event_t {
  uint32_t type = 104;
  size_t body_length = 0;
  uint32_t event_id = 1, second = 0, microsecond = 0, signature_id = 1, revision = 1;
  uint32_t classification = 0, priority = 0, ip4_src = 0, ip4_dst = 0, mpls = 0;
  uint16_t port_src = 0, port_dst = 0, vlan = 0;
  uint8_t protocol = 6, impact_flag = 0, blocked = 0;
};

// A packet record of an Ethernet frame.
struct packet_t {
  uint32_t event_id = 1, event_second = 0, second = 0;
  std::string data;
};

// Each value as two, or four, big-endian bytes.
inline std::string halves(std::initializer_list<uint16_t> values) {
  std::string s;
  for (const uint16_t v : values) s += {static_cast<char>(v >> 8), static_cast<char>(v)};
  return s;
}
inline std::string words(std::initializer_list<uint32_t> values) {
  std::string s;
  for (const uint32_t v : values)
    s += halves({static_cast<uint16_t>(v >> 16), static_cast<uint16_t>(v)});
  return s;
}

// A whole record (header and body) of any type.
inline std::string record(uint32_t type, std::string const& body) {
  return words({type, static_cast<uint32_t>(body.size())}) + body;
}

inline std::string encode(event_t const& e) {
  std::string b = words({0, e.event_id, e.second, e.microsecond, e.signature_id, 1, e.revision,
                         e.classification, e.priority});
  b += e.type == 104 ? words({e.ip4_src, e.ip4_dst}) : std::string(32, '\0');
  b += halves(
      {e.port_src, e.port_dst, static_cast<uint16_t>(e.protocol << 8 | e.impact_flag), e.blocked});
  b += words({e.mpls}) + halves({e.vlan, 0});  // and the policy id
  b.resize(e.body_length ? e.body_length : b.size(), '\0');
  return record(e.type, b);
}

inline std::string encode(packet_t const& p) {
  const uint32_t length = static_cast<uint32_t>(p.data.size());
  return record(2, words({0, p.event_id, p.event_second, p.second, 0, 1, length}) + p.data);
}

// Appends records to one spool file, flushing each append. The file is created or emptied; the
// first append goes to offset `hole` (a sparse start).
class spool_t {
 public:
  explicit spool_t(std::string const& path, uint64_t hole = 0) : out_(path, std::ios::binary) {
    if (!out_.seekp(static_cast<std::streamoff>(hole)))
      throw std::runtime_error("cannot open " + path);
  }
  void append(std::string const& bytes) {
    if (!out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).flush())
      throw std::runtime_error("cannot write a spool file");
  }

 private:
  std::ofstream out_;
};

}  // namespace u2w
