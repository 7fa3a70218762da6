// The entropy stage of the block codec: a carry-less binary range coder, adaptive
// 12-bit probabilities, binary-tree symbol and unary-prefix count coders with an
// order-0 and an optional order-1 model, and move-to-front / run-length front ends.
// Every parameter of a block is held in one 32-bit method word.
#pragma once
#include <cstddef>
#include <cstdint>

#include "codec/byte_stream.h"

namespace gca {

// Method word fields.
constexpr uint32_t kMethodFixed = 0x11005600;  // the GCF1 scheme: MTF, RLE, order 0
constexpr uint32_t kMethodRle = 1u << 24;
constexpr uint32_t kMethodMtf = 1u << 28;
constexpr uint32_t kMethodNoise = 1u << 31;

constexpr uint32_t kProbabilityStart = 2048;

constexpr uint32_t RunContextShift(uint32_t w) { return w & 15; }
constexpr uint32_t Order1Shift(uint32_t w) { return (w >> 4) & 15; }
constexpr uint32_t RunShift(uint32_t w) { return (w >> 8) & 15; }
constexpr uint32_t SymbolShift(uint32_t w) { return (w >> 12) & 15; }
constexpr uint32_t RunWeight(uint32_t w) { return (w >> 16) & 15; }
constexpr uint32_t SymbolWeight(uint32_t w) { return (w >> 20) & 15; }

// False for a word that switches on a model with adaptation shift 0 or has a mixing
// weight above 4 (the run weight too when runs are not coded): such a word never comes
// from the encoder and would let a probability leave 1..4095.
bool MethodWordValid(uint32_t word);

// A memory buffer as a byte stream. An output buffer owns its memory and doubles it
// when a byte is written into a full buffer; an input buffer wraps the caller's memory,
// and reading past its end sets the end-reached flag and yields 0 bytes.
class CodedBuffer : public ByteStream {
 public:
  CodedBuffer() = default;
  // An owning output buffer of at least 1,024 bytes.
  explicit CodedBuffer(uint32_t capacity);
  // An input buffer over data[0..length-1].
  CodedBuffer(const uint8_t* data, uint32_t length);
  ~CodedBuffer() override;
  CodedBuffer(const CodedBuffer&) = delete;
  CodedBuffer& operator=(const CodedBuffer&) = delete;

  int32_t EndReached() const override { return end_reached_; }
  uint32_t Read(void* buffer, uint32_t n) override;
  uint32_t Write(const void* buffer, uint32_t n) override;
  bool Seek(uint64_t position) override;
  uint64_t Tell() override { return position_; }

  // Makes this an empty owning output buffer of at least `capacity` bytes, keeping
  // memory it already owns when that is large enough. False when allocation fails.
  bool StartOutput(uint32_t capacity);
  // Makes this an input buffer over the caller's memory.
  void StartInput(const uint8_t* data, uint32_t length);

  // Fast paths of Write and Read for one byte.
  void PutByte(uint8_t b) {
    if (position_ >= capacity_ && !Grow(position_ + 1)) return;
    data_[position_++] = b;
    if (position_ > length_) length_ = position_;
  }
  uint8_t GetByte() {
    if (position_ < length_) return data_[position_++];
    end_reached_ = 1;
    return 0;
  }

  const uint8_t* Data() const { return data_; }
  // Bytes held: the stream length of an output buffer, the wrapped length of an input.
  uint32_t Length() const { return length_; }
  uint32_t Capacity() const { return capacity_; }

 private:
  bool Grow(uint64_t needed);
  void FreeOwned();

  uint8_t* data_ = nullptr;
  uint32_t capacity_ = 0;
  uint32_t length_ = 0;
  uint32_t position_ = 0;
  bool owns_ = false;
};

class RangeEncoder {
 public:
  void Start(CodedBuffer* out) {
    out_ = out;
    low_ = 0;
    range_ = 0x80000000u;
    held_ = 0;
    pending_ = 0;
    carries_ = 0;
  }
  // Codes a decision: 0 with probability p / 4096.
  void Encode(uint32_t bit, uint32_t p) {
    Normalize();
    const uint32_t r = p * (range_ >> 12);
    // Without branches: the decisions of a good model are hard to predict.
    const uint32_t mask = 0u - bit;
    low_ += r & mask;
    range_ = ((range_ - r) & mask) | (r & ~mask);
  }
  void EncodeBit(uint32_t bit) {
    Normalize();
    const uint32_t r = range_ >> 1;
    if (bit == 0) {
      range_ = r;
    } else {
      low_ += r;
      range_ -= r;
    }
  }
  void Flush();
  // How many times a carry ran into the held byte (and pending bytes) so far.
  uint32_t Carries() const { return carries_; }

 private:
  void Normalize() {
    while (range_ <= 0x800000u) ShiftLow();
  }
  void ShiftLow();

  CodedBuffer* out_ = nullptr;
  uint32_t low_ = 0;
  uint32_t range_ = 0;
  uint32_t held_ = 0;
  uint32_t pending_ = 0;
  uint32_t carries_ = 0;
};

class RangeDecoder {
 public:
  // Reads straight from the buffer's memory; past its end every byte is 0.
  void Start(CodedBuffer* in) {
    const uint8_t* data = in->Data();
    const uint32_t length = in->Length();
    next_ = data;
    end_ = data + length;
    Next();  // the encoder's initial held byte
    last_ = Next();
    low_ = last_ >> 1;
    range_ = 0x80;
  }
  uint32_t Decode(uint32_t p) {
    uint32_t unused = 0;
    return static_cast<uint32_t>(DecodeSelectMask(p, unused, 0) + 1);
  }
  // Decode(p) for a decision whose successor has probability p_zero after a 0 and p_one
  // after a 1: p_zero becomes the successor's. Returns all ones after a 0 and zero after a
  // 1 (the mask AdaptByMask takes). On x86 the comparison drives conditional moves
  // directly: compilers turn the plain form into a branch on the decision, which a good
  // model makes unpredictable, and the masks of the portable form lengthen the chain from
  // one decision to the next.
  size_t DecodeSelectMask(uint32_t p, uint32_t& p_zero, uint32_t p_one) {
    Normalize();
    uint32_t r = p * (range_ >> 12);
#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
    const uint32_t low_one = low_ - r;
    const uint32_t range_one = range_ - r;
    size_t zero;  // register wide, so that it indexes without an extension
    __asm__("cmpl %[r], %[low]\n\t"
            "cmovael %[low_one], %[low]\n\t"
            "cmovael %[range_one], %[r]\n\t"
            "cmovael %[p_one], %[p_zero]\n\t"
            "sbb %[zero], %[zero]"
            : [low] "+r"(low_), [r] "+r"(r), [p_zero] "+r"(p_zero), [zero] "=r"(zero)
            : [low_one] "rm"(low_one), [range_one] "rm"(range_one), [p_one] "rm"(p_one)
            : "cc");
    range_ = r;
    return zero;
#else
    const size_t zero = low_ >= r ? 0u : ~size_t{0};
    low_ -= r & ~zero;
    range_ = ((range_ - r) & ~zero) | (r & zero);
    p_zero = (p_zero & zero) | (p_one & ~zero);
    return zero;
#endif
  }
  uint32_t DecodeBit() {
    Normalize();
    const uint32_t r = range_ >> 1;
    if (low_ < r) {
      range_ = r;
      return 0;
    }
    low_ -= r;
    range_ -= r;
    return 1;
  }
  // True once the decoder has asked for a byte behind the end of its input.
  bool Exhausted() const { return overrun_; }

 private:
  uint32_t Next() {
    if (next_ < end_) return *next_++;
    overrun_ = true;
    return 0;
  }
  void Normalize() {
    while (range_ <= 0x800000u) {
      low_ = ((low_ << 1) | (last_ & 1)) << 7;
      last_ = Next();
      low_ |= last_ >> 1;
      range_ <<= 8;
    }
  }

  const uint8_t* next_ = nullptr;
  const uint8_t* end_ = nullptr;
  uint32_t low_ = 0;
  uint32_t range_ = 0;
  uint32_t last_ = 0;
  bool overrun_ = false;
};

// Adaptation of a probability after a decision, given as a mask: all ones after a 0,
// zero after a 1.
static_assert((-5 >> 1) == -3, "AdaptByMask needs an arithmetic right shift of negative values");
inline void AdaptByMask(uint16_t& p, uint32_t zero, uint32_t shift) {
  // Decision 0: p + ((4096 - p) >> shift); decision 1: p - (p >> shift). Both are
  // p + ((target - p) >> shift) with an arithmetic shift, for target 4096 after a 0 and
  // 2^shift - 1 after a 1 (floor((2^shift - 1 - p) / 2^shift) = -floor(p / 2^shift)),
  // which needs fewer instructions than the two masked terms.
  const uint32_t low_target = (1u << shift) - 1;
  const int32_t target = static_cast<int32_t>((zero & (4096u - low_target)) + low_target);
  const int32_t old = p;
  p = static_cast<uint16_t>(old + ((target - old) >> shift));
}

inline void Adapt(uint16_t& p, uint32_t bit, uint32_t shift) { AdaptByMask(p, bit - 1, shift); }

// Probability of a decision mixed from an order-0 entry and a context entry.
inline uint32_t Mix(uint32_t p0, uint32_t p1, uint32_t weight) {
  // Weight 2 (the encoder's choice) is the plain mean: the same value, no multiplications.
  if (weight == 2) return (p0 + p1) >> 1;
  return (weight * p1 + (4 - weight) * p0) >> 2;
}

// The model tables of one codec object, reused for every block.
struct EntropyModels {
  uint16_t symbol0[256];
  uint16_t run0[32];
  uint16_t symbol1[256 * 256];
  uint16_t run1[256 * 32];

  // Every entry of the order-0 tables, and of the context tables too when `all`.
  void Reset(bool all);
};

// Count coder: a unary prefix of up to 32 decisions with table entries [0..31]
// (mixed with `context[i]` when weight != 0), then the bits below the highest set bit.
void EncodeCount(RangeEncoder& enc, uint32_t v, uint16_t* table, uint32_t shift,
                 uint16_t* context = nullptr, uint32_t context_shift = 0, uint32_t weight = 0);
uint32_t DecodeCount(RangeDecoder& dec, uint16_t* table, uint32_t shift,
                     uint16_t* context = nullptr, uint32_t context_shift = 0,
                     uint32_t weight = 0);

// Progress tick of the entropy stage: every 64 KiB of symbols.
struct ProgressTicker {
  void (*fn)(void* context) = nullptr;
  void* context = nullptr;
  void Tick() const {
    if (fn != nullptr) fn(context);
  }
};

// Codes x[0..n-1] (n >= 1) with the method word into out. With a limit, coding stops
// as soon as the stream holds more than `limit` bytes (the caller would store the
// block anyway) and false is returned; otherwise the stream is flushed and true returned.
bool EncodeBlock(const uint8_t* x, uint32_t n, uint32_t method, CodedBuffer& out,
                 EntropyModels& models, const ProgressTicker& ticker,
                 uint32_t limit = 0xFFFFFFFFu);

// Decodes n bytes from in into out. A method word that MethodWordValid rejects, or a
// run that would pass n, raises GflException(kGflDataError).
void DecodeBlock(CodedBuffer& in, uint8_t* out, uint32_t n, uint32_t method,
                 EntropyModels& models, const ProgressTicker& ticker);

}  // namespace gca
