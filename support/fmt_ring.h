// The formatting ring: short texts (addresses, message log texts, reader debug texts) are
// written into a fixed buffer instead of being allocated. A text lives until the ring wraps over
// it or the next log call empties the ring. Each thread has a ring of its own, so one thread's
// texts are never overwritten by another's.
#pragma once

#include <netinet/ether.h>
#include <netinet/in.h>

#include <cstdarg>

constexpr int g_fmt_buffer_size = 10240;
extern thread_local char g_fmt_buffer[g_fmt_buffer_size];
extern thread_local int g_fmt_buffer_pos;

// Empties the calling thread's ring: the next text starts at offset 0.
void fmt_ring_reset();

// Writes a printf-style text into the ring and returns its start: at the current position when the
// text and its NUL fit before the ring's end, otherwise at offset 0. A text longer than the ring is
// cut to 10239 characters. Arguments may be texts of this ring. With `join` the next text starts on
// this text's NUL, so the two read as one string.
char* fmt_ring_printf(bool join, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
char* fmt_ring_vprintf(bool join, const char* fmt, va_list args);

// "a.b.c.d" of a host-order IPv4 address, most significant byte first.
char* fmt_ip(unsigned int ip, bool join = false);
// The standard text form of an IPv6 address.
char* fmt_ip6(in6_addr addr, bool join = false);
// "xx:xx:xx:xx:xx:xx" of a hardware address, lower-case.
const char* fmt(ether_addr const& mac, bool join = false);
