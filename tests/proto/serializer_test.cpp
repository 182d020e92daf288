#include "proto/serializer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using bytes_t = std::vector<unsigned char>;

TEST(Serializer, Leb128LengthsAndCountsRoundTrip) {
  const std::pair<std::uint32_t, bytes_t> cases[] = {{0, {0}},
                                                     {127, {0x7f}},
                                                     {128, {0x80, 1}},
                                                     {16383, {0xff, 0x7f}},
                                                     {16384, {0x80, 0x80, 1}},
                                                     {65532, {0xfc, 0xff, 3}},
                                                     {65535, {0xff, 0xff, 3}}};
  for (const auto& [n, leb] : cases) {
    SCOPED_TRACE(n);
    unsigned char buf[3];
    serializer_t counted(buf, sizeof buf);
    counted.count(n);
    EXPECT_EQ(bytes_t(buf, buf + counted.pos), leb);
    EXPECT_EQ(deserializer_t(leb.data(), static_cast<std::uint16_t>(leb.size())).count(), n);
    if (n + leb.size() > 65535) continue;
    bytes_t body(n + leb.size());
    serializer_t out(body.data(), static_cast<std::uint16_t>(body.size()));
    out(std::string(n, 'q'));
    ASSERT_EQ(out.pos, body.size());
    EXPECT_EQ(bytes_t(body.begin(), body.begin() + static_cast<long>(leb.size())), leb);
    std::string back = "old";
    deserializer_t(body.data(), out.pos)(back);
    EXPECT_EQ(back, std::string(n, 'q'));
  }
}

TEST(Serializer, ItemThatDoesNotFitRaisesAndWritesNothing) {
  unsigned char buf[4] = {9, 9, 9, 9};
  serializer_t out(buf, sizeof buf);
  out(std::uint8_t{1});
  EXPECT_THROW(out(0u), serializer_exception_t);
  EXPECT_THROW(out.raw("abcdef", 6), serializer_exception_t);
  EXPECT_EQ(out.pos, 1);
  EXPECT_EQ(buf[1], 9);
  out(std::uint16_t{7})(std::uint8_t{8});  // fills exactly
  EXPECT_THROW(out(std::uint8_t{1}), serializer_exception_t);

  serializer_t block(buf, sizeof buf);
  EXPECT_THROW(block(std::string("abcd")), serializer_exception_t);
  EXPECT_LE(block.pos, 1);  // the length prefix may stand, no byte of the block

  bytes_t big(65535);
  serializer_t huge(big.data(), 65535);
  EXPECT_THROW(huge(std::string(65536, 'x')), serializer_exception_t);
  EXPECT_EQ(huge.pos, 0);

  try {
    serializer_t(buf, 0)(std::uint8_t{1});
    FAIL() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "buffer overflow");
  }
}

TEST(Deserializer, ReadsAreBounded) {
  for (const bytes_t& body : {bytes_t{}, bytes_t{5, 'a', 'b', 'c', 'd'}, bytes_t{0x80}}) {
    SCOPED_TRACE(body.size());
    std::string text = "kept";
    deserializer_t in(body.data(), static_cast<std::uint16_t>(body.size()));
    EXPECT_THROW(in(text), serializer_exception_t);
    EXPECT_EQ(text, "kept");
  }
  std::uint8_t v = 0;
  EXPECT_THROW(deserializer_t(nullptr, 0)(v), serializer_exception_t);

  const unsigned char block[] = {3, 'a', 'b', 'c', 0x7f};
  deserializer_t in(block, sizeof block);
  byte_view_t view;
  in.view(view);
  EXPECT_EQ(view.bytes, block + 1);  // into the body, no copy
  EXPECT_EQ(view.length, 3);
  EXPECT_EQ(in.pos, 4);

  // Count groups past the 32nd bit are dropped but every byte is consumed.
  const unsigned char long_count[] = {0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00};
  deserializer_t counts(long_count, 7);
  EXPECT_EQ(counts.count(), 1u);
  EXPECT_EQ(counts.pos, 7);
  const unsigned char endless[] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
  EXPECT_THROW(deserializer_t(endless, sizeof endless).count(), serializer_exception_t);
}
