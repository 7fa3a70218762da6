// SHA-512 and CRC-32 against published vectors and independent implementations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/crc32.h"
#include "codec/crc32_paths.h"
#include "codec/sha512.h"
#include "codec/sha512_paths.h"
#include "tests/codec/codec_test_data.h"

#ifdef GU_TEST_WITH_ZLIB
#include <zlib.h>
#endif

namespace {

#include "tests/codec/codec_vectors.inc"

using codec_test::LcgBytes;
using codec_test::PatternBytes;

std::string Sha512Hex(const void* data, size_t length) {
  gca::Sha512Digest d;
  d.Update(data, static_cast<uint32_t>(length));
  d.Finish();
  return d.HexText();
}

std::string Sha512Hex(const std::string& text) { return Sha512Hex(text.data(), text.size()); }

const char kEmptySha512[] =
    "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
    "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e";

// --- SHA-512 -------------------------------------------------------------------------

TEST(Sha512, PublishedExamples) {
  EXPECT_EQ(Sha512Hex(""), kEmptySha512);
  EXPECT_EQ(Sha512Hex("abc"),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
  EXPECT_EQ(Sha512Hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
                      "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
            "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
            "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909");
  // One million 'a', fed in pieces that do not line up with blocks.
  gca::Sha512Digest d;
  const std::string piece(1000, 'a');
  for (int i = 0; i < 1000; ++i) d.Update(piece.data(), 1000);
  d.Finish();
  EXPECT_EQ(d.HexText(),
            "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
            "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b");
}

// Lengths 0..300 cover one and two padding blocks (111 and 112 bytes modulo 128).
TEST(Sha512, LengthsAroundPaddingBoundaryMatchReference) {
  const std::vector<uint8_t> msg = PatternBytes(300);
  for (size_t n = 0; n <= 300; ++n) {
    EXPECT_EQ(Sha512Hex(msg.data(), n), kPatternSha512[n]) << "length " << n;
  }
}

TEST(Sha512, PiecesOfAnySizeGiveTheSameDigest) {
  const std::vector<uint8_t> msg = PatternBytes(kLongPatternLength);
  ASSERT_EQ(Sha512Hex(msg.data(), msg.size()), kLongPatternSha512);
  for (size_t piece : {size_t(1), size_t(127), size_t(128), size_t(129), size_t(65536),
                       size_t(111), size_t(112), size_t(300000)}) {
    gca::Sha512Digest d;
    for (size_t at = 0; at < msg.size(); at += piece) {
      const size_t n = std::min(piece, msg.size() - at);
      d.Update(msg.data() + at, static_cast<uint32_t>(n));
    }
    d.Finish();
    EXPECT_EQ(d.HexText(), kLongPatternSha512) << "piece " << piece;
  }
  // Irregular pieces, including empty ones.
  std::mt19937 rng(7);
  gca::Sha512Digest d;
  for (size_t at = 0; at < msg.size();) {
    const size_t n = std::min<size_t>(rng() % 400, msg.size() - at);
    d.Update(msg.data() + at, static_cast<uint32_t>(n));
    at += n;
  }
  d.Finish();
  EXPECT_EQ(d.HexText(), kLongPatternSha512);
}

TEST(Sha512, EmptyUpdateChangesNothing) {
  const std::vector<uint8_t> msg = PatternBytes(50);
  gca::Sha512Digest d;
  d.Update(msg.data(), 50);
  uint8_t before[64];
  uint8_t after[64];
  d.RawWords(before);
  d.Update(msg.data(), 0);
  d.Update(nullptr, 0);
  d.RawWords(after);
  EXPECT_EQ(0, std::memcmp(before, after, 64));
  d.Finish();
  EXPECT_EQ(d.HexText(), kPatternSha512[50]);
}

TEST(Sha512, ResetAllowsReuse) {
  gca::Sha512Digest d;
  d.Update("junk that must not count", 24);
  d.Finish();
  d.Reset();
  d.Update("abc", 3);
  d.Finish();
  EXPECT_EQ(d.HexText().substr(0, 16), "ddaf35a193617aba");
}

TEST(Sha512, HexTextIsLowercaseAndRawWordsAreLittleEndianState) {
  for (size_t n = 0; n <= 300; n += 37) {
    const std::vector<uint8_t> msg = PatternBytes(n);
    gca::Sha512Digest d;
    d.Update(msg.data(), static_cast<uint32_t>(n));
    d.Finish();
    const std::string hex = d.HexText();
    ASSERT_EQ(hex.size(), 128u);
    for (char c : hex) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << hex;
    uint8_t raw[64];
    d.RawWords(raw);
    for (int word = 0; word < 8; ++word) {
      for (int byte = 0; byte < 8; ++byte) {
        unsigned v = 0;
        std::sscanf(hex.c_str() + 16 * word + 2 * (7 - byte), "%2x", &v);
        EXPECT_EQ(raw[8 * word + byte], v) << "word " << word << " byte " << byte;
      }
    }
  }
}

TEST(Sha512, PathTableIsWellFormed) {
  namespace paths = gca::sha512_paths;
  ASSERT_GE(paths::Count(), 1);
  EXPECT_STREQ(paths::Name(0), "portable");
  ASSERT_TRUE(paths::Available(0));
  EXPECT_FALSE(paths::Available(paths::Count()));
  EXPECT_FALSE(paths::Available(-1));
  uint64_t state[8] = {};
  const std::vector<uint8_t> block(128, 1);
  EXPECT_FALSE(paths::CompressWith(paths::Count(), state, block.data(), 1));
#if defined(__i386__) || defined(__x86_64__)
  // x86 builds carry the MMX and SSE2 paths of 32-bit processors.
  std::vector<std::string> names;
  for (int p = 0; p < paths::Count(); ++p) names.push_back(paths::Name(p));
  EXPECT_NE(std::find(names.begin(), names.end(), "mmx"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "sse2"), names.end());
#endif
}

// Every compression path gives the portable path's state, for single blocks and long
// runs of blocks; a path this processor cannot run is reported as skipped.
class Sha512Path : public ::testing::TestWithParam<int> {};

TEST_P(Sha512Path, AgreesWithPortablePath) {
  namespace paths = gca::sha512_paths;
  const int path = GetParam();
  if (!paths::Available(path)) GTEST_SKIP() << "path " << paths::Name(path) << " cannot run on this processor";
  const std::vector<uint8_t> data = LcgBytes(128 * 300, 11);
  std::mt19937_64 rng(static_cast<uint64_t>(path));
  for (size_t blocks : {size_t(1), size_t(2), size_t(300)}) {
    uint64_t ref[8];
    for (auto& w : ref) w = rng();
    uint64_t got[8];
    std::memcpy(got, ref, sizeof got);
    ASSERT_TRUE(paths::CompressWith(0, ref, data.data(), blocks));
    ASSERT_TRUE(paths::CompressWith(path, got, data.data(), blocks));
    EXPECT_EQ(0, std::memcmp(ref, got, sizeof ref)) << paths::Name(path) << " " << blocks;
  }
  // The digest of a published vector through this path alone.
  uint64_t state[8] = {0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull, 0x3c6ef372fe94f82bull,
                       0xa54ff53a5f1d36f1ull, 0x510e527fade682d1ull, 0x9b05688c2b3e6c1full,
                       0x1f83d9abfb41bd6bull, 0x5be0cd19137e2179ull};
  uint8_t abc[128] = {'a', 'b', 'c', 0x80};
  abc[127] = 24;  // the message length in bits
  ASSERT_TRUE(paths::CompressWith(path, state, abc, 1));
  EXPECT_EQ(state[0], 0xddaf35a193617abaull) << paths::Name(path);
  EXPECT_EQ(state[3], 0x0a9eeee64b55d39aull) << paths::Name(path);
  EXPECT_EQ(state[7], 0x2a9ac94fa54ca49full) << paths::Name(path);
}

std::string PathName(const ::testing::TestParamInfo<int>& info) {
  return gca::sha512_paths::Name(info.param);
}

INSTANTIATE_TEST_SUITE_P(ProcessorPaths, Sha512Path,
                         ::testing::Range(1, gca::sha512_paths::Count()), PathName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Sha512Path);

TEST(Sha512, ProcessorTestGivesAFlag) {
  const int mmx = gca::HasMmx();
  EXPECT_TRUE(mmx == 0 || mmx == 1);
#if defined(__x86_64__)
  EXPECT_EQ(mmx, 1);  // every 64-bit x86 processor has MMX
#endif
}

// --- CRC-32 --------------------------------------------------------------------------

TEST(Crc32, CheckValueAndEmpty) {
  gca::Crc32 crc;
  EXPECT_EQ(crc.Compute("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(crc.Compute(nullptr, 0), 0u);
  EXPECT_EQ(crc.Update(nullptr, 0, 0x12345678u), 0x12345678u);
  EXPECT_EQ(crc.Compute("a", 1), 0xE8B7BE43u);
}

TEST(Crc32, MatchesReferenceVectors) {
  gca::Crc32 crc;
  for (const CrcVector& v : kLcgCrc32) {
    const std::vector<uint8_t> data = LcgBytes(v.length, v.seed);
    EXPECT_EQ(crc.Compute(data.data(), v.length), v.crc) << "length " << v.length;
    // Unaligned starts go through the same fast path.
    std::vector<uint8_t> shifted(data.size() + 3);
    if (!data.empty()) std::memcpy(shifted.data() + 3, data.data(), data.size());
    EXPECT_EQ(crc.Compute(shifted.data() + 3, v.length), v.crc) << "length " << v.length;
  }
}

// Every update path against the reference vectors and the portable path: lengths around
// the table, fold and lane boundaries, any start alignment, continued from any value and
// split anywhere; a path this processor cannot run is reported as skipped.
class Crc32Path : public ::testing::TestWithParam<int> {};

TEST_P(Crc32Path, AgreesWithVectorsAndPortablePath) {
  namespace paths = gca::crc32_paths;
  const int path = GetParam();
  if (!paths::Available(path)) GTEST_SKIP() << paths::Name(path) << " cannot run on this processor";
  auto with = [path](const uint8_t* p, size_t n, uint32_t crc, int which) {
    EXPECT_TRUE(paths::UpdateWith(which < 0 ? path : which, p, static_cast<uint32_t>(n), &crc));
    return crc;
  };
  EXPECT_EQ(with(reinterpret_cast<const uint8_t*>("123456789"), 9, 0, -1), 0xCBF43926u);
  for (const CrcVector& v : kLcgCrc32) {
    std::vector<uint8_t> data = LcgBytes(v.length, v.seed);
    data.push_back(0);  // a non-empty buffer, also for length 0
    EXPECT_EQ(with(data.data(), v.length, 0, -1), v.crc) << "length " << v.length;
  }
  const std::vector<uint8_t> data = LcgBytes((1 << 20) + 64, 31);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 320; ++n) lengths.push_back(n);
  for (size_t n : {511, 512, 513, 1000, 4095, 16383, 16384, 16401, 65536 + 77, 1 << 20})
    lengths.push_back(n);
  std::mt19937 rng(static_cast<unsigned>(path));
  for (size_t n : lengths) {
    for (size_t start : {0, 1, 4, 15}) {
      const uint8_t* p = data.data() + start;
      const uint32_t seed = rng();
      const uint32_t want = with(p, n, seed, 0);
      ASSERT_EQ(with(p, n, seed, -1), want) << "length " << n << " at " << start;
      const size_t cut = rng() % (n + 1);
      EXPECT_EQ(with(p + cut, n - cut, with(p, cut, seed, -1), -1), want) << "cut " << cut;
    }
  }
}

std::string CrcPathName(const ::testing::TestParamInfo<int>& info) {
  return gca::crc32_paths::Name(info.param);
}

INSTANTIATE_TEST_SUITE_P(ProcessorPaths, Crc32Path,
                         ::testing::Range(0, gca::crc32_paths::Count()), CrcPathName);

TEST(Crc32, PathTableIsWellFormed) {
  namespace paths = gca::crc32_paths;
  EXPECT_STREQ(paths::Name(0), "portable");
  EXPECT_TRUE(paths::Available(0));
  EXPECT_FALSE(paths::Available(paths::Count()));
  uint32_t crc = 7;
  EXPECT_FALSE(paths::UpdateWith(-1, "x", 1, &crc));
  EXPECT_EQ(crc, 7u);
#if defined(__i386__) || defined(__x86_64__)
  ASSERT_EQ(paths::Count(), 2);  // x86 builds carry the carry-less multiply path
  EXPECT_STREQ(paths::Name(1), "pclmul");
#endif
}

#ifdef GU_TEST_WITH_ZLIB
TEST(Crc32, RandomBuffersMatchZlib) {
  gca::Crc32 crc;
  std::mt19937 rng(12345);
  std::vector<uint8_t> data(1 << 17);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (int round = 0; round < 200; ++round) {
    const size_t start = rng() % 64;
    const size_t n = rng() % (data.size() - start);
    const uint32_t seed = rng();
    EXPECT_EQ(crc.Update(data.data() + start, static_cast<uint32_t>(n), seed),
              static_cast<uint32_t>(::crc32(seed, data.data() + start, static_cast<uInt>(n))))
        << "start " << start << " length " << n;
  }
  // Around the length where long buffers are split into three chains.
  for (size_t n = 16384 - 40; n < 16384 + 3 * 16 + 40; ++n) {
    ASSERT_EQ(crc.Compute(data.data() + 1, static_cast<uint32_t>(n)),
              static_cast<uint32_t>(::crc32(0, data.data() + 1, static_cast<uInt>(n))))
        << "length " << n;
  }
}

TEST(Crc32, CombineMatchesZlibBeyondFourGigabytes) {
  gca::Crc32 crc;
  std::mt19937_64 rng(99);
  for (int round = 0; round < 100; ++round) {
    const uint32_t a = static_cast<uint32_t>(rng());
    const uint32_t b = static_cast<uint32_t>(rng());
    const uint64_t len = (uint64_t(1) << 32) + (rng() % (uint64_t(1) << 40));
    EXPECT_EQ(crc.Combine(a, 0, b, len),
              static_cast<uint32_t>(crc32_combine(a, b, static_cast<z_off_t>(len))))
        << "length " << len;
  }
}
#endif

TEST(Crc32, AnySplitEqualsOneUpdate) {
  gca::Crc32 crc;
  const std::vector<uint8_t> data = LcgBytes(5000, 77);
  const uint32_t whole = crc.Compute(data.data(), 5000);
  for (uint32_t cut : {0u, 1u, 7u, 15u, 16u, 17u, 2500u, 4999u, 5000u}) {
    const uint32_t first = crc.Compute(data.data(), cut);
    EXPECT_EQ(crc.Update(data.data() + cut, 5000 - cut, first), whole) << "cut " << cut;
  }
}

TEST(Crc32, CombineEqualsCrcOfConcatenation) {
  gca::Crc32 crc;
  const std::vector<uint8_t> a = LcgBytes(1234, 5);
  const uint32_t crc_a = crc.Compute(a.data(), 1234);
  for (uint32_t len : {0u, 1u, 7u, 1u << 20, (1u << 20) + 13}) {
    const std::vector<uint8_t> b = LcgBytes(len, 6 + len);
    const uint32_t crc_b = crc.Compute(b.data(), len);
    const uint32_t joined = crc.Update(b.data(), len, crc_a);
    EXPECT_EQ(crc.Combine(crc_a, 1234, crc_b, len), joined) << "length " << len;
    // The first length takes no part.
    EXPECT_EQ(crc.Combine(crc_a, 0, crc_b, len), joined);
  }
  EXPECT_EQ(crc.Combine(0xDEADBEEFu, 99, 0x01020304u, 0), 0xDEADBEEFu ^ 0x01020304u);
}

// Lengths above 2^32 without 4 GiB of real data: the CRC of 2^32 zero bytes is built
// from 4096 combinations of 2^20 zero bytes (each checked against real data), and must
// agree with the single operator for 2^32 and with a tail combined on either side.
TEST(Crc32, CombineBeyondFourGigabytesIsConsistent) {
  gca::Crc32 crc;
  const std::vector<uint8_t> zeros(1 << 20, 0);
  const uint32_t mib_crc = crc.Compute(zeros.data(), 1u << 20);
  const uint32_t start = crc.Compute("some data", 9);
  ASSERT_EQ(crc.Combine(start, 9, mib_crc, 1u << 20), crc.Update(zeros.data(), 1u << 20, start));

  uint32_t with_zeros = start;  // CRC of "some data" and 2^32 zero bytes
  uint32_t only_zeros = 0;      // CRC of 2^32 zero bytes
  for (int i = 0; i < 4096; ++i) {
    with_zeros = crc.Combine(with_zeros, 0, mib_crc, 1u << 20);
    only_zeros = crc.Combine(only_zeros, 0, mib_crc, 1u << 20);
  }
  const uint64_t four_gib = uint64_t(1) << 32;
  EXPECT_EQ(crc.Combine(start, 9, only_zeros, four_gib), with_zeros);

  const std::vector<uint8_t> tail = LcgBytes(77, 3);
  const uint32_t zeros_then_tail = crc.Update(tail.data(), 77, only_zeros);
  EXPECT_EQ(crc.Combine(start, 9, zeros_then_tail, four_gib + 77),
            crc.Update(tail.data(), 77, with_zeros));
  // Three pieces, grouped either way.
  const uint32_t crc_tail = crc.Compute(tail.data(), 77);
  EXPECT_EQ(crc.Combine(crc.Combine(start, 9, only_zeros, four_gib), 0, crc_tail, 77),
            crc.Combine(start, 9, crc.Combine(only_zeros, four_gib, crc_tail, 77), four_gib + 77));
}

}  // namespace
