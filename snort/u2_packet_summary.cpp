#include "snort/u2_packet_summary.h"

#include <cstring>

#include "support/fmt_ring.h"

namespace {

uint32_t be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
uint16_t be16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

in6_addr ip6_at(const uint8_t* p) {
  in6_addr a;
  memcpy(&a, p, sizeof a);
  return a;
}

// Walks the IPv6 extension headers from `off` (relative to the IPv6 header `ip`, `avail` bytes
// captured) and fills the transport fields of `s`.
void decode_ipv6_payload(const uint8_t* ip, size_t avail, u2_packet_summary_t& s) {
  uint8_t next = ip[6];
  size_t off = 40;
  uint64_t jumbo = 0;
  bool found = false;
  while (!found) {
    switch (next) {
      case 0: {  // hop-by-hop: its options may carry the Jumbo Payload length
        if (off + 2 > avail) return;
        const size_t len = (size_t{ip[off + 1]} + 1) * 8;
        if (off + len > avail) return;
        for (size_t o = off + 2; o < off + len;) {
          if (ip[o] == 0) {
            ++o;
            continue;
          }
          if (o + 2 > off + len) break;
          const size_t opt_len = ip[o + 1];
          if (ip[o] == 0xC2 && opt_len == 4 && o + 6 <= off + len) jumbo = be32(ip + o + 2);
          o += 2 + opt_len;
        }
        next = ip[off];
        off += len;
        break;
      }
      case 44:  // fragment
        if (off + 8 > avail) return;
        next = ip[off];
        off += 8;
        break;
      case 43:
      case 50:
      case 51:
      case 60:
      case 135: {
        if (off + 2 > avail) return;
        const size_t len = (size_t{ip[off + 1]} + 1) * 8;
        next = ip[off];
        off += len;
        if (off > avail) return;
        break;
      }
      case 59:  // no next header
        return;
      default: found = true; break;
    }
  }
  const uint16_t payload = be16(ip + 4);
  uint64_t end;
  if (jumbo)
    end = 40 + jumbo;
  else if (payload)
    end = 40 + uint64_t{payload};
  else
    return;
  if (end > avail || off > end) return;
  s.protocol = next;
  s.transport_offset = static_cast<uint16_t>(s.network_offset + off);
  s.transport_length = static_cast<uint32_t>(end - off);
  s.has_transport = true;
}

}  // namespace

u2_packet_summary_t u2_decode_packet(const uint8_t* data, size_t length) {
  u2_packet_summary_t s;
  if (length < 34) return s;
  size_t off = 0;
  for (;;) {
    if (off + 14 > length) return s;
    const uint16_t ether_type = be16(data + off + 12);
    off += 14;
    if (ether_type == 0) continue;  // another Ethernet header follows
    const uint8_t* ip = data + off;
    const size_t avail = length - off;
    if (ether_type == 0x0800 && avail >= 20 && ip[0] >> 4 == 4) {
      s.network = 4;
      s.network_offset = static_cast<uint16_t>(off);
      s.protocol = ip[9];
      s.ip4_src = be32(ip + 12);
      s.ip4_dst = be32(ip + 16);
      const size_t header_length = size_t{ip[0] & 0x0fu} * 4;
      const size_t total = be16(ip + 2);
      if (header_length >= 20 && total >= header_length && header_length <= avail) {
        s.transport_offset = static_cast<uint16_t>(off + header_length);
        s.transport_length = static_cast<uint32_t>(total - header_length);
        s.has_transport = true;
      }
    } else if (ether_type == 0x86DD && avail >= 40 && ip[0] >> 4 == 6) {
      s.network = 6;
      s.network_offset = static_cast<uint16_t>(off);
      s.ip6_src = ip6_at(ip + 8);
      s.ip6_dst = ip6_at(ip + 24);
      decode_ipv6_payload(ip, avail, s);
    }
    break;
  }
  if (!s.has_transport) return s;
  const size_t t = s.transport_offset;
  const bool tcp = s.protocol == IPPROTO_TCP && s.transport_length >= 20;
  const bool udp = s.protocol == IPPROTO_UDP && s.transport_length >= 8;
  // The IP lengths are not trusted: the header must also lie in the captured bytes.
  if ((tcp && t + 20 <= length) || (udp && t + 8 <= length)) {
    s.port_src = be16(data + t);
    s.port_dst = be16(data + t + 2);
    s.has_ports = true;
  }
  return s;
}

const char* u2_packet_summary_line(const u2_packet_summary_t& s, const uint8_t* data,
                                   uint16_t length, uint64_t time) {
  const unsigned sec = static_cast<unsigned>(time / 1000000);
  const unsigned usec = static_cast<unsigned>(time % 1000000);
  const char* name = "?";
  long payload = s.transport_length;
  const uint8_t* t = data + s.transport_offset;
  const bool tcp = s.has_ports && s.protocol == IPPROTO_TCP;
  if (tcp) {
    name = "TCP";
    payload -= (t[12] >> 4) * 4;
  } else if (s.has_ports && s.protocol == IPPROTO_UDP) {
    name = "UDP";
    payload -= 8;
  }
  if (payload < 0) payload = 0;

  char* line;
  if (s.network == 6) {
    // IPv6 addresses in their own text form where the IPv4 ones stand.
    char* src = fmt_ip6(s.ip6_src);
    char* dst = fmt_ip6(s.ip6_dst);
    line = fmt_ring_printf(true, "%u.%u   %s:%hu -> %s:%hu %lu %s %u", sec, usec, src, s.port_src,
                           dst, s.port_dst, static_cast<unsigned long>(length), name,
                           static_cast<unsigned>(payload));
  } else {
    line = fmt_ring_printf(
        true, "%u.%u   %hhu.%hhu.%hhu.%hhu:%hu -> %hhu.%hhu.%hhu.%hhu:%hu %lu %s %u", sec, usec,
        static_cast<unsigned char>(s.ip4_src >> 24), static_cast<unsigned char>(s.ip4_src >> 16),
        static_cast<unsigned char>(s.ip4_src >> 8), static_cast<unsigned char>(s.ip4_src),
        s.port_src, static_cast<unsigned char>(s.ip4_dst >> 24),
        static_cast<unsigned char>(s.ip4_dst >> 16), static_cast<unsigned char>(s.ip4_dst >> 8),
        static_cast<unsigned char>(s.ip4_dst), s.port_dst, static_cast<unsigned long>(length), name,
        static_cast<unsigned>(payload));
  }
  if (tcp) {
    // Appended with `join` so the flags continue the same ring text.
    const uint8_t flags = t[13];
    const char* sep = "";
    fmt_ring_printf(true, " [");
    static const struct {
      uint8_t bit;
      const char* fmt;
    } names[] = {{0x02, "%sSYN"}, {0x10, "%sACK"}, {0x01, "%sFIN"}, {0x04, "%sRST"}};
    for (const auto& n : names) {
      if (!(flags & n.bit)) continue;
      fmt_ring_printf(true, n.fmt, sep);
      sep = ",";
    }
    fmt_ring_printf(true, "]");
    fmt_ring_printf(true, " seq: %u", be32(t + 4));
    fmt_ring_printf(true, " ack: %u", be32(t + 8));
  }
  return line;
}
