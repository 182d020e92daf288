#include "support/fmt_ring.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>

TEST(FmtRing, FormatsAddresses) {
  fmt_ring_reset();
  EXPECT_STREQ(fmt_ip(0x7f000001u), "127.0.0.1");
  EXPECT_STREQ(fmt_ip(0), "0.0.0.0");
  ether_addr mac{{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}};
  EXPECT_STREQ(fmt(mac), "00:1a:2b:3c:4d:5e");
  EXPECT_STREQ(fmt_ip6(in6addr_loopback), "::1");
}
