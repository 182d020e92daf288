// A one-line summary of a captured packet (addresses, ports, protocol, TCP flags), for the
// unified2 reader's debug lines only: nothing the sensor sends depends on it.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

// Network and transport headers found in a packet.
struct u2_packet_summary_t {
  uint8_t network = 0;                // 0 none, 4 IPv4, 6 IPv6
  uint32_t ip4_src = 0, ip4_dst = 0;  // host order
  in6_addr ip6_src{}, ip6_dst{};
  uint8_t protocol = 0;
  bool has_transport = false;  // protocol, offsets and transport length are known
  bool has_ports = false;      // TCP or UDP header present in the captured bytes
  uint16_t port_src = 0, port_dst = 0;
  // 16 bits: behind IPv6 extension headers the transport header can lie past offset 255.
  uint16_t network_offset = 0, transport_offset = 0;
  uint32_t transport_length = 0;
};

// Decodes the Ethernet, IP and TCP/UDP headers of `data`. Never reads past `length` bytes.
u2_packet_summary_t u2_decode_packet(const uint8_t* data, size_t length);

// The summary line of the packet `data` (`length` bytes, captured at `time` microseconds) as `s`
// decodes it, written into the formatting ring.
const char* u2_packet_summary_line(const u2_packet_summary_t& s, const uint8_t* data,
                                   uint16_t length, uint64_t time);
