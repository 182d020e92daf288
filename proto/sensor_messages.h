// The messages the sensor sends on its own: one event per alert, one packet per packet record of
// an alert, and periodic statistics. Each is a local object of its sender, filled and written once
// with `proto_t::write`. All numeric members start at 0.
#pragma once

#include <netinet/ether.h>
#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "proto/commands.h"

namespace ferun {

// One IP address of an event: `v4` (a host-order number, 192.168.0.1 is 0xC0A80001) is sent when
// the event's `ip_version` is 1, `v6` (network order, as stored) for any other version.
struct event_address_t {
  std::uint32_t v4 = 0;
  in6_addr v6{};
};

// The event goes on the wire in another order than its members (classification_id before the
// strings, priority_id after them); the IPv4 addresses go most significant byte first, unlike
// every other integer; the ports are present only for protocols 1, 6, 17 and 58.
class command_event_t : public command_t {
 public:
  static constexpr std::uint32_t message_id = 0x8001;
  command_event_t() : command_t(message_id) {}

  std::uint16_t deserialize(const unsigned char* body, std::uint16_t length) override;
  std::uint16_t serialize(unsigned char* buffer, std::uint16_t size) const override;
  const char* to_str() const override;

  // Whether a protocol number carries the two port fields on the wire.
  static bool has_ports(std::uint8_t protocol);

  std::uint32_t sensor_id = 0;
  std::uint32_t event_id = 0;
  std::uint64_t timestamp = 0;  // microseconds since the epoch
  std::uint32_t signature_id = 0;
  std::uint32_t generator_id = 0;
  std::uint32_t signature_revision = 0;
  std::string group;
  std::string message;
  std::uint32_t classification_id = 0;
  std::uint32_t priority_id = 0;
  ether_addr mac_source{};
  ether_addr mac_destination{};
  std::uint8_t ip_version = 0;  // 1 IPv4, 2 IPv6
  event_address_t ip_source;
  event_address_t ip_destination;
  std::uint8_t protocol = 0;
  std::uint16_t port_source = 0;       // the ICMP type for ICMP
  std::uint16_t port_destination = 0;  // the ICMP code for ICMP
  std::uint8_t impact_flag = 0;
  std::uint8_t blocked = 0;
  std::uint32_t mpls_label = 0;
  std::uint16_t vlan_id = 0;
  std::uint32_t linktype = 0;
  std::uint32_t logtimestamp = 0;  // number of the spool file
  std::uint32_t logpos = 0;        // position in it after the alert's records
};

// `data` is a view, not a copy: it must stay valid until the message has been written. A body
// holds at most 4062 data bytes in a 4092-byte send buffer.
class command_packet_t : public command_t {
 public:
  static constexpr std::uint32_t message_id = 0x8002;
  command_packet_t() : command_t(message_id) {}

  std::uint16_t deserialize(const unsigned char* body, std::uint16_t length) override;
  std::uint16_t serialize(unsigned char* buffer, std::uint16_t size) const override;
  // The constant "{todo}"; the ring is not touched.
  const char* to_str() const override;

  std::uint32_t sensor_id = 0;
  std::uint32_t event_id = 0;
  std::uint32_t event_second = 0;
  std::uint64_t timestamp = 0;  // microseconds since the epoch
  byte_view_t data;
  std::uint32_t logtimestamp = 0;
  std::uint32_t logpos = 0;
};

class command_stats_t : public command_t {
 public:
  static constexpr std::uint32_t message_id = 0x8003;
  command_stats_t() : command_t(message_id) {}

  std::uint16_t deserialize(const unsigned char* body, std::uint16_t length) override;
  std::uint16_t serialize(unsigned char* buffer, std::uint16_t size) const override;
  const char* to_str() const override;

  std::uint32_t sensor_id = 0;
  std::uint64_t timestamp = 0;  // microseconds since the epoch
  std::string ids_state;
  std::uint16_t cpu_usage = 0;  // times 100
  std::uint64_t memory = 0;
  std::uint16_t mem_usage = 0;  // times 100
  std::uint64_t disk = 0;
  std::uint16_t disk_usage = 0;  // times 100
  std::uint64_t ifrecv_bytes = 0;
  std::uint64_t ifrecv_packets = 0;
  std::uint64_t ifsend_bytes = 0;
  std::uint64_t ifsend_packets = 0;
  std::uint32_t uptime = 0;
};

}  // namespace ferun
