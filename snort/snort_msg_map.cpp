#include "snort/snort_msg_map.h"

#include <algorithm>
#include <boost/regex.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

log_t snort_msg_map_t::L("snort_parser");

namespace {

struct file_closer_t {
  void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer_t>;

constexpr int line_buffer_size = 8192;

struct field_t {
  const char* begin;
  const char* end;
  std::string str() const { return std::string(begin, end); }
};

// Splits `text` at every match of `separator`. A leading separator gives an empty first field;
// a trailing one gives no empty last field.
void split(const char* begin, const char* end, const boost::regex& separator,
           std::vector<field_t>& fields) {
  fields.clear();
  boost::cmatch m;
  const char* at = begin;
  while (at != end && boost::regex_search(at, end, m, separator)) {
    fields.push_back({at, m[0].first});
    at = m[0].second;
  }
  if (at != end) fields.push_back({at, end});
}

const char* skip_blanks(const char* p, const char* end) {
  while (p != end && *p == ' ') ++p;
  return p;
}

// "%u" conversion of a field; false when it holds no number.
bool to_uint(const field_t& f, uint32_t& out) {
  const std::string text = f.str();
  unsigned value;
  if (sscanf(text.c_str(), "%u", &value) != 1) return false;
  out = value;
  return true;
}

// The message field of a sid-map line: optional "DELETED " mark, then group and message split at
// the first blank.
void fill_sid_message(const field_t& f, snort_msg_t& entry) {
  const char* p = skip_blanks(f.begin, f.end);
  const bool deleted = f.end - p >= 8 && memcmp(p, "DELETED ", 8) == 0;
  if (deleted) p = skip_blanks(p + 8, f.end);
  const char* blank = std::find(p, f.end, ' ');
  if (blank == f.end) {
    entry.group.clear();
    entry.message.assign(p, f.end);
  } else {
    entry.group.assign(p, blank);
    entry.message.assign(skip_blanks(blank, f.end), f.end);
  }
  if (deleted) entry.message += " (DELETED)";
}

// The message field of a gen-map line: group and message split at the first colon.
void fill_gen_message(const field_t& f, snort_msg_t& entry) {
  const char* colon = std::find(f.begin, f.end, ':');
  entry.group.assign(f.begin, colon);
  if (colon != f.end) entry.message.assign(skip_blanks(colon + 1, f.end), f.end);
}

// Reads `fp` line by line and hands each non-empty, non-comment line (its last character
// dropped) to `handle` with its read number; stops early when `handle` returns false.
template <typename Handler>
bool for_each_line(FILE* fp, Handler handle) {
  char line[line_buffer_size];
  for (unsigned number = 1; fgets(line, sizeof line, fp); ++number) {
    const size_t length = strlen(line);
    if (length == 0) continue;
    if (line[length - 1] != '\n') snort_msg_map_t::L.error("very long string\n");
    if (length < 2 || line[0] == '#') continue;
    if (!handle(line, line + length - 1, number)) return false;
  }
  return true;
}

}  // namespace

bool snort_msg_map_t::load(char const* gen_path, char const* sid_path, exception_t& e) {
  clear();

  auto open_failure = [&e](const char* path) {
    const int error = errno;
    L.error("can't open file %s: %s\n", path, strerror(error));
    e.code = error;
    e.message = strerror(error);
    return false;
  };
  file_ptr sid_fp(fopen(sid_path, "re"));
  if (!sid_fp) return open_failure(sid_path);
  file_ptr gen_fp(fopen(gen_path, "re"));
  if (!gen_fp) return open_failure(gen_path);

  const boost::regex separator("\\s*\\|\\|\\s*", boost::regex::perl);
  std::vector<field_t> fields;

  for_each_line(sid_fp.get(), [&](const char* begin, const char* end, unsigned number) {
    split(begin, end, separator, fields);
    key_t key{1, 0};
    // A line whose id does not convert is dropped: filing it under another line's key would
    // overwrite that signature's message.
    if (fields.empty() || !to_uint(fields[0], key.sid)) {
      L.error("unable parse line %s:%u\n", sid_path, number);
      return true;
    }
    if (fields.size() < 2) return true;
    auto inserted = entries.try_emplace(key);
    if (!inserted.second) L.warning("duplicate key %s:%u\n", sid_path, number);
    snort_msg_t& entry = inserted.first->second;
    entry.gen_entry = false;
    fill_sid_message(fields[1], entry);
    for (size_t i = 2; i < fields.size() && i < 4; ++i) entry.refs[i - 2] = fields[i].str();
    return true;
  });
  sid_fp.reset();

  const bool ok =
      for_each_line(gen_fp.get(), [&](const char* begin, const char* end, unsigned number) {
        split(begin, end, separator, fields);
        key_t key;
        // Each id that does not convert is reported; the line is then dropped like a sid-map one.
        bool parsed = true;
        for (size_t i = 0; i < 2 && i < fields.size(); ++i) {
          if (!to_uint(fields[i], i == 0 ? key.gid : key.sid)) {
            L.error("unable parse line %s:%u\n", gen_path, number);
            parsed = false;
          }
        }
        if (fields.empty() || !parsed) return true;
        // Generator 1 belongs to the sid map.
        if (fields.size() > 2 && key.gid != 1) {
          auto inserted = entries.try_emplace(key);
          if (!inserted.second) L.error("duplicate key %s:%u\n", gen_path, number);
          snort_msg_t& entry = inserted.first->second;
          entry.gen_entry = true;
          fill_gen_message(fields[2], entry);
        }
        if (fields.size() != 3) {
          // Logged with its own format, which ends the line, so the channel's next message gets
          // its prefix.
          L.error("unknown format of gid map file %s:%u\n", gen_path, number);
          e.message =
              string_utils::format("unknown format of gid map file %s:%u\n", gen_path, number);
          return false;
        }
        return true;
      });
  if (!ok) return false;

  e.code = 0;
  return true;
}

void snort_msg_map_t::load(char const* gen_path, char const* sid_path) {
  exception_t e;
  if (!load(gen_path, sid_path, e)) throw exception_t(e.code, e.message);
}

const snort_msg_t* snort_msg_map_t::find(unsigned int gid, unsigned int sid) const {
  auto it = entries.find(key_t{gid, sid});
  return it != entries.end() ? &it->second : nullptr;
}

snort_msg_t snort_msg_map_t::get(unsigned int gid, unsigned int sid) const {
  if (const snort_msg_t* entry = find(gid, sid)) return *entry;
  if (reported.insert(key_t{gid, sid}).second) L.error("invalid key: %u:%u\n", gid, sid);
  snort_msg_t fallback;
  fallback.gen_entry = true;
  fallback.group = std::to_string(gid);
  fallback.message = std::to_string(sid);
  return fallback;
}
