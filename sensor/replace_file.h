// A file that replaces another whole: written beside its target under a temporary name, flushed
// to the disk, then renamed over the target. A failure at any step (a full disk, say) leaves the
// target as it was, and the temporary file is removed.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstddef>
#include <string>

namespace ferun {

class temp_file_t {
 public:
  temp_file_t() = default;
  // Removes the file unless it has been renamed into place.
  ~temp_file_t();
  temp_file_t(const temp_file_t&) = delete;
  temp_file_t& operator=(const temp_file_t&) = delete;

  // Creates a new, empty file beside `target`: with the mode of `target` when that is a regular
  // file (permissions set by hand survive the replacement), else 0666 less the umask, as fopen "w"
  // would. False with errno set when none could be made.
  bool create(const boost::filesystem::path& target);

  // Each returns false with errno set on failure.
  bool write_all(const std::string& text) { return write_all(text.data(), text.size()); }
  bool write_all(const char* data, std::size_t size);
  // Appends the whole content of the file `source`.
  bool copy_from(const std::string& source);
  // Flushes the content to the disk and closes the file.
  bool close();
  // Renames the closed file over `target`.
  bool rename_to(const boost::filesystem::path& target);

  int fd = -1;
  std::string path;  // empty once renamed
};

}  // namespace ferun
