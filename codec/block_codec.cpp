#include "codec/block_codec.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "codec/gfl_exception.h"
#include "codec/bwt.h"
#include "codec/entropy.h"
#include "codec/lzp.h"

namespace gca {

namespace {

constexpr uint32_t kMagicStored = 0x30464347;  // "GCF0"
constexpr uint32_t kMagicFixed = 0x31464347;   // "GCF1"
constexpr uint32_t kMagicMethod = 0x32464347;  // "GCF2"
constexpr uint32_t kFixedHeader = 24;
constexpr uint32_t kMethodHeader = 28;
constexpr uint32_t kNoiseStep = 1023;

inline uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

[[noreturn]] void DataError(const char* what) { throw GflException(kGflDataError, what); }

uint32_t WriteStored(const uint8_t* input, uint32_t n, uint8_t* frame) {
  Put32(frame, kMagicStored);
  Put32(frame + 4, n);
  if (n != 0) std::memmove(frame + 8, input, n);
  return n + 8;
}

// Noise at every 1023rd byte; applying it twice restores the data.
void ToggleNoise(uint8_t* data, uint32_t m) {
  for (uint32_t i = 0; i < m; i += kNoiseStep) data[i] ^= static_cast<uint8_t>(i & 0xFF);
}

template <typename T>
T* AllocateArray(size_t count) {
  return static_cast<T*>(std::malloc(count * sizeof(T)));
}

}  // namespace

struct BlockCodec::Impl {
  uint8_t* frame[2] = {nullptr, nullptr};
  uint8_t* gather = nullptr;  // ReadFrame collects a coded frame here
  uint8_t* work1 = nullptr;
  uint8_t* work2 = nullptr;
  uint8_t* lzp = nullptr;     // 2 x kBlockSize: the literals and their rotation copy
  int32_t* order = nullptr;   // suffix order; in decoding the inverse-transform vector
  int32_t* scratch = nullptr; // sort scratch; in decoding the backward inverse vector
  int32_t* radix = nullptr;   // 2 x 65,536 bucket counts and ends
  int32_t* context = nullptr; // the Lzp context table
  EntropyModels* models = nullptr;
  BlockSorter* sorter = nullptr;
  CodedBuffer main_stream;
  CodedBuffer side_stream;
  bool ready = false;

  uint32_t noise = 0;
  double run_ratio = 0.0;
  double spread = 0.0;

  uint64_t progress_base = 0;
  uint64_t in_block = 0;
  CodecProgressFn progress_fn = nullptr;
  void* progress_context = nullptr;

  void Report() {
    if (progress_fn != nullptr) progress_fn(progress_base + in_block, progress_context);
  }
  static void Tick(void* self) {
    Impl* impl = static_cast<Impl*>(self);
    impl->in_block += 32768;
    impl->Report();
  }
  ProgressTicker Ticker() {
    ProgressTicker t;
    t.fn = &Impl::Tick;
    t.context = this;
    return t;
  }

  void Free() {
    ready = false;
    for (auto& f : frame) {
      std::free(f);
      f = nullptr;
    }
    std::free(gather);
    std::free(work1);
    std::free(work2);
    std::free(lzp);
    std::free(order);
    std::free(scratch);
    std::free(radix);
    std::free(context);
    gather = work1 = work2 = lzp = nullptr;
    order = scratch = radix = context = nullptr;
    delete models;
    models = nullptr;
    delete sorter;
    sorter = nullptr;
    main_stream.StartInput(nullptr, 0);
    side_stream.StartInput(nullptr, 0);
  }

  uint32_t Decode(const uint8_t* frame, uint32_t length, uint8_t* out, uint32_t capacity);
  uint32_t Compress(const uint8_t* input, uint32_t n, uint8_t* frame);
};

BlockCodec::BlockCodec() : impl_(new Impl) {}

BlockCodec::~BlockCodec() {
  impl_->Free();
  delete impl_;
}

bool BlockCodec::Allocate() {
  Impl& d = *impl_;
  d.Free();
  d.frame[0] = AllocateArray<uint8_t>(kFrameBufferSize);
  d.frame[1] = AllocateArray<uint8_t>(kFrameBufferSize);
  d.gather = AllocateArray<uint8_t>(kFrameBufferSize);
  d.work1 = AllocateArray<uint8_t>(kBlockSize);
  d.work2 = AllocateArray<uint8_t>(kBlockSize);
  d.lzp = AllocateArray<uint8_t>(2 * size_t(kBlockSize));
  d.order = AllocateArray<int32_t>(kBlockSize);
  d.scratch = AllocateArray<int32_t>(kBlockSize);
  d.radix = AllocateArray<int32_t>(2 * 65536);
  d.context = AllocateArray<int32_t>(kLzpTableSize);
  d.models = new (std::nothrow) EntropyModels;
  if (d.frame[0] == nullptr || d.frame[1] == nullptr || d.gather == nullptr ||
      d.work1 == nullptr || d.work2 == nullptr || d.lzp == nullptr || d.order == nullptr ||
      d.scratch == nullptr || d.radix == nullptr || d.context == nullptr ||
      d.models == nullptr) {
    d.Free();
    return false;
  }
  d.sorter = new (std::nothrow) BlockSorter(d.order, d.scratch, d.radix, kBlockSize);
  // The coded streams start large enough for any block that is not stored.
  if (d.sorter == nullptr || !d.main_stream.StartOutput(kBlockSize + 64) ||
      !d.side_stream.StartOutput(kBlockSize / 8 + 1024)) {
    d.Free();
    return false;
  }
  for (uint32_t i = 0; i < kLzpTableSize; ++i) d.context[i] = -1;
  d.ready = true;
  return true;
}

void BlockCodec::Release() { impl_->Free(); }

bool BlockCodec::Ready() const { return impl_->ready; }

void BlockCodec::SetProgressCallback(CodecProgressFn fn, void* context) {
  impl_->progress_fn = fn;
  impl_->progress_context = context;
}

void BlockCodec::SetProgressBase(uint64_t base) { impl_->progress_base = base; }

uint8_t* BlockCodec::FrameBuffer(int which) {
  if (which != 0 && which != 1) return nullptr;
  return impl_->frame[which];
}

uint32_t BlockCodec::CompressBlock(const uint8_t* input, uint32_t n, uint8_t* frame) {
  if (n > kBlockSize) return 0;
  if (n <= 8 || !impl_->ready) return WriteStored(input, n, frame);
  return impl_->Compress(input, n, frame);
}

uint32_t BlockCodec::Impl::Compress(const uint8_t* input, uint32_t n, uint8_t* out) {
  in_block = 0;
  side_stream.StartOutput(n / 8 + 1024);
  const uint32_t m = LzpEncode(input, n, lzp, context, side_stream);
  const uint32_t side_length = side_stream.Length();
  in_block = n - m;
  Report();

  noise = 0;
  TransformResult t;
  try {
    t = sorter->Forward(lzp, m, work1, kSortWorkLimit);
  } catch (const GflGCAAddNoise&) {
    noise = 1;
    ToggleNoise(lzp, m);
    try {
      t = sorter->Forward(lzp, m, work1, kNoisySortWorkLimit);
    } catch (const GflGCAAddNoise&) {
      // Repeats that line up with the noise pattern: storing is the only bounded way.
      return WriteStored(input, n, out);
    }
  }
  run_ratio = t.run_ratio;
  spread = t.spread;
  in_block = (n - m) + m / 2;
  Report();

  uint32_t method = ChooseMethodWord(spread, run_ratio, m);
  if (noise != 0) method |= kMethodNoise;
  const uint32_t header = method == kMethodFixed ? kFixedHeader : kMethodHeader;
  // The frame must come out shorter than the stored form: A + B + header < n + 8.
  const int64_t room = int64_t(n) + 8 - header - side_length - 1;
  if (room < 0) return WriteStored(input, n, out);
  main_stream.StartOutput(m);
  if (!EncodeBlock(work1, m, method, main_stream, *models, Ticker(),
                   static_cast<uint32_t>(room)))
    return WriteStored(input, n, out);
  // A coded stream that could not grow lost bytes: store rather than write a bad frame.
  if (main_stream.EndReached() != 0 || side_stream.EndReached() != 0)
    return WriteStored(input, n, out);
  const uint32_t main_length = main_stream.Length();

  Put32(out, header == kFixedHeader ? kMagicFixed : kMagicMethod);
  Put32(out + 4, n);
  Put32(out + 8, m);
  Put32(out + 12, t.primary);
  Put32(out + 16, main_length);
  Put32(out + 20, side_length);
  if (header == kMethodHeader) Put32(out + 24, method);
  std::memcpy(out + header, main_stream.Data(), main_length);
  std::memcpy(out + header + main_length, side_stream.Data(), side_length);
  return header + main_length + side_length;
}

uint32_t BlockCodec::DecompressFrame(const uint8_t* frame, uint32_t frame_length, uint8_t* out,
                                     uint32_t capacity) {
  return impl_->Decode(frame, frame_length, out, capacity);
}

uint32_t BlockCodec::Impl::Decode(const uint8_t* f, uint32_t length, uint8_t* out,
                                  uint32_t capacity) {
  in_block = 0;
  if (length < 4) DataError("frame too short");
  const uint32_t magic = Get32(f);
  if (magic != kMagicStored && magic != kMagicFixed && magic != kMagicMethod) return 0;
  if (length < 8) DataError("frame too short");
  const uint32_t n = Get32(f + 4);
  if (n > kBlockSize || n > capacity) DataError("block too long");
  if (magic == kMagicStored) {
    if (uint64_t(n) + 8 > length) DataError("stored frame cut short");
    if (n != 0) std::memmove(out, f + 8, n);
    return n;
  }
  const uint32_t header = magic == kMagicFixed ? kFixedHeader : kMethodHeader;
  if (length < header) DataError("frame header cut short");
  const uint32_t m = Get32(f + 8);
  const uint32_t primary = Get32(f + 12);
  const uint32_t a = Get32(f + 16);
  const uint32_t b = Get32(f + 20);
  const uint32_t method = magic == kMagicFixed ? kMethodFixed : Get32(f + 24);
  if (n == 0 || m == 0 || m > n) DataError("bad block lengths");
  if (primary >= m) DataError("bad primary index");
  if (uint64_t(header) + a + b > length) DataError("streams pass the frame end");
  if (!ready) DataError("codec not allocated");

  CodedBuffer main_in(f + header, a);
  DecodeBlock(main_in, work1, m, method, *models, Ticker());
  in_block = m / 2;
  Report();
  InverseTransform(work1, m, primary, work2, reinterpret_cast<uint32_t*>(order),
                   reinterpret_cast<uint32_t*>(scratch));
  in_block = m;
  Report();
  if ((method & kMethodNoise) != 0) ToggleNoise(work2, m);
  CodedBuffer side_in(f + header + a, b);
  LzpDecode(work2, m, side_in, out, n, context);
  return n;
}

uint32_t BlockCodec::ReadFrame(FrameSource& source, uint8_t* out, uint32_t capacity) {
  Impl& d = *impl_;
  uint8_t head[kMethodHeader];
  source.ReadExactly(head, 8);
  const uint32_t magic = Get32(head);
  const uint32_t n = Get32(head + 4);
  d.in_block = 0;
  if (magic == kMagicStored) {
    if (n > kBlockSize || n > capacity) DataError("block too long");
    if (n != 0) source.ReadExactly(out, n);
    return n;
  }
  if (magic != kMagicFixed && magic != kMagicMethod) return 0;
  const uint32_t header = magic == kMagicFixed ? kFixedHeader : kMethodHeader;
  source.ReadExactly(head + 8, header - 8);
  const uint64_t length = uint64_t(header) + Get32(head + 16) + Get32(head + 20);
  if (n > kBlockSize || n > capacity) DataError("block too long");
  if (length > kFrameBufferSize) DataError("frame too long");
  if (!d.ready) DataError("codec not allocated");
  std::memcpy(d.gather, head, header);
  source.ReadExactly(d.gather + header, static_cast<uint32_t>(length - header));
  return d.Decode(d.gather, static_cast<uint32_t>(length), out, capacity);
}

uint32_t BlockCodec::SkipFrame(FrameSource& source) {
  uint8_t head[kMethodHeader];
  source.ReadExactly(head, 8);
  const uint32_t magic = Get32(head);
  const uint32_t n = Get32(head + 4);
  if (magic != kMagicStored && magic != kMagicFixed && magic != kMagicMethod)
    DataError("unknown frame");
  if (n > kBlockSize) DataError("block too long");
  if (magic == kMagicStored) {
    source.SkipForward(n);
    return n;
  }
  const uint32_t header = magic == kMagicFixed ? kFixedHeader : kMethodHeader;
  source.ReadExactly(head + 8, header - 8);
  const uint64_t streams = uint64_t(Get32(head + 16)) + Get32(head + 20);
  if (streams + header > kFrameBufferSize) DataError("frame too long");
  source.SkipForward(streams);
  return n;
}

}  // namespace gca
