// A fresh directory under the system's temporary directory, removed with its content at the end.
#pragma once

#include <boost/filesystem.hpp>
#include <string>

namespace ferun_test {

class temp_dir_t {
 public:
  explicit temp_dir_t(const std::string& tag = "ferun-test")
      : path_(boost::filesystem::temp_directory_path() /
              boost::filesystem::unique_path(tag + "-%%%%-%%%%-%%%%")) {
    boost::filesystem::create_directories(path_);
  }
  ~temp_dir_t() { boost::filesystem::remove_all(path_, ignored_); }
  temp_dir_t(const temp_dir_t&) = delete;
  temp_dir_t& operator=(const temp_dir_t&) = delete;

  const boost::filesystem::path& path() const { return path_; }
  boost::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  boost::filesystem::path path_;
  boost::system::error_code ignored_;
};

}  // namespace ferun_test
