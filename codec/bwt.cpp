#include "codec/bwt.h"

#include <cmath>
#include <cstring>

#include "codec/cpu_features.h"
#include "codec/gfl_exception.h"

namespace gca {

namespace {

constexpr uint32_t kMergeGroupMax = 256;

inline uint32_t Key(const uint8_t* s, uint32_t i) { return (uint32_t(s[i]) << 8) | s[i + 1]; }

}  // namespace

BlockSorter::BlockSorter(int32_t* sa, int32_t* scratch, int32_t* radix, uint32_t capacity)
    : sa_(sa), scratch_(scratch), radix_(radix), capacity_(capacity) {
  // Pending groups are disjoint and hold more than kMergeGroupMax rotations each.
  stack_.reserve(capacity / (kMergeGroupMax + 1) + 2);
}

void BlockSorter::CheckBudget() {
  if (budget_ && work_ > limit_) throw GflGCAAddNoise();
}

// Compares the rotations a and b over bytes depth .. depth + length - 1; every equal
// byte passed counts as one unit of work.
int BlockSorter::Compare(uint32_t a, uint32_t b, uint32_t depth, uint32_t length) {
  const uint8_t* pa = s_ + a + depth;
  const uint8_t* pb = s_ + b + depth;
  uint32_t j = 0;
  while (j + 8 <= length) {
    uint64_t u, v;
    std::memcpy(&u, pa + j, 8);
    std::memcpy(&v, pb + j, 8);
    if (u != v) {
      j += static_cast<uint32_t>(__builtin_ctzll(u ^ v) >> 3);
      if (budget_) work_ += j;
      return pa[j] < pb[j] ? -1 : 1;
    }
    j += 8;
  }
  for (; j < length; ++j) {
    if (pa[j] != pb[j]) {
      if (budget_) work_ += j;
      return pa[j] < pb[j] ? -1 : 1;
    }
  }
  if (budget_) work_ += length;
  return 0;
}

// Top-down merge sort of sa_[first..last] (inclusive), stable.
void BlockSorter::MergeSort(uint32_t first, uint32_t last, uint32_t depth, uint32_t length) {
  if (first >= last) return;
  if (last == first + 1) {
    if (Compare(sa_[first], sa_[last], depth, length) > 0) {
      const int32_t t = sa_[first];
      sa_[first] = sa_[last];
      sa_[last] = t;
    }
    CheckBudget();
    return;
  }
  const uint32_t mid = (first + last) / 2;
  MergeSort(first, mid, depth, length);
  MergeSort(mid + 1, last, depth, length);
  const uint32_t left = mid - first + 1;
  std::memcpy(scratch_, sa_ + first, left * sizeof(int32_t));
  uint32_t i = 0, j = mid + 1, o = first;
  while (i < left && j <= last) {
    if (Compare(scratch_[i], sa_[j], depth, length) <= 0)
      sa_[o++] = scratch_[i++];
    else
      sa_[o++] = sa_[j++];
  }
  while (i < left) sa_[o++] = scratch_[i++];
  CheckBudget();
}

// Most-significant-byte refinement of a large group whose rotations agree on their
// first `depth` bytes.
void BlockSorter::Refine(uint32_t start, uint32_t size, uint32_t depth) {
  stack_.clear();
  stack_.push_back({start, size, depth});
  uint32_t count[256];
  uint32_t offset[256];
  while (!stack_.empty()) {
    const Group g = stack_.back();
    stack_.pop_back();
    std::memset(count, 0, sizeof(count));
    const int32_t* group = sa_ + g.start;
    for (uint32_t x = 0; x < g.size; ++x) ++count[s_[group[x] + g.depth]];
    uint32_t sum = 0;
    for (int c = 0; c < 256; ++c) {
      offset[c] = sum;
      sum += count[c];
    }
    for (uint32_t x = 0; x < g.size; ++x) scratch_[offset[s_[group[x] + g.depth]]++] = group[x];
    std::memcpy(sa_ + g.start, scratch_, g.size * sizeof(int32_t));
    if (budget_) work_ += 16ull * g.size;
    CheckBudget();
    const uint32_t next = g.depth + 1;
    if (next >= m_) continue;  // all m bytes compared: the rotations are equal
    uint32_t b = g.start;
    for (int c = 0; c < 256; ++c) {
      const uint32_t n = count[c];
      if (n > kMergeGroupMax)
        stack_.push_back({b, n, next});
      else if (n >= 2)
        MergeSort(b, b + n - 1, next, m_ - next);
      b += n;
    }
  }
}

TransformResult BlockSorter::Forward(uint8_t* s, uint32_t m, uint8_t* out, uint64_t work_limit) {
  if (m == 0 || m > capacity_) throw GflException(kGflDataError, "block does not fit the sorter");
  std::memcpy(s + m, s, m);
  s_ = s;
  m_ = m;
  work_ = 0;
  budget_ = work_limit != 0;
  limit_ = work_limit;

  if (m <= 63) {
    for (uint32_t i = 0; i < m; ++i) sa_[i] = static_cast<int32_t>(i);
    MergeSort(0, m - 1, 0, m);
  } else {
    int32_t* counts = radix_;
    int32_t* ends = radix_ + 65536;
    std::memset(counts, 0, 65536 * sizeof(int32_t));
    for (uint32_t i = 0; i < m; ++i) ++counts[Key(s, i)];
    // Four stable passes by the two-byte keys at offsets 6, 4, 2, 0.
    // The passes alternate between the two arrays and end in sa_.
    int32_t* from = sa_;
    int32_t* to = scratch_;
    static const uint32_t kOffsets[4] = {6, 4, 2, 0};
    for (int pass = 0; pass < 4; ++pass) {
      int32_t sum = 0;
      for (uint32_t k = 0; k < 65536; ++k) {
        sum += counts[k];
        ends[k] = sum;
      }
      const uint32_t o = kOffsets[pass];
      if (pass == 0) {
        for (uint32_t i = m; i-- > 0;) to[--ends[Key(s, i + o)]] = static_cast<int32_t>(i);
      } else {
        for (uint32_t j = m; j-- > 0;) {
          const int32_t i = from[j];
          to[--ends[Key(s, uint32_t(i) + o)]] = i;
        }
      }
      int32_t* t = from;
      from = to;
      to = t;
    }

    // Groups with equal first 8 bytes.
    uint32_t i = 0;
    while (i < m) {
      uint32_t a0, a1;
      std::memcpy(&a0, s + sa_[i], 4);
      std::memcpy(&a1, s + sa_[i] + 4, 4);
      uint32_t j = i + 1;
      while (j < m) {
        uint32_t b0, b1;
        std::memcpy(&b0, s + sa_[j], 4);
        std::memcpy(&b1, s + sa_[j] + 4, 4);
        if (a0 != b0 || a1 != b1) break;
        ++j;
      }
      const uint32_t size = j - i;
      if (size > kMergeGroupMax)
        Refine(i, size, 8);
      else if (size >= 2)
        MergeSort(i, j - 1, 8, m - 8);
      i = j;
    }
  }
  CheckBudget();

  TransformResult result;
  uint32_t histogram[256] = {0};
  uint32_t runs = 0;
  uint32_t previous = 0;
  for (uint32_t i = 0; i < m; ++i) {
    const uint32_t start = static_cast<uint32_t>(sa_[i]);
    if (start == 0) result.primary = i;
    const uint32_t c = s[start + m - 1];
    out[i] = static_cast<uint8_t>(c);
    ++histogram[c];
    if (c == previous) ++runs;
    previous = c;
  }
  Statistics(histogram, runs, m, &result);
  return result;
}

// The block statistics and the method choice are the codec's only floating point, and
// they decide the bytes of every frame. They are computed in IEEE double precision
// everywhere: on 32-bit x86 in SSE2 registers (x87 extended precision could round a
// comparison differently), in functions named for it and chosen when the processor has
// SSE2. Without SSE2 the x87 copies still give valid frames, though not necessarily the
// same ones.
#define GCA_STATISTICS_BODY                                                   \
  const double dm = static_cast<double>(m);                                   \
  double sum = 0.0;                                                           \
  for (int c = 0; c < 256; ++c) {                                             \
    const double d = static_cast<double>(histogram[c]) * 256.0 / dm - 1.0;    \
    sum += d * d;                                                             \
  }                                                                           \
  result->run_ratio = static_cast<double>(runs) / dm;                         \
  result->spread = std::sqrt(sum / 255.0)

#define GCA_CHOICE_BODY                                                                     \
  const double t = 0.1 * (std::log(static_cast<double>(m)) / std::log(2.0) - 17.0);         \
  const double r = run_ratio;                                                               \
  if ((spread < 4.0 && r - t > 0.6) || (spread >= 4.0 && (r - t - 0.2) * 10.0 > spread))    \
    return 0x11005600u;                                                                     \
  if (r > 0.7) return spread > 7.0 ? 0x00301030u : 0x00201030u;                             \
  if (r >= 0.2) return 0x00202040u;                                                         \
  return 0x00203050u

namespace {

#if defined(__i386__) && defined(__GNUC__)
// `used` keeps the ordinary calling convention: a local function compiled for SSE
// would otherwise take its doubles in SSE registers from callers that have none.
__attribute__((target("sse2,fpmath=sse"), used)) void StatisticsSse2(const uint32_t* histogram,
                                                               uint32_t runs, uint32_t m,
                                                               TransformResult* result) {
  GCA_STATISTICS_BODY;
}

__attribute__((target("sse2,fpmath=sse"), used)) uint32_t ChooseMethodWordSse2(double spread,
                                                                         double run_ratio,
                                                                         uint32_t m) {
  GCA_CHOICE_BODY;
}

void StatisticsX87(const uint32_t* histogram, uint32_t runs, uint32_t m,
                   TransformResult* result) {
  GCA_STATISTICS_BODY;
}

uint32_t ChooseMethodWordX87(double spread, double run_ratio, uint32_t m) { GCA_CHOICE_BODY; }

bool HasSse2() { return ProcessorFeatures().Sse2; }
#endif

}  // namespace

void Statistics(const uint32_t* histogram, uint32_t runs, uint32_t m, TransformResult* result) {
#if defined(__i386__) && defined(__GNUC__)
  if (HasSse2()) {
    StatisticsSse2(histogram, runs, m, result);
  } else {
    StatisticsX87(histogram, runs, m, result);
  }
#else
  GCA_STATISTICS_BODY;
#endif
}

uint32_t ChooseMethodWord(double spread, double run_ratio, uint32_t m) {
#if defined(__i386__) && defined(__GNUC__)
  return HasSse2() ? ChooseMethodWordSse2(spread, run_ratio, m)
                   : ChooseMethodWordX87(spread, run_ratio, m);
#else
  GCA_CHOICE_BODY;
#endif
}

#undef GCA_CHOICE_BODY
#undef GCA_STATISTICS_BODY

namespace {

// The walk through the rows is one dependent load per byte, and the vector is far larger
// than the processor's caches: the loads wait for memory one after the other. Every
// 4,096th row (and the primary row) is a mark, and entries that lead into a mark carry
// a flag. From each mark a segment is walked up to the next mark; eight such walks run
// side by side, each taking the next unwalked mark when its segment ends, so eight loads
// wait for memory at once. Each walk writes its bytes into its own part of the scratch
// vector; the segments are then copied out in the order the rows lead from the primary
// row, which gives the bytes of the plain walk on any input, broken permutations too
// (their walk goes round its cycle again, and so does the chain of segments).
constexpr uint32_t kWalkLanes = 8;
constexpr uint32_t kMarkShift = 12;
constexpr uint32_t kMarkFlag = 0x80000000u;
constexpr uint32_t kRowMask = 0x007FFFFFu;
constexpr uint32_t kLaneWalkMin = 1u << 15;     // smaller blocks walk once
constexpr uint32_t kLaneWalkMax = 1u << 21;     // rows fit beside the byte and the flag
constexpr uint32_t kMaxSegments = (kLaneWalkMax >> kMarkShift) + 1;

struct Segment {
  uint32_t offset;  // in the scratch bytes
  uint32_t length;
  uint32_t next;    // the segment that follows: the mark the walk ended on
};

// False when a walk needed more than its part of the scratch (only a broken permutation
// can make one segment that long); the caller then walks once.
bool WalkInLanes(const uint32_t* vec, uint32_t m, uint32_t primary, uint8_t* out, uint8_t* arena) {
  const uint32_t stride_mask = (1u << kMarkShift) - 1;
  const uint32_t grid = ((m - 1) >> kMarkShift) + 1;  // marks on rows 0, 4096, 8192, ...
  const bool off_grid = (primary & stride_mask) != 0;
  const uint32_t total = grid + (off_grid ? 1 : 0);   // the primary's own mark is last
  auto id_of = [&](uint32_t row) { return (row & stride_mask) == 0 ? row >> kMarkShift : grid; };
  auto row_of = [&](uint32_t id) { return id == grid ? primary : id << kMarkShift; };
  Segment segments[kMaxSegments + 1];
  const uint32_t capacity = (4 * m) / kWalkLanes;  // scratch bytes per walk

  uint32_t pos[kWalkLanes], cursor[kWalkLanes], limit[kWalkLanes], id[kWalkLanes], first[kWalkLanes];
  uint32_t next_id = 0;
  uint32_t running = 0;
  for (uint32_t l = 0; l < kWalkLanes; ++l) {
    cursor[l] = first[l] = l * capacity;
    limit[l] = cursor[l] + capacity;
    id[l] = next_id < total ? next_id++ : total;
    if (id[l] < total) ++running;
    pos[l] = id[l] < total ? row_of(id[l]) : 0;
  }
  // Ends lane l's segment at the mark it reached and starts the next unwalked one.
  auto end_segment = [&](uint32_t l) {
    segments[id[l]] = {first[l], cursor[l] - first[l], id_of(pos[l])};
    first[l] = cursor[l];
    if (next_id < total) {
      id[l] = next_id++;
      pos[l] = row_of(id[l]);
    } else {
      id[l] = total;
      --running;
    }
  };
  auto step = [&](uint32_t l) -> bool {
    if (cursor[l] == limit[l]) return false;
    const uint32_t w = vec[pos[l]];
    arena[cursor[l]++] = static_cast<uint8_t>(w);
    pos[l] = (w >> 8) & kRowMask;
    if (w & kMarkFlag) end_segment(l);
    return true;
  };
  while (running == kWalkLanes) {
    for (uint32_t l = 0; l < kWalkLanes; ++l) {
      if (!step(l)) return false;
    }
  }
  for (uint32_t l = 0; l < kWalkLanes; ++l) {
    while (id[l] < total) {
      if (!step(l)) return false;
    }
  }
  uint32_t done = 0;
  for (uint32_t at = id_of(primary); done < m; at = segments[at].next) {
    const Segment& s = segments[at];
    const uint32_t n = s.length < m - done ? s.length : m - done;
    std::memcpy(out + done, arena + s.offset, n);
    done += n;
  }
  return true;
}

}  // namespace

void InverseTransform(const uint8_t* last, uint32_t m, uint32_t primary, uint8_t* out,
                      uint32_t* vec, uint32_t* back) {
  if (m == 0) return;
  uint32_t start[256] = {0};
  for (uint32_t i = 0; i < m; ++i) ++start[last[i]];
  uint32_t sum = 0;
  for (int c = 0; c < 256; ++c) {
    const uint32_t n = start[c];
    start[c] = sum;
    sum += n;
  }
  // Each entry holds the next row and the byte it yields, so one load per byte:
  // vec[j] leads from row j to the row of the following rotation and yields F[j].
  const bool lanes = back != nullptr && m >= kLaneWalkMin && m <= kLaneWalkMax;
  if (lanes) {
    const uint32_t stride_mask = (1u << kMarkShift) - 1;
    for (uint32_t i = 0; i < m; ++i) {
      const uint32_t c = last[i];
      const uint32_t mark = ((i & stride_mask) == 0 || i == primary) ? kMarkFlag : 0;
      vec[start[c]++] = (i << 8) | c | mark;
    }
    if (WalkInLanes(vec, m, primary, out, reinterpret_cast<uint8_t*>(back))) return;
    uint32_t pos = primary;
    for (uint32_t i = 0; i < m; ++i) {
      const uint32_t w = vec[pos];
      out[i] = static_cast<uint8_t>(w);
      pos = (w >> 8) & kRowMask;
    }
    return;
  }
  for (uint32_t i = 0; i < m; ++i) vec[start[last[i]]++] = (i << 8) | last[i];
  uint32_t pos = primary;
  for (uint32_t i = 0; i < m; ++i) {
    const uint32_t w = vec[pos];
    out[i] = static_cast<uint8_t>(w);
    pos = w >> 8;
  }
}

}  // namespace gca
