// The block codec: blocks of up to 1 MiB coded as "GCF0" (stored), "GCF1" (transformed,
// fixed entropy scheme) or "GCF2" (transformed, stored method word) frames.
#pragma once
#include <cstdint>

namespace gca {

constexpr uint32_t kBlockSize = 1u << 20;            // largest block, 1 MiB
constexpr uint32_t kFrameBufferSize = kBlockSize + 32;  // a frame of a full block fits

// Where ReadFrame and SkipFrame take frame bytes from: the archive's read-exactly
// routine (which raises GflException code 5 on a short read and descrambles scrambled
// archives) and a forward skip that keeps the keystream aligned with the byte stream.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Exactly n bytes or GflException(5).
  virtual void ReadExactly(void* buffer, uint32_t n) = 0;
  // Moves n bytes forward without delivering them (running the keystream over them
  // when scrambled); a failed seek raises GflException(5).
  virtual void SkipForward(uint64_t n) = 0;
};

// Progress report: the archive's progress base plus the codec's in-block count.
using CodecProgressFn = void (*)(uint64_t value, void* context);

class BlockCodec {
 public:
  BlockCodec();
  ~BlockCodec();
  BlockCodec(const BlockCodec&) = delete;
  BlockCodec& operator=(const BlockCodec&) = delete;

  // Frees and allocates all work buffers at once; false (and unusable) when any fails.
  bool Allocate();
  void Release();
  bool Ready() const;

  // Codes n (0..kBlockSize) bytes into frame (room for kFrameBufferSize bytes);
  // returns the frame length.
  uint32_t CompressBlock(const uint8_t* input, uint32_t n, uint8_t* frame);
  // Decodes one frame held in memory into out (room for capacity bytes). Returns n, or 0
  // when the magic is none of the three. Damaged data raises GflException(5); nothing is
  // ever written past capacity or read past frame + frame_length.
  uint32_t DecompressFrame(const uint8_t* frame, uint32_t frame_length, uint8_t* out,
                           uint32_t capacity);
  // Reads one frame from source and decodes it into out; n, or 0 for an unknown magic.
  uint32_t ReadFrame(FrameSource& source, uint8_t* out, uint32_t capacity);
  // Moves past one frame without decoding it; returns n. Unknown magic: GflException(5).
  uint32_t SkipFrame(FrameSource& source);

  void SetProgressCallback(CodecProgressFn fn, void* context);
  void SetProgressBase(uint64_t base);

  // The two frame buffers (kFrameBufferSize bytes each) that the archive code uses as
  // its raw block buffer (0) and its copy/decode block buffer (1).
  uint8_t* FrameBuffer(int which);

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace gca
