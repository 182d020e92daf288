// The value-file parser, writer and pair check. Input: a byte setting the size of the pieces the
// text is fed in, then the text. Pieces parse as the whole does and a failure is final; good pairs
// pass the pair check and survive a write and a parse, as does the text cut at its first NUL into
// a name and a value exactly when it passes; the printable form has no control byte.
#include "fuzz_support.h"
#include "sensor/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = 1 + data[0] % 64;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const ini_status_t ok = ini_status_t::ok;
  ini_map_t whole, pieces, again, one;
  const ini_status_t status = parse_ini(text, whole);
  ini_parser_t parser(pieces);
  for (std::size_t at = 0; at < text.size(); at += piece)
    parser.feed(text.data() + at, std::min(piece, text.size() - at));
  FUZZ_CHECK(parser.finish() == status && pieces == whole);
  FUZZ_CHECK(status == ok || (parser.feed("a=b\n", 4) == status && pieces == whole));

  for (const auto& pair : whole) FUZZ_CHECK(check_ini_pair(pair.first, pair.second).empty());
  FUZZ_CHECK(status != ok || (parse_ini(format_ini(whole), again) == ok && again == whole));
  const std::size_t nul = text.find('\0');
  const ini_map_t pair{{text.substr(0, nul), nul == text.npos ? "" : text.substr(nul + 1)}};
  const bool kept = parse_ini(format_ini(pair), one) == ok && one == pair;
  FUZZ_CHECK(check_ini_pair(pair.begin()->first, pair.begin()->second).empty() == kept);
  for (const char c : printable_text(text, piece))
    FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
  return 0;
}
