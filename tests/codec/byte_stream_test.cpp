#include "codec/byte_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A growable memory stream, enough to exercise the typed helpers of the base.
class VectorStream : public gca::ByteStream {
 public:
  uint32_t Read(void* buffer, uint32_t n) override {
    const uint64_t left = pos_ < data.size() ? data.size() - pos_ : 0;
    const uint32_t got = static_cast<uint32_t>(n < left ? n : left);
    if (got) std::memcpy(buffer, data.data() + pos_, got);
    pos_ += got;
    if (got == 0) end_reached_ = 1;
    return got;
  }
  uint32_t Write(const void* buffer, uint32_t n) override {
    if (pos_ + n > data.size()) data.resize(pos_ + n);
    std::memcpy(data.data() + pos_, buffer, n);
    pos_ += n;
    return n;
  }
  bool Seek(uint64_t position) override {
    pos_ = position;
    return true;
  }
  uint64_t Tell() override { return pos_; }
  std::vector<uint8_t> data;

 private:
  uint64_t pos_ = 0;
};

TEST(ByteStream, TypedValuesAreLittleEndianAndRoundTrip) {
  VectorStream s;
  s.WriteU8(0xAB);
  s.WriteU16(0x1234);
  s.WriteU32(0xDEADBEEF);
  s.WriteString(std::string("a\0b", 3));
  s.WriteShortString("xyz");
  const std::vector<uint8_t> head = {0xAB, 0x34, 0x12, 0xEF, 0xBE, 0xAD, 0xDE, 3, 0, 0, 0, 'a', 0, 'b', 3, 0};
  ASSERT_GE(s.data.size(), head.size());
  EXPECT_TRUE(std::equal(head.begin(), head.end(), s.data.begin()));
  s.Seek(0);
  EXPECT_EQ(s.ReadU8(), 0xAB);
  EXPECT_EQ(s.ReadU16(), 0x1234);
  EXPECT_EQ(s.ReadU32(), 0xDEADBEEFu);
  EXPECT_EQ(s.ReadString(), std::string("a\0b", 3));
  EXPECT_EQ(s.ReadShortString(), "xyz");
  EXPECT_EQ(s.EndReached(), 0);
  EXPECT_EQ(s.ReadU8(), 0);
  EXPECT_EQ(s.EndReached(), 1);
}

TEST(ByteStream, StringShorterThanItsLengthReadsEmpty) {
  VectorStream s;
  s.WriteU32(10);
  s.Write("abcdef", 6);
  s.Seek(0);
  EXPECT_EQ(s.ReadString(), "");
  // A huge bogus length fails on the short read instead of allocating it.
  VectorStream t;
  t.WriteU32(0xFFFFFFF0u);
  t.Write("abc", 3);
  t.Seek(0);
  EXPECT_EQ(t.ReadString(), "");
}

TEST(ByteStream, ShortStringLengthIsCutToSixteenBits) {
  VectorStream s;
  s.WriteShortString(std::string(65536 + 2, 'q'));
  EXPECT_EQ(s.data.size(), 2u + 2u);
  s.Seek(0);
  EXPECT_EQ(s.ReadShortString(), "qq");
}

}  // namespace
