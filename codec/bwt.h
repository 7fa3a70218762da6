// The block transform: a sort of all rotations of the block (with a work budget that
// asks the compressor to add noise to pathological data) and its inverse.
#pragma once
#include <cstdint>
#include <vector>

namespace gca {

constexpr uint64_t kSortWorkLimit = 0x0FFFFFFF;
// The sort after noise was added: data whose repeats survive the noise (periods that
// divide the noise pattern's) would otherwise take minutes per block.
constexpr uint64_t kNoisySortWorkLimit = 64 * kSortWorkLimit;

struct TransformResult {
  uint32_t primary = 0;     // row of the rotation that starts at 0
  double run_ratio = 0.0;   // share of output bytes equal to their predecessor
  double spread = 0.0;      // deviation of the byte histogram from a flat one
};

class BlockSorter {
 public:
  // sa and scratch: capacity ints each; radix: 2 x 65,536 ints.
  BlockSorter(int32_t* sa, int32_t* scratch, int32_t* radix, uint32_t capacity);

  // Transforms s[0..m-1] (1 <= m <= capacity; s has room for 2m bytes and gets a copy
  // of itself behind it) into out[0..m-1]. A sort whose work exceeds work_limit raises
  // GflGCAAddNoise; a limit of 0 means none.
  TransformResult Forward(uint8_t* s, uint32_t m, uint8_t* out, uint64_t work_limit);

  // The work counted by the last Forward (equal bytes met while comparing, plus 16 per
  // element of every bucket distribution).
  uint64_t Work() const { return work_; }

 private:
  int Compare(uint32_t a, uint32_t b, uint32_t depth, uint32_t length);
  void MergeSort(uint32_t first, uint32_t last, uint32_t depth, uint32_t length);
  void Refine(uint32_t start, uint32_t size, uint32_t depth);
  void CheckBudget();

  struct Group {
    uint32_t start, size, depth;
  };

  int32_t* sa_;
  int32_t* scratch_;
  int32_t* radix_;
  uint32_t capacity_;
  const uint8_t* s_ = nullptr;
  uint32_t m_ = 0;
  uint64_t work_ = 0;
  bool budget_ = true;
  uint64_t limit_ = kSortWorkLimit;
  std::vector<Group> stack_;
};

// The run ratio and spread of a transformed block of m bytes from its byte histogram
// and the number of bytes equal to their predecessor.
void Statistics(const uint32_t* histogram, uint32_t runs, uint32_t m, TransformResult* result);

// The method word the statistics of a transformed block of m bytes call for.
uint32_t ChooseMethodWord(double spread, double run_ratio, uint32_t m);

// Rebuilds m bytes from the transformed block and its primary index (< m) into out;
// vec holds m entries. With `back` (m entries of scratch) large blocks are walked in
// eight segments at a time, which is faster and gives the same bytes on any input.
void InverseTransform(const uint8_t* last, uint32_t m, uint32_t primary, uint8_t* out,
                      uint32_t* vec, uint32_t* back = nullptr);

}  // namespace gca
