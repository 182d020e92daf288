// Setup, spool scanning and following, record to message, and the parse-only run.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <boost/asio/write.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <utility>

#include "sensor/sensor.h"
#include "support/clock.h"
#include "support/path_utils.h"
#include "support/string_utils.h"

namespace ferun {

namespace fs = boost::filesystem;

namespace {

constexpr int records_per_pass = 1000;

// Largest body of a sent frame, and the most packet bytes a packet message carries in it: the
// packet's other fields take 28 bytes and the data's length prefix 2.
constexpr std::size_t send_body_size = proto_t::send_body_size;
constexpr std::uint16_t packet_data_limit = 4062;

// Bytes of the unsigned LEB128 length prefix of a block of `n` bytes.
std::size_t leb128_size(std::size_t n) {
  std::size_t bytes = 1;
  while (n >= 0x80) {
    n >>= 7;
    ++bytes;
  }
  return bytes;
}

std::size_t block_size(std::size_t n) {
  return leb128_size(n) + n;
}

// The longest prefix length m <= n with block_size(m) <= room (room >= 1).
std::size_t longest_fitting(std::size_t n, std::size_t room) {
  std::size_t m = std::min(n, room);
  while (m > 0 && block_size(m) > room) --m;
  return m;
}

// Every field of an event but its two texts: at most this many bytes (IPv6 addresses, ports).
constexpr std::size_t event_fixed_max =
    4 + 4 + 8 + 4 + 4 + 4 + 4 + 4 + 6 + 6 + 1 + 32 + 1 + 4 + 1 + 1 + 4 + 2 + 4 + 4 + 4;

// Cuts the event's message, then its group, so that the body fits one sent frame. Returns
// whether anything was cut.
bool fit_event(command_event_t& event) {
  std::size_t texts_room = send_body_size - event_fixed_max;
  if (block_size(event.group.size()) + block_size(event.message.size()) <= texts_room) return false;

  // Rare: the exact size of everything but the texts, measured with the texts empty.
  command_event_t bare;
  bare = event;
  bare.group.clear();
  bare.message.clear();
  unsigned char scratch[send_body_size];
  const std::size_t fixed = bare.serialize(scratch, send_body_size) - 2;
  texts_room = send_body_size - fixed;
  if (block_size(event.group.size()) + block_size(event.message.size()) <= texts_room) return false;

  const std::size_t group_block = block_size(event.group.size());
  if (group_block + 1 <= texts_room) {
    event.message.resize(longest_fitting(event.message.size(), texts_room - group_block));
  } else {
    event.message.clear();
    event.group.resize(longest_fitting(event.group.size(), texts_room - 1));
  }
  return true;
}

struct dir_closer_t {
  void operator()(DIR* d) const { closedir(d); }
};

// A scan that found nothing is trusted to stand for the directory while it is unchanged only
// when the directory's last change lies at least this long before the scan started. Any later
// entry then gets timestamps that differ from the remembered ones, even on a file system that
// keeps them in whole seconds: a file created in the same clock tick as the scan is never missed.
constexpr std::int64_t spool_quiet_ns = 1000000000;

// After this many skipped scans (about ten seconds of idle passes) the directory is read anyway,
// so that a clock stepped back, or a network file system whose clock lags ours, can delay a new
// spool file but never hide it.
constexpr int spool_skips_max = 100;

std::int64_t ns_of(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

void sensor_t::on_setup(const command_setup_t& cmd) {
  const std::uint32_t answer_id = cmd.id | answer_bit;
  std::string failure;
  try {
    setup_done = false;
    forget_spool_scan();

    // A NUL would cut the text where the system library reads it, while the rest of the code
    // goes by its full length.
    const std::pair<const char*, const std::string*> texts[] = {
        {"config", &cmd.config},          {"sidmap", &cmd.sidmap},
        {"genmap", &cmd.genmap},          {"logdir", &cmd.logdir},
        {"logpattern", &cmd.logpattern},  {"interface", &cmd.interface},
        {"homenetwork", &cmd.homenetwork}};
    for (const auto& field : texts) {
      if (field.second->find('\0') != std::string::npos) {
        const std::string text =
            string_utils::format("setup field %s holds a NUL byte", field.first);
        L.error("%s\n", text.c_str());
        throw exception_t(text);
      }
    }
    for (const std::string* value :
         {&cmd.config, &cmd.sidmap, &cmd.genmap, &cmd.logdir, &cmd.logpattern}) {
      if (value->find("..") != std::string::npos) {
        const std::string text = string_utils::format("path attack detected (%s)", value->c_str());
        L.error("%s\n", text.c_str());
        throw exception_t(text);
      }
    }

    interface = cmd.interface;
    homenetwork = cmd.homenetwork;
    stats_period = cmd.stats_period;

    if (cmd.options & 0x2) {
      config = cmd.config;
      sidmap = cmd.sidmap;
      genmap = cmd.genmap;
      logdir = cmd.logdir;
    } else {
      config = path_join(sensor_dir, cmd.config);
      sidmap = path_join(sensor_dir, cmd.sidmap);
      genmap = path_join(sensor_dir, cmd.genmap);
      logdir = path_join(sensor_dir, cmd.logdir);
    }

    logpattern = cmd.logpattern;
    logtimestamp = cmd.logtimestamp;
    logpos = cmd.logpos;

    // The throwing forms: a missing path is no error, any other status failure is.
    if (!fs::is_directory(logdir)) fs::create_directory(logdir);

    if (u2.is_open()) u2.close();

    if (logtimestamp != 0) {
      u2_path = path_join(logdir, logpattern);
      u2_path += string_utils::to_str(".%u", logtimestamp);
      if (fs::is_regular_file(u2_path)) {
        u2.open(u2_path.string());
        u2.set_position(logpos);
      }
    }

    msg_map.load(genmap.c_str(), sidmap.c_str());

    proto.write(answer_t(answer_id, 0));
    setup_done = true;
    return;
  } catch (const exception_t& e) {
    failure = e.message;
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "UNKNOWN";
  }
  proto.write(answer_t(answer_id, 1, failure));
}

bool sensor_t::spool_entry_is_regular(int dir_fd, const char* name, unsigned char type) {
  if (type != DT_UNKNOWN) return type == DT_REG;
  // Some file systems do not report the type in the entry; ask without following a link.
  struct stat st {};
  return fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

bool sensor_t::spool_scan_skippable(const struct stat& st) {
  const spool_scan_memo_t& m = spool_scan;
  return m.valid && m.after == logtimestamp && m.skipped < spool_skips_max &&
         m.device == static_cast<std::uint64_t>(st.st_dev) &&
         m.inode == static_cast<std::uint64_t>(st.st_ino) && m.mtime_sec == st.st_mtim.tv_sec &&
         m.mtime_nsec == st.st_mtim.tv_nsec && m.ctime_sec == st.st_ctim.tv_sec &&
         m.ctime_nsec == st.st_ctim.tv_nsec && m.pattern == logpattern && m.dir == logdir.native();
}

// An idle sensor calls this ten times a second. Reading the directory costs far more than one
// stat of it, so a scan that found nothing is remembered with the directory's identity and its
// change and status-change times, and the next scans are skipped while all of them are the same:
// creating, renaming or removing an entry changes both times, and setting the modification time
// back by hand still changes the status-change time. A setup forgets the memo; a new logdir,
// pattern or current number never matches it. While scans are skipped, names that are no spool
// file ("skip strange file") are warned about only at each real scan: once per change of the
// directory (and every spool_skips_max idle passes) rather than on every pass.
bool sensor_t::find_next_u2file(std::string& path, std::uint32_t& number) {
  // Taken before the directory is looked at. The coarse clock is the one file timestamps are
  // taken from.
  timespec scan_start{};
  clock_gettime(CLOCK_REALTIME_COARSE, &scan_start);
  struct stat current {};
  if (spool_scan.valid && stat(logdir.c_str(), &current) == 0 && spool_scan_skippable(current)) {
    ++spool_scan.skipped;
    return false;
  }
  spool_scan.valid = false;

  const std::unique_ptr<DIR, dir_closer_t> dir(opendir(logdir.c_str()));
  if (!dir) {
    const char* reason = strerror(errno);
    // Logged with its own format, whose line end keeps the prefix on the channel's next line.
    L.error("cant read spool dir %s: %s\n", logdir.c_str(), reason);
    throw exception_t(string_utils::format("cant read spool dir %s: %s\n", logdir.c_str(), reason));
  }
  // The directory actually read, as it is before its first entry is: what is remembered if the
  // scan finds nothing.
  struct stat scanned {};
  const bool have_scanned = fstat(dirfd(dir.get()), &scanned) == 0;

  const std::size_t pattern_length = logpattern.size();
  std::string best_name;
  std::uint32_t best = 0xffffffffu;
  bool found = false;

  while (const dirent* entry = readdir(dir.get())) {
    if (!spool_entry_is_regular(dirfd(dir.get()), entry->d_name, entry->d_type)) continue;
    const char* name = entry->d_name;
    if (strncmp(name, logpattern.c_str(), pattern_length) != 0) continue;
    const char* rest = name + pattern_length;
    if (*rest == '.') ++rest;
    unsigned int n = 0;
    if (sscanf(rest, "%u", &n) != 1) {
      L.warning("skip strange file with name %s\n", name);
      continue;
    }
    if (n > logtimestamp && n < best) {
      best = n;
      best_name = name;
      found = true;
    }
  }

  if (!found) {
    const std::int64_t quiet_before = ns_of(scan_start) - spool_quiet_ns;
    if (have_scanned && ns_of(scanned.st_mtim) <= quiet_before &&
        ns_of(scanned.st_ctim) <= quiet_before) {
      spool_scan_memo_t& m = spool_scan;
      m.dir = logdir.native();
      m.pattern = logpattern;
      m.after = logtimestamp;
      m.device = static_cast<std::uint64_t>(scanned.st_dev);
      m.inode = static_cast<std::uint64_t>(scanned.st_ino);
      m.mtime_sec = scanned.st_mtim.tv_sec;
      m.mtime_nsec = scanned.st_mtim.tv_nsec;
      m.ctime_sec = scanned.st_ctim.tv_sec;
      m.ctime_nsec = scanned.st_ctim.tv_nsec;
      m.skipped = 0;
      m.valid = true;
    }
    return false;
  }
  path = path_join(logdir, best_name).string();
  number = best;
  return true;
}

int sensor_t::process_u2() {
  // The frames of one call go out in as few writes as fit, and all of them before it returns.
  proto.gather();
  int count = 0;
  try {
    count = take_records();
  } catch (...) {
    // What was taken before the failure still goes out, as it would have one frame at a time.
    try {
      proto.end_gather();
    } catch (...) {
    }
    throw;
  }
  proto.end_gather();
  return count;
}

int sensor_t::take_records() {
  int count = 0;
  bool reopened = false;
  // A newer file was found after the current one read empty: the current one is being read once
  // more, to its end, before the switch.
  bool last_read = false;
  std::string next_path;
  std::uint32_t next_number = 0;
  for (;;) {
    if (g_do_exit || count >= records_per_pass) return count;
    if (const u2_record_t* record = u2.read()) {
      ++count;
      process_u2_record(record);
      if (g_do_exit) return count;
      continue;
    }

    // Nothing to read: the file may have been cut short or renamed over (one stat, only on
    // such passes). Its new contents are then read from the start, at most once per pass.
    const u2_file_t::change_t change = reopened ? u2_file_t::change_none : u2.changed();
    if (change != u2_file_t::change_none) {
      if (change == u2_file_t::change_replaced)
        L.warning("unified2 log file %s was replaced, reading the new file from its start\n",
                  u2_path.c_str());
      else
        L.warning(
            "unified2 log file %s is shorter than the position %lu, reading it from its start\n",
            u2_path.c_str(), u2.get_position());
      u2.open(u2_path.string());
      reopened = true;
      continue;
    }

    if (!last_read) {
      if (before_spool_scan) before_spool_scan();
      if (!find_next_u2file(next_path, next_number)) return count;
      // Snort writes its last records to a file, closes it and creates the next one moments
      // apart: the read that came up empty may have fallen between the two. The file is complete
      // now that a newer one exists, so one more read finds everything it holds.
      if (u2.is_open()) {
        last_read = true;
        continue;
      }
    }
    last_read = false;
    if (u2.is_open()) {
      u2.close();
      if (L.impl) L.debug(0, "close unified2 log file: %s\n", u2_path.c_str());
    }
    u2_path = next_path;
    logtimestamp = next_number;
    forget_spool_scan();
    L.info("current unified2 log file: %s\n", u2_path.c_str());
    u2.open(u2_path.string());
  }
}

void sensor_t::process_u2_record(const u2_record_t* record) {
  if (record->type == u2_type_event) {
    const auto& e = *static_cast<const u2_event_t*>(record);
    // The sensor's own message, every field set anew: its strings keep their buffers.
    command_event_t& m = event_message;
    m.sensor_id = sensor_id;
    m.event_id = e.event_id;
    m.timestamp = e.event_time;
    m.signature_id = e.signature_id;
    m.generator_id = e.generator_id;
    m.signature_revision = e.signature_revision;
    m.classification_id = e.classification_id;
    // Copied from the map's entry in place; only a key no map names takes get()'s fallback
    // (and its error line).
    if (const snort_msg_t* texts = msg_map.find(e.generator_id, e.signature_id)) {
      m.group = texts->group;
      m.message = texts->message;
    } else {
      snort_msg_t fallback = msg_map.get(e.generator_id, e.signature_id);
      m.group = std::move(fallback.group);
      m.message = std::move(fallback.message);
    }
    m.priority_id = e.priority_id;
    memcpy(m.mac_source.ether_addr_octet, e.mac_src, sizeof e.mac_src);
    memcpy(m.mac_destination.ether_addr_octet, e.mac_dst, sizeof e.mac_dst);
    m.ip_version = e.ip_version;
    m.ip_source = m.ip_destination = event_address_t{};
    if (e.ip_version == 1) {
      m.ip_source.v4 = e.ip_src.ip4;
      m.ip_destination.v4 = e.ip_dst.ip4;
    } else {
      m.ip_source.v6 = e.ip_src.ip6;
      m.ip_destination.v6 = e.ip_dst.ip6;
    }
    m.protocol = e.protocol;
    // The message carries ports for ICMPv6 (58) too: sending 0 there would be wrong data.
    const bool ports = command_event_t::has_ports(e.protocol);
    m.port_source = ports ? e.port_src : 0;
    m.port_destination = ports ? e.port_dst : 0;
    m.impact_flag = e.impact_flag;
    m.blocked = e.blocked;
    m.mpls_label = e.mpls;
    m.vlan_id = e.vlan;
    m.linktype = e.linktype;
    m.logtimestamp = logtimestamp;
    m.logpos = static_cast<std::uint32_t>(u2.get_position());

    const std::size_t group_length = m.group.size();
    const std::size_t message_length = m.message.size();
    // A message that cannot be sent would end the connection, and the console would resume at
    // this same position and fail again, forever.
    if (fit_event(m))
      L.warning(
          "event %u:%u:%u: texts cut to fit one frame (group %zu to %zu, message %zu to %zu "
          "bytes)\n",
          e.generator_id, e.signature_id, e.event_id, group_length, m.group.size(), message_length,
          m.message.size());
    proto.write(m);
    return;
  }

  if (record->type == u2_type_packet) {
    const auto& p = *static_cast<const u2_packet_t*>(record);
    command_packet_t m;
    m.sensor_id = sensor_id;
    m.event_id = p.event_id;
    m.event_second = p.event_second;
    m.timestamp = p.packet_time;
    m.data.bytes = p.data;
    m.data.length = std::min<std::uint16_t>(p.packet_length, packet_data_limit);
    if (m.data.length < p.packet_length)
      L.warning("packet of event %u: %u bytes cut to %u to fit one frame\n", p.event_id,
                unsigned{p.packet_length}, unsigned{m.data.length});
    m.logtimestamp = logtimestamp;
    m.logpos = static_cast<std::uint32_t>(u2.get_position());
    proto.write(m);
  }
}

void sensor_t::parse_run() {
  sensor_dir = conf.datadir;
  if (L.impl) L.debug(0, "parse_run %s\n", sensor_dir.c_str());

  interface.clear();
  homenetwork.clear();
  stats_period = 500;

  config = path_join(conf.datadir, "snort.conf");
  sidmap = path_join(conf.datadir, "sid-msg.map");
  genmap = path_join(conf.datadir, "gen-msg.map");
  logdir = conf.datadir;
  logpattern = "threats.log";
  logtimestamp = 0;
  logpos = 0;

  if (u2.is_open()) u2.close();
  forget_spool_scan();

  msg_map.load(genmap.c_str(), sidmap.c_str());
  setup_done = true;

  while (process_u2() != 0) {
  }
}

}  // namespace ferun
