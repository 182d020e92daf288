#include "snort/u2_file.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "support/fmt_ring.h"
#include "support/string_utils.h"

log_t u2_file_t::L("u2_file");

namespace {

constexpr uint32_t type_packet = 2;
constexpr uint32_t type_event4 = 104;
constexpr uint32_t type_event6 = 105;
constexpr uint32_t type_extra = 110;
constexpr uint32_t type_event4_app = 111;
constexpr uint32_t type_event6_app = 112;

constexpr size_t record_header_size = 8;
constexpr size_t event_body_max = 1024;
// The shortest bodies that hold every field taken (through VLAN id). Snort writes 60/84 bytes
// for 104/105 and 124/148 for 111/112; all of them carry these fields at the same offsets.
constexpr size_t event4_body_min = 58;
constexpr size_t event6_body_min = 82;
constexpr size_t packet_head_size = 28;
constexpr size_t extra_head_size = 8;
constexpr size_t extra_body_size = 24;
constexpr uint64_t blob_max = 10485760;
constexpr size_t stream_buffer_size = 10485760;

uint32_t be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
uint16_t be16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

bool is_event_type(uint32_t t) {
  return t == type_event4 || t == type_event6 || t == type_event4_app || t == type_event6_app;
}

in6_addr ip6_at(const uint8_t* p) {
  in6_addr a;
  memcpy(&a, p, sizeof a);
  return a;
}

// The largest position the console can send back.
constexpr uint64_t position_limit = 0xffffffffu;

}  // namespace

void u2_file_t::open(std::string const& path) {
  close();
  FILE* f = fopen(path.c_str(), "re");
  if (!f) {
    const char* why = strerror(errno);
    // Logged with its own format, which ends the line, so the channel's next message gets its
    // prefix.
    L.error("can't open unified2 log file \"%s\": %s\n", path.c_str(), why);
    throw exception_t(
        string_utils::format("can't open unified2 log file \"%s\": %s\n", path.c_str(), why));
  }
  fp.reset(f);
  setvbuf(f, nullptr, _IOFBF, stream_buffer_size);
  this->path = path;
  struct stat st {};
  fstat(fileno(f), &st);
  device = st.st_dev;
  inode = st.st_ino;
  position = 0;
  stopped = false;
  stream_offset = 0;
}

void u2_file_t::close() {
  end_unknown_run();
  fp.reset();
  stream_offset = unknown_offset;
  ahead_at = unknown_offset;
}

bool u2_file_t::seek_to(uint64_t off) {
  ahead_at = unknown_offset;
  stream_offset = unknown_offset;
  if (fseeko(fp.get(), static_cast<off_t>(off), SEEK_SET) != 0) return false;
  stream_offset = off;
  return true;
}

void u2_file_t::set_position(unsigned long off) {
  end_unknown_run();
  position = static_cast<uint32_t>(off);
  if (fp) seek_to(position);
}

u2_file_t::change_t u2_file_t::changed() const {
  struct stat st;
  if (!fp || stat(path.c_str(), &st) != 0) return change_none;
  if (static_cast<uint64_t>(st.st_dev) != device || static_cast<uint64_t>(st.st_ino) != inode)
    return change_replaced;
  return static_cast<uint64_t>(st.st_size) < position ? change_truncated : change_none;
}

const u2_record_t* u2_file_t::refuse(uint64_t at, uint32_t type, uint64_t length) {
  stopped = true;
  stream_offset = unknown_offset;
  L.error(
      "%s: refused record of type %u with length %lu at position %lu, nothing more is read from "
      "this file\n",
      path.c_str(), type, static_cast<unsigned long>(length), static_cast<unsigned long>(at));
  return nullptr;
}

bool u2_file_t::fits(uint64_t end) {
  if (end <= position_limit) return true;
  stopped = true;
  stream_offset = unknown_offset;
  L.error(
      "%s: the spool file passed the 4 GiB limit at position %lu, nothing more is read from it\n",
      path.c_str(), static_cast<unsigned long>(position));
  return false;
}

void u2_file_t::end_unknown_run() {
  if (unknown_count > 1)
    L.error("skipped %lu records of unknown type %u from position %lu\n",
            static_cast<unsigned long>(unknown_count), unknown_type,
            static_cast<unsigned long>(unknown_from));
  unknown_count = 0;
}

bool u2_file_t::eof() const {
  return fp && feof(fp.get());
}

size_t u2_file_t::read_some(void* to, size_t size) {
  // The reader belongs to one thread: the unlocked variants save a lock per call.
  const size_t got = fread_unlocked(to, 1, size, fp.get());
  if (got == size) {
    if (stream_offset != unknown_offset) stream_offset += size;
  } else {
    stream_offset = unknown_offset;
  }
  return got;
}

bool u2_file_t::read_bytes(void* to, size_t size) {
  return read_some(to, size) == size;
}

// Whether the file already holds the `count` bytes behind the stream's offset.
bool u2_file_t::holds_rest(uint64_t count) {
  struct stat st;
  const long at = ftell(fp.get());
  return at >= 0 && fstat(fileno(fp.get()), &st) == 0 &&
         static_cast<uint64_t>(st.st_size) >= static_cast<uint64_t>(at) + count;
}

bool u2_file_t::read_header(int* type, unsigned long* length) {
  uint8_t h[record_header_size];
  const uint8_t* p = h;
  if (ahead_at != unknown_offset && ahead_at == stream_offset) {
    // Read already, behind the last packet's bytes: the stream stands behind it.
    p = ahead;
    stream_offset += record_header_size;
  } else if (!read_bytes(h, sizeof h)) {
    return false;
  }
  ahead_at = unknown_offset;
  *type = static_cast<int>(be32(p));
  *length = be32(p + 4);
  if (L.impl) log_header(static_cast<uint64_t>(ftell(fp.get())), p);
  return true;
}

void u2_file_t::log_header(uint64_t behind, const uint8_t* h) const {
  L.debug(0, "offset: %u   \n  U2 header: \n    type: %u\n    length: %u\n",
          static_cast<uint32_t>(behind), be32(h), be32(h + 4));
}

bool u2_file_t::read_event(int type, unsigned long length, u2_event_t* out) {
  if (length > event_body_max) return !(refused = true);
  uint8_t b[event_body_max];
  return take_event(type, length, b, read_some(b, length), out);
}

bool u2_file_t::take_event(int type, unsigned long length, const uint8_t* b, size_t got,
                           u2_event_t* out) {
  if (got < length) {
    if (L.impl)
      L.debug(0, "can't read Unified2IDSEvent (expected event), type: %d, length: %lu\n", type,
              length);
    return false;
  }
  const bool ip6 = type == type_event6 || type == type_event6_app;
  if (length < (ip6 ? event6_body_min : event4_body_min)) return !(refused = true);

  out->ip_version = ip6 ? 2 : 1;
  out->event_id = be32(b + 4);
  out->event_time = uint64_t{be32(b + 8)} * 1000000 + be32(b + 12);
  out->signature_id = be32(b + 16);
  out->generator_id = be32(b + 20);
  out->signature_revision = be32(b + 24);
  out->classification_id = be32(b + 28);
  out->priority_id = be32(b + 32);
  const uint8_t* tail;  // the fields behind the addresses, same layout in both families
  if (ip6) {
    out->ip_src.ip6 = ip6_at(b + 36);
    out->ip_dst.ip6 = ip6_at(b + 52);
    tail = b + 68;
  } else {
    out->ip_src.ip4 = be32(b + 36);
    out->ip_dst.ip4 = be32(b + 40);
    tail = b + 44;
  }
  out->port_src = be16(tail);
  out->port_dst = be16(tail + 2);
  out->protocol = tail[4];
  out->impact_flag = tail[5];
  out->blocked = tail[7];
  out->mpls = be32(tail + 8);
  out->vlan = be16(tail + 12);
  memset(out->mac_src, 0, sizeof out->mac_src);
  memset(out->mac_dst, 0, sizeof out->mac_dst);
  out->linktype = 0;

  if (L.impl) {
    const char* src = ip6 ? fmt_ip6(out->ip_src.ip6) : fmt_ip(out->ip_src.ip4);
    const char* dst = ip6 ? fmt_ip6(out->ip_dst.ip6) : fmt_ip(out->ip_dst.ip4);
    L.debug(0,
            "\n    U2 Event\n      sensor_id: %u\n      event_id: %u\n      event_time: %u.%u\n"
            "      signature_id: %u\n      generator_id: %u\n      signature_revision: %u\n"
            "      classification_id: %u\n      priority_id: %u\n      ip_src: %s\n"
            "      ip_dst: %s\n      port_src: %u\n      port_dst: %u\n      protocol: %u\n"
            "      impact_flag: %u\n      blocked: %u\n      mpls: %u\n      vlan: %u\n",
            0u, out->event_id, static_cast<unsigned>(out->event_time / 1000000),
            static_cast<unsigned>(out->event_time % 1000000), out->signature_id, out->generator_id,
            out->signature_revision, out->classification_id, out->priority_id, src, dst,
            out->port_src, out->port_dst, out->protocol, out->impact_flag, out->blocked, out->mpls,
            out->vlan);
  }
  return true;
}

bool u2_file_t::read_packet(unsigned long length, u2_packet_t* out) {
  return read_packet(length, out, false);
}

bool u2_file_t::read_packet(unsigned long length, u2_packet_t* out, bool read_ahead) {
  uint8_t h[packet_head_size];
  const size_t got = length < packet_head_size ? 0 : read_some(h, sizeof h);
  return take_packet(length, h, got, out, read_ahead);
}

bool u2_file_t::take_packet(unsigned long length, const uint8_t* h, size_t got, u2_packet_t* out,
                            bool read_ahead) {
  if (length < packet_head_size) {
    if (L.impl)
      L.debug(0, "can't read Unified2Packet %lu:%lu\n", length,
              static_cast<unsigned long>(packet_head_size));
    return !(refused = true);
  }
  if (got < packet_head_size) {
    L.debug(0, "can't read Unified2Packet\n");
    return false;
  }
  const uint32_t head_length = be32(h + 24);
  if (head_length > length - packet_head_size) {
    if (L.impl)
      L.debug(0, "can't read Unified2Packet.packet_data %lu-%lu:%lu\n", length,
              static_cast<unsigned long>(packet_head_size),
              static_cast<unsigned long>(head_length));
    return !(refused = true);
  }
  // Bytes beyond the buffer are not kept, but the record is taken only once they are all in the
  // file, like any other record.
  const size_t kept =
      head_length < u2_packet_t::data_capacity ? head_length : u2_packet_t::data_capacity;
  // Whatever the record holds behind the kept bytes (packet bytes beyond the buffer, padding)
  // must be in the file too: the position moves past the whole record.
  const uint64_t rest = uint64_t{length} - packet_head_size - kept;
  // When the packet bytes end the record, the next record's header is read with them, into the
  // buffer's room behind them: one stdio call instead of two per record, the header kept for
  // read_header. Short only by those header bytes, the record is still whole.
  const size_t extra =
      read_ahead && rest == 0 && kept + record_header_size <= u2_packet_t::data_capacity
          ? record_header_size
          : 0;
  size_t got_data = fread_unlocked(out->buffer, 1, kept + extra, fp.get());
  if (got_data == kept + extra) {
    if (stream_offset != unknown_offset) stream_offset += kept;
    if (extra != 0 && stream_offset != unknown_offset) {
      memcpy(ahead, out->buffer + kept, record_header_size);
      ahead_at = stream_offset;
    }
  } else {
    stream_offset = unknown_offset;
  }
  if (got_data > kept) got_data = kept;
  if (got_data != kept || (rest > 0 && !holds_rest(rest))) {
    if (L.impl)
      L.debug(0, "can't read Unified2Packet.packet_data %lu:%lu\n",
              static_cast<unsigned long>(got_data), static_cast<unsigned long>(head_length));
    stream_offset = unknown_offset;
    return false;
  }
  out->event_id = be32(h + 4);
  out->event_second = be32(h + 8);
  out->packet_time = uint64_t{be32(h + 12)} * 1000000 + be32(h + 16);
  out->linktype = be32(h + 20);
  out->data = out->buffer;
  out->packet_length = static_cast<uint16_t>(kept);
  out->summary = u2_packet_summary_t{};
  if (L.impl) {
    out->summary = u2_decode_packet(out->buffer, kept);
    L.debug(
        0,
        "\n    U2 Packet\n      event_id: %u\n      event_second: %u\n      packet_time: %u.%u\n"
        "      packet_length: %u\n      ip_packet: %s\n",
        out->event_id, out->event_second, static_cast<unsigned>(out->packet_time / 1000000),
        static_cast<unsigned>(out->packet_time % 1000000), head_length,
        u2_packet_summary_line(out->summary, out->data, out->packet_length, out->packet_time));
  }
  return true;
}

bool u2_file_t::read_extra(unsigned long length, u2_extra_t* out) {
  if (length < extra_head_size + extra_body_size) {
    if (L.impl)
      L.debug(0, "can't read Unified2ExtraDataHdr %lu:%lu\n", length,
              static_cast<unsigned long>(extra_head_size));
    return !(refused = true);
  }
  uint8_t h[extra_head_size];
  if (!read_bytes(h, sizeof h)) {
    L.debug(0, "can't read Unified2ExtraDataHdr\n");
    return false;
  }
  if (L.impl)
    L.debug(0, "\n    U2 ExtraDataHdr\n    event type: %u\n    event length: %u\n", be32(h),
            be32(h + 4));
  uint8_t b[extra_body_size];
  if (!read_bytes(b, sizeof b)) {
    L.debug(0, "can't read SerialUnified2ExtraData\n");
    return false;
  }
  const uint32_t kind = be32(b + 12);
  if (L.impl)
    L.debug(0,
            "\n    U2 ExtraData\n    sensor id: %u\n    event id: %u\n    event second: %u\n"
            "    type: %u\n    data_type: %u\n    blob_length: %u\n",
            be32(b), be32(b + 4), be32(b + 8), kind, be32(b + 16), be32(b + 20));
  // Computed in 64 bits: a blob length below 8 wraps to a huge value and is refused here.
  const uint64_t n = uint64_t{be32(b + 20)} - 8;
  if (n > blob_max) {
    L.error("len looks invalid: %lu\n", static_cast<unsigned long>(n));
    return !(refused = true);
  }
  blob.resize(n);
  if (!read_bytes(&blob[0], n)) {
    if (L.impl)
      L.debug(0, "can't read blob with len: %lu (%s)\n", static_cast<unsigned long>(n),
              strerror(errno));
    return false;
  }
  // The record is taken only once all of it is in the file, bytes behind the blob included.
  const uint64_t consumed = uint64_t{extra_head_size} + extra_body_size + n;
  if (consumed < length && !holds_rest(length - consumed)) {
    stream_offset = unknown_offset;
    return false;
  }
  if (L.impl) log_blob(kind, blob);
  out->event_id = be32(b + 4);
  out->event_second = be32(b + 8);
  return true;
}

void u2_file_t::log_blob(uint32_t kind, const std::string& data) const {
  const auto* p = reinterpret_cast<const uint8_t*>(data.data());
  const int n = static_cast<int>(data.size());
  switch (kind) {
    case 1:
      if (n >= 4) L.debug(0, "Original Client IP: %u.%u.%u.%u\n", p[0], p[1], p[2], p[3]);
      break;
    case 2:
      if (n >= 16) L.debug(0, "Original Client IP: %s\n", fmt_ip6(ip6_at(p)));
      break;
    case 4: L.debug(0, "GZIP Decompressed Data: %.*s\n", n, data.data()); break;
    case 5: L.debug(0, "SMTP Attachment Filename: %.*s\n", n, data.data()); break;
    case 6: L.debug(0, "SMTP MAIL FROM Addresses: %.*s\n", n, data.data()); break;
    case 7: L.debug(0, "SMTP RCPT TO Addresses: %.*s\n", n, data.data()); break;
    case 8: L.debug(0, "SMTP EMAIL HEADERS: \n%.*s\n", n, data.data()); break;
    case 9: L.debug(0, "HTTP URI: %.*s\n", n, data.data()); break;
    case 10: L.debug(0, "HTTP Hostname: %.*s\n", n, data.data()); break;
    case 11:
      if (n >= 16) L.debug(0, "IPv6 Source Address: %s\n", fmt_ip6(ip6_at(p)));
      break;
    case 12:
      if (n >= 16) L.debug(0, "IPv6 Destination Address: %s\n", fmt_ip6(ip6_at(p)));
      break;
    case 13: L.debug(0, "Normalized JavaScript Data: %.*s\n", n, data.data()); break;
    default: break;
  }
}

void u2_file_t::pair_mac_addresses() {
  if (packet.packet_length >= 12) {
    memcpy(event.mac_dst, packet.data, 6);
    memcpy(event.mac_src, packet.data + 6, 6);
  }
  event.linktype = packet.linktype;
}

const u2_record_t* u2_file_t::read() {
  if (packet_pending) {
    packet_pending = false;
    return &packet;
  }
  if (!fp || stopped) return nullptr;
  FILE* f = fp.get();
  if (feof_unlocked(f)) {
    // The last read came up short at the end of the file. While the file still ends before a
    // whole record header behind `position`, reading there again could only come up short too:
    // one fstat tells without the seek and read, and leaves the stream as it is, end-of-file
    // flag included, so the next call asks again. Regular files only: their size is what a read
    // would find.
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_size) < position + record_header_size) {
      stream_offset = unknown_offset;
      return nullptr;
    }
    clearerr(f);
    stream_offset = unknown_offset;
  }
  // Re-positioning after a short read drops what stdio buffered, so bytes Snort appended since
  // are read from the file. When the stream already stands at `position` the buffer is kept.
  if (stream_offset != position && !seek_to(position)) return nullptr;

  int t;
  unsigned long n;
  if (!read_header(&t, &n)) return nullptr;
  refused = false;
  const uint32_t type = static_cast<uint32_t>(t);
  const uint64_t len = n;
  const bool known = is_event_type(type) || type == type_packet || type == type_extra;
  if (known && unknown_count != 0) end_unknown_run();

  if (is_event_type(type)) {
    // The event's body, the next record's header and, if that is a packet, the packet's head
    // come in one stdio call; a record of another kind is read again from its body on.
    if (len > event_body_max) return refuse(position, type, len);
    uint8_t b[event_body_max + record_header_size + packet_head_size];
    const size_t want = len + record_header_size + packet_head_size;
    const size_t got = fread_unlocked(b, 1, want, f);
    stream_offset = got == want ? stream_offset + want : unknown_offset;
    if (!take_event(t, n, b, got, &event)) return refused ? refuse(position, type, len) : nullptr;
    if (got < len + record_header_size) return nullptr;
    const uint8_t* h2 = b + len;
    const uint32_t t2 = be32(h2);
    const uint64_t n2 = be32(h2 + 4);
    if (L.impl) log_header(position + len + 2 * record_header_size, h2);
    const uint64_t pair_len = len + n2 + 16;
    if (t2 == type_packet) {
      if (!take_packet(n2, h2 + record_header_size, got - len - record_header_size, packet_ptr,
                       true))
        return refused ? refuse(position + len + record_header_size, t2, n2) : nullptr;
      if (!fits(position + pair_len)) return nullptr;
      position += pair_len;
      if (packet.event_id != event.event_id) {
        // A null here would read as "end of file" to the consumer, who may then leave this
        // file: the event is dropped and its neighbour handed out at once instead.
        L.warning("packet.event_id does not equal event.event_id - event without packet?\n");
        return &packet;
      }
      pair_mac_addresses();
      packet_pending = true;
      return &event;
    }
    if (!seek_to(position + len + 2 * record_header_size)) return nullptr;
    if (t2 == type_extra) {
      if (!read_extra(n2, &extra))
        return refused ? refuse(position + len + record_header_size, t2, n2) : nullptr;
      if (!fits(position + pair_len)) return nullptr;
      position += pair_len;
      if (extra.event_id != event.event_id) {
        L.warning("extra.event_id does not equal event.event_id\n");
        return &skip;
      }
      return &event;
    }
    if (!fits(position + len + 8)) return nullptr;
    L.warning("expected packet, but got %d\n", static_cast<int>(t2));
    position += len + 8;
    stream_offset = unknown_offset;
    return &event;
  }
  if (type == type_packet) {
    if (!read_packet(n, packet_ptr, true)) return refused ? refuse(position, type, len) : nullptr;
    if (!fits(position + len + 8)) return nullptr;
    position += len + 8;
    return &packet;
  }
  if (type == type_extra) {
    if (!read_extra(n, &extra)) return refused ? refuse(position, type, len) : nullptr;
    if (!fits(position + len + 8)) return nullptr;
    position += len + 8;
    return &skip;
  }

  // Skipped, and reported, only once the whole body is in the file, like any record that is
  // taken.
  if (!holds_rest(len)) {
    if (L.impl) L.debug(0, "can't skip block: %u\n", type);
    stream_offset = unknown_offset;
    return nullptr;
  }
  if (!fits(position + len + 8)) return nullptr;
  if (unknown_count == 0 || type != unknown_type) {
    end_unknown_run();
    L.error("got unknown type %d\n", t);
    unknown_type = type;
    unknown_from = position;
  }
  ++unknown_count;
  position += len + 8;
  stream_offset = unknown_offset;
  return &skip;
}
