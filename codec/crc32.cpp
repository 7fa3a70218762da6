// CRC-32 (reflected 0xEDB88320) with slicing-by-16 updates and a combination built on
// 64 shift operators, one for each power of two of appended zero bytes.
#include "codec/crc32.h"

#include <cstring>

#include "codec/threads.h"

namespace gca {
namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;
constexpr int kSlices = 16;

struct CrcTables {
  // slice[0] is the byte table; slice[k][i] is the CRC register after byte i is
  // followed by k zero bytes, so 16 bytes can be folded with 16 independent lookups.
  uint32_t slice[kSlices][256];
  // shift[k] appends 2^k zero bytes to a finished CRC value.
  uint32_t shift[64][32];
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
}

const CrcTables& Tables() {
  CallOnce(g_tables_once, BuildTables);
  return g_tables;
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

}  // namespace

Crc32::Crc32() { Tables(); }

Crc32::~Crc32() = default;

namespace {

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

}  // namespace

uint32_t Crc32::Update(const void* data, uint32_t length, uint32_t crc) const {
  const CrcTables& t = Tables();
  const uint8_t* p = static_cast<const uint8_t*>(data);
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

uint32_t Crc32::Compute(const void* data, uint32_t length) const {
  return Update(data, length, 0);
}

uint32_t Crc32::Combine(uint32_t crc1, uint64_t length1, uint32_t crc2,
                        uint64_t length2) const {
  (void)length1;  // the first length does not change where the second data starts
  const CrcTables& t = Tables();
  for (int k = 0; k < 64 && length2 != 0; ++k, length2 >>= 1) {
    if (length2 & 1u) crc1 = ApplyOperator(t.shift[k], crc1);
  }
  return crc1 ^ crc2;
}

}  // namespace gca
