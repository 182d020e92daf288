// Test helpers: a fresh temporary directory, and waiting for what another thread or process does.
#pragma once

#include <boost/filesystem.hpp>
#include <chrono>
#include <string>
#include <thread>

// ThreadSanitizer cannot follow the daemon's monitor, which forks while its clock thread runs:
// tests that start the real daemon skip in its builds (clang names the feature, gcc a macro).
#if defined(__SANITIZE_THREAD__)
#define FERUN_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FERUN_TEST_TSAN 1
#endif
#endif

namespace ferun_test {

// A fresh directory under the system's temporary directory, removed with its content at the end.
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

// Polls `done` every 5 ms until it holds or `deadline` has passed; whether it held.
template <class F>
bool poll_until(F done, std::chrono::milliseconds deadline) {
  using clock = std::chrono::steady_clock;
  for (const auto end = clock::now() + deadline; !done();
       std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (clock::now() >= end) return false;
  return true;
}

}  // namespace ferun_test
