#include "support/path_utils.h"

boost::filesystem::path path_join(const boost::filesystem::path& left, const std::string& right) {
  if (right.empty()) return left;
  std::string joined = left.string();
  if (right[0] != '/' && !joined.empty() && joined.back() != '/') joined += '/';
  joined += right;
  return boost::filesystem::path(joined);
}

std::string shell_quote(const std::string& word) {
  std::string quoted;
  quoted.reserve(word.size() + 2);
  quoted += '\'';
  for (char c : word) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += '\'';
  return quoted;
}

void shell_append(std::string& command, const std::string& word) {
  if (word.empty()) return;
  command += ' ';
  command += shell_quote(word);
}
