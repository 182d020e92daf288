// Writes unified2 spool files for tests, the way Snort does: big-endian records of an 8-byte
// header (type, body length) and a body, appended to a file that a reader may be following.
//
//   u2w::spool_t spool(dir / "snort.u2");          // creates or empties the file
//   u2w::event_t e;  e.event_id = 7;  e.signature_id = 1000001;
//   u2w::packet_t p; p.event_id = 7;  p.data = u2w::ipv4_tcp_frame(...);
//   spool.append(u2w::encode(e));
//   std::string rec = u2w::encode(p);
//   spool.append(rec.substr(0, 20));               // a partial record: Snort still writing
//   spool.append(rec.substr(20));                  // ... and the rest of it
//
// Every append is flushed to the file before it returns.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace u2w {

// Record types.
constexpr uint32_t packet_type = 2;
constexpr uint32_t event4_type = 104;
constexpr uint32_t event6_type = 105;
constexpr uint32_t extra_type = 110;
constexpr uint32_t event4_app_type = 111;
constexpr uint32_t event6_app_type = 112;

// An IDS event. `type` picks the layout: 104 and 111 IPv4, 105 and 112 IPv6.
struct event_t {
  uint32_t type = event4_type;
  uint32_t sensor_id = 0;
  uint32_t event_id = 1;
  uint32_t second = 0;
  uint32_t microsecond = 0;
  uint32_t signature_id = 1;
  uint32_t generator_id = 1;
  uint32_t signature_revision = 1;
  uint32_t classification_id = 0;
  uint32_t priority_id = 0;
  uint32_t ip4_src = 0;  // host order, for 104 and 111
  uint32_t ip4_dst = 0;
  std::array<uint8_t, 16> ip6_src{};  // network order, for 105 and 112
  std::array<uint8_t, 16> ip6_dst{};
  uint16_t port_src = 0;
  uint16_t port_dst = 0;
  uint8_t protocol = 6;
  uint8_t impact_flag = 0;
  uint8_t impact = 0;
  uint8_t blocked = 0;
  uint32_t mpls = 0;
  uint16_t vlan = 0;
  std::string app_name;  // 111 and 112 only, zero-padded to 64 bytes
  // Body length to write; 0 means Snort's length for the type (60, 84, 124, 148). A shorter
  // body is cut, a longer one padded with zero bytes.
  size_t body_length = 0;
};

// A packet record.
struct packet_t {
  uint32_t sensor_id = 0;
  uint32_t event_id = 1;
  uint32_t event_second = 0;
  uint32_t second = 0;
  uint32_t microsecond = 0;
  uint32_t linktype = 1;  // DLT_EN10MB
  std::string data;       // the packet bytes
  // Written as the head's packet length instead of data.size() when set (>= 0).
  int64_t declared_length = -1;
};

// An extra-data record.
struct extra_t {
  uint32_t event_type = 4;
  uint32_t sensor_id = 0;
  uint32_t event_id = 1;
  uint32_t event_second = 0;
  uint32_t kind = 9;  // 9 HTTP URI, 10 HTTP hostname, ...
  uint32_t data_type = 1;
  std::string blob;
  // Written as the blob length field instead of blob.size() + 8 when set (>= 0).
  int64_t declared_blob_length = -1;
};

// A whole record (header and body) of any type, e.g. an unknown one.
std::string record(uint32_t type, std::string const& body);
std::string encode(event_t const& e);
std::string encode(packet_t const& p);
std::string encode(extra_t const& x);

// An Ethernet frame (destination MAC, source MAC, EtherType 0x0800) carrying an IPv4 header and a
// TCP header (20 bytes, flags as given) or a UDP header, followed by `payload` zero bytes.
// Addresses in host order.
std::string ipv4_frame(const std::array<uint8_t, 6>& mac_dst, const std::array<uint8_t, 6>& mac_src,
                       uint8_t protocol, uint32_t ip_src, uint32_t ip_dst, uint16_t port_src,
                       uint16_t port_dst, size_t payload, uint8_t tcp_flags = 0x18);

// Appends records to one spool file.
class spool_t {
 public:
  // Creates the file, or empties it when `truncate` is true (the default) and opens it for
  // appending otherwise.
  explicit spool_t(std::string path, bool truncate = true);

  void append(std::string const& bytes);
  template <typename T>
  void append_record(T const& r) {
    append(encode(r));
  }

  const std::string& path() const { return path_; }
  // Bytes written so far by this writer plus what the file held when it was opened.
  uint64_t size() const { return size_; }

 private:
  struct closer_t {
    void operator()(FILE* f) const { fclose(f); }
  };
  std::string path_;
  std::unique_ptr<FILE, closer_t> fp_;
  uint64_t size_ = 0;
};

}  // namespace u2w
