// The publisher's side of deltas: the delta stream that makes a new content from an old
// one, and the size a stream takes once coded by the archive's block codec.
//
// Method: one suffix array over the old content followed by the new finds, at each
// position of the new content, the longest exact match that starts earlier: in the old
// content, or in the new content already made (a file that repeats itself, an archive
// that holds the same member twice). A match is taken when it gives well more than the
// continuation of the current alignment, and the current alignment is extended forwards
// and backwards as far as equal bytes outweigh differing ones (by a weight that differs
// between the settings tried). An extended
// alignment goes out as "add" bytes (new minus source, mostly zeros where code moved or a
// few bytes changed), the bytes between alignments as literals. This finds approximate
// matches (an instruction stream whose addresses all shifted, an image with a changed
// header) and not only exact copies.
#pragma once
#include <cstdint>
#include <vector>

// The largest old and new content together that a delta is computed for: the suffix
// array's indices are 32-bit.
constexpr uint64_t kDeltaLimit = 0x7FFFFFF0ull;

// Appends the chunks of a delta from old to new to `out` (which holds the header), made
// with each of a few ways of choosing matches, keeping the one that codes smallest;
// returns the size the whole of `out` codes to.
uint64_t MakeDelta(const uint8_t* old_data, uint64_t old_size, const uint8_t* new_data, uint64_t new_size,
                   std::vector<uint8_t>& out);

// The bytes the block codec would make of the content, counted block by block; it stops
// counting once it exceeds `stop_above` (then the result is above it).
uint64_t CodedSize(const uint8_t* data, uint64_t size, uint64_t stop_above);
