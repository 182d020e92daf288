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

void put_bytes(std::string& s, const std::array<uint8_t, 16>& a) {
  s.append(reinterpret_cast<const char*>(a.data()), a.size());
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
  const bool app = e.type == event4_app_type || e.type == event6_app_type;
  std::string b;
  put32(b, e.sensor_id);
  put32(b, e.event_id);
  put32(b, e.second);
  put32(b, e.microsecond);
  put32(b, e.signature_id);
  put32(b, e.generator_id);
  put32(b, e.signature_revision);
  put32(b, e.classification_id);
  put32(b, e.priority_id);
  if (ip6) {
    put_bytes(b, e.ip6_src);
    put_bytes(b, e.ip6_dst);
  } else {
    put32(b, e.ip4_src);
    put32(b, e.ip4_dst);
  }
  put16(b, e.port_src);
  put16(b, e.port_dst);
  put8(b, e.protocol);
  put8(b, e.impact_flag);
  put8(b, e.impact);
  put8(b, e.blocked);
  put32(b, e.mpls);
  put16(b, e.vlan);
  put16(b, 0);  // policy id
  if (app) {
    std::string name = e.app_name.substr(0, 64);
    name.resize(64, '\0');
    b += name;
  }
  if (e.body_length) b.resize(e.body_length, '\0');
  return record(e.type, b);
}

std::string encode(packet_t const& p) {
  std::string b;
  put32(b, p.sensor_id);
  put32(b, p.event_id);
  put32(b, p.event_second);
  put32(b, p.second);
  put32(b, p.microsecond);
  put32(b, p.linktype);
  put32(b, p.declared_length >= 0 ? static_cast<uint32_t>(p.declared_length)
                                  : static_cast<uint32_t>(p.data.size()));
  b += p.data;
  return record(packet_type, b);
}

std::string encode(extra_t const& x) {
  const uint32_t blob_length = x.declared_blob_length >= 0
                                   ? static_cast<uint32_t>(x.declared_blob_length)
                                   : static_cast<uint32_t>(x.blob.size() + 8);
  std::string b;
  put32(b, x.event_type);
  put32(b, static_cast<uint32_t>(32 + x.blob.size()));
  put32(b, x.sensor_id);
  put32(b, x.event_id);
  put32(b, x.event_second);
  put32(b, x.kind);
  put32(b, x.data_type);
  put32(b, blob_length);
  b += x.blob;
  return record(extra_type, b);
}

std::string ipv4_frame(const std::array<uint8_t, 6>& mac_dst, const std::array<uint8_t, 6>& mac_src,
                       uint8_t protocol, uint32_t ip_src, uint32_t ip_dst, uint16_t port_src,
                       uint16_t port_dst, size_t payload, uint8_t tcp_flags) {
  const bool tcp = protocol == 6;
  const size_t transport = tcp ? 20 : 8;
  std::string f;
  f.append(reinterpret_cast<const char*>(mac_dst.data()), 6);
  f.append(reinterpret_cast<const char*>(mac_src.data()), 6);
  put16(f, 0x0800);
  put8(f, 0x45);
  put8(f, 0);
  put16(f, static_cast<uint16_t>(20 + transport + payload));
  put32(f, 0);  // id, flags, fragment offset
  put8(f, 64);  // ttl
  put8(f, protocol);
  put16(f, 0);  // checksum: readers take the headers, never verify them
  put32(f, ip_src);
  put32(f, ip_dst);
  put16(f, port_src);
  put16(f, port_dst);
  if (tcp) {
    put32(f, 1000);  // sequence number
    put32(f, 2000);  // acknowledgement number
    put8(f, 5 << 4);
    put8(f, tcp_flags);
    put16(f, 65535);
    put32(f, 0);  // checksum, urgent pointer
  } else {
    put16(f, static_cast<uint16_t>(8 + payload));
    put16(f, 0);
  }
  f.append(payload, '\0');
  return f;
}

spool_t::spool_t(std::string path, bool truncate) : path_(std::move(path)) {
  fp_.reset(fopen(path_.c_str(), truncate ? "wbe" : "abe"));
  if (!fp_) throw std::runtime_error("cannot open " + path_ + ": " + strerror(errno));
  if (!truncate && fseek(fp_.get(), 0, SEEK_END) == 0) {
    const long end = ftell(fp_.get());
    if (end > 0) size_ = static_cast<uint64_t>(end);
  }
}

void spool_t::append(std::string const& bytes) {
  if (fwrite(bytes.data(), 1, bytes.size(), fp_.get()) != bytes.size() || fflush(fp_.get()) != 0)
    throw std::runtime_error("cannot write " + path_ + ": " + strerror(errno));
  size_ += bytes.size();
}

}  // namespace u2w
