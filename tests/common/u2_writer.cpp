#include "common/u2_writer.h"

#include <stdexcept>

namespace u2w {

namespace {

// Appends each value big-endian in `bytes` bytes.
template <size_t bytes, class... T>
void put(std::string& s, T... values) {
  for (const uint64_t v : {uint64_t{values}...})
    for (size_t i = bytes; i-- > 0;) s.push_back(static_cast<char>(v >> (8 * i)));
}

}  // namespace

std::string record(uint32_t type, std::string const& body) {
  std::string r;
  put<4>(r, type, static_cast<uint32_t>(body.size()));
  return r + body;
}

std::string encode(event_t const& e) {
  const bool ip6 = e.type == event6_type || e.type == event6_app_type;
  std::string b;
  put<4>(b, 0u, e.event_id, e.second, e.microsecond, e.signature_id, 1u, e.revision,
         e.classification, e.priority);
  if (ip6)
    b.append(32, '\0');
  else
    put<4>(b, e.ip4_src, e.ip4_dst);
  put<2>(b, e.port_src, e.port_dst);
  put<1>(b, e.protocol, e.impact_flag, uint8_t{0}, e.blocked);
  put<4>(b, e.mpls);
  put<2>(b, e.vlan, uint16_t{0});                     // vlan id, policy id
  if (e.type == event6_app_type) b.append(64, '\0');  // application name
  if (e.body_length) b.resize(e.body_length, '\0');
  return record(e.type, b);
}

std::string encode(packet_t const& p) {
  std::string b;
  put<4>(b, 0u, p.event_id, p.event_second, p.second, 0u, p.linktype,
         static_cast<uint32_t>(p.data.size()));
  return record(2, b + p.data);
}

std::string encode(extra_t const& x) {
  std::string b;
  // Event type and length, sensor id, event id and second, HTTP URI, data type, blob length.
  put<4>(b, 4u, 32u, 0u, x.event_id, 0u, 9u, 1u, 8u);
  return record(110, b);
}

std::string ipv4_frame(const std::array<uint8_t, 6>& mac_dst, const std::array<uint8_t, 6>& mac_src,
                       uint8_t protocol, uint32_t ip_src, uint32_t ip_dst, uint16_t port_src,
                       uint16_t port_dst, size_t payload) {
  std::string f(mac_dst.begin(), mac_dst.end());
  f.append(mac_src.begin(), mac_src.end());
  put<2>(f, uint16_t{0x0800});
  put<1>(f, uint8_t{0x45}, uint8_t{0});
  put<2>(f, static_cast<uint16_t>(40 + payload));
  put<4>(f, 0u);                     // id, flags, fragment offset
  put<1>(f, uint8_t{64}, protocol);  // ttl
  put<2>(f, uint16_t{0});            // checksum: readers never verify it
  put<4>(f, ip_src, ip_dst);
  put<2>(f, port_src, port_dst);
  put<4>(f, 1000u, 2000u);                               // sequence and acknowledgement numbers
  put<1>(f, uint8_t{5 << 4}, uint8_t{0x18});             // PSH ACK
  put<2>(f, uint16_t{65535}, uint16_t{0}, uint16_t{0});  // window, checksum, urgent pointer
  return f.append(payload, '\0');
}

spool_t::spool_t(std::string const& path, uint64_t hole) : fp_(fopen(path.c_str(), "wbe")) {
  if (!fp_ || fseeko(fp_.get(), static_cast<off_t>(hole), SEEK_SET) != 0)
    throw std::runtime_error("cannot open " + path);
  size_ = hole;
}

void spool_t::append(std::string const& bytes) {
  if (fwrite(bytes.data(), 1, bytes.size(), fp_.get()) != bytes.size() || fflush(fp_.get()) != 0)
    throw std::runtime_error("cannot write a spool file");
  size_ += bytes.size();
}

}  // namespace u2w
