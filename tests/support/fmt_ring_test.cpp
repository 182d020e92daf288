#include "support/fmt_ring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Leaves `room` bytes between the ring's position and its end; returns that position.
const char* leave_room(int room) {
  fmt_ring_reset();
  g_fmt_buffer_pos = g_fmt_buffer_size - room;
  return g_fmt_buffer + g_fmt_buffer_pos;
}

const ether_addr kMac{{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}};

}  // namespace

TEST(FmtRing, EachWriterWrapsWhenItsLongestTextDoesNotFit) {
  // printf measures its text with its NUL ("127.0.0.1": 10 bytes), the IPv6 writer the longest
  // address (INET6_ADDRSTRLEN: 46 bytes, so 47 of room), the MAC writer its 17 characters.
  const char* at = leave_room(10);
  EXPECT_EQ(fmt_ip(0x7f000001u), at);
  EXPECT_EQ(fmt_ip(0x01020304u), g_fmt_buffer) << "a full ring wraps the next text";
  leave_room(9);
  EXPECT_STREQ(fmt_ip(0x7f000001u), "127.0.0.1");
  EXPECT_EQ(g_fmt_buffer_pos, 10);
  at = leave_room(47);
  EXPECT_EQ(fmt_ip6(in6addr_loopback), at);
  leave_room(46);
  EXPECT_EQ(fmt_ip6(in6addr_loopback), g_fmt_buffer);
  at = leave_room(18);
  EXPECT_EQ(fmt(kMac), at);
  leave_room(17);
  EXPECT_STREQ(fmt(kMac), "00:1a:2b:3c:4d:5e");
  EXPECT_EQ(g_fmt_buffer_pos, 18);
}

TEST(FmtRing, FormatsAddressesAndJoinMakesTheNextTextContinueThisOne) {
  fmt_ring_reset();
  const char* first = fmt_ip(0x01020304u, true);
  fmt(kMac, true);
  fmt_ip6(in6addr_loopback, false);
  EXPECT_STREQ(first, "1.2.3.400:1a:2b:3c:4d:5e::1");
  EXPECT_EQ(g_fmt_buffer_pos, 7 + 17 + 4);
  EXPECT_STREQ(fmt_ip(0xff00fffeu), "255.0.255.254");
  leave_room(10);
  fmt_ip6(in6addr_loopback, true);
  EXPECT_EQ(g_fmt_buffer_pos, 3) << "after a wrap the position is the text's end as well";
}

TEST(FmtRing, LongTextIsCutAndMayQuoteATextItWrapsOver) {
  const std::string huge(3 * g_fmt_buffer_size, 'x');
  leave_room(100);
  const char* text = fmt_ring_printf(false, "%s", huge.c_str());
  EXPECT_EQ(text, g_fmt_buffer);
  EXPECT_EQ(strlen(text), 10239u);
  EXPECT_EQ(g_fmt_buffer_pos, g_fmt_buffer_size);

  // The address wraps to offset 0; the message quoting it wraps too and lands on top of it.
  leave_room(5);
  const char* address = fmt_ip(0x7f000001u);
  const std::string padding(g_fmt_buffer_size - 20, 'y');
  const char* message = fmt_ring_printf(false, "x%s %s", address, padding.c_str());
  EXPECT_EQ(message, address);
  EXPECT_EQ(std::string(message, 12), "x127.0.0.1 y");
}
