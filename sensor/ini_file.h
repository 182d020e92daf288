// The value file's text form, without any I/O: parsing it line by line, writing it, and telling
// whether a name and value pair can be stored in it and read back as written.
//
// One value per line: the name, "=", the value, a newline. A line holds at most 1022 bytes before
// its newline; the name is the text before the first "=", the value everything after it. There is
// no trimming, quoting, comment or section: blanks belong to the name and the value, and an empty
// line is an error. A later line with the same name replaces the earlier value.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace ferun {

using ini_map_t = std::map<std::string, std::string>;

// Longest line of the value file in bytes, not counting its newline.
constexpr std::size_t ini_line_max = 1022;

enum class ini_status_t {
  ok,
  new_line,  // a line that does not end in a newline (too long, cut by the end, or holding a NUL)
  format,    // a line without "=" (an empty line among them)
};

// The failure text for `status`: "invalid ini file: new line\n" or "invalid ini file: format\n";
// empty for ok.
const char* ini_status_text(ini_status_t status);

// Parses value-file text handed over in pieces of any size, storing each good line in `values`
// as soon as its newline arrives. Stops at the first bad line: `values` then holds the lines
// before it, and every later call returns the same failure. Keeps at most one line in memory.
class ini_parser_t {
 public:
  explicit ini_parser_t(ini_map_t& values) : values_(values) {}

  ini_status_t feed(const char* data, std::size_t size);
  // The end of the text: a last line without its newline fails.
  ini_status_t finish();

 private:
  ini_status_t end_line();

  ini_map_t& values_;
  std::string line_;
  ini_status_t status_ = ini_status_t::ok;
};

// Parses a whole text into `values` (see ini_parser_t).
ini_status_t parse_ini(const std::string& text, ini_map_t& values);

// The file text for `values`: "name=value\n" for each, in the map's (byte-wise) order of names.
std::string format_ini(const ini_map_t& values);

// Why the pair cannot be stored and read back as written ("=" or a newline or NUL in the name, a
// newline or NUL in the value, a line longer than ini_line_max); empty when it can.
std::string check_ini_pair(const std::string& name, const std::string& value);

// `text` for a message: control bytes, quotes and backslashes written as C escapes, cut after
// `limit` bytes of input with "..." appended.
std::string printable_text(const std::string& text, std::size_t limit = 64);

}  // namespace ferun
