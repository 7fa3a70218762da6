// Feeds arbitrary bytes to the block codec as one frame in memory and as a stream of
// frames read and skipped through a frame source. Any outcome but a data error or a
// result within the given capacity is a fault.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/gfl_exception.h"
#include "codec/block_codec.h"
#include "tests/fuzz/frame_fuzz_capacity.h"

namespace {

class MemorySource : public gca::FrameSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  void ReadExactly(void* buffer, uint32_t n) override {
    if (n > size_ - pos_) throw gca::GflException(gca::kGflDataError);
    std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
  }
  void SkipForward(uint64_t n) override {
    if (n > size_ - pos_) throw gca::GflException(gca::kGflDataError);
    pos_ += static_cast<size_t>(n);
  }
  bool AtEnd() const { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

gca::BlockCodec* Codec() {
  static gca::BlockCodec* codec = [] {
    auto* c = new gca::BlockCodec;
    if (!c->Allocate()) std::abort();
    return c;
  }();
  return codec;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > gca::kFrameBufferSize) return 0;
  gca::BlockCodec* codec = Codec();
  // The last byte picks an output capacity, so that short areas are exercised too.
  const uint32_t capacity = gca::FrameFuzzCapacity(data, size);
  // Exactly `capacity` bytes (not zeroed: only writes past the end matter here).
  std::unique_ptr<uint8_t[]> out(new uint8_t[capacity == 0 ? 1 : capacity]);
  try {
    const uint32_t n =
        codec->DecompressFrame(data, static_cast<uint32_t>(size), out.get(), capacity);
    if (n > capacity) std::abort();
  } catch (const gca::GflException& e) {
    if (e.Code != gca::kGflDataError) std::abort();
  }
  MemorySource source(data, size);
  for (int frames = 0; frames < 4 && !source.AtEnd(); ++frames) {
    try {
      if (frames % 2 == 1) {
        codec->SkipFrame(source);
      } else if (codec->ReadFrame(source, out.get(), capacity) > capacity) {
        std::abort();
      }
    } catch (const gca::GflException& e) {
      if (e.Code != gca::kGflDataError) std::abort();
      break;
    }
  }
  return 0;
}
