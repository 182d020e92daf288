#include "support/string_utils.h"

#include <sys/stat.h>

#include <boost/system/error_code.hpp>
#include <cstdarg>
#include <cstdio>
#include <memory>

namespace string_utils {

std::string system_text(int error) {
  return boost::system::system_category().message(error);
}

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
  std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path, "rbe"), &fclose);
  if (!file) return std::string();

  // Only regular files have a size to read; a directory would open and then fail every read.
  struct stat st {};
  if (fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) return std::string();
  const size_t size = static_cast<size_t>(st.st_size);

  std::string content(size + 1, '\0');
  // A file that shrank since its size was taken keeps only what was read.
  const size_t got = fread(&content[0], 1, size, file.get());
  content.resize(got + 1);
  return content;
}
