#include "support/log.h"

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "support/fmt_ring.h"
#include "support/string_utils.h"

log_fabric_t* log_fabric_t::g_log_fabric = nullptr;

namespace {

// One lock around each whole message (prefix, text, flush and line state), so that lines of
// different threads never interleave. Function-local so that it exists for static initialisers.
std::mutex& message_lock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

const char* level_word(int level) {
  switch (level) {
    case 0: return "ERROR";
    case 1: return "WARNING";
    case 2: return "INFO";
    default: return nullptr;
  }
}

}  // namespace

log_fabric_t& log_fabric_t::instance() {
  if (!g_log_fabric) g_log_fabric = new log_fabric_t;
  return *g_log_fabric;
}

void file_log_t::log(int message_level, const char* fmt, va_list args) {
  if (!fp || message_level > level) return;
  if (at_line_start) {
    if (const char* word = level_word(message_level))
      fprintf(fp, "%s %s: ", word, name.c_str());
    else
      fprintf(fp, "DEBUG%d %s: ", message_level - 3, name.c_str());
  }
  const size_t length = strlen(fmt);
  at_line_start = length > 0 && fmt[length - 1] == '\n';
  vfprintf(fp, fmt, args);
  fflush(fp);
}

void impl_log_t::registrate(const char* name, log_t* handle) {
  log_fabric_t::logs_t& entry = log_fabric_t::instance().channels[name];
  entry.logs.push_back(handle);
  handle->impl = entry.impl;
}

int log_t::level_of(const std::string& word) {
  static const struct {
    const char* word;
    int level;
  } words[] = {{"warning", 1}, {"info", 2},   {"debug0", 3}, {"debug1", 4},
               {"debug2", 5},  {"debug3", 6}, {"debug4", 7}};
  for (const auto& w : words)
    if (strcasecmp(word.c_str(), w.word) == 0) return w.level;
  return 13;
}

void log_t::enable(const std::string& name, int level) {
  if (!log_fabric_t::g_log_fabric) {
    log_fabric_t::instance();
    return;
  }
  std::lock_guard<std::mutex> guard(message_lock());
  log_fabric_t& fabric = *log_fabric_t::g_log_fabric;
  auto it = fabric.channels.find(name);
  if (it == fabric.channels.end()) return;
  log_fabric_t::logs_t& entry = it->second;
  if (entry.impl) {
    entry.impl->level = level;
    return;
  }
  entry.impl = new file_log_t(name, level, fabric.fp);
  for (log_t* handle : entry.logs) handle->impl = entry.impl;
}

void log_t::enable(const std::string& name, const std::string& level) {
  enable(name, level_of(level));
}

void log_t::enable_from_string(const std::string& channels) {
  size_t begin = 0;
  for (;;) {
    const size_t comma = channels.find(',', begin);
    const std::string item =
        channels.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
    const size_t colon = item.find(':');
    const std::string name = item.substr(0, colon);
    const std::string word = colon == std::string::npos ? "info" : item.substr(colon + 1);
    printf("enable log: %s %s\n", name.c_str(), word.c_str());
    enable(name, word);
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  fflush(stdout);
}

void log_t::disable(const std::string& name) {
  if (!log_fabric_t::g_log_fabric) {
    log_fabric_t::instance();
    return;
  }
  std::lock_guard<std::mutex> guard(message_lock());
  auto& channels = log_fabric_t::g_log_fabric->channels;
  auto it = channels.find(name);
  if (it == channels.end() || !it->second.impl) return;
  delete it->second.impl;
  it->second.impl = nullptr;
  for (log_t* handle : it->second.logs) handle->impl = nullptr;
}

void log_t::set_filename(const std::string& path) {
  log_fabric_t& fabric = log_fabric_t::instance();
  std::lock_guard<std::mutex> guard(message_lock());

  FILE* const old = fabric.fp;
  const bool closing = old && old != stdout && old != stderr;
  if (closing) fclose(old);

  std::string failure;
  if (path.empty()) {
    fabric.fp = stdout;
  } else {
    fabric.fp = fopen(path.c_str(), "we");
    if (!fabric.fp) failure = string_utils::format("can't open logfile: %s", strerror(errno));
  }

  // Channels that wrote to the stream just closed follow the new one (or fall silent when it
  // could not be opened) rather than write to a closed stream.
  if (closing) {
    for (auto& channel : fabric.channels) {
      auto* logger = dynamic_cast<file_log_t*>(channel.second.impl);
      if (logger && logger->fp == old) logger->fp = fabric.fp;
    }
  }
  if (!failure.empty()) throw exception_t(failure);

  printf("current logfile: %s\n", path.c_str());
  fflush(stdout);
}

void log_t::write(int level, const char* fmt, va_list args) {
  std::lock_guard<std::mutex> guard(message_lock());
  impl->log(level, fmt, args);
  fmt_ring_reset();
}

void log_t::info(const char* fmt, ...) {
  if (!impl) return;
  va_list args;
  va_start(args, fmt);
  write(2, fmt, args);
  va_end(args);
}

void log_t::warning(const char* fmt, ...) {
  if (!impl) return;
  va_list args;
  va_start(args, fmt);
  write(1, fmt, args);
  va_end(args);
}

void log_t::debug(int n, const char* fmt, ...) {
  if (!impl) return;
  va_list args;
  va_start(args, fmt);
  write(n + 3, fmt, args);
  va_end(args);
}

void log_t::error(const char* fmt, ...) {
  std::lock_guard<std::mutex> guard(message_lock());
  va_list args;
  if (impl) {
    va_start(args, fmt);
    impl->log(0, fmt, args);
    va_end(args);
  }
  va_start(args, fmt);
  vprintf(fmt, args);
  va_end(args);
  fmt_ring_reset();
}
