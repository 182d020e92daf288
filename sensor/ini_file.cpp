#include "sensor/ini_file.h"

#include <cstdio>

namespace ferun {

const char* ini_status_text(ini_status_t status) {
  switch (status) {
    case ini_status_t::ok: return "";
    case ini_status_t::new_line: return "invalid ini file: new line\n";
    case ini_status_t::format: return "invalid ini file: format\n";
  }
  return "";
}

ini_status_t ini_parser_t::feed(const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size && status_ == ini_status_t::ok; ++i) {
    const char c = data[i];
    if (c == '\n') {
      status_ = end_line();
    } else if (c == '\0' || line_.size() == ini_line_max) {
      // A line is read as text up to its newline in a 1024-byte buffer: a NUL ends the text
      // early and a longer line fills the buffer, so either way the line read has no newline.
      status_ = ini_status_t::new_line;
    } else {
      line_ += c;
    }
  }
  return status_;
}

ini_status_t ini_parser_t::finish() {
  if (status_ == ini_status_t::ok && !line_.empty()) status_ = ini_status_t::new_line;
  return status_;
}

ini_status_t ini_parser_t::end_line() {
  const std::size_t eq = line_.find('=');
  if (eq == std::string::npos) return ini_status_t::format;
  values_[line_.substr(0, eq)] = line_.substr(eq + 1);
  line_.clear();
  return ini_status_t::ok;
}

ini_status_t parse_ini(const std::string& text, ini_map_t& values) {
  ini_parser_t parser(values);
  parser.feed(text.data(), text.size());
  return parser.finish();
}

std::string format_ini(const ini_map_t& values) {
  std::string text;
  for (const auto& pair : values) {
    text += pair.first;
    text += '=';
    text += pair.second;
    text += '\n';
  }
  return text;
}

std::string check_ini_pair(const std::string& name, const std::string& value) {
  if (name.find('=') != std::string::npos) return "the name holds \"=\"";
  if (name.find('\n') != std::string::npos) return "the name holds a newline";
  if (name.find('\0') != std::string::npos) return "the name holds a NUL byte";
  if (value.find('\n') != std::string::npos) return "the value holds a newline";
  if (value.find('\0') != std::string::npos) return "the value holds a NUL byte";
  if (name.size() + 1 + value.size() > ini_line_max) {
    char text[96];
    std::snprintf(text, sizeof text, "the line would be longer than %zu bytes", ini_line_max);
    return text;
  }
  return std::string();
}

std::string printable_text(const std::string& text, std::size_t limit) {
  std::string out;
  const std::size_t n = text.size() < limit ? text.size() : limit;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  if (n < text.size()) out += "...";
  return out;
}

}  // namespace ferun
