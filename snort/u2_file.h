// Reader of one Snort unified2 spool file that Snort may still be appending to.
//
// Use (one reader per sensor, one thread):
//
//   u2_file_t u2;
//   u2.open(path);                 // throws exception_t when the file cannot be opened
//   u2.set_position(resume_at);    // optional: the position the console sent back
//   while (const u2_record_t* r = u2.read()) {
//     switch (r->type) {
//       case u2_type_event:  use(*static_cast<const u2_event_t*>(r), u2.get_position()); break;
//       case u2_type_packet: use(*static_cast<const u2_packet_t*>(r), u2.get_position()); break;
//       default: break;        // u2_type_skip: a record was consumed, nothing to send
//     }
//   }
//   // null: nothing can be handed out now (end of the data, or a record Snort is still
//   // writing). Call read() again later, or move on to a newer spool file.
//
// An event is handed out only together with the record behind it: its packet (the event then
// carries the packet's MAC addresses and link type, and the packet comes on the next call) or
// its extra data. get_position() after either lies behind both records, so a resume from it never
// repeats or loses the pair. A record that is incomplete is never skipped: read() returns null,
// the position stays at its start, and it is read again, from its header, on every later call. A
// record the reader refuses (a length no such record can have: an event body over 1024 bytes or
// too short for its fields, a packet or extra-data record too short for its head, packet bytes
// longer than the record, an invalid blob length) is never skipped either: it logs one error
// naming the file, the position, the type and the length, and nothing more is handed out from
// that file (the position stays at its start, so the consumer moves on to a newer file as it does
// at any end of data). A call that consumed records never returns null.
//
// The position is sent to the console in 32 bits. At the first record that would end past
// 4 GiB - 1 the reader logs one error and hands out nothing more from that file: the consumer
// moves on to a newer file as it does at any end of data.
//
// Unknown record types are skipped. A run of them of one type logs two lines: the error for its
// first record and, when the run ends, how many were skipped from where (a zero-filled stretch
// reads as millions of empty records of type 0).
//
// A returned record stays valid until the next read() call.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "snort/u2_packet_summary.h"
#include "support/log.h"

// Kinds of record handed out by u2_file_t::read.
enum u2_record_type_t : uint8_t {
  u2_type_skip = 0,    // a record was consumed that carries nothing for the consumer
  u2_type_event = 1,   // u2_event_t
  u2_type_packet = 2,  // u2_packet_t
};

// Common head of every record handed out.
struct u2_record_t {
  uint8_t type = u2_type_skip;
};

// One address of an event: `ip4` (host order) for ip_version 1, `ip6` (network order) for 2.
union u2_addr_t {
  uint32_t ip4;
  in6_addr ip6;
};

// An IDS event (record types 104 and 111 for IPv4, 105 and 112 for IPv6). Integers in host order.
struct u2_event_t : u2_record_t {
  uint8_t ip_version = 0;  // 1 IPv4, 2 IPv6
  uint32_t event_id = 0;
  uint64_t event_time = 0;  // microseconds since the epoch
  uint32_t signature_id = 0;
  uint32_t generator_id = 0;
  uint32_t signature_revision = 0;
  uint32_t classification_id = 0;
  uint32_t priority_id = 0;
  u2_addr_t ip_src{};
  u2_addr_t ip_dst{};
  uint8_t protocol = 0;
  uint16_t port_src = 0;  // or ICMP type
  uint16_t port_dst = 0;  // or ICMP code
  uint8_t impact_flag = 0;
  uint8_t blocked = 0;
  uint8_t mac_src[6] = {};  // bytes 6..11 of the paired packet; zero without a paired packet
  uint8_t mac_dst[6] = {};  // bytes 0..5 of the paired packet; zero without a paired packet
  uint32_t mpls = 0;
  uint16_t vlan = 0;
  uint32_t linktype = 0;  // link type of the paired packet record; 0 without a paired packet

  u2_event_t() { type = u2_type_event; }
};

// A packet record (type 2). Not copyable: `data` points into the record's own buffer.
struct u2_packet_t : u2_record_t {
  static constexpr size_t data_capacity = 8080;

  uint32_t event_id = 0;      // id of the event the packet belongs to
  uint32_t event_second = 0;  // second of that event
  uint64_t packet_time = 0;   // microseconds since the epoch
  const uint8_t* data = buffer;
  uint16_t packet_length = 0;   // bytes kept in `data`, at most data_capacity
  uint32_t linktype = 0;        // link type field of the record
  u2_packet_summary_t summary;  // filled only while the channel "u2_file" is enabled
  uint8_t buffer[data_capacity];

  u2_packet_t() { type = u2_type_packet; }
  u2_packet_t(const u2_packet_t&) = delete;
  u2_packet_t& operator=(const u2_packet_t&) = delete;
};

// Event id and second of the last extra-data record (type 110), for pairing with its event.
struct u2_extra_t {
  uint32_t event_id = 0;
  uint32_t event_second = 0;
};

class u2_file_t {
 public:
  u2_file_t() = default;
  ~u2_file_t() { end_unknown_run(); }
  u2_file_t(const u2_file_t&) = delete;
  u2_file_t& operator=(const u2_file_t&) = delete;

  // Closes any open file and opens `path` read-only (close-on-exec); the position becomes 0.
  // A packet still pending from the previous file is kept. Throws exception_t on failure.
  void open(std::string const& path);
  // Closes the file. The position and a pending packet are kept.
  void close();
  bool is_open() const { return fp != nullptr; }

  // Moves to byte offset `off` (cut to 32 bits): the next read() starts there. Needs an open file.
  void set_position(unsigned long off);
  // What the path the file was opened from names now, by one stat: another file (renamed over
  // it), the same file cut shorter than the position, or neither (also when the path is gone).
  enum change_t { change_none, change_replaced, change_truncated };
  change_t changed() const;
  // Offset behind the last record consumed: what the consumer sends with each event and packet.
  unsigned long get_position() const { return position; }
  // Whether the stream's end-of-file flag is set.
  bool eof() const;

  // The next record, or null when nothing can be handed out now. See the top of this file.
  const u2_record_t* read();

  // The steps read() is made of; each reads at the stream's current offset and returns false on
  // a short read or a refused body. Public for tools; the consumer needs only read().
  bool read_header(int* type, unsigned long* length);
  bool read_event(int type, unsigned long length, u2_event_t* out);
  bool read_packet(unsigned long length, u2_packet_t* out);
  bool read_extra(unsigned long length, u2_extra_t* out);

  static log_t L;  // channel "u2_file"

 private:
  struct file_closer_t {
    void operator()(FILE* f) const { fclose(f); }
  };

  // Moves the stream to `off`; forgets a header read ahead. False when the seek fails.
  bool seek_to(uint64_t off);
  size_t read_some(void* to, size_t size);
  void log_header(uint64_t behind, const uint8_t* h) const;
  // The steps above with the record's first bytes in memory already: `got` of them at `b`/`h`.
  bool take_event(int type, unsigned long length, const uint8_t* b, size_t got, u2_event_t* out);
  bool read_packet(unsigned long length, u2_packet_t* out, bool read_ahead);
  // `read_ahead`: when the packet's bytes end the record, read the next header with them.
  bool take_packet(unsigned long length, const uint8_t* h, size_t got, u2_packet_t* out,
                   bool read_ahead);
  bool read_bytes(void* to, size_t size);
  bool holds_rest(uint64_t count);
  void pair_mac_addresses();
  // Whether a record ending at `end` can be taken: its end must fit the 32-bit position the
  // console sends back. The first that does not stops the file, with one error.
  bool fits(uint64_t end);
  // Logs the refused record at `at` once, stops the file and returns null.
  const u2_record_t* refuse(uint64_t at, uint32_t type, uint64_t length);
  // Logs the summary of a run of unknown records, if one is open, and closes it.
  void end_unknown_run();
  void log_blob(uint32_t type, const std::string& blob) const;

  std::unique_ptr<FILE, file_closer_t> fp;
  std::string path;     // what the open file was opened as
  uint64_t device = 0;  // identity of the open file
  uint64_t inode = 0;
  uint64_t position = 0;
  // Nothing more is read from the file: it reached the 4 GiB limit or holds a refused record.
  bool stopped = false;
  bool refused = false;  // set by a step of read() that refused its record (not merely short)
  u2_packet_t packet;
  u2_record_t skip;
  u2_event_t event;
  u2_packet_t* packet_ptr = &packet;
  u2_extra_t extra;
  bool packet_pending = false;

  // The run of consecutive unknown records being skipped; count 0: none.
  uint32_t unknown_type = 0;
  uint64_t unknown_count = 0;
  uint64_t unknown_from = 0;

  // Offset the stream stands at when known to equal what the reads consumed; read() seeks only
  // when it differs from `position` (after a short read, a skip or set_position), which keeps
  // the stdio buffer across records instead of discarding it on every call.
  static constexpr uint64_t unknown_offset = ~uint64_t{0};
  uint64_t stream_offset = unknown_offset;
  std::string blob;  // extra-data blob, reused so steady reading does not allocate
  // The header of the record at offset `ahead_at`, read with the packet before it; the stdio
  // stream stands behind it while `stream_offset` says `ahead_at`. unknown_offset: none.
  uint64_t ahead_at = unknown_offset;
  uint8_t ahead[8];
};
