// MT19937 generator and the keyed stream cipher built on it.
#include "codec/archive_cipher.h"

#include <cstring>

#include "codec/cpu_features.h"
#include "codec/sha512.h"

namespace gca {

const char kDefaultArchiveKey[] = "QuorvexPinnaclefy";

namespace {

constexpr int kN = 624;
constexpr int kM = 397;
constexpr uint32_t kMatrix = 0x9908B0DFu;
constexpr uint32_t kUpper = 0x80000000u;
constexpr uint32_t kLower = 0x7FFFFFFFu;
constexpr uint32_t kDefaultSeed = 4357;

// The first word of the classic seeding sequence for x; x moves on by two LCG steps.
inline uint32_t ClassicSeedWord(uint32_t& x) {
  const uint32_t next = x * 69069u + 1u;
  const uint32_t word = (x & 0xFFFF0000u) | (next >> 16);
  x = next * 69069u + 1u;
  return word;
}

inline uint32_t Twist(uint32_t upper, uint32_t lower, uint32_t far) {
  const uint32_t y = (upper & kUpper) | (lower & kLower);
  return far ^ (y >> 1) ^ ((0u - (y & 1u)) & kMatrix);
}

inline uint32_t Rotl(uint32_t v, uint32_t r) {
  return (v << r) | (v >> ((32u - r) & 31u));
}

inline uint32_t FoldShift(uint32_t t) {
  t ^= t >> 16;
  return (t ^ (t >> 8)) & 31u;
}

// Eight generator outputs folded into one keystream word.
inline uint32_t FoldWord(const uint32_t* g) {
  const uint32_t a = g[0] ^ g[2];
  const uint32_t b = g[4] ^ g[6];
  return Rotl(a, FoldShift(g[1] ^ g[3])) ^ Rotl(b, FoldShift(g[5] ^ g[7]));
}

}  // namespace

// ---------------------------------------------------------------------------
// MersenneTwister

MersenneTwister::MersenneTwister() : index_(0), use_mmx_(HasMmx()) {
  std::memset(state_, 0, sizeof(state_));
  std::memset(output_, 0, sizeof(output_));
  SeedInt(kDefaultSeed);
}

MersenneTwister::~MersenneTwister() = default;

void MersenneTwister::SeedInt(uint32_t seed) {
  uint32_t x = seed;
  for (int i = 0; i < kN; ++i) state_[i] = ClassicSeedWord(x);
  Regenerate();
}

void MersenneTwister::SeedArray(const uint32_t* words, int32_t count) {
  if (words == nullptr || count < 1) return;  // no state to load
  for (int i = 0; i < kN; ++i) state_[i] = words[i % count];
  Regenerate();
}

uint32_t MersenneTwister::Next() {
  if (index_ >= kN || index_ < 0) Regenerate();
  return output_[index_++];
}

void MersenneTwister::NextEight(uint32_t out[8]) {
  if (index_ >= 0 && index_ <= kN - 8) {
    std::memcpy(out, output_ + index_, 8 * sizeof(uint32_t));
    index_ += 8;
    return;
  }
  for (int i = 0; i < 8; ++i) out[i] = Next();
}

// The plain loops are written so that the compiler can keep several words in vector
// registers at once.
#define GCA_REGENERATE_BODY                                                                \
  for (int i = 0; i < kN - kM; ++i) mt[i] = Twist(mt[i], mt[i + 1], mt[i + kM]);           \
  for (int i = kN - kM; i < kN - 1; ++i) mt[i] = Twist(mt[i], mt[i + 1], mt[i + kM - kN]); \
  mt[kN - 1] = Twist(mt[kN - 1], mt[0], mt[kM - 1]);                                       \
  for (int i = 0; i < kN; ++i) {                                                           \
    uint32_t y = mt[i];                                                                    \
    y ^= y >> 11;                                                                          \
    y ^= (y << 7) & 0x9D2C5680u;                                                           \
    y ^= (y << 15) & 0xEFC60000u;                                                          \
    y ^= y >> 18;                                                                          \
    out[i] = y;                                                                            \
  }

namespace {

void RegeneratePlain(uint32_t* mt, uint32_t* out) { GCA_REGENERATE_BODY }

#if defined(__i386__) && defined(__GNUC__)
// The same loops for 32-bit processors with SSE2 (the default 32-bit code has none),
// chosen by CPUID.
__attribute__((target("sse2"))) void RegenerateSse2(uint32_t* mt, uint32_t* out) {
  GCA_REGENERATE_BODY
}

bool HasSse2() { return ProcessorFeatures().Sse2; }
#endif

}  // namespace

#undef GCA_REGENERATE_BODY

void MersenneTwister::Regenerate() {
  // Both processor paths give the same words.
#if defined(__i386__) && defined(__GNUC__)
  if (use_mmx_ != 0 && HasSse2()) {
    RegenerateSse2(state_, output_);
    index_ = 0;
    return;
  }
#endif
  RegeneratePlain(state_, output_);
  index_ = 0;
}

// ---------------------------------------------------------------------------
// ArchiveCipher

ArchiveCipher::ArchiveCipher() { Reset(); }

ArchiveCipher::~ArchiveCipher() = default;

void ArchiveCipher::SetKey(std::string key) {
  counter_ = 0;
  uint32_t w[kN] = {};
  const size_t n = key.size();
  for (size_t i = 0; i < n; ++i) {
    // Key bytes count as signed: 0xE9 gives 0xFFFFFFE9, 0x41 gives 0x41414141.
    const uint32_t b = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(key[i])));
    uint32_t r = b | (b << 8);
    r |= r << 16;
    const size_t k = (i + 1) % kN;
    w[k] = r ^ (w[k] << 8);
  }
  const size_t used = n + 1 < size_t(kN) ? n + 1 : size_t(kN);
  uint32_t s[kN];
  uint32_t x = kDefaultSeed;
  for (int i = 0; i < kN; ++i) s[i] = ClassicSeedWord(x) ^ w[size_t(i) % used];
  generator_.SeedArray(s, kN);
}

void ArchiveCipher::SeedArray(const uint32_t* words, int32_t count) {
  counter_ = 0;
  generator_.SeedArray(words, count);
}

void ArchiveCipher::SeedInt(uint32_t seed) {
  counter_ = 0;
  generator_.SeedInt(seed);
}

void ArchiveCipher::Reset() {
  counter_ = 0;
  generator_.SeedInt(kDefaultSeed);
}

uint32_t ArchiveCipher::NextWord() {
  uint32_t g[8];
  generator_.NextEight(g);
  return FoldWord(g);
}

uint8_t ArchiveCipher::NextByte() {
  const uint32_t j = counter_ & 3u;
  if (j == 0) word_ = NextWord();
  ++counter_;
  return static_cast<uint8_t>(word_ >> (8 * j));
}

static inline void XorWord(uint8_t* p, uint32_t w) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint32_t v;
  std::memcpy(&v, p, 4);
  v ^= w;
  std::memcpy(p, &v, 4);
#else
  p[0] ^= static_cast<uint8_t>(w);
  p[1] ^= static_cast<uint8_t>(w >> 8);
  p[2] ^= static_cast<uint8_t>(w >> 16);
  p[3] ^= static_cast<uint8_t>(w >> 24);
#endif
}

// XORs whole keystream words over p; the counter is at a word boundary.
void ArchiveCipher::XorWords(uint8_t* p, uint32_t words) {
  MersenneTwister& g = generator_;
  uint32_t w = word_;
  counter_ += 4 * words;
  while (words != 0) {
    if (g.index_ >= kN) g.Regenerate();
    const int32_t ready = (kN - g.index_) / 8;
    if (ready == 0 || g.index_ < 0) {  // outputs not in runs of eight: one at a time
      w = NextWord();
      XorWord(p, w);
      p += 4;
      --words;
      continue;
    }
    const uint32_t run = words < uint32_t(ready) ? words : uint32_t(ready);
    const uint32_t* out = g.output_ + g.index_;
    for (uint32_t i = 0; i < run; ++i, out += 8, p += 4) {
      w = FoldWord(out);
      XorWord(p, w);
    }
    g.index_ += int32_t(8 * run);
    words -= run;
  }
  word_ = w;
}

void ArchiveCipher::Encrypt(void* buffer, int32_t length) {
  if (buffer == nullptr || length <= 0) return;
  uint8_t* p = static_cast<uint8_t*>(buffer);
  uint32_t left = static_cast<uint32_t>(length);
  // Finish the current keystream word byte by byte.
  while (left != 0 && (counter_ & 3u) != 0) {
    *p++ ^= NextByte();
    --left;
  }
  // Whole words: four bytes of one keystream word, low byte first.
  const uint32_t words = left / 4;
  if (words != 0) {
    XorWords(p, words);
    p += 4 * size_t(words);
    left -= 4 * words;
  }
  while (left-- != 0) *p++ ^= NextByte();
}

void ArchiveCipher::Decrypt(void* buffer, int32_t length) { Encrypt(buffer, length); }

}  // namespace gca
