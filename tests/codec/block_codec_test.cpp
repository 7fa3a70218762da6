#include "codec/block_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "codec/gfl_exception.h"
#include "codec/crc32.h"
#include "tests/codec/codec_samples.h"

namespace gca {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
void Put32(Bytes& f, size_t offset, uint32_t v) {
  if (f.size() < offset + 4) f.resize(offset + 4);
  for (int k = 0; k < 4; ++k) f[offset + k] = static_cast<uint8_t>(v >> (8 * k));
}

// Frames held in memory; a short read or skip is the archive's data error.
class MemorySource : public FrameSource {
 public:
  explicit MemorySource(Bytes data) : data_(std::move(data)) {}
  void ReadExactly(void* buffer, uint32_t n) override {
    if (n > data_.size() - pos_) throw GflException(kGflDataError, "short read");
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
  }
  void SkipForward(uint64_t n) override {
    if (n > data_.size() - pos_) throw GflException(kGflDataError, "bad seek");
    pos_ += static_cast<size_t>(n);
  }
  size_t Position() const { return pos_; }

 private:
  Bytes data_;
  size_t pos_ = 0;
};

struct Codec : ::testing::Test {
  static void SetUpTestSuite() {
    codec = new BlockCodec;
    ASSERT_TRUE(codec->Allocate());
  }
  static void TearDownTestSuite() {
    delete codec;
    codec = nullptr;
  }
  static BlockCodec* codec;

  Bytes Compress(const Bytes& x) {
    Bytes frame(kFrameBufferSize);
    const uint32_t length = codec->CompressBlock(x.data(), static_cast<uint32_t>(x.size()),
                                                 frame.data());
    EXPECT_LE(length, x.size() + 8);
    frame.resize(length);
    return frame;
  }
  // Decodes into an area of exactly `capacity` bytes, so that the sanitizer sees overruns.
  Bytes Decompress(const Bytes& frame, size_t capacity) {
    std::unique_ptr<uint8_t[]> out(new uint8_t[capacity == 0 ? 1 : capacity]);
    const uint32_t n = codec->DecompressFrame(frame.data(), static_cast<uint32_t>(frame.size()),
                                              out.get(), static_cast<uint32_t>(capacity));
    return Bytes(out.get(), out.get() + n);
  }
  void RoundTrip(const Bytes& x, const char* what) {
    const Bytes frame = Compress(x);
    EXPECT_EQ(Decompress(frame, x.size()), x) << what << " " << x.size();
    MemorySource source(frame);
    Bytes out(x.size() + 1);
    EXPECT_EQ(codec->ReadFrame(source, out.data(), static_cast<uint32_t>(x.size())), x.size());
    out.resize(x.size());
    EXPECT_EQ(out, x) << what << " " << x.size();
    EXPECT_EQ(source.Position(), frame.size());
  }
};
BlockCodec* Codec::codec = nullptr;

TEST_F(Codec, TinyBlocksAreStored) {
  for (uint32_t n = 0; n <= 8; ++n) {
    const Bytes x = codec_samples::TextBytes(n, n);
    const Bytes frame = Compress(x);
    ASSERT_EQ(frame.size(), n + 8);
    EXPECT_EQ(Get32(frame.data()), 0x30464347u);
    EXPECT_EQ(Get32(frame.data() + 4), n);
    RoundTrip(x, "tiny");
  }
}

TEST_F(Codec, EverySizeClassAndShapeRoundTrips) {
  const uint32_t sizes[] = {9, 10, 40, 63, 64, 65, 100, 1000, 4095, 65536, 300001, kBlockSize};
  for (uint32_t n : sizes) {
    RoundTrip(codec_samples::TextBytes(n, n), "text");
    RoundTrip(codec_samples::BinaryBytes(n, n), "binary");
    RoundTrip(codec_samples::RandomBytes(n, n), "random");
    RoundTrip(Bytes(n, 0), "zeros");
    RoundTrip(Bytes(n, 0xE7), "equal");
    RoundTrip(codec_samples::PeriodicBytes(n, 3, n), "period 3");
    RoundTrip(codec_samples::PeriodicBytes(n, 1000, n), "period 1000");
  }
}

TEST_F(Codec, FewLiteralsAfterPredictionAreSortedAlone) {
  // 9..63 literals left: a long equal run behind a short head.
  for (uint32_t head = 1; head < 60; head += 7) {
    Bytes x = codec_samples::RandomBytes(head, head);
    x.insert(x.end(), 5000, 'k');
    const Bytes frame = Compress(x);
    ASSERT_NE(Get32(frame.data()), 0x30464347u);
    EXPECT_LE(Get32(frame.data() + 8), 63u);
    EXPECT_EQ(Decompress(frame, x.size()), x);
  }
}

TEST_F(Codec, EqualBytesLeaveThreeLiteralsWithPrimaryIndexZero) {
  const Bytes frame = Compress(Bytes(100000, 'b'));
  ASSERT_GE(frame.size(), 24u);
  EXPECT_NE(Get32(frame.data()), 0x30464347u);
  EXPECT_EQ(Get32(frame.data() + 4), 100000u);
  EXPECT_EQ(Get32(frame.data() + 8), 3u);
  EXPECT_EQ(Get32(frame.data() + 12), 0u);
  const Bytes zeros = Compress(Bytes(100000, 0));
  EXPECT_EQ(Get32(zeros.data() + 8), 1u);
  EXPECT_EQ(Get32(zeros.data() + 12), 0u);
}

TEST_F(Codec, RandomMebibyteIsStored) {
  const Bytes x = codec_samples::RandomBytes(kBlockSize, 42);
  const Bytes frame = Compress(x);
  EXPECT_EQ(frame.size(), kBlockSize + 8);
  EXPECT_EQ(Get32(frame.data()), 0x30464347u);
  EXPECT_EQ(0, std::memcmp(frame.data() + 8, x.data(), kBlockSize));
}

TEST_F(Codec, TextUsesTheFixedSchemeAndCompresses) {
  Bytes x = codec_samples::TextBytes(kBlockSize, 8);
  const Bytes frame = Compress(x);
  EXPECT_LT(frame.size(), x.size() / 3);
  EXPECT_EQ(Get32(frame.data() + 16) + Get32(frame.data() + 20) +
                (Get32(frame.data()) == 0x31464347u ? 24u : 28u),
            frame.size());
  if (Get32(frame.data()) == 0x32464347u) {
    EXPECT_NE(Get32(frame.data() + 24), 0x11005600u);
  }
}

TEST_F(Codec, SortOverBudgetAddsNoiseAndStillDecodesExactly) {
  const Bytes x = codec_samples::BudgetBreaker(kBlockSize, 5000, 12);
  const Bytes frame = Compress(x);
  ASSERT_EQ(Get32(frame.data()), 0x32464347u);
  EXPECT_NE(Get32(frame.data() + 24) & 0x80000000u, 0u);
  EXPECT_EQ(Decompress(frame, x.size()), x);
  // Noise is per block: the next block is coded without it.
  const Bytes text = codec_samples::TextBytes(200000, 1);
  const Bytes plain = Compress(text);
  if (Get32(plain.data()) == 0x32464347u) {
    EXPECT_EQ(Get32(plain.data() + 24) & 0x80000000u, 0u);
  }
}

TEST_F(Codec, RepeatsAlignedWithTheNoisePatternAreStoredNotSortedForever) {
  // Period 1023 x 256: the noise repeats with the data, so it breaks nothing.
  const Bytes x = codec_samples::BudgetBreaker(kBlockSize, 1023 * 256, 13);
  const Bytes frame = Compress(x);
  EXPECT_EQ(Get32(frame.data()), 0x30464347u);
  EXPECT_EQ(frame.size(), kBlockSize + 8);
}

TEST_F(Codec, BlocksAreIndependentOfEachOther) {
  const Bytes a = codec_samples::BinaryBytes(200000, 1);
  const Bytes b = codec_samples::TextBytes(150000, 2);
  const Bytes fa = Compress(a);
  const Bytes fb = Compress(b);
  BlockCodec fresh;
  ASSERT_TRUE(fresh.Allocate());
  Bytes frame(kFrameBufferSize);
  frame.resize(fresh.CompressBlock(b.data(), static_cast<uint32_t>(b.size()), frame.data()));
  EXPECT_EQ(frame, fb);
  Bytes out(b.size());
  EXPECT_EQ(fresh.DecompressFrame(fb.data(), static_cast<uint32_t>(fb.size()), out.data(),
                                  static_cast<uint32_t>(out.size())),
            b.size());
  EXPECT_EQ(out, b);
  EXPECT_EQ(Decompress(fa, a.size()), a);
  EXPECT_EQ(Decompress(fb, b.size()), b);
}

TEST_F(Codec, MethodHeaderAcceptsTheFixedWord) {
  const Bytes x = codec_samples::TextBytes(100000, 3);
  const Bytes fixed = Compress(x);
  ASSERT_EQ(Get32(fixed.data()), 0x31464347u);
  Bytes method(fixed.begin(), fixed.begin() + 24);
  Put32(method, 0, 0x32464347u);
  method.resize(28);
  Put32(method, 24, 0x11005600u);
  method.insert(method.end(), fixed.begin() + 24, fixed.end());
  EXPECT_EQ(Decompress(method, x.size()), x);
}

TEST_F(Codec, SkipThenReadEqualsReadingBoth) {
  const Bytes a = codec_samples::TextBytes(70000, 5);
  const Bytes b = codec_samples::BinaryBytes(90000, 6);
  const Bytes c = codec_samples::RandomBytes(5000, 7);
  Bytes stream;
  for (const Bytes* x : {&a, &b, &c, &a}) {
    const Bytes f = Compress(*x);
    stream.insert(stream.end(), f.begin(), f.end());
  }
  MemorySource skipping(stream);
  Bytes out(kBlockSize);
  EXPECT_EQ(codec->SkipFrame(skipping), a.size());
  EXPECT_EQ(codec->ReadFrame(skipping, out.data(), kBlockSize), b.size());
  EXPECT_EQ(Bytes(out.begin(), out.begin() + b.size()), b);
  EXPECT_EQ(codec->SkipFrame(skipping), c.size());
  EXPECT_EQ(codec->ReadFrame(skipping, out.data(), kBlockSize), a.size());
  EXPECT_EQ(Bytes(out.begin(), out.begin() + a.size()), a);
  EXPECT_THROW(codec->SkipFrame(skipping), GflException);  // nothing left
}

TEST_F(Codec, UnknownMagicIsZeroForReadingAndAnErrorForSkipping) {
  Bytes frame = Compress(codec_samples::TextBytes(1000, 1));
  frame[3] = '9';
  EXPECT_EQ(Decompress(frame, 1000).size(), 0u);
  MemorySource reading(frame);
  Bytes out(1000);
  EXPECT_EQ(codec->ReadFrame(reading, out.data(), 1000), 0u);
  MemorySource skipping(frame);
  EXPECT_THROW(codec->SkipFrame(skipping), GflException);
}

TEST_F(Codec, ProgressCountsFromTheBase) {
  std::vector<uint64_t> seen;
  codec->SetProgressCallback([](uint64_t v, void* c) { static_cast<std::vector<uint64_t>*>(c)->push_back(v); },
                             &seen);
  codec->SetProgressBase(1u << 30);
  const Bytes x = codec_samples::TextBytes(kBlockSize, 9);
  const Bytes frame = Compress(x);
  ASSERT_GE(seen.size(), 2u);
  EXPECT_GE(seen.front(), uint64_t(1) << 30);
  seen.clear();
  EXPECT_EQ(Decompress(frame, x.size()), x);
  ASSERT_GE(seen.size(), 2u);
  const uint32_t m = Get32(frame.data() + 8);
  EXPECT_EQ(seen.back(), (uint64_t(1) << 30) + m);
  codec->SetProgressCallback(nullptr, nullptr);
  codec->SetProgressBase(0);
}

void ExpectDataErrorOrResult(BlockCodec* codec, const Bytes& frame, uint32_t capacity) {
  std::unique_ptr<uint8_t[]> out(new uint8_t[capacity == 0 ? 1 : capacity]);
  try {
    const uint32_t n = codec->DecompressFrame(frame.data(), static_cast<uint32_t>(frame.size()),
                                              out.get(), capacity);
    EXPECT_LE(n, capacity);
  } catch (const GflException& e) {
    EXPECT_EQ(e.Code, kGflDataError);
  }
}

TEST_F(Codec, DamagedFramesEndCleanly) {
  const Bytes inputs[] = {codec_samples::TextBytes(40000, 1), codec_samples::BinaryBytes(30000, 2),
                          codec_samples::BudgetBreaker(60000, 5000, 3), Bytes(3000, 'b')};
  uint64_t seed = 99;
  for (const Bytes& x : inputs) {
    const Bytes frame = Compress(x);
    ASSERT_NE(Get32(frame.data()), 0x30464347u);
    // Every truncation.
    for (size_t cut = 0; cut < frame.size(); cut += 1 + cut / 16) {
      const Bytes part(frame.begin(), frame.begin() + cut);
      ExpectDataErrorOrResult(codec, part, static_cast<uint32_t>(x.size()));
      MemorySource source(part);
      Bytes out(x.size());
      EXPECT_THROW(codec->ReadFrame(source, out.data(), static_cast<uint32_t>(x.size())),
                   GflException);
    }
    // Flipped bytes anywhere, headers included.
    for (int i = 0; i < 300; ++i) {
      Bytes damaged = frame;
      const size_t at = codec_samples::NextRandom(seed) % damaged.size();
      damaged[at] ^= static_cast<uint8_t>(1 + codec_samples::NextRandom(seed) % 255);
      ExpectDataErrorOrResult(codec, damaged, static_cast<uint32_t>(x.size()));
    }
  }
}

TEST_F(Codec, HostileHeadersAreDataErrors) {
  const Bytes x = codec_samples::TextBytes(50000, 4);
  const Bytes good = Compress(x);
  ASSERT_EQ(Get32(good.data()), 0x31464347u);
  auto with = [&](size_t offset, uint32_t value) {
    Bytes f = good;
    Put32(f, offset, value);
    return f;
  };
  const Bytes bad[] = {
      with(4, kBlockSize + 1),  // n above 1 MiB
      with(4, 0),               // a transformed frame of no bytes
      with(8, 50001),           // m above n
      with(8, 0),               // no literals
      with(12, Get32(good.data() + 8)),  // primary index = m
      with(12, 0xFFFFFFFFu),
      with(16, 0xFFFFFFF0u),    // stream lengths pass the frame
      with(20, 0x7FFFFFFFu),
  };
  Bytes out(x.size());
  for (const Bytes& f : bad) {
    try {
      codec->DecompressFrame(f.data(), static_cast<uint32_t>(f.size()), out.data(),
                             static_cast<uint32_t>(out.size()));
      ADD_FAILURE() << "accepted";
    } catch (const GflException& e) {
      EXPECT_EQ(e.Code, kGflDataError);
    }
    MemorySource source(f);
    EXPECT_THROW(codec->ReadFrame(source, out.data(), static_cast<uint32_t>(out.size())),
                 GflException);
  }
  // n above the given capacity, stored or not.
  EXPECT_THROW(codec->DecompressFrame(good.data(), static_cast<uint32_t>(good.size()), out.data(),
                                      49999),
               GflException);
  Bytes stored = Compress(codec_samples::RandomBytes(100, 1));
  EXPECT_THROW(codec->DecompressFrame(stored.data(), static_cast<uint32_t>(stored.size()),
                                      out.data(), 99),
               GflException);
  stored.pop_back();
  EXPECT_THROW(codec->DecompressFrame(stored.data(), static_cast<uint32_t>(stored.size()),
                                      out.data(), 100),
               GflException);
  // A method word that switches on a model with shift 0.
  Bytes method(good.begin(), good.begin() + 24);
  Put32(method, 0, 0x32464347u);
  method.resize(28);
  Put32(method, 24, 0x11000600u);
  method.insert(method.end(), good.begin() + 24, good.end());
  EXPECT_THROW(codec->DecompressFrame(method.data(), static_cast<uint32_t>(method.size()),
                                      out.data(), static_cast<uint32_t>(out.size())),
               GflException);
}

TEST(CodecLifecycle, AllocateReleaseReady) {
  BlockCodec codec;
  EXPECT_FALSE(codec.Ready());
  EXPECT_EQ(codec.FrameBuffer(0), nullptr);
  ASSERT_TRUE(codec.Allocate());
  EXPECT_TRUE(codec.Ready());
  ASSERT_NE(codec.FrameBuffer(0), nullptr);
  ASSERT_NE(codec.FrameBuffer(1), nullptr);
  EXPECT_NE(codec.FrameBuffer(0), codec.FrameBuffer(1));
  EXPECT_EQ(codec.FrameBuffer(2), nullptr);
  codec.FrameBuffer(1)[kFrameBufferSize - 1] = 1;  // the whole area is usable
  codec.Release();
  EXPECT_FALSE(codec.Ready());
}

}  // namespace
}  // namespace gca

namespace gca {
namespace {

// The frames of fixed inputs, pinned by their CRC-32: every build (64-bit host, 32-bit
// and 64-bit Windows) must write exactly these bytes.
TEST(CodecFrames, AreTheSameOnEveryBuild) {
  BlockCodec codec;
  ASSERT_TRUE(codec.Allocate());
  Bytes wave(400000);
  for (size_t i = 0; i < wave.size(); i += 2) {
    // A triangle wave with a little pattern noise (integer only: the input must not
    // depend on the build's floating-point library).
    const int phase = static_cast<int>(i % 4000);
    const int v = (phase < 2000 ? phase : 4000 - phase) * 8 - 8000 + static_cast<int>(i % 7);
    wave[i] = static_cast<uint8_t>(v);
    wave[i + 1] = static_cast<uint8_t>(v >> 8);
  }
  struct Case {
    const char* name;
    Bytes data;
    uint32_t length, crc;
  };
  Case cases[] = {
      {"text", codec_samples::TextBytes(300000, 21), 0, 0},
      {"binary", codec_samples::BinaryBytes(500000, 22), 0, 0},
      {"wave", wave, 0, 0},
      {"periodic", codec_samples::PeriodicBytes(kBlockSize, 777, 23), 0, 0},
      {"noise", codec_samples::BudgetBreaker(kBlockSize, 5000, 24), 0, 0},
  };
  const uint32_t expected[][2] = {{50175, 0x76C4E1BC},
                                  {107228, 0xDDF1906B},
                                  {11932, 0xE18AFE5D},
                                  {835, 0x93FD1096},
                                  {11016, 0x78DC2069}};
  Crc32 crc;
  Bytes frame(kFrameBufferSize);
  for (size_t k = 0; k < sizeof(cases) / sizeof(cases[0]); ++k) {
    Case& c = cases[k];
    c.length = codec.CompressBlock(c.data.data(), static_cast<uint32_t>(c.data.size()),
                                   frame.data());
    c.crc = crc.Compute(frame.data(), c.length);
    EXPECT_EQ(c.length, expected[k][0]) << c.name;
    EXPECT_EQ(c.crc, expected[k][1]) << c.name;
  }
}

}  // namespace
}  // namespace gca
