#include "codec/entropy.h"

#include <cstdlib>
#include <cstring>

#include "codec/gfl_exception.h"

namespace gca {

bool MethodWordValid(uint32_t word) {
  if (SymbolShift(word) == 0) return false;
  if (SymbolWeight(word) > 4) return false;
  if (SymbolWeight(word) != 0 && Order1Shift(word) == 0) return false;
  // A weight above 4 is never written, whether or not runs are coded.
  if (RunWeight(word) > 4) return false;
  if ((word & kMethodRle) != 0) {
    if (RunShift(word) == 0) return false;
    if (RunWeight(word) != 0 && RunContextShift(word) == 0) return false;
  }
  return true;
}

// ---- CodedBuffer

CodedBuffer::CodedBuffer(uint32_t capacity) { StartOutput(capacity); }

CodedBuffer::CodedBuffer(const uint8_t* data, uint32_t length) { StartInput(data, length); }

CodedBuffer::~CodedBuffer() { FreeOwned(); }

void CodedBuffer::FreeOwned() {
  if (owns_) std::free(data_);
  data_ = nullptr;
  capacity_ = 0;
  owns_ = false;
}

bool CodedBuffer::StartOutput(uint32_t capacity) {
  if (capacity < 1024) capacity = 1024;
  if (!owns_ || capacity_ < capacity) {
    FreeOwned();
    data_ = static_cast<uint8_t*>(std::malloc(capacity));
    if (data_ == nullptr) return false;
    capacity_ = capacity;
    owns_ = true;
  }
  length_ = 0;
  position_ = 0;
  end_reached_ = 0;
  return true;
}

void CodedBuffer::StartInput(const uint8_t* data, uint32_t length) {
  FreeOwned();
  data_ = const_cast<uint8_t*>(data);
  capacity_ = length;
  length_ = length;
  position_ = 0;
  end_reached_ = 0;
}

bool CodedBuffer::Grow(uint64_t needed) {
  if (!owns_ || needed > 0xFFFFFFFFu) {
    end_reached_ = 1;
    return false;
  }
  uint64_t capacity = capacity_ < 1024 ? 1024 : capacity_;
  while (capacity < needed) capacity *= 2;
  if (capacity > 0xFFFFFFFFu) capacity = 0xFFFFFFFFu;
  void* grown = std::realloc(data_, static_cast<size_t>(capacity));
  if (grown == nullptr) {
    end_reached_ = 1;
    return false;
  }
  data_ = static_cast<uint8_t*>(grown);
  capacity_ = static_cast<uint32_t>(capacity);
  return true;
}

uint32_t CodedBuffer::Read(void* buffer, uint32_t n) {
  const uint32_t available = position_ < length_ ? length_ - position_ : 0;
  const uint32_t got = n < available ? n : available;
  if (got != 0) std::memcpy(buffer, data_ + position_, got);
  position_ += got;
  if (got == 0 && n != 0) end_reached_ = 1;
  return got;
}

uint32_t CodedBuffer::Write(const void* buffer, uint32_t n) {
  if (n == 0) return 0;
  uint64_t end = uint64_t(position_) + n;
  if (end > capacity_ && !Grow(end)) {
    // A buffer that may not grow takes what fits.
    end = capacity_;
    end_reached_ = 1;
  }
  const uint32_t put = static_cast<uint32_t>(end - position_);
  if (put != 0) std::memcpy(data_ + position_, buffer, put);
  position_ += put;
  if (position_ > length_) length_ = position_;
  if (!owns_ && position_ == capacity_) end_reached_ = 1;
  return put;
}

bool CodedBuffer::Seek(uint64_t position) {
  if (position > capacity_ && !Grow(position)) {
    end_reached_ = 1;
    return false;
  }
  position_ = static_cast<uint32_t>(position);
  return true;
}

// ---- Range encoder

void RangeEncoder::ShiftLow() {
  if (low_ < 0x7F800000u) {
    out_->PutByte(static_cast<uint8_t>(held_));
    for (; pending_ != 0; --pending_) out_->PutByte(0xFF);
    held_ = low_ >> 23;
  } else if (low_ >= 0x80000000u) {
    ++carries_;
    out_->PutByte(static_cast<uint8_t>(held_ + 1));
    for (; pending_ != 0; --pending_) out_->PutByte(0x00);
    held_ = (low_ >> 23) & 0xFF;
  } else {
    ++pending_;
  }
  range_ <<= 8;
  low_ = (low_ << 8) & 0x7FFFFFFFu;
}

void RangeEncoder::Flush() {
  Normalize();
  if (low_ >= 0x80000000u) {
    ++carries_;
    out_->PutByte(static_cast<uint8_t>(held_ + 1));
    for (; pending_ != 0; --pending_) out_->PutByte(0x00);
  } else {
    out_->PutByte(static_cast<uint8_t>(held_));
    for (; pending_ != 0; --pending_) out_->PutByte(0xFF);
  }
  out_->PutByte(static_cast<uint8_t>((low_ >> 23) & 0xFF));
  for (int i = 0; i < 4; ++i) out_->PutByte(0xFF);
}

// ---- Models

void EntropyModels::Reset(bool all) {
  for (auto& p : symbol0) p = kProbabilityStart;
  for (auto& p : run0) p = kProbabilityStart;
  if (all) {
    for (auto& p : symbol1) p = kProbabilityStart;
    for (auto& p : run1) p = kProbabilityStart;
  }
}

// ---- Count coder

namespace {

template <bool kMix>
inline void CountDecision(RangeEncoder& enc, uint32_t bit, uint16_t& p0, uint32_t s0,
                          uint16_t* p1, uint32_t s1, uint32_t w) {
  if (kMix) {
    enc.Encode(bit, Mix(p0, *p1, w));
    Adapt(p0, bit, s0);
    Adapt(*p1, bit, s1);
  } else {
    enc.Encode(bit, p0);
    Adapt(p0, bit, s0);
  }
}

template <bool kMix>
inline uint32_t CountDecision(RangeDecoder& dec, uint16_t& p0, uint32_t s0, uint16_t* p1,
                              uint32_t s1, uint32_t w) {
  uint32_t bit;
  if (kMix) {
    bit = dec.Decode(Mix(p0, *p1, w));
    Adapt(p0, bit, s0);
    Adapt(*p1, bit, s1);
  } else {
    bit = dec.Decode(p0);
    Adapt(p0, bit, s0);
  }
  return bit;
}

template <bool kMix>
inline void EncodeCountT(RangeEncoder& enc, uint32_t v, uint16_t* table, uint32_t shift,
                         uint16_t* context, uint32_t context_shift, uint32_t weight) {
  uint32_t i = 0;
  for (; i < 32; ++i) {
    const uint32_t stop = (v >> i) == 0 ? 1 : 0;
    CountDecision<kMix>(enc, stop, table[i], shift, kMix ? context + i : nullptr, context_shift,
                        weight);
    if (stop) break;
  }
  if (i >= 2) {
    for (int b = static_cast<int>(i) - 2; b >= 0; --b) enc.EncodeBit((v >> b) & 1);
  }
}

template <bool kMix>
inline uint32_t DecodeCountT(RangeDecoder& dec, uint16_t* table, uint32_t shift,
                             uint16_t* context, uint32_t context_shift, uint32_t weight) {
  uint32_t i = 0;
  for (; i < 32; ++i) {
    if (CountDecision<kMix>(dec, table[i], shift, kMix ? context + i : nullptr, context_shift,
                            weight))
      break;
  }
  if (i < 2) return i;
  uint32_t v = 1;
  for (uint32_t b = 0; b + 1 < i; ++b) v = (v << 1) | dec.DecodeBit();
  return v;
}

}  // namespace

void EncodeCount(RangeEncoder& enc, uint32_t v, uint16_t* table, uint32_t shift,
                 uint16_t* context, uint32_t context_shift, uint32_t weight) {
  if (weight != 0 && context != nullptr)
    EncodeCountT<true>(enc, v, table, shift, context, context_shift, weight);
  else
    EncodeCountT<false>(enc, v, table, shift, nullptr, 0, 0);
}

uint32_t DecodeCount(RangeDecoder& dec, uint16_t* table, uint32_t shift, uint16_t* context,
                     uint32_t context_shift, uint32_t weight) {
  if (weight != 0 && context != nullptr)
    return DecodeCountT<true>(dec, table, shift, context, context_shift, weight);
  return DecodeCountT<false>(dec, table, shift, nullptr, 0, 0);
}

// ---- Blocks

namespace {

struct Params {
  uint32_t sym_shift, o1_shift, run_shift, ctx_shift, ws, wr;
  explicit Params(uint32_t m)
      : sym_shift(SymbolShift(m)),
        o1_shift(Order1Shift(m)),
        run_shift(RunShift(m)),
        ctx_shift(RunContextShift(m)),
        ws(SymbolWeight(m)),
        wr(RunWeight(m)) {}
};

// The same fields as compile-time constants, for the method words the encoder writes.
template <uint32_t kWord>
struct FixedParams {
  static constexpr uint32_t sym_shift = SymbolShift(kWord);
  static constexpr uint32_t o1_shift = Order1Shift(kWord);
  static constexpr uint32_t run_shift = RunShift(kWord);
  static constexpr uint32_t ctx_shift = RunContextShift(kWord);
  static constexpr uint32_t ws = SymbolWeight(kWord);
  static constexpr uint32_t wr = RunWeight(kWord);
  explicit FixedParams(uint32_t) {}
};

template <bool kMixSym, class P>
inline void EncodeSymbol(RangeEncoder& enc, uint32_t y, EntropyModels& md, uint32_t prev,
                         const P& pr) {
  uint16_t* o1 = md.symbol1 + (prev << 8);
  uint32_t node = 1;
  for (int b = 7; b >= 0; --b) {
    const uint32_t bit = (y >> b) & 1;
    if (kMixSym) {
      enc.Encode(bit, Mix(md.symbol0[node], o1[node], pr.ws));
      Adapt(md.symbol0[node], bit, pr.sym_shift);
      Adapt(o1[node], bit, pr.o1_shift);
    } else {
      enc.Encode(bit, md.symbol0[node]);
      Adapt(md.symbol0[node], bit, pr.sym_shift);
    }
    node = 2 * node + bit;
  }
}

// Decoding is bound by the chain from one decision to the next: the next probability
// depends on the bit just decoded. Both children's probabilities are therefore loaded and
// mixed before the decision, and the decision's comparison selects one of them. The tree
// walk is unrolled, which keeps the node and the table pointers in registers. The models
// and the decisions are exactly those of the plain walk down the tree.
template <bool kMixSym, class P>
inline uint32_t DecodeSymbol(RangeDecoder& dec, EntropyModels& md, uint32_t prev,
                             const P& pr) {
  uint16_t* s0 = md.symbol0;
  uint16_t* o1 = md.symbol1 + (prev << 8);
  auto probability = [&](size_t k) -> uint32_t {
    return kMixSym ? Mix(s0[k], o1[k], pr.ws) : s0[k];
  };
  auto adapt = [&](size_t k, size_t zero) {
    AdaptByMask(s0[k], static_cast<uint32_t>(zero), pr.sym_shift);
    if (kMixSym) AdaptByMask(o1[k], static_cast<uint32_t>(zero), pr.o1_shift);
  };
  size_t node = 1;
  uint32_t p = probability(1);
#pragma GCC unroll 8
  for (int b = 0; b < 8; ++b) {
    uint32_t p_next = 0, p_one = 0;
    if (b < 7) {
      p_next = probability(2 * node);
      p_one = probability(2 * node + 1);
    }
    const size_t zero = dec.DecodeSelectMask(p, p_next, p_one);
    p = p_next;
    adapt(node, zero);
    node = 2 * node + 1 + zero;
  }
  return static_cast<uint32_t>(node & 0xFF);
}

template <bool kMtf, bool kRle, bool kMixSym, bool kMixRun, class P = Params>
bool EncodeBlockT(const uint8_t* x, uint32_t n, uint32_t method, CodedBuffer& out,
                  EntropyModels& md, const ProgressTicker& ticker, uint32_t limit) {
  const P pr(method);
  uint8_t list[256];
  for (int i = 0; i < 256; ++i) list[i] = static_cast<uint8_t>(i);
  RangeEncoder enc;
  enc.Start(&out);
  uint32_t prev = 0;
  auto emit = [&](uint32_t s, uint32_t count) {
    uint32_t y = s;
    uint32_t j = 0;
    if (kMtf) {
      while (list[j] != s) ++j;
      y = kRle ? ((j - 1) & 0xFF) : j;
    }
    EncodeSymbol<kMixSym, P>(enc, y, md, prev, pr);
    if (kRle) {
      if (kMixRun)
        EncodeCountT<true>(enc, count, md.run0, pr.run_shift, md.run1 + prev * 32, pr.ctx_shift,
                           pr.wr);
      else
        EncodeCountT<false>(enc, count, md.run0, pr.run_shift, nullptr, 0, 0);
    }
    if (kMtf && j != 0) {
      std::memmove(list + 1, list, j);
      list[0] = static_cast<uint8_t>(s);
    }
    prev = s;
  };
  uint32_t current = x[0];
  uint32_t count = 0;
  for (uint32_t pos = 1; pos < n; ++pos) {
    const uint32_t c = x[pos];
    if (c == current) ++count;
    if (!kRle || c != current) {
      emit(current, count);
      current = c;
      count = 0;
      if (out.Length() > limit) return false;
    }
    if ((pos & 0xFFFF) == 0) ticker.Tick();
  }
  emit(current, count);
  enc.Flush();
  return out.Length() <= limit;
}

template <bool kMtf, bool kRle, bool kMixSym, bool kMixRun, class P = Params>
void DecodeBlockT(CodedBuffer& in, uint8_t* out, uint32_t n, uint32_t method,
                  EntropyModels& md, const ProgressTicker& ticker) {
  const P pr(method);
  uint8_t list[256];
  for (int i = 0; i < 256; ++i) list[i] = static_cast<uint8_t>(i);
  RangeDecoder dec;
  dec.Start(&in);
  uint32_t prev = 0;
  uint32_t pos = 0;
  uint32_t mark = 0x10000;
  while (pos < n) {
    uint32_t y = DecodeSymbol<kMixSym, P>(dec, md, prev, pr);
    uint32_t count = 0;
    if (kRle) {
      if (kMixRun)
        count = DecodeCountT<true>(dec, md.run0, pr.run_shift, md.run1 + prev * 32, pr.ctx_shift,
                                   pr.wr);
      else
        count = DecodeCountT<false>(dec, md.run0, pr.run_shift, nullptr, 0, 0);
    }
    uint32_t s = y;
    if (kMtf) {
      if (kRle) y = (y + 1) & 0xFF;
      s = list[y];
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      // Most ranks are small: the first eight entries move as one word, without a call.
      if (y < 8) {
        uint64_t w;
        std::memcpy(&w, list, 8);
        const uint64_t moved = ((1ull << (8 * y)) - 1) << 8;  // entries 1..y
        w = (w & ~moved & ~0xFFull) | ((w << 8) & moved) | s;
        std::memcpy(list, &w, 8);
      } else {
        std::memmove(list + 1, list, y);
        list[0] = static_cast<uint8_t>(s);
      }
#else
      std::memmove(list + 1, list, y);
      list[0] = static_cast<uint8_t>(s);
#endif
    }
    if (kRle) {
      if (count >= n - pos) throw GflException(kGflDataError, "run passes the block end");
      std::memset(out + pos, static_cast<int>(s), count + 1);
      pos += count + 1;
    } else {
      out[pos++] = static_cast<uint8_t>(s);
    }
    prev = s;
    if (pos >= mark) {
      ticker.Tick();
      mark += 0x10000;
    }
  }
  in.Seek(in.Length());
}

using EncodeFn = bool (*)(const uint8_t*, uint32_t, uint32_t, CodedBuffer&, EntropyModels&,
                          const ProgressTicker&, uint32_t);
using DecodeFn = void (*)(CodedBuffer&, uint8_t*, uint32_t, uint32_t, EntropyModels&,
                          const ProgressTicker&);

#define GCA_VARIANTS(F)                                                                   \
  {F<false, false, false, false>, F<false, false, false, true>, F<false, false, true, false>, \
   F<false, false, true, true>,   F<false, true, false, false>, F<false, true, false, true>,  \
   F<false, true, true, false>,   F<false, true, true, true>,   F<true, false, false, false>, \
   F<true, false, false, true>,   F<true, false, true, false>,  F<true, false, true, true>,   \
   F<true, true, false, false>,   F<true, true, false, true>,   F<true, true, true, false>,   \
   F<true, true, true, true>}

const EncodeFn kEncoders[16] = GCA_VARIANTS(EncodeBlockT);
const DecodeFn kDecoders[16] = GCA_VARIANTS(DecodeBlockT);

unsigned VariantOf(uint32_t method) {
  const bool mtf = (method & kMethodMtf) != 0;
  const bool rle = (method & kMethodRle) != 0;
  const bool mix_sym = SymbolWeight(method) != 0;
  const bool mix_run = rle && RunWeight(method) != 0;
  return (mtf ? 8u : 0u) | (rle ? 4u : 0u) | (mix_sym ? 2u : 0u) | (mix_run ? 1u : 0u);
}

// Specialised coders for the method words the encoder writes (noise bit aside).
template <uint32_t W>
constexpr bool kWordMtf = (W & kMethodMtf) != 0;
template <uint32_t W>
constexpr bool kWordRle = (W & kMethodRle) != 0;
template <uint32_t W>
constexpr bool kWordMixSym = SymbolWeight(W) != 0;
template <uint32_t W>
constexpr bool kWordMixRun = (W & kMethodRle) != 0 && RunWeight(W) != 0;

#define GCA_FIXED(F, W) F<kWordMtf<W>, kWordRle<W>, kWordMixSym<W>, kWordMixRun<W>, FixedParams<W>>

EncodeFn EncoderFor(uint32_t method) {
  switch (method & ~kMethodNoise) {
    case 0x11005600: return GCA_FIXED(EncodeBlockT, 0x11005600);
    case 0x00301030: return GCA_FIXED(EncodeBlockT, 0x00301030);
    case 0x00201030: return GCA_FIXED(EncodeBlockT, 0x00201030);
    case 0x00202040: return GCA_FIXED(EncodeBlockT, 0x00202040);
    case 0x00203050: return GCA_FIXED(EncodeBlockT, 0x00203050);
    default: return kEncoders[VariantOf(method)];
  }
}

DecodeFn DecoderFor(uint32_t method) {
  switch (method & ~kMethodNoise) {
    case 0x11005600: return GCA_FIXED(DecodeBlockT, 0x11005600);
    case 0x00301030: return GCA_FIXED(DecodeBlockT, 0x00301030);
    case 0x00201030: return GCA_FIXED(DecodeBlockT, 0x00201030);
    case 0x00202040: return GCA_FIXED(DecodeBlockT, 0x00202040);
    case 0x00203050: return GCA_FIXED(DecodeBlockT, 0x00203050);
    default: return kDecoders[VariantOf(method)];
  }
}

bool AllTables(uint32_t method) { return SymbolWeight(method) != 0 || RunWeight(method) != 0; }

}  // namespace

bool EncodeBlock(const uint8_t* x, uint32_t n, uint32_t method, CodedBuffer& out,
                 EntropyModels& models, const ProgressTicker& ticker, uint32_t limit) {
  models.Reset(AllTables(method));
  if (n == 0) return true;
  return EncoderFor(method)(x, n, method, out, models, ticker, limit);
}

void DecodeBlock(CodedBuffer& in, uint8_t* out, uint32_t n, uint32_t method,
                 EntropyModels& models, const ProgressTicker& ticker) {
  if (!MethodWordValid(method)) throw GflException(kGflDataError, "bad method word");
  models.Reset(AllTables(method));
  if (n == 0) return;
  DecoderFor(method)(in, out, n, method, models, ticker);
}

}  // namespace gca
