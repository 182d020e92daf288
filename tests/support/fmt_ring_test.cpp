#include "support/fmt_ring.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Leaves `room` bytes between the ring's position and its end.
void leave_room(int room) {
  fmt_ring_reset();
  g_fmt_buffer_pos = g_fmt_buffer_size - room;
}

in6_addr ip6(const char* text) {
  in6_addr addr{};
  EXPECT_EQ(inet_pton(AF_INET6, text, &addr), 1) << text;
  return addr;
}

const ether_addr kMac{{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}};

}  // namespace

TEST(FmtRing, FormatsAddresses) {
  fmt_ring_reset();
  EXPECT_STREQ(fmt_ip(0x7f000001u), "127.0.0.1");
  EXPECT_STREQ(fmt_ip(0), "0.0.0.0");
  EXPECT_STREQ(fmt_ip(0x01020304u), "1.2.3.4");
  EXPECT_STREQ(fmt_ip(0xffffffffu), "255.255.255.255");
  EXPECT_STREQ(fmt(kMac), "00:1a:2b:3c:4d:5e");
  EXPECT_STREQ(fmt(ether_addr{{0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa}}), "ff:ee:dd:cc:bb:aa");
  EXPECT_STREQ(fmt_ip6(in6addr_loopback), "::1");
  EXPECT_STREQ(fmt_ip6(ip6("2001:db8::1")), "2001:db8::1");
  EXPECT_STREQ(fmt_ip6(ip6("::ffff:1.2.3.4")), "::ffff:1.2.3.4");
  EXPECT_STREQ(fmt_ip6(ip6("1111:2222:3333:4444:5555:6666:7777:8888")),
               "1111:2222:3333:4444:5555:6666:7777:8888");
}

TEST(FmtRing, TextsFollowOneAnother) {
  fmt_ring_reset();
  const char* a = fmt_ip(0x01020304u);
  const char* b = fmt(kMac);
  const char* c = fmt_ip6(in6addr_loopback);
  EXPECT_EQ(a, g_fmt_buffer);
  EXPECT_EQ(b, a + 8);
  EXPECT_EQ(c, b + 18);
  EXPECT_EQ(g_fmt_buffer_pos, 8 + 18 + 4);
  EXPECT_STREQ(a, "1.2.3.4");
  EXPECT_STREQ(b, "00:1a:2b:3c:4d:5e");
}

TEST(FmtRing, PrintfWrapsWhenRoomIsNotLargerThanText) {
  // "127.0.0.1" is 9 characters: 10 bytes of room hold it with its NUL, 9 do not.
  leave_room(10);
  const char* fits = fmt_ip(0x7f000001u);
  EXPECT_EQ(fits, g_fmt_buffer + g_fmt_buffer_size - 10);
  EXPECT_STREQ(fits, "127.0.0.1");
  EXPECT_EQ(g_fmt_buffer_pos, g_fmt_buffer_size);

  // A full ring wraps the next text.
  const char* after_full = fmt_ip(0x01020304u);
  EXPECT_EQ(after_full, g_fmt_buffer);
  EXPECT_EQ(g_fmt_buffer_pos, 8);

  leave_room(9);
  const char* wrapped = fmt_ip(0x7f000001u);
  EXPECT_EQ(wrapped, g_fmt_buffer);
  EXPECT_STREQ(wrapped, "127.0.0.1");
  EXPECT_EQ(g_fmt_buffer_pos, 10);
}

TEST(FmtRing, Ip6WrapsWithRoomOf46OrLess) {
  for (int room : {20, 46}) {
    SCOPED_TRACE(room);
    leave_room(room);
    const char* text = fmt_ip6(in6addr_loopback);
    EXPECT_EQ(text, g_fmt_buffer);
    EXPECT_STREQ(text, "::1");
    EXPECT_EQ(g_fmt_buffer_pos, 4);
  }
  leave_room(47);
  const char* text = fmt_ip6(in6addr_loopback);
  EXPECT_EQ(text, g_fmt_buffer + g_fmt_buffer_size - 47);
  EXPECT_STREQ(text, "::1");
  EXPECT_EQ(g_fmt_buffer_pos, g_fmt_buffer_size - 47 + 4);
}

TEST(FmtRing, MacWrapsWithRoomOf17OrLess) {
  leave_room(17);
  const char* wrapped = fmt(kMac);
  EXPECT_EQ(wrapped, g_fmt_buffer);
  EXPECT_STREQ(wrapped, "00:1a:2b:3c:4d:5e");
  EXPECT_EQ(g_fmt_buffer_pos, 18);

  leave_room(18);
  const char* fits = fmt(kMac);
  EXPECT_EQ(fits, g_fmt_buffer + g_fmt_buffer_size - 18);
  EXPECT_STREQ(fits, "00:1a:2b:3c:4d:5e");
  EXPECT_EQ(g_fmt_buffer_pos, g_fmt_buffer_size);
}

TEST(FmtRing, JoinMakesTheNextTextContinueThisOne) {
  fmt_ring_reset();
  const char* first = fmt_ip(0x01020304u, true);
  EXPECT_EQ(g_fmt_buffer_pos, 7);
  const char* second = fmt(kMac, true);
  EXPECT_EQ(second, first + 7);
  const char* third = fmt_ip6(in6addr_loopback, false);
  EXPECT_EQ(third, first + 7 + 17);
  EXPECT_STREQ(first, "1.2.3.400:1a:2b:3c:4d:5e::1");
  EXPECT_EQ(g_fmt_buffer_pos, 7 + 17 + 4);

  // Joined after a wrap as well: the position is the text's end, not past its NUL.
  leave_room(5);
  fmt_ip(0x01020304u, true);
  EXPECT_EQ(g_fmt_buffer_pos, 7);
  leave_room(10);
  fmt_ip6(in6addr_loopback, true);
  EXPECT_EQ(g_fmt_buffer_pos, 3);
}

TEST(FmtRing, EarlierTextsStayWhenALaterOneWraps) {
  leave_room(25);
  const char* high = fmt_ip(0x7f000001u);  // leaves 15 bytes: too few for a MAC text
  const char* low = fmt(kMac);
  EXPECT_EQ(low, g_fmt_buffer);
  EXPECT_STREQ(high, "127.0.0.1");
  EXPECT_STREQ(low, "00:1a:2b:3c:4d:5e");
}

TEST(FmtRing, TextLongerThanTheRingIsCut) {
  const std::string huge(3 * g_fmt_buffer_size, 'x');
  for (int room : {g_fmt_buffer_size, 100}) {
    SCOPED_TRACE(room);
    leave_room(room);
    const char* text = fmt_ring_printf(false, "%s", huge.c_str());
    EXPECT_EQ(text, g_fmt_buffer);
    EXPECT_EQ(strlen(text), static_cast<size_t>(g_fmt_buffer_size - 1));
    EXPECT_EQ(g_fmt_buffer_pos, g_fmt_buffer_size);
  }
  leave_room(100);
  fmt_ring_printf(true, "%s", huge.c_str());
  EXPECT_EQ(g_fmt_buffer_pos, g_fmt_buffer_size - 1);
}

TEST(FmtRing, RingTextAsArgumentSurvivesTheWrap) {
  // The address wraps to offset 0; the message that quotes it wraps too and lands on top of it.
  leave_room(5);
  const char* address = fmt_ip(0x7f000001u);
  ASSERT_EQ(address, g_fmt_buffer);
  const std::string padding(g_fmt_buffer_size - 20, 'y');
  const char* message = fmt_ring_printf(false, "x%s %s", address, padding.c_str());
  EXPECT_EQ(message, g_fmt_buffer);
  EXPECT_EQ(std::string(message, 12), "x127.0.0.1 y");
  EXPECT_EQ(strlen(message), 11 + padding.size());
}

TEST(FmtRing, ResetEmptiesTheRing) {
  fmt_ring_reset();
  fmt_ip(0x01020304u);
  fmt_ring_reset();
  EXPECT_EQ(g_fmt_buffer_pos, 0);
  EXPECT_EQ(g_fmt_buffer[0], '\0');
  EXPECT_EQ(fmt(kMac), g_fmt_buffer);
}
