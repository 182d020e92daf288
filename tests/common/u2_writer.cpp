#include "common/u2_writer.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace u2w {

namespace {

void put32(std::string& s, uint32_t v) {
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 8), static_cast<char>(v)};
  s.append(b, 4);
}

void put16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v >> 8));
  s.push_back(static_cast<char>(v));
}

void put8(std::string& s, uint8_t v) {
  s.push_back(static_cast<char>(v));
}

}  // namespace

std::string record(uint32_t type, std::string const& body) {
  std::string r;
  r.reserve(8 + body.size());
  put32(r, type);
  put32(r, static_cast<uint32_t>(body.size()));
  r += body;
  return r;
}

std::string encode(event_t const& e) {
  const bool ip6 = e.type == event6_type || e.type == event6_app_type;
  std::string b;
  put32(b, 0);  // sensor id
  put32(b, e.event_id);
  put32(b, e.second);
  put32(b, e.microsecond);
  put32(b, e.signature_id);
  put32(b, 1);  // generator id
  put32(b, 1);  // signature revision
  put32(b, 0);  // classification id
  put32(b, 0);  // priority id
  if (ip6) {
    b.append(32, '\0');
  } else {
    put32(b, e.ip4_src);
    put32(b, e.ip4_dst);
  }
  put16(b, e.port_src);
  put16(b, e.port_dst);
  put8(b, e.protocol);
  b.append(11, '\0');  // impact flag, impact, blocked, mpls label, vlan id, policy id
  if (e.type == event6_app_type) b.append(64, '\0');  // application name
  if (e.body_length) b.resize(e.body_length, '\0');
  return record(e.type, b);
}

std::string encode(packet_t const& p) {
  std::string b;
  put32(b, 0);  // sensor id
  put32(b, p.event_id);
  put32(b, p.event_second);
  put32(b, p.second);
  put32(b, 0);  // microsecond
  put32(b, p.linktype);
  put32(b, static_cast<uint32_t>(p.data.size()));
  b += p.data;
  return record(2, b);
}

std::string encode(extra_t const& x) {
  std::string b;
  put32(b, 4);   // event type
  put32(b, 32);  // event length
  put32(b, 0);   // sensor id
  put32(b, x.event_id);
  put32(b, 0);  // event second
  put32(b, 9);  // HTTP URI
  put32(b, 1);  // data type
  put32(b, 8);  // blob length
  return record(110, b);
}

std::string ipv4_frame(const std::array<uint8_t, 6>& mac_dst, const std::array<uint8_t, 6>& mac_src,
                       uint8_t protocol, uint32_t ip_src, uint32_t ip_dst, uint16_t port_src,
                       uint16_t port_dst, size_t payload) {
  std::string f;
  f.append(reinterpret_cast<const char*>(mac_dst.data()), 6);
  f.append(reinterpret_cast<const char*>(mac_src.data()), 6);
  put16(f, 0x0800);
  put8(f, 0x45);
  put8(f, 0);
  put16(f, static_cast<uint16_t>(40 + payload));
  put32(f, 0);  // id, flags, fragment offset
  put8(f, 64);  // ttl
  put8(f, protocol);
  put16(f, 0);  // checksum: readers take the headers, never verify them
  put32(f, ip_src);
  put32(f, ip_dst);
  put16(f, port_src);
  put16(f, port_dst);
  put32(f, 1000);  // sequence number
  put32(f, 2000);  // acknowledgement number
  put8(f, 5 << 4);
  put8(f, 0x18);  // PSH ACK
  put16(f, 65535);
  put32(f, 0);  // checksum, urgent pointer
  f.append(payload, '\0');
  return f;
}

spool_t::spool_t(std::string path) : path_(std::move(path)) {
  fp_.reset(fopen(path_.c_str(), "wbe"));
  if (!fp_) throw std::runtime_error("cannot open " + path_ + ": " + strerror(errno));
}

void spool_t::append(std::string const& bytes) {
  if (fwrite(bytes.data(), 1, bytes.size(), fp_.get()) != bytes.size() || fflush(fp_.get()) != 0)
    throw std::runtime_error("cannot write " + path_ + ": " + strerror(errno));
  size_ += bytes.size();
}

}  // namespace u2w
