#include "codec/entropy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "codec/gfl_exception.h"
#include "tests/codec/codec_samples.h"

namespace gca {
namespace {

using codec_samples::NextRandom;

std::vector<uint8_t> Bytes(const CodedBuffer& b) {
  return std::vector<uint8_t>(b.Data(), b.Data() + b.Length());
}

TEST(CodedBufferTest, InputReadsPastEndAsZeroAndSetsFlag) {
  const uint8_t data[3] = {1, 2, 3};
  CodedBuffer in(data, 3);
  EXPECT_EQ(in.GetByte(), 1);
  uint8_t two[2] = {9, 9};
  EXPECT_EQ(in.Read(two, 2), 2u);
  EXPECT_EQ(two[1], 3);
  EXPECT_EQ(in.EndReached(), 0);
  EXPECT_EQ(in.GetByte(), 0);
  EXPECT_NE(in.EndReached(), 0);
  EXPECT_EQ(in.Read(two, 2), 0u);
  EXPECT_EQ(in.ReadU32(), 0u);
  EXPECT_FALSE(in.Seek(4));
  EXPECT_TRUE(in.Seek(1));
  EXPECT_EQ(in.ReadU8(), 2);
}

TEST(CodedBufferTest, OutputStartsAt1024AndDoubles) {
  CodedBuffer out(10);
  EXPECT_EQ(out.Capacity(), 1024u);
  for (int i = 0; i < 1025; ++i) out.PutByte(static_cast<uint8_t>(i));
  EXPECT_EQ(out.Capacity(), 2048u);
  EXPECT_EQ(out.Length(), 1025u);
  EXPECT_EQ(out.Data()[1024], 0);
  std::vector<uint8_t> big(5000, 7);
  EXPECT_EQ(out.Write(big.data(), 5000), 5000u);
  EXPECT_EQ(out.Capacity(), 8192u);
  EXPECT_EQ(out.Tell(), 6025u);
  EXPECT_TRUE(out.Seek(20000));  // grows an owning buffer
  EXPECT_GE(out.Capacity(), 20000u);
}

TEST(CodedBufferTest, WrappedMemoryIsNeverWrittenPastItsEnd) {
  uint8_t area[6] = {0, 0, 0, 0, 0, 0x55};
  CodedBuffer b(area, 5);
  const uint8_t text[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(b.Write(text, 8), 5u);
  EXPECT_NE(b.EndReached(), 0);
  EXPECT_EQ(area[4], 5);
  EXPECT_EQ(area[5], 0x55);
}

// Decisions with wildly skewed probabilities, then their decoding.
struct Decision {
  uint32_t bit, p;
  bool plain;
};

std::vector<Decision> SkewedDecisions(uint64_t seed, size_t count) {
  std::vector<Decision> d;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t r = NextRandom(seed);
    const uint32_t kind = r % 4;
    const uint32_t p = kind == 0 ? 4095 : kind == 1 ? 1 : 1 + (r >> 8) % 4095;
    d.push_back({(r >> 3) % 7 != 0 ? 1u : 0u, p, kind == 3 && (r & 0x100) != 0});
  }
  return d;
}

TEST(RangeCoderTest, CarriesOverPendingBytesStayInStep) {
  int carried_over_pending = 0;
  for (uint64_t seed = 1; seed <= 400; ++seed) {
    const std::vector<Decision> d = SkewedDecisions(seed, 300);
    CodedBuffer out(0);
    RangeEncoder enc;
    enc.Start(&out);
    for (const Decision& x : d) x.plain ? enc.EncodeBit(x.bit) : enc.Encode(x.bit, x.p);
    enc.Flush();
    const std::vector<uint8_t> bytes = Bytes(out);
    ASSERT_GE(bytes.size(), 6u);
    // The stream starts with the initial held byte: the first interval lies below the
    // carry bit, so no carry can reach it.
    EXPECT_EQ(bytes[0], 0);
    // A carry that turned pending 0xFF bytes into 0x00 shows as a held byte + 1
    // followed by zeros; count streams where a carry happened behind zeros.
    if (enc.Carries() != 0) {
      for (size_t k = 1; k + 1 < bytes.size(); ++k)
        if (bytes[k] == 0x00 && bytes[k - 1] != 0xFF) {
          ++carried_over_pending;
          break;
        }
    }
    for (size_t k = bytes.size() - 4; k < bytes.size(); ++k) EXPECT_EQ(bytes[k], 0xFF);

    CodedBuffer in(bytes.data(), static_cast<uint32_t>(bytes.size()));
    RangeDecoder dec;
    dec.Start(&in);
    for (size_t i = 0; i < d.size(); ++i) {
      const uint32_t bit = d[i].plain ? dec.DecodeBit() : dec.Decode(d[i].p);
      ASSERT_EQ(bit, d[i].bit) << "seed " << seed << " decision " << i;
    }
    EXPECT_FALSE(dec.Exhausted());
  }
  EXPECT_GT(carried_over_pending, 0);
}

TEST(RangeCoderTest, EmptyStreamIsHeldByteLowByteAndPadding) {
  CodedBuffer out(0);
  RangeEncoder enc;
  enc.Start(&out);
  enc.Flush();
  const std::vector<uint8_t> expected = {0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  // Flush normalises first: range 0x80000000 needs no shift, so held byte 0, then low's
  // top byte 0, then the padding.
  EXPECT_EQ(Bytes(out), expected);
}

TEST(RangeCoderTest, DecoderPastTheEndReadsZeros) {
  const uint8_t one[1] = {0};
  CodedBuffer in(one, 1);
  RangeDecoder dec;
  dec.Start(&in);
  for (int i = 0; i < 100; ++i) dec.Decode(2048);
  EXPECT_TRUE(dec.Exhausted());
}

// Count coder: a fresh table shows which decisions a value took.
TEST(CountCoderTest, WorkedValuesTakeTheDecisionsTheyShould) {
  struct Case {
    uint32_t v;
    int go_on;  // number of go-on decisions before the stop; 32: none stops
  };
  const Case cases[] = {{0, 0}, {1, 1}, {5, 3}, {999999, 20}, {0x7FFFFFFF, 31},
                        {0x80000000u, 32}, {0xFFFFFFFFu, 32}};
  for (const Case& c : cases) {
    uint16_t table[32];
    for (auto& p : table) p = 2048;
    CodedBuffer out(0);
    RangeEncoder enc;
    enc.Start(&out);
    EncodeCount(enc, c.v, table, 6);
    enc.Flush();
    for (int i = 0; i < 32; ++i) {
      if (i < c.go_on)
        EXPECT_EQ(table[i], 2048 + (2048 >> 6)) << c.v << " entry " << i;
      else if (i == c.go_on)
        EXPECT_EQ(table[i], 2048 - (2048 >> 6)) << c.v << " entry " << i;
      else
        EXPECT_EQ(table[i], 2048) << c.v << " entry " << i;
    }
    uint16_t again[32];
    for (auto& p : again) p = 2048;
    CodedBuffer in(out.Data(), out.Length());
    RangeDecoder dec;
    dec.Start(&in);
    EXPECT_EQ(DecodeCount(dec, again, 6), c.v);
    EXPECT_EQ(0, std::memcmp(table, again, sizeof(table)));
  }
}

TEST(CountCoderTest, SequencesWithContextMixingRoundTrip) {
  uint64_t seed = 77;
  std::vector<uint32_t> values;
  for (int i = 0; i < 3000; ++i) {
    const uint32_t r = NextRandom(seed);
    values.push_back(r % 5 == 0 ? r : r % 3 == 0 ? r % 70 : (r & 3));
  }
  for (uint32_t weight : {0u, 1u, 2u, 3u, 4u}) {
    uint16_t t0[32], t1[32];
    for (auto& p : t0) p = 2048;
    for (auto& p : t1) p = 2048;
    CodedBuffer out(0);
    RangeEncoder enc;
    enc.Start(&out);
    for (uint32_t v : values) EncodeCount(enc, v, t0, 4, t1, 2, weight);
    enc.Flush();
    for (auto& p : t0) p = 2048;
    for (auto& p : t1) p = 2048;
    CodedBuffer in(out.Data(), out.Length());
    RangeDecoder dec;
    dec.Start(&in);
    for (uint32_t v : values) ASSERT_EQ(DecodeCount(dec, t0, 4, t1, 2, weight), v);
  }
}

struct Blocks : ::testing::Test {
  std::unique_ptr<EntropyModels> models{new EntropyModels};
  ProgressTicker ticker;

  std::vector<uint8_t> Encode(const std::vector<uint8_t>& x, uint32_t method) {
    CodedBuffer out(static_cast<uint32_t>(x.size()));
    EXPECT_TRUE(EncodeBlock(x.data(), static_cast<uint32_t>(x.size()), method, out, *models,
                            ticker));
    return Bytes(out);
  }
  std::vector<uint8_t> Decode(const std::vector<uint8_t>& coded, size_t n, uint32_t method) {
    std::vector<uint8_t> y(n, 0xCC);
    CodedBuffer in(coded.data(), static_cast<uint32_t>(coded.size()));
    DecodeBlock(in, y.data(), static_cast<uint32_t>(n), method, *models, ticker);
    return y;
  }
};

TEST_F(Blocks, EveryMethodWordRoundTripsEveryKindOfData) {
  // The encoder's words, with noise, and mixing weights it never writes.
  const uint32_t methods[] = {0x11005600, 0x00301030, 0x00201030, 0x00202040, 0x00203050,
                              0x80203050, 0x00101030, 0x00401030, 0x11215634, 0x11445611,
                              0x01105612, 0x10003000, 0x01003500};
  const std::vector<std::vector<uint8_t>> inputs = {
      {0},
      {0x41},
      {0, 0, 0, 1},
      codec_samples::TextBytes(20000, 1),
      codec_samples::BinaryBytes(20000, 2),
      codec_samples::RandomBytes(5000, 3),
      std::vector<uint8_t>(3000, 0),
      std::vector<uint8_t>(3000, 0xFF),
  };
  for (uint32_t method : methods) {
    for (const auto& x : inputs) {
      const std::vector<uint8_t> coded = Encode(x, method);
      ASSERT_EQ(Decode(coded, x.size(), method), x) << std::hex << method << " size " << x.size();
    }
  }
}

TEST_F(Blocks, MillionEqualBytesCodeAsOneSymbolAndOneCount) {
  const std::vector<uint8_t> x(1000000, 'z');
  const std::vector<uint8_t> coded = Encode(x, kMethodFixed);
  // One symbol (8 decisions), 21 count decisions and 19 plain bits: a few bytes + padding.
  EXPECT_LE(coded.size(), 16u);
  EXPECT_EQ(Decode(coded, x.size(), kMethodFixed), x);
}

TEST_F(Blocks, RejectsWordsThatWouldStallTheModels) {
  const std::vector<uint8_t> coded(64, 0x5A);
  const uint32_t bad[] = {0x11000600,  // symbol shift 0
                          0x00501030,  // symbol weight 5
                          0x00201000,  // order-1 model on, shift 0
                          0x11005000,  // RLE on, run shift 0
                          0x11055600,  // RLE on, run weight 5
                          0x01015610,  // run context on, shift 0
                          0x00053000,  // RLE off, run weight 5
                          0x100F3000,  // MTF, RLE off, run weight 15
                          0x80052040}; // noise, order 1 mixed, RLE off, run weight 5
  for (uint32_t w : bad) {
    EXPECT_FALSE(MethodWordValid(w)) << std::hex << w;
    try {
      Decode(coded, 100, w);
      ADD_FAILURE() << std::hex << w;
    } catch (const GflException& e) {
      EXPECT_EQ(e.Code, kGflDataError);
    }
  }
  EXPECT_TRUE(MethodWordValid(0x00003000));   // order 0 only, no runs
  EXPECT_TRUE(MethodWordValid(0x80203050));   // noise bit is ignored
  EXPECT_TRUE(MethodWordValid(0x00043000));   // RLE off, run weight 4: unused, allowed
  EXPECT_TRUE(MethodWordValid(0x01045612));   // RLE on, run weight 4
}

// Garbage streams decode into an area with guard bytes behind the block: a decode either
// fails as damaged data or fills exactly the n bytes of the block, the same bytes
// whatever the area held before, and never touches the guard.
TEST_F(Blocks, GarbageNeverWritesPastTheBlock) {
  constexpr size_t kGuard = 64;
  uint64_t seed = 5;
  int decoded = 0, refused = 0;
  for (int round = 0; round < 300; ++round) {
    const std::vector<uint8_t> garbage = codec_samples::RandomBytes(1 + round % 97, seed++);
    const size_t n = 1 + NextRandom(seed) % 3000;
    const uint32_t method = round % 2 ? kMethodFixed : 0x00202040;
    std::vector<uint8_t> block[2];
    bool ok[2] = {false, false};
    for (int k = 0; k < 2; ++k) {
      const uint8_t fill = k == 0 ? 0xCC : 0x33;
      std::vector<uint8_t> area(n + kGuard, fill);
      CodedBuffer in(garbage.data(), static_cast<uint32_t>(garbage.size()));
      try {
        DecodeBlock(in, area.data(), static_cast<uint32_t>(n), method, *models, ticker);
        ok[k] = true;
      } catch (const GflException& e) {
        EXPECT_EQ(e.Code, kGflDataError);
      }
      for (size_t i = n; i < area.size(); ++i)
        ASSERT_EQ(area[i], fill) << "round " << round << ": byte " << i - n << " past the block";
      block[k].assign(area.begin(), area.begin() + static_cast<std::ptrdiff_t>(n));
    }
    ASSERT_EQ(ok[0], ok[1]) << "round " << round;
    if (ok[0]) {
      ++decoded;
      EXPECT_EQ(block[0], block[1]) << "round " << round << ": bytes of the block left unwritten";
    } else {
      ++refused;
    }
  }
  // Both outcomes occur, so both were checked.
  EXPECT_GT(decoded, 0);
  EXPECT_GT(refused, 0);
}

TEST_F(Blocks, StopsEarlyWhenTheStreamOutgrowsTheLimit) {
  const std::vector<uint8_t> x = codec_samples::RandomBytes(100000, 9);
  CodedBuffer out(1024);
  EXPECT_FALSE(EncodeBlock(x.data(), 100000, 0x00203050, out, *models, ticker, 50000));
  EXPECT_LT(out.Length(), 50100u);
}

TEST_F(Blocks, TicksEvery64KiB) {
  int ticks = 0;
  ProgressTicker counting;
  counting.fn = [](void* c) { ++*static_cast<int*>(c); };
  counting.context = &ticks;
  const std::vector<uint8_t> x = codec_samples::TextBytes(300000, 4);
  CodedBuffer out(0);
  EncodeBlock(x.data(), 300000, 0x00202040, out, *models, counting);
  EXPECT_EQ(ticks, 4);  // positions 65536, 131072, 196608, 262144
  ticks = 0;
  std::vector<uint8_t> y(300000);
  CodedBuffer in(out.Data(), out.Length());
  DecodeBlock(in, y.data(), 300000, 0x00202040, *models, counting);
  EXPECT_EQ(ticks, 4);
  EXPECT_EQ(x, y);
}

// Adapt against its definition, for every probability the models can hold and every shift.
TEST(AdaptTest, MovesByTheShiftedDistanceToTheEnd) {
  for (uint32_t shift = 0; shift < 16; ++shift) {
    for (uint32_t p = 1; p < 4096; ++p) {
      uint16_t zero = static_cast<uint16_t>(p), one = static_cast<uint16_t>(p);
      Adapt(zero, 0, shift);
      Adapt(one, 1, shift);
      ASSERT_EQ(zero, p + ((4096 - p) >> shift)) << "p " << p << " shift " << shift;
      ASSERT_EQ(one, p - (p >> shift)) << "p " << p << " shift " << shift;
    }
  }
}

// The block decoder written as the plain walk: one decision at a time, byte by byte
// normalisation, the models updated by their definitions. DecodeBlock must make the same
// decisions and leave the same models on every stream, damaged ones included.
struct PlainBlockDecoder {
  const uint8_t* data;
  uint32_t length, next = 0;
  uint32_t low = 0, range = 0, last = 0;
  std::vector<uint32_t> symbol0 = std::vector<uint32_t>(256, 2048);
  std::vector<uint32_t> symbol1 = std::vector<uint32_t>(256 * 256, 2048);
  std::vector<uint32_t> run0 = std::vector<uint32_t>(32, 2048);
  std::vector<uint32_t> run1 = std::vector<uint32_t>(256 * 32, 2048);

  PlainBlockDecoder(const uint8_t* d, uint32_t n) : data(d), length(n) {
    Byte();
    last = Byte();
    low = last >> 1;
    range = 0x80;
  }
  uint32_t Byte() { return next < length ? data[next++] : 0; }
  void Normalize() {
    while (range <= 0x800000) {
      low = ((low << 1) | (last & 1)) << 7;
      last = Byte();
      low |= last >> 1;
      range <<= 8;
    }
  }
  // A decision splits the range at r: below it a 0, from it on a 1.
  uint32_t Split(uint32_t r) {
    if (low >= r) {
      low -= r;
      range -= r;
      return 1;
    }
    range = r;
    return 0;
  }
  uint32_t Decision(uint32_t p) {
    Normalize();
    return Split(p * (range >> 12));
  }
  uint32_t PlainBit() {
    Normalize();
    return Split(range >> 1);
  }
  static void Update(uint32_t& p, uint32_t bit, uint32_t shift) {
    if (bit == 0)
      p += (4096 - p) >> shift;
    else
      p -= p >> shift;
  }
  // A decision on entry p0, mixed with p1 when there is one.
  uint32_t Mixed(uint32_t& p0, uint32_t s0, uint32_t* p1, uint32_t s1, uint32_t w) {
    const uint32_t bit = Decision(p1 != nullptr ? (w * *p1 + (4 - w) * p0) >> 2 : p0);
    Update(p0, bit, s0);
    if (p1 != nullptr) Update(*p1, bit, s1);
    return bit;
  }
  // False where a run passes the end; out[0..n-1] as far as decoded.
  bool Run(uint8_t* out, uint32_t n, uint32_t w) {
    const bool mtf = (w & kMethodMtf) != 0, rle = (w & kMethodRle) != 0;
    const uint32_t ws = SymbolWeight(w), wr = rle ? RunWeight(w) : 0;
    uint8_t list[256];
    for (int i = 0; i < 256; ++i) list[i] = static_cast<uint8_t>(i);
    uint32_t prev = 0, pos = 0;
    while (pos < n) {
      uint32_t node = 1;
      for (int b = 0; b < 8; ++b)
        node = 2 * node + Mixed(symbol0[node], SymbolShift(w),
                                ws != 0 ? &symbol1[prev * 256 + node] : nullptr,
                                Order1Shift(w), ws);
      uint32_t y = node & 0xFF, count = 0;
      if (rle) {
        uint32_t i = 0;
        while (i < 32 && Mixed(run0[i], RunShift(w), wr != 0 ? &run1[prev * 32 + i] : nullptr,
                               RunContextShift(w), wr) == 0)
          ++i;
        count = i;
        if (i >= 2) {
          count = 1;
          for (uint32_t b = 0; b + 1 < i; ++b) count = (count << 1) | PlainBit();
        }
      }
      if (mtf) {
        if (rle) y = (y + 1) & 0xFF;
        const uint8_t s = list[y];
        for (uint32_t j = y; j > 0; --j) list[j] = list[j - 1];
        list[0] = s;
        y = s;
      }
      if (count >= n - pos) return false;
      for (uint32_t j = 0; j <= count; ++j) out[pos++] = static_cast<uint8_t>(y);
      prev = y;
    }
    return true;
  }
};

TEST_F(Blocks, DecodesLikeThePlainWalkOnIntactAndDamagedStreams) {
  const uint32_t methods[] = {0x00202040, 0x00201030, 0x00203050, 0x00301030, 0x11005600,
                              0x00101030, 0x00403050, 0x11215634, 0x01105612, 0x10003000,
                              0x01003500, 0x00003000};
  const std::vector<std::vector<uint8_t>> inputs = {
      codec_samples::TextBytes(6000, 11), codec_samples::BinaryBytes(6000, 12),
      codec_samples::RandomBytes(3000, 13), std::vector<uint8_t>(2000, 7)};
  uint64_t seed = 77;
  int damaged_refused = 0, damaged_decoded = 0;
  for (uint32_t method : methods) {
    const uint32_t ws = SymbolWeight(method);
    const bool rle = (method & kMethodRle) != 0;
    const uint32_t wr = rle ? RunWeight(method) : 0;
    for (size_t k = 0; k < inputs.size(); ++k) {
      const std::vector<uint8_t> coded = Encode(inputs[k], method);
      for (int variant = 0; variant < 6; ++variant) {
        std::vector<uint8_t> stream = coded;
        if (variant == 1) stream.resize(stream.size() / 2);        // cut short
        if (variant == 2) stream.resize(3);                        // almost nothing
        if (variant >= 3)                                          // bytes changed
          for (int f = 0; f < variant - 2; ++f)
            stream[NextRandom(seed) % stream.size()] ^= static_cast<uint8_t>(1 + NextRandom(seed) % 255);
        const uint32_t n = static_cast<uint32_t>(inputs[k].size());
        std::vector<uint8_t> want(n, 0xCC), got(n, 0xCC);
        PlainBlockDecoder plain(stream.data(), static_cast<uint32_t>(stream.size()));
        const bool plain_ok = plain.Run(want.data(), n, method);
        bool ok = true;
        CodedBuffer in(stream.data(), static_cast<uint32_t>(stream.size()));
        try {
          DecodeBlock(in, got.data(), n, method, *models, ticker);
        } catch (const GflException& e) {
          EXPECT_EQ(e.Code, kGflDataError);
          ok = false;
        }
        const std::string where = "method " + std::to_string(method) + " input " +
                                  std::to_string(k) + " variant " + std::to_string(variant);
        ASSERT_EQ(ok, plain_ok) << where;
        ASSERT_EQ(got, want) << where;
        if (variant == 0) {
          ASSERT_EQ(got, inputs[k]) << where;
        } else {
          ++(ok ? damaged_decoded : damaged_refused);
        }
        // The models after the block: the tables the method uses.
        for (uint32_t i = 0; i < 256; ++i) {
          ASSERT_EQ(models->symbol0[i], plain.symbol0[i]) << where;
        }
        for (uint32_t i = 0; ws != 0 && i < 256 * 256; ++i) {
          ASSERT_EQ(models->symbol1[i], plain.symbol1[i]) << where << " entry " << i;
        }
        for (uint32_t i = 0; rle && i < 32; ++i) {
          ASSERT_EQ(models->run0[i], plain.run0[i]) << where;
        }
        for (uint32_t i = 0; wr != 0 && i < 256 * 32; ++i) {
          ASSERT_EQ(models->run1[i], plain.run1[i]) << where;
        }
      }
    }
  }
  // Damaged streams took both outcomes, so both were compared.
  EXPECT_GT(damaged_refused, 0);
  EXPECT_GT(damaged_decoded, 0);
}

}  // namespace
}  // namespace gca
