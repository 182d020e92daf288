// printf-style formatting into strings, the program's error type and whole-file reading.
#pragma once

#include <string>

namespace string_utils {

// The printf-style text as a new string of exactly its length; empty on an output error.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The same for short texts: tries stack buffers of 64, 128, 256 and 512 bytes and cuts a
// longer text to its first 511 characters.
std::string to_str(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The system's text for the error number `error` ("No such file or directory").
std::string system_text(int error);

}  // namespace string_utils

// The program's own failure: an error number (filled only by the signature-map loader) and a
// text. Deliberately not derived from std::exception: handlers catch it on its own.
struct exception_t {
  int code = 0;
  std::string message;

  exception_t() = default;
  explicit exception_t(std::string text) : message(std::move(text)) {}
  exception_t(int error_code, std::string text) : code(error_code), message(std::move(text)) {}
};

// The whole file followed by one NUL character, or an empty string when it cannot be opened.
std::string get_file_content(const char* path);
