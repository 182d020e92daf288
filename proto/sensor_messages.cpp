#include "proto/sensor_messages.h"

#include "support/fmt_ring.h"

namespace ferun {

namespace {

// IPv4 addresses are the one part of the protocol sent most significant byte first.
void write_ipv4(serializer_t& out, std::uint32_t address) {
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(address >> 24), static_cast<unsigned char>(address >> 16),
      static_cast<unsigned char>(address >> 8), static_cast<unsigned char>(address)};
  out.raw(bytes, sizeof bytes);
}

std::uint32_t read_ipv4(deserializer_t& in) {
  unsigned char bytes[4];
  in.raw(bytes, sizeof bytes);
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
}

}  // namespace

// event

bool command_event_t::has_ports(std::uint8_t protocol) {
  return protocol == 1 || protocol == 6 || protocol == 17 || protocol == 58;
}

std::uint16_t command_event_t::serialize(unsigned char* buffer, std::uint16_t size) const {
  serializer_t out(buffer, size);
  out(sensor_id)(event_id)(timestamp)(signature_id)(generator_id)(signature_revision);
  out(classification_id)(group)(message)(priority_id);
  out.raw(mac_source.ether_addr_octet, sizeof mac_source.ether_addr_octet);
  out.raw(mac_destination.ether_addr_octet, sizeof mac_destination.ether_addr_octet);
  out(ip_version);
  if (ip_version == 1) {
    write_ipv4(out, ip_source.v4);
    write_ipv4(out, ip_destination.v4);
  } else {
    out.raw(&ip_source.v6, sizeof ip_source.v6);
    out.raw(&ip_destination.v6, sizeof ip_destination.v6);
  }
  out(protocol);
  if (has_ports(protocol)) out(port_source)(port_destination);
  out(impact_flag)(blocked)(mpls_label)(vlan_id)(linktype)(logtimestamp)(logpos);
  return out.pos;
}

std::uint16_t command_event_t::deserialize(const unsigned char* body, std::uint16_t length) {
  deserializer_t in(body, length);
  in(sensor_id)(event_id)(timestamp)(signature_id)(generator_id)(signature_revision);
  in(classification_id)(group)(message)(priority_id);
  in.raw(mac_source.ether_addr_octet, sizeof mac_source.ether_addr_octet);
  in.raw(mac_destination.ether_addr_octet, sizeof mac_destination.ether_addr_octet);
  in(ip_version);
  if (ip_version == 1) {
    ip_source.v4 = read_ipv4(in);
    ip_destination.v4 = read_ipv4(in);
  } else {
    in.raw(&ip_source.v6, sizeof ip_source.v6);
    in.raw(&ip_destination.v6, sizeof ip_destination.v6);
  }
  in(protocol);
  if (has_ports(protocol)) in(port_source)(port_destination);
  in(impact_flag)(blocked)(mpls_label)(vlan_id)(linktype)(logtimestamp)(logpos);
  return in.pos;
}

const char* command_event_t::to_str() const {
  const bool v4 = ip_version == 1;
  const char* source = v4 ? fmt_ip(ip_source.v4) : fmt_ip6(ip_source.v6);
  const char* destination = v4 ? fmt_ip(ip_destination.v4) : fmt_ip6(ip_destination.v6);
  const char* mac_from = fmt(mac_source);
  const char* mac_to = fmt(mac_destination);
  return fmt_ring_printf(
      false,
      "event \n  sensor_id: %u\n  event_id: %u\n  timestamp: %lu\n  signature_id: %u\n"
      "  generator_id: %u\n  signature_revision: %u\n  classification_id: %u\n  group: %s\n"
      "  message: %s\n  priority_id: %u\n  mac_source: %s\n  mac_destination: %s\n"
      "  ip_version: %u\n  ip_source: %s\n  ip_destination: %s\n  protocol: %u\n"
      "  port_source: %u\n  port_destination: %u\n  icmp_type: %u\n  icmp_code: %u\n"
      "  impact_flag: %u\n  blocked: %u\n  mpls_label: %u\n  vlan_id: %u\n  linktype: %u\n"
      "  logtimestamp: %u\n  logpos: %u",
      sensor_id, event_id, static_cast<unsigned long>(timestamp), signature_id, generator_id,
      signature_revision, classification_id, group.c_str(), message.c_str(), priority_id, mac_from,
      mac_to, unsigned{ip_version}, source, destination, unsigned{protocol}, unsigned{port_source},
      unsigned{port_destination}, unsigned{port_source}, unsigned{port_destination},
      unsigned{impact_flag}, unsigned{blocked}, mpls_label, unsigned{vlan_id}, linktype,
      logtimestamp, logpos);
}

// packet

std::uint16_t command_packet_t::serialize(unsigned char* buffer, std::uint16_t size) const {
  serializer_t out(buffer, size);
  out(sensor_id)(event_id)(event_second)(timestamp)(data.bytes, data.length)(logtimestamp)(logpos);
  return out.pos;
}

std::uint16_t command_packet_t::deserialize(const unsigned char* body, std::uint16_t length) {
  deserializer_t in(body, length);
  in(sensor_id)(event_id)(event_second)(timestamp);
  in.view(data);
  in(logtimestamp)(logpos);
  return in.pos;
}

const char* command_packet_t::to_str() const {
  return "{todo}";
}

// statistics

std::uint16_t command_stats_t::serialize(unsigned char* buffer, std::uint16_t size) const {
  serializer_t out(buffer, size);
  out(sensor_id)(timestamp)(ids_state)(cpu_usage)(memory)(mem_usage)(disk)(disk_usage);
  out(ifrecv_bytes)(ifrecv_packets)(ifsend_bytes)(ifsend_packets)(uptime);
  return out.pos;
}

std::uint16_t command_stats_t::deserialize(const unsigned char* body, std::uint16_t length) {
  deserializer_t in(body, length);
  in(sensor_id)(timestamp)(ids_state)(cpu_usage)(memory)(mem_usage)(disk)(disk_usage);
  in(ifrecv_bytes)(ifrecv_packets)(ifsend_bytes)(ifsend_packets)(uptime);
  return in.pos;
}

const char* command_stats_t::to_str() const {
  return fmt_ring_printf(
      false,
      "command_stats\n  timestamp: %lu\n  ids_state: %s\n  cpu_usage: %u\n  memory: %lu\n"
      "  mem_usage: %u\n  disk: %lu\n  disk_usage: %u\n  ifrecv_bytes: %lu\n"
      "  ifrecv_packets: %lu\n  ifsend_bytes: %lu\n  ifsend_packets: %lu ",
      static_cast<unsigned long>(timestamp), ids_state.c_str(), unsigned{cpu_usage},
      static_cast<unsigned long>(memory), unsigned{mem_usage}, static_cast<unsigned long>(disk),
      unsigned{disk_usage}, static_cast<unsigned long>(ifrecv_bytes),
      static_cast<unsigned long>(ifrecv_packets), static_cast<unsigned long>(ifsend_bytes),
      static_cast<unsigned long>(ifsend_packets));
}

}  // namespace ferun
