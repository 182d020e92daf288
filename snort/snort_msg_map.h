// Signature messages from Snort's sid-msg.map and gen-msg.map, keyed by (generator, signature).
//
// Use (one map per sensor, one thread):
//
//   snort_msg_map_t map;
//   map.load(gen_path, sid_path);          // throws exception_t; or the form with an out-parameter
//   snort_msg_t m = map.get(gid, sid);      // m.group, m.message
//
// A key that no file names gives a fallback record whose group and message are the decimal
// generator and signature ids (and, once per key and load, an error line on the channel
// "snort_parser": with an incomplete map every alert of a missing signature would log one).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "support/log.h"
#include "support/string_utils.h"

// One signature's texts.
struct snort_msg_t {
  bool gen_entry = false;           // made from gen-msg.map (or a lookup fallback), not sid-msg.map
  std::string group;                // sid map: first word of the message; gen map: text before ':'
  std::string message;              // the rest; sid-map messages marked deleted end in " (DELETED)"
  std::array<std::string, 2> refs;  // third and fourth field of a sid-map line
};

class snort_msg_map_t {
 public:
  struct key_t {
    uint32_t gid = 0;
    uint32_t sid = 0;
    bool operator<(const key_t& o) const { return gid != o.gid ? gid < o.gid : sid < o.sid; }
  };

  snort_msg_map_t() = default;
  snort_msg_map_t(const snort_msg_map_t&) = delete;
  snort_msg_map_t& operator=(const snort_msg_map_t&) = delete;

  void clear() {
    entries.clear();
    reported.clear();
  }

  // Rebuilds the map from the two files; the sid map is read first (generator 1), then the gen
  // map (generator 1 lines there are passed over). Both files are opened before either is read.
  // Returns false on a failure and fills `e`: for a file that cannot be opened, the error number
  // and its system text; for a gen-map line without exactly three fields, the
  // "unknown format of gid map file" text. Entries read before a failure stay in the map.
  bool load(char const* gen_path, char const* sid_path, exception_t& e);
  // The same, throwing the filled exception_t on failure.
  void load(char const* gen_path, char const* sid_path);

  // A copy of the entry for (gid, sid), or the decimal fallback.
  snort_msg_t get(unsigned int gid, unsigned int sid) const;
  // The entry for (gid, sid) in place, or null (and nothing logged) when no file names it. Valid
  // until the next load or clear.
  const snort_msg_t* find(unsigned int gid, unsigned int sid) const;

  size_t size() const { return entries.size(); }

  static log_t L;  // channel "snort_parser"

 private:
  std::map<key_t, snort_msg_t> entries;
  mutable std::set<key_t> reported;  // missing keys logged since the last load
};
