// The publisher's side of deltas: the delta stream that makes a new content from an old
// one, and the size a stream takes once coded by the archive's block codec.
//
// Method: a suffix array of the old content finds, at each position of the new content,
// the longest exact match in the old; a match is taken when it is not merely the
// continuation of the current alignment, and the current alignment is extended forwards
// and backwards as far as it keeps more equal bytes than differing ones. An extended
// alignment goes out as "add" bytes (new minus old, mostly zeros where code moved or a few
// bytes changed, which the block codec packs tightly), the bytes between alignments as
// literals. This finds approximate matches (an instruction stream whose addresses all
// shifted, an image with a changed header) and not only exact copies.
#pragma once
#include <cstdint>
#include <vector>

// The largest content a delta is computed for, on either side: the suffix array's
// indices are 32-bit.
constexpr uint64_t kDeltaLimit = 0x7FFFFFF0ull;

// The records of a delta from old to new (header not included).
void MakeDeltaRecords(const uint8_t* old_data, uint64_t old_size, const uint8_t* new_data, uint64_t new_size,
                      std::vector<uint8_t>& out);

// The bytes the block codec would make of the content, counted block by block; it stops
// counting once it exceeds `stop_above` (then the result is above it).
uint64_t CodedSize(const uint8_t* data, uint64_t size, uint64_t stop_above);
