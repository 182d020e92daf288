// Writes unified2 spool files for tests, the way Snort does: big-endian records of an 8-byte
// header (type, body length) and a body, appended to a file that a reader may be following.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace u2w {

// Event record types: IPv4, IPv6, and IPv6 with an application name.
constexpr uint32_t event4_type = 104, event6_type = 105, event6_app_type = 112;

// An IDS event, generator 1; IPv6 events carry zero addresses.
struct event_t {
  uint32_t type = event4_type;
  uint32_t event_id = 1, second = 0, microsecond = 0, signature_id = 1, revision = 1;
  uint32_t classification = 0, priority = 0;
  uint32_t ip4_src = 0, ip4_dst = 0, mpls = 0;  // addresses in host order, for 104
  uint16_t port_src = 0, port_dst = 0, vlan = 0;
  uint8_t protocol = 6, impact_flag = 0, blocked = 0;
  size_t body_length = 0;  // 0: Snort's (60, 84, 148); else cut or padded with zeros
};

struct packet_t {
  uint32_t event_id = 1, event_second = 0, second = 0, linktype = 1;  // DLT_EN10MB
  std::string data;
};

// An empty HTTP URI extra-data record.
struct extra_t {
  uint32_t event_id = 1;
};

// A whole record (header and body) of any type, e.g. an unknown one.
std::string record(uint32_t type, std::string const& body);
std::string encode(event_t const& e);
std::string encode(packet_t const& p);
std::string encode(extra_t const& x);

// An Ethernet frame carrying an IPv4 header (`protocol` as given) and a 20-byte TCP header (PSH
// ACK), followed by `payload` zero bytes. Addresses in host order.
std::string ipv4_frame(const std::array<uint8_t, 6>& mac_dst, const std::array<uint8_t, 6>& mac_src,
                       uint8_t protocol, uint32_t ip_src, uint32_t ip_dst, uint16_t port_src,
                       uint16_t port_dst, size_t payload);

// Appends records to one spool file, flushing each append.
class spool_t {
 public:
  // Creates or empties the file; the first append goes to offset `hole` (a sparse start).
  explicit spool_t(std::string const& path, uint64_t hole = 0);

  void append(std::string const& bytes);
  uint64_t size() const { return size_; }  // the hole included

 private:
  struct closer_t {
    void operator()(FILE* f) const { fclose(f); }
  };
  std::unique_ptr<FILE, closer_t> fp_;
  uint64_t size_ = 0;
};

}  // namespace u2w
