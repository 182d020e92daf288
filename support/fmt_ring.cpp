#include "support/fmt_ring.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

thread_local char g_fmt_buffer[g_fmt_buffer_size];
thread_local int g_fmt_buffer_pos = 0;

namespace {

thread_local char t_scratch[g_fmt_buffer_size];

// Moves the position past a text of `length` characters that starts at `start`.
char* commit(int start, int length, bool join) {
  g_fmt_buffer_pos = start + length + (join ? 0 : 1);
  return g_fmt_buffer + start;
}

}  // namespace

void fmt_ring_reset() {
  g_fmt_buffer_pos = 0;
  g_fmt_buffer[0] = '\0';
}

char* fmt_ring_vprintf(bool join, const char* fmt, va_list args) {
  // Formatted aside first: an argument may itself be a text in this ring (an address inside a
  // message text), and formatting over it while it is being read would garble the result.
  int n = vsnprintf(t_scratch, sizeof t_scratch, fmt, args);
  if (n < 0) n = 0;
  if (n > g_fmt_buffer_size - 1) n = g_fmt_buffer_size - 1;

  int start = g_fmt_buffer_pos;
  if (g_fmt_buffer_size - start <= n) start = 0;
  memcpy(g_fmt_buffer + start, t_scratch, static_cast<size_t>(n));
  g_fmt_buffer[start + n] = '\0';
  return commit(start, n, join);
}

char* fmt_ring_printf(bool join, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char* text = fmt_ring_vprintf(join, fmt, args);
  va_end(args);
  return text;
}

char* fmt_ip(unsigned int ip, bool join) {
  return fmt_ring_printf(join, "%hhu.%hhu.%hhu.%hhu", static_cast<unsigned char>(ip >> 24),
                         static_cast<unsigned char>(ip >> 16), static_cast<unsigned char>(ip >> 8),
                         static_cast<unsigned char>(ip));
}

char* fmt_ip6(in6_addr addr, bool join) {
  constexpr int longest = INET6_ADDRSTRLEN;  // 46: the longest text with its NUL
  int start = g_fmt_buffer_pos;
  if (g_fmt_buffer_size - start <= longest) start = 0;
  if (!inet_ntop(AF_INET6, &addr, g_fmt_buffer + start, longest)) g_fmt_buffer[start] = '\0';
  return commit(start, static_cast<int>(strlen(g_fmt_buffer + start)), join);
}

const char* fmt(ether_addr const& mac, bool join) {
  constexpr int length = 17;
  int start = g_fmt_buffer_pos;
  if (g_fmt_buffer_size - start <= length) start = 0;
  const unsigned char* b = mac.ether_addr_octet;
  snprintf(g_fmt_buffer + start, length + 1, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2],
           b[3], b[4], b[5]);
  return commit(start, length, join);
}
