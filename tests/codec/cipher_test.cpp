// MT19937 generator and archive cipher, checked against the standard library's MT19937
// and an independent rendering of the key schedule.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "codec/archive_cipher.h"

namespace {

constexpr int kN = 624;

// The classic LCG-based seeding, written out independently.
std::vector<uint32_t> ClassicSeeding(uint32_t seed) {
  std::vector<uint32_t> s(kN);
  for (int i = 0; i < kN; ++i) {
    s[i] = seed & 0xFFFF0000u;
    seed = 69069u * seed + 1u;
    s[i] |= (seed & 0xFFFF0000u) >> 16;
    seed = 69069u * seed + 1u;
  }
  return s;
}

// A standard generator whose next output is the first one after twisting the given state.
std::mt19937 StdGeneratorFromState(const std::vector<uint32_t>& state) {
  std::stringstream text;
  for (uint32_t w : state) text << w << ' ';
  text << kN;  // position: used up, so the next call twists
  std::mt19937 g;
  text >> g;
  EXPECT_FALSE(text.fail());
  return g;
}

// The key schedule: key bytes as sign-extended words, shifted into W[1..], wrapped at 624.
std::vector<uint32_t> ScheduleFor(const std::string& key) {
  std::vector<uint32_t> w(kN, 0);
  for (size_t i = 0; i < key.size(); ++i) {
    const uint8_t byte = static_cast<uint8_t>(key[i]);
    const uint32_t r = byte < 0x80 ? byte * 0x01010101u : 0xFFFFFF00u | byte;
    uint32_t& slot = w[(i + 1) % kN];
    slot = r ^ (slot << 8);
  }
  const size_t used = std::min<size_t>(key.size() + 1, kN);
  std::vector<uint32_t> s = ClassicSeeding(4357);
  for (int i = 0; i < kN; ++i) s[i] ^= w[i % used];
  return s;
}

uint32_t Rotl(uint32_t v, unsigned r) { return r == 0 ? v : (v << r) | (v >> (32 - r)); }

// Keystream bytes from a standard generator, following the folding rule.
std::vector<uint8_t> ReferenceKeystream(std::mt19937 g, size_t n) {
  std::vector<uint8_t> out;
  while (out.size() < n) {
    uint32_t o[8];
    for (auto& v : o) v = static_cast<uint32_t>(g());
    uint32_t t = o[1] ^ o[3];
    t ^= t >> 16;
    uint32_t u = o[5] ^ o[7];
    u ^= u >> 16;
    const uint32_t word = Rotl(o[0] ^ o[2], (t ^ (t >> 8)) & 31) ^
                          Rotl(o[4] ^ o[6], (u ^ (u >> 8)) & 31);
    for (int j = 0; j < 4 && out.size() < n; ++j) out.push_back(uint8_t(word >> (8 * j)));
  }
  return out;
}

std::vector<uint8_t> Keystream(gca::ArchiveCipher& c, size_t n) {
  std::vector<uint8_t> buf(n, 0);
  c.Encrypt(buf.data(), static_cast<int32_t>(n));
  return buf;
}

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 131 + 17);
  return v;
}

// --- generator -----------------------------------------------------------------------

TEST(MersenneTwister, IntegerSeedingMatchesStandardGenerator) {
  for (uint32_t seed : {4357u, 0u, 1u, 0xFFFFFFFFu, 19650218u}) {
    gca::MersenneTwister mt;
    mt.SeedInt(seed);
    std::mt19937 ref = StdGeneratorFromState(ClassicSeeding(seed));
    for (int i = 0; i < 3 * kN + 5; ++i) {
      ASSERT_EQ(mt.Next(), static_cast<uint32_t>(ref())) << "seed " << seed << " output " << i;
    }
  }
}

TEST(MersenneTwister, ConstructionSeedsWith4357) {
  gca::MersenneTwister fresh;
  std::mt19937 ref = StdGeneratorFromState(ClassicSeeding(4357));
  for (int i = 0; i < 700; ++i) ASSERT_EQ(fresh.Next(), static_cast<uint32_t>(ref()));
}

TEST(MersenneTwister, ArraySeedingRepeatsWordsAndMatchesStandardGenerator) {
  std::mt19937 rng(42);
  for (int count : {1, 5, 623, 624, 1000}) {
    std::vector<uint32_t> words(count);
    for (auto& w : words) w = static_cast<uint32_t>(rng());
    std::vector<uint32_t> state(kN);
    for (int i = 0; i < kN; ++i) state[i] = words[i % count];
    gca::MersenneTwister mt;
    mt.SeedArray(words.data(), count);
    std::mt19937 ref = StdGeneratorFromState(state);
    for (int i = 0; i < 2 * kN; ++i) ASSERT_EQ(mt.Next(), static_cast<uint32_t>(ref())) << count;
  }
}

TEST(MersenneTwister, EmptyArrayIsRejectedAndChangesNothing) {
  gca::MersenneTwister a;
  gca::MersenneTwister b;
  a.Next();
  b.Next();
  uint32_t word = 1;
  a.SeedArray(&word, 0);
  a.SeedArray(nullptr, 5);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(a.Next(), b.Next());
}

TEST(MersenneTwister, NextEightEqualsEightCallsAtAnyPosition) {
  gca::MersenneTwister a;
  gca::MersenneTwister b;
  for (int step = 0; step < 400; ++step) {
    a.Next();  // drift so that the eight straddle a regeneration now and then
    b.Next();
    uint32_t eight[8];
    a.NextEight(eight);
    for (int i = 0; i < 8; ++i) ASSERT_EQ(eight[i], b.Next()) << step;
  }
}

// --- cipher --------------------------------------------------------------------------

TEST(ArchiveCipher, FreshAndResetFollowTheDefaultSeed) {
  const std::vector<uint8_t> ref = ReferenceKeystream(StdGeneratorFromState(ClassicSeeding(4357)), 2000);
  gca::ArchiveCipher c;
  EXPECT_EQ(Keystream(c, 2000), ref);
  c.Reset();
  EXPECT_EQ(Keystream(c, 2000), ref);
  c.SeedInt(4357);
  EXPECT_EQ(Keystream(c, 2000), ref);
}

TEST(ArchiveCipher, EmptyKeyEqualsReset) {
  gca::ArchiveCipher keyed;
  gca::ArchiveCipher reset;
  Keystream(keyed, 17);  // move away from the start first
  keyed.SetKey("");
  reset.Reset();
  EXPECT_EQ(Keystream(keyed, 5000), Keystream(reset, 5000));
}

TEST(ArchiveCipher, KeyScheduleMatchesIndependentRendering) {
  std::string long_key;
  for (int i = 0; i < 700; ++i) long_key.push_back(static_cast<char>(i * 7 + 1));
  const std::string keys[] = {
      "A",
      gca::kDefaultArchiveKey,
      std::string(gca::kDefaultArchiveKey) + "data\\file.bin",
      std::string("\x80\xE9\xFF\x7F\x00zz", 7),  // high bytes and an embedded zero
      std::string(623, 'k'),
      std::string(624, 'k'),
      std::string(625, '\xC3'),
      long_key,
  };
  for (const std::string& key : keys) {
    gca::ArchiveCipher c;
    c.SetKey(key);
    const std::vector<uint8_t> ref = ReferenceKeystream(StdGeneratorFromState(ScheduleFor(key)), 3000);
    EXPECT_EQ(Keystream(c, 3000), ref) << "key length " << key.size();
    // The same schedule through SeedArray.
    std::vector<uint32_t> s = ScheduleFor(key);
    gca::ArchiveCipher seeded;
    seeded.SeedArray(s.data(), kN);
    EXPECT_EQ(Keystream(seeded, 3000), ref);
  }
  EXPECT_EQ(std::string(gca::kDefaultArchiveKey), "QuorvexPinnaclefy");
}

TEST(ArchiveCipher, HighKeyBytesAreSignExtended) {
  // 0xE9 must contribute 0xFFFFFFE9 at W[1], not 0xE9E9E9E9.
  std::vector<uint32_t> signed_state = ClassicSeeding(4357);
  std::vector<uint32_t> repeated_state = signed_state;
  for (int i = 1; i < kN; i += 2) {  // L = 2: W[1] lands on every odd word
    signed_state[i] ^= 0xFFFFFFE9u;
    repeated_state[i] ^= 0xE9E9E9E9u;
  }
  gca::ArchiveCipher c;
  c.SetKey("\xE9");
  const std::vector<uint8_t> got = Keystream(c, 400);
  EXPECT_EQ(got, ReferenceKeystream(StdGeneratorFromState(signed_state), 400));
  EXPECT_NE(got, ReferenceKeystream(StdGeneratorFromState(repeated_state), 400));
}

TEST(ArchiveCipher, SplitsGiveTheSameBytesAsOneCall) {
  const std::vector<uint8_t> plain = Pattern(20000);
  gca::ArchiveCipher whole;
  whole.SetKey("split key");
  std::vector<uint8_t> expected = plain;
  whole.Encrypt(expected.data(), static_cast<int32_t>(expected.size()));

  for (size_t piece : {1, 3, 4, 5, 312, 313}) {
    gca::ArchiveCipher c;
    c.SetKey("split key");
    std::vector<uint8_t> buf = plain;
    for (size_t at = 0; at < buf.size(); at += piece) {
      c.Encrypt(buf.data() + at, static_cast<int32_t>(std::min(piece, buf.size() - at)));
    }
    EXPECT_EQ(buf, expected) << "piece " << piece;
  }
  // Mixed piece sizes, odd buffer offsets.
  std::mt19937 rng(3);
  gca::ArchiveCipher c;
  c.SetKey("split key");
  std::vector<uint8_t> buf = plain;
  for (size_t at = 0; at < buf.size();) {
    const size_t n = std::min<size_t>(rng() % 40, buf.size() - at);
    c.Decrypt(buf.data() + at, static_cast<int32_t>(n));
    at += n;
  }
  EXPECT_EQ(buf, expected);
}

TEST(ArchiveCipher, EncryptTwiceRestoresAndDecryptIsTheSame) {
  const std::vector<uint8_t> plain = Pattern(1001);
  std::vector<uint8_t> buf = plain;
  gca::ArchiveCipher c;
  c.SetKey("k");
  c.Encrypt(buf.data(), 1001);
  EXPECT_NE(buf, plain);
  std::vector<uint8_t> dec = buf;
  c.SetKey("k");
  c.Decrypt(dec.data(), 1001);
  EXPECT_EQ(dec, plain);
}

TEST(ArchiveCipher, NonPositiveLengthDoesNothing) {
  gca::ArchiveCipher a;
  gca::ArchiveCipher b;
  uint8_t byte = 0x5A;
  a.Encrypt(&byte, 0);
  a.Encrypt(&byte, -7);
  a.Encrypt(nullptr, 10);
  EXPECT_EQ(byte, 0x5A);
  EXPECT_EQ(Keystream(a, 100), Keystream(b, 100));
}

TEST(ArchiveCipher, SnapshotResumesTheKeystream) {
  gca::ArchiveCipher c;
  c.SetKey("snapshot");
  for (size_t before : {0, 1, 311, 312, 313, 1000}) {
    c.SetKey("snapshot");
    Keystream(c, before);
    const gca::ArchiveCipher copy(c);   // copy construction
    const std::vector<uint8_t> next = Keystream(c, 777);
    Keystream(c, 50);                   // move on past the snapshot
    gca::ArchiveCipher assigned;
    assigned = copy;                    // copy assignment
    c = copy;
    EXPECT_EQ(Keystream(c, 777), next) << before;
    EXPECT_EQ(Keystream(assigned, 777), next) << before;
  }
}

}  // namespace
