#include "codec/lzp.h"

#include <cstring>

#include "codec/gfl_exception.h"

namespace gca {

namespace {

constexpr uint32_t kCountShift = 6;

struct CountTables {
  uint16_t literal_run[32];
  uint16_t match_length[32];
  CountTables() {
    for (auto& p : literal_run) p = kProbabilityStart;
    for (auto& p : match_length) p = kProbabilityStart;
  }
};

// Number of equal bytes a[j] == b[j] for j below limit. The areas may overlap (b may
// run into bytes a has already passed), which the byte-wise order handles; the
// word-wise steps read only bytes below limit.
inline uint32_t MatchLength(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  uint32_t j = 0;
  while (j + 8 <= limit) {
    uint64_t u, v;
    std::memcpy(&u, a + j, 8);
    std::memcpy(&v, b + j, 8);
    if (u != v) {
      const uint64_t d = u ^ v;
      return j + static_cast<uint32_t>(__builtin_ctzll(d) >> 3);
    }
    j += 8;
  }
  while (j < limit && a[j] == b[j]) ++j;
  return j;
}

}  // namespace

uint32_t LzpEncode(const uint8_t* x, uint32_t n, uint8_t* literals, int32_t* table,
                   CodedBuffer& side) {
  for (uint32_t i = 0; i < kLzpTableSize; ++i) table[i] = -1;
  CountTables models;
  RangeEncoder enc;
  enc.Start(&side);
  uint32_t h = 0;
  uint32_t k = 0;
  uint32_t m = 0;
  uint32_t c = 0;
  while (k < n) {
    const int32_t p = table[h];
    if (p >= 0 && x[p] == x[k]) {
      // p < k, so x[p + j] == x[k + j] compares bytes already fixed: overlap is fine.
      const uint32_t length = MatchLength(x + p, x + k, n - k);
      if (length >= kLzpMinMatch) {
        EncodeCount(enc, c, models.literal_run, kCountShift);
        EncodeCount(enc, length - kLzpMinMatch, models.match_length, kCountShift);
        c = 0;
        for (uint32_t end = k + length; k < end; ++k) {
          table[h] = static_cast<int32_t>(k);
          h = ((h << 8) | x[k]) & 0xFFFF;
        }
        continue;
      }
    }
    literals[m++] = x[k];
    table[h] = static_cast<int32_t>(k);
    h = ((h << 8) | x[k]) & 0xFFFF;
    ++k;
    ++c;
  }
  EncodeCount(enc, c, models.literal_run, kCountShift);
  enc.Flush();
  return m;
}

void LzpDecode(const uint8_t* literals, uint32_t m, CodedBuffer& side, uint8_t* out,
               uint32_t n, int32_t* table) {
  // Entries left from an earlier block (or from the sort) are never valid positions
  // of this block; clearing them turns a damaged side stream into a clean error.
  for (uint32_t i = 0; i < kLzpTableSize; ++i) table[i] = -1;
  CountTables models;
  RangeDecoder dec;
  dec.Start(&side);
  uint32_t h = 0;
  uint32_t k = 0;
  uint32_t r = 0;
  while (k < n) {
    const uint32_t c = DecodeCount(dec, models.literal_run, kCountShift);
    if (c > n - k || c > m - r) throw GflException(kGflDataError, "literal run too long");
    for (const uint32_t end = k + c; k < end; ++k) {
      const uint8_t b = literals[r++];
      out[k] = b;
      table[h] = static_cast<int32_t>(k);
      h = ((h << 8) | b) & 0xFFFF;
    }
    if (k >= n) break;
    const uint64_t length =
        uint64_t(DecodeCount(dec, models.match_length, kCountShift)) + kLzpMinMatch;
    const int32_t p = table[h];
    if (p < 0 || static_cast<uint32_t>(p) >= k) throw GflException(kGflDataError, "bad match");
    if (length > n - k) throw GflException(kGflDataError, "match too long");
    uint32_t q = static_cast<uint32_t>(p);
    for (const uint32_t end = k + static_cast<uint32_t>(length); k < end; ++k, ++q) {
      const uint8_t b = out[q];
      out[k] = b;
      table[h] = static_cast<int32_t>(k);
      h = ((h << 8) | b) & 0xFFFF;
    }
  }
}

}  // namespace gca
