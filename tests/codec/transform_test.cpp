#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/gfl_exception.h"
#include "codec/bwt.h"
#include "codec/lzp.h"
#include "tests/codec/codec_samples.h"

namespace gca {
namespace {

struct Sorter {
  explicit Sorter(uint32_t capacity)
      : sa(capacity), scratch(capacity), radix(2 * 65536), sorter(sa.data(), scratch.data(),
                                                                 radix.data(), capacity) {}
  std::vector<int32_t> sa, scratch, radix;
  BlockSorter sorter;
};

// Rotation order by a plain stable sort.
std::vector<uint8_t> NaiveTransform(const std::vector<uint8_t>& s, uint32_t* primary) {
  const size_t m = s.size();
  std::vector<uint32_t> order(m);
  for (size_t i = 0; i < m; ++i) order[i] = static_cast<uint32_t>(i);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    for (size_t k = 0; k < m; ++k) {
      const uint8_t x = s[(a + k) % m], y = s[(b + k) % m];
      if (x != y) return x < y;
    }
    return false;
  });
  std::vector<uint8_t> last(m);
  for (size_t i = 0; i < m; ++i) {
    last[i] = s[(order[i] + m - 1) % m];
    if (order[i] == 0) *primary = static_cast<uint32_t>(i);
  }
  return last;
}

std::vector<uint8_t> Forward(Sorter& t, const std::vector<uint8_t>& s, TransformResult* r,
                             uint64_t limit = kSortWorkLimit) {
  std::vector<uint8_t> buffer(2 * s.size());
  std::copy(s.begin(), s.end(), buffer.begin());
  std::vector<uint8_t> out(s.size());
  *r = t.sorter.Forward(buffer.data(), static_cast<uint32_t>(s.size()), out.data(), limit);
  return out;
}

TEST(TransformTest, SmallWordsMatchTheirRotationSort) {
  Sorter t(64);
  TransformResult r;
  const std::vector<uint8_t> banana = {'b', 'a', 'n', 'a', 'n', 'a'};
  EXPECT_EQ(Forward(t, banana, &r), (std::vector<uint8_t>{'n', 'n', 'b', 'a', 'a', 'a'}));
  EXPECT_EQ(r.primary, 3u);
  const std::vector<uint8_t> one = {'x'};
  EXPECT_EQ(Forward(t, one, &r), one);
  EXPECT_EQ(r.primary, 0u);
}

TEST(TransformTest, RadixPathMatchesNaiveSortOnAllShapes) {
  Sorter t(1 << 16);
  const std::vector<std::vector<uint8_t>> inputs = {
      codec_samples::TextBytes(5000, 1),       codec_samples::BinaryBytes(4096, 2),
      codec_samples::RandomBytes(3000, 3),     codec_samples::PeriodicBytes(2000, 7, 4),
      codec_samples::PeriodicBytes(1500, 300, 5), codec_samples::BudgetBreaker(3000, 700, 6),
      std::vector<uint8_t>(64, 'q'),           std::vector<uint8_t>(4000, 0),
  };
  for (const auto& s : inputs) {
    TransformResult r;
    uint32_t primary = 99999;
    const std::vector<uint8_t> expected = NaiveTransform(s, &primary);
    EXPECT_EQ(Forward(t, s, &r), expected) << s.size();
    EXPECT_EQ(r.primary, primary) << s.size();
    std::vector<uint32_t> vec(s.size()), rear(s.size());
    std::vector<uint8_t> back(s.size());
    InverseTransform(expected.data(), static_cast<uint32_t>(s.size()), primary, back.data(),
                     vec.data());
    EXPECT_EQ(back, s);
    std::fill(back.begin(), back.end(), 0xEE);
    InverseTransform(expected.data(), static_cast<uint32_t>(s.size()), primary, back.data(),
                     vec.data(), rear.data());
    EXPECT_EQ(back, s) << "segments, " << s.size();
  }
}

TEST(TransformTest, OneRepeatedByteHasPrimaryIndexZero) {
  Sorter t(1000);
  for (uint32_t m : {1u, 10u, 63u, 64u, 1000u}) {
    TransformResult r;
    Forward(t, std::vector<uint8_t>(m, 0x42), &r);
    EXPECT_EQ(r.primary, 0u) << m;
    EXPECT_DOUBLE_EQ(r.run_ratio, (m - 1.0) / m);  // L[-1] is taken as 0
  }
}

TEST(TransformTest, StatisticsOfAFlatHistogram) {
  std::vector<uint8_t> s(512);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint8_t>(i * 7);
  Sorter t(512);
  TransformResult r;
  Forward(t, s, &r);
  EXPECT_DOUBLE_EQ(r.spread, 0.0);
  std::vector<uint8_t> two(512, 'a');
  for (size_t i = 0; i < 256; ++i) two[2 * i] = 'b';
  Forward(t, two, &r);  // 256 each of 2 values: sqrt(2 * 127^2 + 254) / 255)
  EXPECT_DOUBLE_EQ(r.spread, std::sqrt((2.0 * 127.0 * 127.0 + 254.0) / 255.0));
}

TEST(TransformTest, LongEqualPrefixesExceedTheBudgetUnlessItIsOff) {
  const std::vector<uint8_t> s = codec_samples::BudgetBreaker(1 << 18, 5000, 11);
  Sorter t(1 << 18);
  TransformResult r;
  EXPECT_THROW(Forward(t, s, &r), GflGCAAddNoise);
  EXPECT_GT(t.sorter.Work(), kSortWorkLimit);

  const std::vector<uint8_t> small = codec_samples::BudgetBreaker(20000, 3000, 12);
  EXPECT_THROW(Forward(t, small, &r, 100000), GflGCAAddNoise);
  const std::vector<uint8_t> last = Forward(t, small, &r, 0);
  std::vector<uint32_t> vec(small.size());
  std::vector<uint8_t> back(small.size());
  InverseTransform(last.data(), 20000, r.primary, back.data(), vec.data());
  EXPECT_EQ(back, small);
}

// Any input, damaged ones whose row permutation does not bring the primary index back
// after m steps included, gives exactly the bytes of the walk pos = V[pos], out[i] = L[pos]
// over the vector built from the counts.
TEST(TransformTest, InverseEqualsTheForwardWalkOnAnyInput) {
  auto forward_walk = [](const std::vector<uint8_t>& last, uint32_t q) {
    const uint32_t m = static_cast<uint32_t>(last.size());
    uint32_t f[256] = {0};
    for (uint8_t c : last) ++f[c];
    for (uint32_t c = 0, sum = 0; c < 256; ++c) {
      const uint32_t n = f[c];
      f[c] = sum;
      sum += n;
    }
    std::vector<uint32_t> v(m);
    for (uint32_t i = 0; i < m; ++i) v[f[last[i]]++] = i;
    std::vector<uint8_t> out(m);
    for (uint32_t i = 0, pos = q; i < m; ++i) {
      pos = v[pos];
      out[i] = last[pos];
    }
    return out;
  };
  uint64_t state = 5;
  auto next = [&state] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  };
  int unmet = 0;
  // From 32 KiB on, the walk runs in segments between marked rows, eight at a time.
  for (uint32_t m : {1u, 2u, 3u, 4u, 5u, 16u, 17u, 255u, 1000u, 4097u, 32768u, 40961u, 70000u}) {
    for (int round = 0; round < 20; ++round) {
      std::vector<uint8_t> last(m);
      // Few values: many short cycles; one value: every row its own cycle.
      const uint32_t alphabet = round == 19 ? 1 : round % 2 ? 2 : 256;
      for (auto& c : last) c = static_cast<uint8_t>(next() % alphabet);
      const uint32_t q = next() % m;
      const std::vector<uint8_t> expected = forward_walk(last, q);
      std::vector<uint32_t> vec(m), rear(m);
      std::vector<uint8_t> out(m, 0xEE);
      InverseTransform(last.data(), m, q, out.data(), vec.data());
      ASSERT_EQ(out, expected) << "m " << m << " round " << round;
      // The walk in segments gives the forward walk's bytes, broken permutations too.
      std::fill(out.begin(), out.end(), 0xEE);
      InverseTransform(last.data(), m, q, out.data(), vec.data(), rear.data());
      ASSERT_EQ(out, expected) << "segments, m " << m << " round " << round;
      // A whole block ends on L[q]; a walk that does not has met a broken permutation.
      if (expected.back() != last[q]) ++unmet;
    }
  }
  EXPECT_GT(unmet, 0);  // broken permutations were among the inputs
}

TEST(TransformTest, MethodWordChoice) {
  const uint32_t m = 1 << 17;  // t = 0
  EXPECT_EQ(ChooseMethodWord(2.0, 0.65, m), 0x11005600u);
  EXPECT_EQ(ChooseMethodWord(5.0, 0.75, m), 0x11005600u);  // (0.75 - 0.2) * 10 > 5
  EXPECT_EQ(ChooseMethodWord(8.0, 0.75, m), 0x00301030u);
  EXPECT_EQ(ChooseMethodWord(6.0, 0.75, m), 0x00201030u);
  EXPECT_EQ(ChooseMethodWord(3.0, 0.5, m), 0x00202040u);
  EXPECT_EQ(ChooseMethodWord(3.0, 0.2, m), 0x00202040u);
  EXPECT_EQ(ChooseMethodWord(3.0, 0.1, m), 0x00203050u);
  // A 1 MiB block: t = 0.3, so a run ratio of 0.85 is not enough at spread 3.
  EXPECT_EQ(ChooseMethodWord(3.0, 0.85, 1 << 20), 0x00201030u);
  EXPECT_EQ(ChooseMethodWord(3.0, 0.95, 1 << 20), 0x11005600u);
}

struct LzpCase : ::testing::Test {
  std::vector<int32_t> table = std::vector<int32_t>(kLzpTableSize);
  uint32_t Encode(const std::vector<uint8_t>& x, std::vector<uint8_t>* literals,
                  CodedBuffer* side) {
    literals->assign(x.size(), 0);
    side->StartOutput(0);
    return LzpEncode(x.data(), static_cast<uint32_t>(x.size()), literals->data(), table.data(),
                     *side);
  }
  std::vector<uint8_t> Decode(const std::vector<uint8_t>& literals, uint32_t m,
                              const CodedBuffer& side, size_t n) {
    std::vector<uint8_t> y(n);
    CodedBuffer in(side.Data(), side.Length());
    LzpDecode(literals.data(), m, in, y.data(), static_cast<uint32_t>(n), table.data());
    return y;
  }
};

TEST_F(LzpCase, EqualBytesLeaveThreeLiteralsZerosOne) {
  for (uint32_t n : {67u, 68u, 1000u, 1u << 20}) {
    std::vector<uint8_t> literals;
    CodedBuffer side;
    const std::vector<uint8_t> x(n, 'b');
    EXPECT_EQ(Encode(x, &literals, &side), 3u) << n;
    EXPECT_EQ(Decode(literals, 3, side, n), x);
    const std::vector<uint8_t> zeros(n, 0);
    EXPECT_EQ(Encode(zeros, &literals, &side), 1u) << n;
    EXPECT_EQ(Decode(literals, 1, side, n), zeros);
  }
  // 66 equal bytes: the match after the three literals is only 63 long.
  std::vector<uint8_t> literals;
  CodedBuffer side;
  EXPECT_EQ(Encode(std::vector<uint8_t>(66, 'b'), &literals, &side), 66u);
}

TEST_F(LzpCase, RepeatsShrinkAndRoundTrip) {
  std::vector<uint8_t> x = codec_samples::RandomBytes(50000, 3);
  const std::vector<uint8_t> again(x.begin(), x.begin() + 20000);
  x.insert(x.end(), again.begin(), again.end());
  std::vector<uint8_t> literals;
  CodedBuffer side;
  const uint32_t m = Encode(x, &literals, &side);
  EXPECT_LT(m, 55000u);
  EXPECT_EQ(Decode(literals, m, side, x.size()), x);
}

TEST_F(LzpCase, DamagedCountsAreDataErrors) {
  const std::vector<uint8_t> x(1000, 'b');
  std::vector<uint8_t> literals;
  CodedBuffer side;
  const uint32_t m = Encode(x, &literals, &side);
  // Fewer literals than the first run asks for, a shorter block than the match needs.
  EXPECT_THROW(Decode(literals, m - 1, side, x.size()), GflException);
  EXPECT_THROW(Decode(literals, m, side, 500), GflException);
  // Garbage side streams: either a clean error, or exactly n bytes written (the same
  // whatever the area held before, each a literal or a copy of an earlier output byte)
  // and none behind them.
  // Every other stream is the good one with one byte changed, which often still decodes.
  constexpr uint32_t kN = 1000;
  constexpr size_t kGuard = 64;
  const std::vector<uint8_t> good(side.Data(), side.Data() + side.Length());
  uint64_t seed = 3;
  int decoded = 0, refused = 0;
  for (int i = 0; i < 500; ++i) {
    std::vector<uint8_t> junk = codec_samples::RandomBytes(1 + i % 40, seed++);
    if (i % 2 == 1) {
      const uint8_t change = junk[0] == 0 ? 1 : junk[0];
      junk = good;
      junk[codec_samples::NextRandom(seed) % junk.size()] ^= change;
    }
    std::vector<uint8_t> block[2];
    bool ok[2] = {false, false};
    for (int k = 0; k < 2; ++k) {
      const uint8_t fill = k == 0 ? 0xCC : 0x33;
      std::vector<uint8_t> y(kN + kGuard, fill);
      CodedBuffer in(junk.data(), static_cast<uint32_t>(junk.size()));
      try {
        LzpDecode(literals.data(), m, in, y.data(), kN, table.data());
        ok[k] = true;
      } catch (const GflException& e) {
        EXPECT_EQ(e.Code, kGflDataError);
      }
      for (size_t j = kN; j < y.size(); ++j)
        ASSERT_EQ(y[j], fill) << "stream " << i << ": byte " << j - kN << " past the block";
      block[k].assign(y.begin(), y.begin() + kN);
    }
    ASSERT_EQ(ok[0], ok[1]) << "stream " << i;
    if (!ok[0]) {
      ++refused;
      continue;
    }
    ++decoded;
    EXPECT_EQ(block[0], block[1]) << "stream " << i << ": bytes of the block left unwritten";
    // The literals are all 'b', and a copy only repeats earlier output.
    EXPECT_EQ(std::count(block[0].begin(), block[0].end(), 'b'), std::ptrdiff_t(kN))
        << "stream " << i;
  }
  EXPECT_GT(decoded, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace gca
