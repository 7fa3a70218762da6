// CRC-32 (reflected 0xEDB88320) with slicing-by-16 updates, a carry-less multiply path
// chosen by CPUID, and a combination built on 64 shift operators, one for each power of
// two of appended zero bytes.
#include "codec/crc32.h"

#include <cstddef>
#include <cstring>

#include "codec/cpu_features.h"
#include "codec/crc32_paths.h"
#include "codec/threads.h"

#if (defined(__i386__) || defined(__x86_64__)) && defined(__GNUC__)
#define GCA_CRC32_PCLMUL 1
#include <emmintrin.h>
#include <wmmintrin.h>
#endif

namespace gca {
namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;
constexpr int kSlices = 16;

struct CrcTables;
// Continues a finished CRC value over the data.
using UpdateFunction = uint32_t (*)(const CrcTables& t, const uint8_t* p, uint32_t length,
                                    uint32_t crc);

struct UpdatePath {
  const char* name;
  UpdateFunction function;
  bool available;
};

constexpr int kMaxPaths = 2;

struct CrcTables {
  // slice[0] is the byte table; slice[k][i] is the CRC register after byte i is
  // followed by k zero bytes, so 16 bytes can be folded with 16 independent lookups.
  uint32_t slice[kSlices][256];
  // shift[k] appends 2^k zero bytes to a finished CRC value.
  uint32_t shift[64][32];
  // The update paths from slowest to fastest, and the fastest one this processor runs.
  UpdatePath paths[kMaxPaths];
  int path_count;
  UpdateFunction chosen;
};

CrcTables g_tables;
OnceFlag g_tables_once;

uint32_t ApplyOperator(const uint32_t* matrix, uint32_t vector) {
  uint32_t sum = 0;
  for (int j = 0; vector != 0; ++j, vector >>= 1) {
    if (vector & 1u) sum ^= matrix[j];
  }
  return sum;
}

// square = matrix * matrix; the two must not overlap.
void SquareOperator(uint32_t* square, const uint32_t* matrix) {
  for (int j = 0; j < 32; ++j) square[j] = ApplyOperator(matrix, matrix[j]);
}

inline uint32_t LoadLe32(const uint8_t* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
#else
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) |
         (uint32_t(p[3]) << 24);
#endif
}

// Sixteen bytes folded into the register c with sixteen independent lookups.
inline uint32_t Fold16(const CrcTables& t, const uint8_t* p, uint32_t c) {
  const uint32_t w0 = LoadLe32(p) ^ c;
  const uint32_t w1 = LoadLe32(p + 4);
  const uint32_t w2 = LoadLe32(p + 8);
  const uint32_t w3 = LoadLe32(p + 12);
  const uint32_t x0 = t.slice[15][w0 & 0xFF] ^ t.slice[14][(w0 >> 8) & 0xFF] ^
                      t.slice[13][(w0 >> 16) & 0xFF] ^ t.slice[12][w0 >> 24];
  const uint32_t x1 = t.slice[11][w1 & 0xFF] ^ t.slice[10][(w1 >> 8) & 0xFF] ^
                      t.slice[9][(w1 >> 16) & 0xFF] ^ t.slice[8][w1 >> 24];
  const uint32_t x2 = t.slice[7][w2 & 0xFF] ^ t.slice[6][(w2 >> 8) & 0xFF] ^
                      t.slice[5][(w2 >> 16) & 0xFF] ^ t.slice[4][w2 >> 24];
  const uint32_t x3 = t.slice[3][w3 & 0xFF] ^ t.slice[2][(w3 >> 8) & 0xFF] ^
                      t.slice[1][(w3 >> 16) & 0xFF] ^ t.slice[0][w3 >> 24];
  return (x0 ^ x1) ^ (x2 ^ x3);
}

// Raw register update (no inversion) over any length.
uint32_t UpdateRegister(const CrcTables& t, const uint8_t* p, size_t length, uint32_t c) {
  for (; length >= kSlices; length -= kSlices, p += kSlices) c = Fold16(t, p, c);
  for (; length >= 4; length -= 4, p += 4) {
    c ^= LoadLe32(p);
    c = t.slice[3][c & 0xFF] ^ t.slice[2][(c >> 8) & 0xFF] ^ t.slice[1][(c >> 16) & 0xFF] ^
        t.slice[0][c >> 24];
  }
  while (length-- != 0) c = t.slice[0][(c ^ *p++) & 0xFFu] ^ (c >> 8);
  return c;
}

// Below this length one chain is used; above it, three chains run side by side over
// three thirds of the data and are joined with the shift operators.
constexpr uint32_t kSplitLength = 16384;

uint32_t ShiftByBytes(const CrcTables& t, uint32_t crc, uint64_t bytes) {
  for (int k = 0; k < 64 && bytes != 0; ++k, bytes >>= 1) {
    if (bytes & 1u) crc = ApplyOperator(t.shift[k], crc);
  }
  return crc;
}

uint32_t UpdatePortable(const CrcTables& t, const uint8_t* p, uint32_t length, uint32_t crc) {
  uint32_t c = ~crc;
  if (length >= kSplitLength) {
    // Three chains over equal thirds (whole 16-byte groups), each started from zero
    // except the first; a zero register stays zero over zero bytes, so each chain's
    // register only needs to be moved past the data that follows it.
    const size_t third = (length / 3) & ~size_t(kSlices - 1);
    const uint8_t* p1 = p + third;
    const uint8_t* p2 = p1 + third;
    uint32_t c1 = 0;
    uint32_t c2 = 0;
    for (size_t done = 0; done < third; done += kSlices) {
      c = Fold16(t, p + done, c);
      c1 = Fold16(t, p1 + done, c1);
      c2 = Fold16(t, p2 + done, c2);
    }
    c = ShiftByBytes(t, c, third) ^ c1;
    c = ShiftByBytes(t, c, third) ^ c2;
    p += 3 * third;
    length -= static_cast<uint32_t>(3 * third);
  }
  return ~UpdateRegister(t, p, length, c);
}

#if defined(GCA_CRC32_PCLMUL)
// Carry-less multiply path. The data is a polynomial over GF(2) whose first bit (bit 0 of
// the first byte) has the highest degree, and the CRC register is that polynomial times
// x^32 modulo P. Sixteen bytes loaded little-endian give a 128-bit value whose bit i is
// the coefficient of x^(127-i), and a value's bit order is reversed the same way
// everywhere below ("reflected"). A carry-less product of a reflected a (bit i: x^(A-i))
// and b (bit j: x^(B-j)) is reflected with bit t: x^(A+B-t).
//
// Constants are remainders r = x^n mod P, stored with x^32 at bit 0 (bit j: x^(32-j)),
// that is the 32-bit reflected remainder shifted left by one. A 64-bit half (bit i:
// x^(63-i)) times such a constant has bit t: x^(95-t).

// x^n mod P, reflected in 32 bits (bit j: x^(31-j)): x^0 is bit 31, and one more factor x
// moves every bit down by one, folding x^32 back in as P's lower terms.
constexpr uint32_t XPowModP(int n) {
  uint32_t v = 0x80000000u;
  for (int i = 0; i < n; ++i) v = (v & 1u) ? (v >> 1) ^ kPolynomial : v >> 1;
  return v;
}

constexpr uint64_t Multiplier(int n) { return uint64_t(XPowModP(n)) << 1; }

constexpr uint32_t Reverse32(uint32_t v) {
  uint32_t r = 0;
  for (int i = 0; i < 32; ++i) r |= ((v >> i) & 1u) << (31 - i);
  return r;
}

// floor(x^64 / P), of degree 32, with x^32 at bit 0 as the multipliers. The division runs
// in the usual bit order (bit k: x^k); its first step leaves x^32 times P's lower terms.
constexpr uint64_t BarrettQuotient() {
  const uint64_t p_full = (uint64_t(1) << 32) | Reverse32(kPolynomial);
  uint64_t remainder = uint64_t(Reverse32(kPolynomial)) << 32;
  uint64_t quotient = uint64_t(1) << 32;
  for (int d = 63; d >= 32; --d) {
    if ((remainder >> d) & 1u) {
      quotient |= uint64_t(1) << (d - 32);
      remainder ^= p_full << (d - 32);
    }
  }
  uint64_t reflected = 0;
  for (int k = 0; k <= 32; ++k) reflected |= ((quotient >> k) & 1u) << (32 - k);
  return reflected;
}

// P itself with x^32 at bit 0.
constexpr uint64_t kPolynomialFull = (uint64_t(kPolynomial) << 1) | 1u;
constexpr uint64_t kBarrett = BarrettQuotient();
static_assert(XPowModP(32) == kPolynomial, "x^32 mod P is P's lower terms");
static_assert((kBarrett & 1u) == 1u, "the quotient of x^64 by P has degree 32");

// The four lanes start with 64 bytes; shorter data goes through the tables, which are as
// fast up to about 100 bytes.
constexpr uint32_t kPclmulMinLength = 64;

#define GCA_PCLMUL_TARGET __attribute__((target("pclmul,sse2")))
#define GCA_PCLMUL_INLINE GCA_PCLMUL_TARGET inline __attribute__((always_inline))

GCA_PCLMUL_INLINE __m128i Pair(uint64_t low, uint64_t high) {
  return _mm_set_epi32(int(uint32_t(high >> 32)), int(uint32_t(high)), int(uint32_t(low >> 32)),
                       int(uint32_t(low)));
}

// Moves acc forward by k's distance of D bits and adds the data there: acc's low half
// (x^127..x^64) must gain x^(D+64), its high half (x^63..x^0) x^D. A product with a
// constant has bit t: x^(95-t), worth x^32 more in the 128-bit frame (bit t: x^(127-t)),
// so k holds x^(D+32) mod P for the low half and x^(D-32) mod P for the high half.
GCA_PCLMUL_INLINE __m128i Fold(__m128i acc, __m128i k, __m128i data) {
  const __m128i low = _mm_clmulepi64_si128(acc, k, 0x00);
  const __m128i high = _mm_clmulepi64_si128(acc, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), data);
}

// R (128 bits, bit t: x^(127-t)) to the CRC register R x^32 mod P.
GCA_PCLMUL_INLINE uint32_t Reduce(__m128i r) {
  const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
  const __m128i k = Pair(Multiplier(96), Multiplier(64));
  // R x^32 = R_hi x^96 + R_lo x^32 == R_hi (x^96 mod P) + R_lo x^32: 96 bits, bit t: x^(95-t).
  const __m128i w = _mm_xor_si128(_mm_clmulepi64_si128(r, k, 0x00), _mm_srli_si128(r, 8));
  // W = W_hi x^64 + W_lo == W_hi (x^64 mod P) + W_lo: 64 bits, bit t: x^(63-t).
  const __m128i y = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(w, low32), k, 0x10),
                                  _mm_srli_si128(w, 4));
  // Barrett: the quotient q = floor(Y / P) is the upper half of Y_hi floor(x^64 / P), and
  // Y - q P leaves the remainder in bits 32..63.
  const __m128i b = Pair(kBarrett, kPolynomialFull);
  const __m128i q = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(y, low32), b, 0x00), low32);
  const __m128i rem = _mm_xor_si128(y, _mm_clmulepi64_si128(q, b, 0x10));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(rem, 4)));
}

// Four 128-bit lanes over 64-byte strides, joined into one and folded on over whole
// 16-byte blocks; the last few bytes go through the tables. Loads take any alignment:
// measured, aligning the start through the tables cost more than the loads that cross
// a cache line.
// The name says the instruction sets, for the check of the 32-bit programs' code.
GCA_PCLMUL_TARGET uint32_t UpdatePclmulSse2(const CrcTables& t, const uint8_t* p,
                                            uint32_t length, uint32_t crc) {
  if (length < kPclmulMinLength) return UpdatePortable(t, p, length, crc);
  const __m128i* v = reinterpret_cast<const __m128i*>(p);
  // The register so far joins the first four bytes of data.
  __m128i x0 = _mm_xor_si128(_mm_loadu_si128(v), _mm_cvtsi32_si128(static_cast<int>(~crc)));
  __m128i x1 = _mm_loadu_si128(v + 1);
  __m128i x2 = _mm_loadu_si128(v + 2);
  __m128i x3 = _mm_loadu_si128(v + 3);
  v += 4;
  length -= 64;
  const __m128i k512 = Pair(Multiplier(512 + 32), Multiplier(512 - 32));
  for (; length >= 64; length -= 64, v += 4) {
    x0 = Fold(x0, k512, _mm_loadu_si128(v));
    x1 = Fold(x1, k512, _mm_loadu_si128(v + 1));
    x2 = Fold(x2, k512, _mm_loadu_si128(v + 2));
    x3 = Fold(x3, k512, _mm_loadu_si128(v + 3));
  }
  const __m128i k128 = Pair(Multiplier(128 + 32), Multiplier(128 - 32));
  x1 = Fold(x0, k128, x1);
  x2 = Fold(x1, k128, x2);
  x3 = Fold(x2, k128, x3);
  for (; length >= 16; length -= 16, ++v) x3 = Fold(x3, k128, _mm_loadu_si128(v));
  return ~UpdateRegister(t, reinterpret_cast<const uint8_t*>(v), length, Reduce(x3));
}

#undef GCA_PCLMUL_INLINE
#undef GCA_PCLMUL_TARGET
#endif  // GCA_CRC32_PCLMUL

void BuildTables() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
    g_tables.slice[0][i] = c;
  }
  for (int k = 1; k < kSlices; ++k) {
    for (int i = 0; i < 256; ++i) {
      const uint32_t prev = g_tables.slice[k - 1][i];
      g_tables.slice[k][i] = g_tables.slice[0][prev & 0xFFu] ^ (prev >> 8);
    }
  }

  // One zero bit, then squared three times: one zero byte.
  uint32_t odd[32];
  uint32_t even[32];
  odd[0] = kPolynomial;
  for (int i = 1; i < 32; ++i) odd[i] = 1u << (i - 1);
  SquareOperator(even, odd);      // 2 bits
  SquareOperator(odd, even);      // 4 bits
  SquareOperator(g_tables.shift[0], odd);  // 8 bits
  for (int k = 0; k < 63; ++k) SquareOperator(g_tables.shift[k + 1], g_tables.shift[k]);

  int n = 0;
  g_tables.paths[n++] = {"portable", UpdatePortable, true};
#if defined(GCA_CRC32_PCLMUL)
  g_tables.paths[n++] = {"pclmul", UpdatePclmulSse2, ProcessorFeatures().Pclmul};
#endif
  g_tables.path_count = n;
  g_tables.chosen = UpdatePortable;
  for (int i = 0; i < n; ++i) {
    if (g_tables.paths[i].available) g_tables.chosen = g_tables.paths[i].function;
  }
}

const CrcTables& Tables() {
  CallOnce(g_tables_once, BuildTables);
  return g_tables;
}

}  // namespace

Crc32::Crc32() { Tables(); }

Crc32::~Crc32() = default;

uint32_t Crc32::Update(const void* data, uint32_t length, uint32_t crc) const {
  const CrcTables& t = Tables();
  return t.chosen(t, static_cast<const uint8_t*>(data), length, crc);
}

uint32_t Crc32::Compute(const void* data, uint32_t length) const {
  return Update(data, length, 0);
}

uint32_t Crc32::Combine(uint32_t crc1, uint64_t length1, uint32_t crc2,
                        uint64_t length2) const {
  (void)length1;  // the first length does not change where the second data starts
  const CrcTables& t = Tables();
  return ShiftByBytes(t, crc1, length2) ^ crc2;
}

namespace crc32_paths {

int Count() { return Tables().path_count; }

const char* Name(int path) { return path >= 0 && path < Count() ? Tables().paths[path].name : ""; }

bool Available(int path) { return path >= 0 && path < Count() && Tables().paths[path].available; }

bool UpdateWith(int path, const void* data, uint32_t length, uint32_t* crc) {
  if (!Available(path)) return false;
  const CrcTables& t = Tables();
  *crc = t.paths[path].function(t, static_cast<const uint8_t*>(data), length, *crc);
  return true;
}

}  // namespace crc32_paths

}  // namespace gca
