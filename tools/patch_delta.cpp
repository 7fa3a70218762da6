#include "tools/patch_delta.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>

#include "app/delta_format.h"
#include "codec/block_codec.h"

#ifdef GU_HAVE_DIVSUFSORT
#include <divsufsort.h>
#endif

namespace {

using Index = int32_t;

// The suffix array of the data: the start positions of its suffixes in ascending order.
void SuffixArray(const uint8_t* data, Index n, std::vector<Index>& sa) {
  sa.resize(static_cast<size_t>(n));
  if (n == 0) return;
#ifdef GU_HAVE_DIVSUFSORT
  divsufsort(data, sa.data(), n);
#else
  // Prefix doubling: ranks of the first 2k bytes from those of the first k. The suffix
  // array is unique, so both ways give the same patch bytes.
  std::vector<Index> rank(static_cast<size_t>(n)), next(static_cast<size_t>(n));
  std::iota(sa.begin(), sa.end(), 0);
  for (Index i = 0; i < n; ++i) rank[i] = data[i];
  for (Index k = 1;; k <<= 1) {
    const auto key = [&](Index i) { return std::make_pair(rank[i], i + k < n ? rank[i + k] : -1); };
    std::sort(sa.begin(), sa.end(), [&](Index a, Index b) { return key(a) < key(b); });
    next[sa[0]] = 0;
    for (Index i = 1; i < n; ++i) next[sa[i]] = next[sa[i - 1]] + (key(sa[i - 1]) < key(sa[i]) ? 1 : 0);
    rank.swap(next);
    if (rank[sa[n - 1]] == n - 1 || k >= n) break;
  }
#endif
}

Index MatchLength(const uint8_t* a, Index a_size, const uint8_t* b, Index b_size) {
  Index i = 0;
  const Index n = std::min(a_size, b_size);
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The longest match of the new bytes among the old suffixes sa[from..to].
Index Search(const std::vector<Index>& sa, const uint8_t* old_data, Index old_size, const uint8_t* new_data,
             Index new_size, Index from, Index to, Index& position) {
  while (to - from >= 2) {
    const Index middle = from + (to - from) / 2;
    const Index at = sa[middle];
    const Index n = std::min(old_size - at, new_size);
    if (std::memcmp(old_data + at, new_data, static_cast<size_t>(n)) < 0) {
      from = middle;
    } else {
      to = middle;
    }
  }
  const Index x = MatchLength(old_data + sa[from], old_size - sa[from], new_data, new_size);
  const Index y = MatchLength(old_data + sa[to], old_size - sa[to], new_data, new_size);
  if (x > y) {
    position = sa[from];
    return x;
  }
  position = sa[to];
  return y;
}

void PutRecord(const uint8_t* old_data, const uint8_t* new_data, Index new_from, Index old_from, Index add,
               Index literal, int64_t seek, std::vector<uint8_t>& out) {
  PutDeltaRecord(static_cast<uint32_t>(add), static_cast<uint32_t>(literal), seek, out);
  for (Index i = 0; i < add; ++i) out.push_back(static_cast<uint8_t>(new_data[new_from + i] - old_data[old_from + i]));
  out.insert(out.end(), new_data + new_from + add, new_data + new_from + add + literal);
}

}  // namespace

void MakeDeltaRecords(const uint8_t* old_data, uint64_t old_size64, const uint8_t* new_data, uint64_t new_size64,
                      std::vector<uint8_t>& out) {
  const Index old_size = static_cast<Index>(old_size64);
  const Index new_size = static_cast<Index>(new_size64);
  if (new_size == 0) return;
  if (old_size == 0) {
    PutRecord(old_data, new_data, 0, 0, 0, new_size, 0, out);
    return;
  }
  std::vector<Index> sa;
  SuffixArray(old_data, old_size, sa);

  Index scan = 0, length = 0, position = 0;
  Index last_scan = 0, last_position = 0, last_offset = 0;
  while (scan < new_size) {
    Index old_score = 0;
    Index score_at = scan += length;
    for (; scan < new_size; ++scan) {
      length = Search(sa, old_data, old_size, new_data + scan, new_size - scan, 0, old_size - 1, position);
      // How many of the match's bytes the current alignment gives already.
      for (; score_at < scan + length; ++score_at) {
        if (score_at + last_offset < old_size && old_data[score_at + last_offset] == new_data[score_at]) ++old_score;
      }
      if ((length == old_score && length != 0) || length > old_score + 8) break;
      if (scan + last_offset < old_size && old_data[scan + last_offset] == new_data[scan]) --old_score;
    }
    if (length == old_score && scan != new_size) continue;

    // Forward from the last alignment while it keeps more equal bytes than not.
    Index equal = 0, best = 0, forward = 0;
    for (Index i = 0; last_scan + i < scan && last_position + i < old_size;) {
      if (old_data[last_position + i] == new_data[last_scan + i]) ++equal;
      ++i;
      if (int64_t{equal} * 2 - i > int64_t{best} * 2 - forward) {
        best = equal;
        forward = i;
      }
    }
    // Backward from the new match.
    Index backward = 0;
    if (scan < new_size) {
      equal = 0;
      best = 0;
      for (Index i = 1; scan >= last_scan + i && position >= i; ++i) {
        if (old_data[position - i] == new_data[scan - i]) ++equal;
        if (int64_t{equal} * 2 - i > int64_t{best} * 2 - backward) {
          best = equal;
          backward = i;
        }
      }
    }
    // Where the two extensions overlap, the split that keeps the most equal bytes.
    if (last_scan + forward > scan - backward) {
      const Index overlap = (last_scan + forward) - (scan - backward);
      equal = 0;
      best = 0;
      Index split = 0;
      for (Index i = 0; i < overlap; ++i) {
        if (new_data[last_scan + forward - overlap + i] == old_data[last_position + forward - overlap + i]) ++equal;
        if (new_data[scan - backward + i] == old_data[position - backward + i]) --equal;
        if (equal > best) {
          best = equal;
          split = i + 1;
        }
      }
      forward += split - overlap;
      backward -= split;
    }
    const Index literal = (scan - backward) - (last_scan + forward);
    const int64_t seek = static_cast<int64_t>(position - backward) - (last_position + forward);
    PutRecord(old_data, new_data, last_scan, last_position, forward, literal, seek, out);
    last_scan = scan - backward;
    last_position = position - backward;
    last_offset = position - scan;
  }
}

uint64_t CodedSize(const uint8_t* data, uint64_t size, uint64_t stop_above) {
  static thread_local std::unique_ptr<gca::BlockCodec> codec;
  static thread_local std::vector<uint8_t> frame;
  if (!codec) {
    codec = std::make_unique<gca::BlockCodec>();
    if (!codec->Allocate()) {
      codec.reset();
      return size;
    }
    frame.resize(gca::kFrameBufferSize);
  }
  uint64_t total = 0;
  for (uint64_t at = 0; at < size && total <= stop_above; at += gca::kBlockSize) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(gca::kBlockSize, size - at));
    total += codec->CompressBlock(data + at, n, frame.data());
  }
  return total;
}
