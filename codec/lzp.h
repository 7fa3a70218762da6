// Long-repeat prediction in front of the block transform: a repeat of 64 bytes or more
// at the position the last two bytes predict is replaced by its length. Only literal
// run lengths and match lengths are stored (the side stream); the decoder finds every
// match position in its own copy of the context table.
#pragma once
#include <cstdint>

#include "codec/entropy.h"

namespace gca {

constexpr uint32_t kLzpMinMatch = 64;
constexpr uint32_t kLzpTableSize = 65536;

// Codes x[0..n-1]: the literals go to `literals` (room for n bytes), the counts to
// `side`, which is flushed. `table` has kLzpTableSize entries. Returns the literal count.
uint32_t LzpEncode(const uint8_t* x, uint32_t n, uint8_t* literals, int32_t* table,
                   CodedBuffer& side);

// Rebuilds n bytes into out from the m literals and the side stream. A damaged side
// stream (a run or match passing n, more literals than m, a match position that is not
// behind the current output position) raises GflException(kGflDataError).
void LzpDecode(const uint8_t* literals, uint32_t m, CodedBuffer& side, uint8_t* out,
               uint32_t n, int32_t* table);

}  // namespace gca
