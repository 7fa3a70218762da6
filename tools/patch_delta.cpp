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

// How the matches are chosen. Each delta is made with every setting and the one that
// codes smallest is kept: code and text gain from long matches only (fewer records, the
// rest as literals that the block codec packs well); compressed data, whose literals do
// not pack, gains from short matches and from alignments kept through long stretches
// where few bytes agree.
struct Setting {
  Index Gain;    // bytes a new match must give beyond the current alignment to be taken
  int64_t Keep;  // an alignment is extended as far as Keep * equal - differing bytes is largest
};
constexpr Setting kSettings[] = {{16, 1}, {32, 1}, {4, 31}};

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

// The source (old content, then new) and the suffix array over it.
class Matcher {
 public:
  Matcher(const uint8_t* old_data, Index old_size, const uint8_t* new_data, Index new_size)
      : old_size_(old_size), total_(old_size + new_size) {
    source_.reserve(static_cast<size_t>(total_));
    source_.insert(source_.end(), old_data, old_data + old_size);
    source_.insert(source_.end(), new_data, new_data + new_size);
    SuffixArray(source_.data(), total_, sa_);
    rank_.resize(static_cast<size_t>(total_));
    for (Index i = 0; i < total_; ++i) rank_[static_cast<size_t>(sa_[static_cast<size_t>(i)])] = i;
  }
  const uint8_t* Source() const { return source_.data(); }

  // Whether the new byte at `at` equals the source byte at `from`, a byte that is there
  // by the time the new byte is made.
  bool Same(int64_t from, Index at) const {
    return from >= 0 && from < int64_t{old_size_} + at && source_[static_cast<size_t>(from)] == source_[static_cast<size_t>(old_size_ + at)];
  }

  // The longest match of the new content from `at` that starts earlier in the source.
  // Suffixes sharing the longest prefixes sit next to its own in the suffix array, so the
  // nearest earlier one on each side is the best of that side.
  Index Find(Index at, Index& position) const {
    const Index self = old_size_ + at;
    const Index r = rank_[static_cast<size_t>(self)];
    Index best = 0;
    position = 0;
    for (int direction = -1; direction <= 1; direction += 2) {
      Index j = r;
      for (int step = 0; step < kNeighbours; ++step) {
        j += direction;
        if (j < 0 || j >= total_) break;
        const Index from = sa_[static_cast<size_t>(j)];
        if (from >= self) continue;
        const Index n = Common(from, self);
        if (n > best) {
          best = n;
          position = from;
        }
        break;
      }
    }
    return best;
  }

 private:
  static constexpr int kNeighbours = 64;
  Index Common(Index a, Index b) const {
    const uint8_t* p = source_.data();
    Index n = 0;
    const Index most = total_ - std::max(a, b);
    while (n < most && p[a + n] == p[b + n]) ++n;
    return n;
  }

  Index old_size_, total_;
  std::vector<uint8_t> source_;
  std::vector<Index> sa_, rank_;
};

struct Records {
  std::vector<DeltaRecord> List;
  std::vector<uint8_t> Added, Literals;
};

void PutRecord(const uint8_t* source, const uint8_t* new_data, Index new_from, Index source_from, Index add,
               Index literal, int64_t seek, Records& out) {
  out.List.push_back({static_cast<uint32_t>(add), static_cast<uint32_t>(literal), seek});
  for (Index i = 0; i < add; ++i) {
    out.Added.push_back(static_cast<uint8_t>(new_data[new_from + i] - source[source_from + i]));
  }
  out.Literals.insert(out.Literals.end(), new_data + new_from + add, new_data + new_from + add + literal);
}

}  // namespace

namespace {

// The records of the new content with one setting.
void Scan(const Matcher& m, const Setting& setting, const uint8_t* new_data, Index new_size, Records& records) {
  const uint8_t* source = m.Source();
  const int64_t keep = setting.Keep + 1;

  // New positions count from the start of the new content, source positions from the
  // start of the old; an alignment's offset is the source position minus the new one.
  Index scan = 0, length = 0, position = 0;
  Index last_scan = 0, last_position = 0;
  int64_t last_offset = 0;
  while (scan < new_size) {
    Index old_score = 0;
    Index score_at = scan += length;
    for (; scan < new_size; ++scan) {
      length = m.Find(scan, position);
      // How many of the match's bytes the current alignment gives already.
      for (; score_at < scan + length; ++score_at) {
        if (m.Same(score_at + last_offset, score_at)) ++old_score;
      }
      if ((length == old_score && length != 0) || length > old_score + setting.Gain) break;
      if (m.Same(scan + last_offset, scan)) --old_score;
    }
    if (length == old_score && scan != new_size) continue;

    // Forward from the last alignment while it keeps more equal bytes than not.
    Index equal = 0, best = 0, forward = 0;
    for (Index i = 0; last_scan + i < scan;) {
      if (m.Same(int64_t{last_position} + i, last_scan + i)) ++equal;
      ++i;
      if (keep * equal - i > keep * best - forward) {
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
        if (m.Same(int64_t{position} - i, scan - i)) ++equal;
        if (keep * equal - i > keep * best - backward) {
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
        if (m.Same(int64_t{last_position} + forward - overlap + i, last_scan + forward - overlap + i)) ++equal;
        if (m.Same(int64_t{position} - backward + i, scan - backward + i)) --equal;
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
    PutRecord(source, new_data, last_scan, last_position, forward, literal, seek, records);
    last_scan = scan - backward;
    last_position = position - backward;
    last_offset = int64_t{position} - scan;
  }
}

}  // namespace

uint64_t MakeDelta(const uint8_t* old_data, uint64_t old_size, const uint8_t* new_data, uint64_t new_size,
                   std::vector<uint8_t>& out) {
  if (new_size > 0) {
    const Matcher m(old_data, static_cast<Index>(old_size), new_data, static_cast<Index>(new_size));
    std::vector<uint8_t> best, candidate;
    uint64_t best_size = UINT64_MAX;
    for (const Setting& setting : kSettings) {
      Records records;
      Scan(m, setting, new_data, static_cast<Index>(new_size), records);
      candidate = out;
      PutDeltaChunks(records.List, records.Added, records.Literals, candidate);
      const uint64_t size = CodedSize(candidate.data(), candidate.size(), best_size);
      if (size < best_size) {
        best_size = size;
        best.swap(candidate);
      }
    }
    out.swap(best);
    return best_size;
  }
  return CodedSize(out.data(), out.size(), UINT64_MAX);
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
