// A file that replaces another whole: written beside its target under a temporary name, flushed
// to the disk, then renamed over the target. A failure at any step (a full disk, say) leaves the
// target as it was, and the temporary file is removed. Both live in a directory held open by
// descriptor, and neither name is ever followed as a link.
#pragma once

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

  // Creates a new, empty file beside `target` in the directory `dir`: with the mode of `target`
  // when that is a regular file (permissions set by hand survive the replacement), else 0644 less
  // the umask; a setuid or setgid bit and group or other write are never kept. False with errno set
  // when none could be made.
  bool create(int dir, const std::string& target);

  // Each returns false with errno set on failure.
  bool write_all(const std::string& text) { return write_all(text.data(), text.size()); }
  bool write_all(const char* data, std::size_t size);
  // Appends the whole content of the open file `source`, read from its start.
  bool copy_from(int source);
  // Flushes the content to the disk and closes the file.
  bool close();
  // Renames the closed file over its target.
  bool rename_to_target();

  int fd = -1;
  std::string name;  // in `dir_`; empty once renamed

 private:
  int dir_ = -1;
  std::string target_;
};

}  // namespace ferun
