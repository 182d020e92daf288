// Named log channels. Each source unit owns static handles that register themselves by name
// during static initialisation; the entry point then picks the output stream and enables channels
// from the "log" option ("name[:level],name[:level],..."). A disabled channel costs one pointer
// test; an error is always echoed on standard output as well.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

class log_t;

// The logger behind one enabled channel.
class impl_log_t {
 public:
  impl_log_t(std::string channel, int max_level) : name(std::move(channel)), level(max_level) {}
  virtual ~impl_log_t() = default;
  impl_log_t(const impl_log_t&) = delete;
  impl_log_t& operator=(const impl_log_t&) = delete;

  virtual void log(int level, const char* fmt, va_list args) = 0;

  // Adds `handle` to the channel `name`, creating the registry and the channel on first use.
  static void registrate(const char* name, log_t* handle);

  std::string name;
  int level;
};

// Writes lines "LEVEL channel: text" on a stdio stream it does not own.
class file_log_t : public impl_log_t {
 public:
  file_log_t(std::string channel, int max_level, FILE* stream)
      : impl_log_t(std::move(channel), max_level), fp(stream) {}

  void log(int level, const char* fmt, va_list args) override;

  bool at_line_start = true;
  FILE* fp;
};

// The channel registry, one per process, made on first use and never freed.
class log_fabric_t {
 public:
  struct logs_t {
    impl_log_t* impl = nullptr;
    std::vector<log_t*> logs;
  };

  FILE* fp = stdout;
  std::map<std::string, logs_t> channels;

  static log_fabric_t* g_log_fabric;
  static log_fabric_t& instance();
};

// Handle of one channel. Handles are static objects: zero-initialised (disabled) before any code
// runs, then joined to their channel by the constructor.
class log_t {
 public:
  explicit log_t(const char* name) { impl_log_t::registrate(name, this); }
  log_t(const log_t&) = delete;
  log_t& operator=(const log_t&) = delete;

  void info(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void warning(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void debug(int n, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

  static void enable(const std::string& name, int level);
  static void enable(const std::string& name, const std::string& level);
  static void enable_from_string(const std::string& channels);
  static void disable(const std::string& name);
  static void set_filename(const std::string& path);

  // The level number of a level word ("warning", "info", "debug0".."debug4"); 13 for any other.
  static int level_of(const std::string& word);

  // Null while the channel is disabled; callers test it before building costly arguments.
  impl_log_t* impl;

 private:
  void write(int level, const char* fmt, va_list args);
};
