#include "proto/serializer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bytes_t = std::vector<unsigned char>;

bytes_t written(const unsigned char* buf, const serializer_t& out) {
  return bytes_t(buf, buf + out.pos);
}

// The LEB128 prefix a string of `length` bytes gets.
bytes_t prefix_of(std::size_t length) {
  std::vector<unsigned char> buf(length + 8);
  serializer_t out(buf.data(), static_cast<std::uint16_t>(buf.size()));
  out(std::string(length, 'x'));
  return bytes_t(buf.begin(), buf.begin() + static_cast<long>(out.pos - length));
}

}  // namespace

TEST(Serializer, WritesIntegersLeastSignificantFirst) {
  unsigned char buf[15];
  serializer_t out(buf, sizeof buf);
  out(std::uint8_t{0xab})(std::uint16_t{0x1234})(0x01020304u)(std::uint64_t{0x1122334455667788});
  EXPECT_EQ(written(buf, out), (bytes_t{0xab, 0x34, 0x12, 0x04, 0x03, 0x02, 0x01, 0x88, 0x77, 0x66,
                                        0x55, 0x44, 0x33, 0x22, 0x11}));
}

TEST(Serializer, LengthPrefixesUseLeb128) {
  EXPECT_EQ(prefix_of(0), (bytes_t{0x00}));
  EXPECT_EQ(prefix_of(127), (bytes_t{0x7f}));
  EXPECT_EQ(prefix_of(128), (bytes_t{0x80, 0x01}));
  EXPECT_EQ(prefix_of(300), (bytes_t{0xac, 0x02}));
  EXPECT_EQ(prefix_of(16383), (bytes_t{0xff, 0x7f}));
  EXPECT_EQ(prefix_of(16384), (bytes_t{0x80, 0x80, 0x01}));
  EXPECT_EQ(prefix_of(65535 - 8), (bytes_t{0xf7, 0xff, 0x03}));

  unsigned char buf[3];
  serializer_t out(buf, sizeof buf);
  out.count(65535);
  EXPECT_EQ(written(buf, out), (bytes_t{0xff, 0xff, 0x03}));
}

TEST(Serializer, LongestBlockRoundTrips) {
  std::vector<unsigned char> buf(65535);
  const std::string text(65532, 'q');
  serializer_t out(buf.data(), 65535);
  out(text);
  ASSERT_EQ(out.pos, 65535);
  EXPECT_EQ(bytes_t(buf.begin(), buf.begin() + 3), (bytes_t{0xfc, 0xff, 0x03}));

  std::string back;
  deserializer_t in(buf.data(), out.pos);
  in(back);
  EXPECT_EQ(back, text);
  EXPECT_EQ(in.pos, 65535);
}

TEST(Serializer, FillsExactlyThenOverflows) {
  unsigned char buf[6];
  serializer_t out(buf, sizeof buf);
  out(0xdeadbeefu)(std::uint16_t{7});
  EXPECT_EQ(out.pos, 6);
  EXPECT_THROW(out(std::uint8_t{1}), serializer_exception_t);
  EXPECT_EQ(out.pos, 6);
}

TEST(Serializer, ItemThatDoesNotFitWritesNothing) {
  unsigned char buf[4] = {9, 9, 9, 9};
  serializer_t out(buf, sizeof buf);
  out(std::uint8_t{1});
  EXPECT_THROW(out(0u), serializer_exception_t);
  EXPECT_EQ(out.pos, 1);
  EXPECT_EQ(buf[1], 9);
  EXPECT_THROW(out.raw("abcdef", 6), serializer_exception_t);
  EXPECT_EQ(buf[1], 9);
}

TEST(Serializer, BlockLongerThanSpaceLeftOverflows) {
  unsigned char buf[4];
  serializer_t out(buf, sizeof buf);
  EXPECT_THROW(out(std::string("abcd")), serializer_exception_t);
  // The length prefix may stand, but no byte of the block.
  EXPECT_LE(out.pos, 1);
}

TEST(Serializer, StringTooLongForALengthPrefixOverflowsBeforeWriting) {
  std::vector<unsigned char> buf(65535);
  serializer_t out(buf.data(), 65535);
  EXPECT_THROW(out(std::string(65536, 'x')), serializer_exception_t);
  EXPECT_EQ(out.pos, 0);
}

TEST(Serializer, ExceptionTexts) {
  EXPECT_STREQ(serializer_exception_t(1).what(), "buffer overflow");
  EXPECT_STREQ(serializer_exception_t(2).what(), "something wrong");
  EXPECT_STREQ(serializer_exception_t(0).what(), "something wrong");
  try {
    unsigned char byte;
    serializer_t(&byte, 0)(std::uint8_t{1});
    FAIL() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "buffer overflow");
  }
}

TEST(SerializerRead, EmptyBodyOverflowsOnFirstByte) {
  deserializer_t in(nullptr, 0);
  std::uint8_t v = 0;
  EXPECT_THROW(in(v), serializer_exception_t);
  std::string s;
  EXPECT_THROW(in(s), serializer_exception_t);
}

TEST(SerializerRead, EmptyStringClearsTarget) {
  const unsigned char body[] = {0x00};
  std::string text = "old contents";
  deserializer_t in(body, 1);
  in(text);
  EXPECT_EQ(text, "");
  EXPECT_EQ(in.pos, 1);
}

TEST(SerializerRead, LengthPastBodyOverflows) {
  const unsigned char body[] = {0x05, 'a', 'b', 'c', 'd'};
  std::string text = "kept";
  deserializer_t in(body, sizeof body);
  EXPECT_THROW(in(text), serializer_exception_t);
  EXPECT_EQ(text, "kept");
}

TEST(SerializerRead, LengthPrefixCutByBodyEndOverflows) {
  const unsigned char body[] = {0x80};
  std::string text;
  deserializer_t in(body, sizeof body);
  EXPECT_THROW(in(text), serializer_exception_t);
}

TEST(SerializerRead, ViewPointsIntoBody) {
  const unsigned char body[] = {0x03, 'a', 'b', 'c', 0x7f};
  deserializer_t in(body, sizeof body);
  byte_view_t view;
  in.view(view);
  EXPECT_EQ(view.bytes, body + 1);
  EXPECT_EQ(view.length, 3);
  EXPECT_EQ(in.pos, 4);
}

TEST(SerializerRead, CountsDecodeAndKeepThirtyTwoBits) {
  const unsigned char two_bytes[] = {0x80, 0x01};
  EXPECT_EQ(deserializer_t(two_bytes, 2).count(), 128u);

  const unsigned char five_bytes[] = {0xff, 0xff, 0xff, 0xff, 0x0f};
  EXPECT_EQ(deserializer_t(five_bytes, 5).count(), 0xffffffffu);

  // Groups past the 32nd bit are dropped but every byte is still consumed under the bound.
  const unsigned char seven_bytes[] = {0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00};
  deserializer_t in(seven_bytes, 7);
  EXPECT_EQ(in.count(), 1u);
  EXPECT_EQ(in.pos, 7);

  const unsigned char endless[] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
  EXPECT_THROW(deserializer_t(endless, sizeof endless).count(), serializer_exception_t);
}
