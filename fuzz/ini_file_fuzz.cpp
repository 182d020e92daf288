// The value-file parser, writer and pair check.
//
// Input: one byte that sets the size of the pieces the text is fed in, then the text.
// Properties: feeding in pieces gives what one parse gives; a good file's pairs pass the pair
// check and survive a write and a new parse; a pair (the text cut at its first NUL into a name
// and a value) passes the pair check exactly when writing and parsing it gives it back; the
// printable form has no control bytes and reads back to the text it came from.
#include "fuzz_support.h"
#include "sensor/ini_file.h"

namespace {

using namespace ferun;

ini_status_t parse_in_pieces(const std::string& text, std::size_t piece, ini_map_t& values) {
  ini_parser_t parser(values);
  ini_status_t status = ini_status_t::ok;
  for (std::size_t at = 0; at < text.size(); at += piece) {
    const ini_status_t now = parser.feed(text.data() + at, std::min(piece, text.size() - at));
    // A failure is final.
    if (status != ini_status_t::ok) FUZZ_CHECK(now == status);
    status = now;
  }
  const ini_status_t last = parser.finish();
  if (status != ini_status_t::ok) FUZZ_CHECK(last == status);
  if (last != ini_status_t::ok) {
    const ini_map_t before = values;
    FUZZ_CHECK(parser.feed("a=b\n", 4) == last);
    FUZZ_CHECK(values == before);
  }
  return last;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Undoes printable_text; false on an escape it does not write.
bool unescape(const std::string& text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case 'x': {
        if (i + 2 >= text.size()) return false;
        const int high = hex_digit(text[i + 1]);
        const int low = hex_digit(text[i + 2]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

void check_printable(const std::string& text, std::size_t limit) {
  const std::string shown = printable_text(text, limit);
  for (const char c : shown) {
    const auto u = static_cast<unsigned char>(c);
    FUZZ_CHECK(u >= 0x20 && u != 0x7f);
  }
  const bool cut = text.size() > limit;
  std::string body = shown;
  if (cut) {
    FUZZ_CHECK(body.size() >= 3 && body.compare(body.size() - 3, 3, "...") == 0);
    body.resize(body.size() - 3);
  }
  std::string back;
  FUZZ_CHECK(unescape(body, back));
  FUZZ_CHECK(back == text.substr(0, limit));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = 1 + data[0] % 64;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  ini_map_t whole;
  const ini_status_t status = parse_ini(text, whole);
  FUZZ_CHECK(*ini_status_text(status) == '\0' ? status == ini_status_t::ok
                                              : status != ini_status_t::ok);

  ini_map_t pieces;
  FUZZ_CHECK(parse_in_pieces(text, piece, pieces) == status);
  FUZZ_CHECK(pieces == whole);

  for (const auto& pair : whole) FUZZ_CHECK(check_ini_pair(pair.first, pair.second).empty());
  if (status == ini_status_t::ok) {
    ini_map_t again;
    FUZZ_CHECK(parse_ini(format_ini(whole), again) == ini_status_t::ok);
    FUZZ_CHECK(again == whole);
  }

  const std::size_t nul = text.find('\0');
  const std::string name = text.substr(0, nul);
  const std::string value = nul == std::string::npos ? std::string() : text.substr(nul + 1);
  ini_map_t one;
  const bool storable = parse_ini(format_ini({{name, value}}), one) == ini_status_t::ok &&
                        one == ini_map_t{{name, value}};
  FUZZ_CHECK(check_ini_pair(name, value).empty() == storable);

  check_printable(text, piece);
  check_printable(text, 64);
  check_printable(text, text.size());
  return 0;
}
