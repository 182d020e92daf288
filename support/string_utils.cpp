#include "support/string_utils.h"

#include <cstdarg>
#include <cstdio>
#include <fstream>

namespace string_utils {

std::string format(const char* fmt, ...) {
  char probe[1];
  va_list args;
  va_start(args, fmt);
  const int n = vsnprintf(probe, sizeof probe, fmt, args);
  va_end(args);
  if (n < 1) return std::string();

  std::string text(static_cast<size_t>(n) + 1, '\0');
  va_start(args, fmt);
  const int written = vsnprintf(&text[0], text.size(), fmt, args);
  va_end(args);
  if (written < 1) return std::string();
  text.resize(static_cast<size_t>(n));
  return text;
}

std::string to_str(const char* fmt, ...) {
  static const size_t sizes[] = {64, 128, 256, 512};
  char buffer[512];
  for (size_t size : sizes) {
    va_list args;
    va_start(args, fmt);
    const int n = vsnprintf(buffer, size, fmt, args);
    va_end(args);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < size) return std::string(buffer, static_cast<size_t>(n));
  }
  return std::string(buffer, sizeof buffer - 1);
}

}  // namespace string_utils

std::string get_file_content(const char* path) {
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) return std::string();

  in.seekg(0, std::ios::end);
  const std::streamoff end = in.tellg();
  in.seekg(0, std::ios::beg);
  const size_t size = end > 0 ? static_cast<size_t>(end) : 0;

  std::string content(size + 1, '\0');
  in.read(&content[0], static_cast<std::streamsize>(size));
  // A file that shrank since its size was taken keeps only what was read.
  const size_t got = in.gcount() > 0 ? static_cast<size_t>(in.gcount()) : 0;
  content.resize(got + 1);
  content[got] = '\0';
  return content;
}
