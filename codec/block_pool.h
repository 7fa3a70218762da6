// Blocks coded on every core. Blocks share no state, so frames can be coded side by side
// by workers that each own a BlockCodec; the owner thread cuts frames (or fills raw
// blocks) in order, hands them to the pool and takes the results back in the same order.
// Output never depends on the number of workers.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/block_codec.h"
#include "codec/threads.h"

namespace gca {

class BlockPool {
 public:
  enum class Work : uint8_t { kNone, kDecode, kEncode };

  // One block in flight. The owner fills input (and its length, capacity, tag) before
  // Submit; the worker fills output and output_length, or the failure.
  struct Slot {
    uint8_t* input = nullptr;   // kFrameBufferSize bytes: a frame, or a raw block
    uint8_t* output = nullptr;  // kFrameBufferSize bytes: the decoded block, or the frame
    uint32_t input_length = 0;
    uint32_t capacity = 0;      // decoding: most bytes the frame may yield
    uint32_t output_length = 0;
    uint64_t tag = 0;           // the owner's mark, handed back untouched
    bool failed = false;
    uint32_t code = 0;
    std::string message;
  };

  // Each worker allocates its codec's buffers (about 17.2 MiB) and brings two slots of
  // two frame buffers (4 MiB), plus its thread's stack.
  explicit BlockPool(unsigned workers);
  ~BlockPool();
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;

  // Allocates every codec and slot and starts the threads; false (and nothing left
  // running) when any of it fails.
  bool Start();
  unsigned Workers() const { return unsigned(codecs_.size()); }

  // Owner side, one thread.
  bool Full() const { return tail_ - head_ == slots_.size(); }
  bool Empty() const { return tail_ == head_; }
  // The slot to fill next (only while not Full); it stays the same until Submit.
  Slot& Next();
  // Hands Next() to the workers; kNone hands it back as already complete (a failure the
  // owner met while filling it, reported in its turn).
  void Submit(Work work);
  // Waits until the oldest submitted slot is complete (only while not Empty).
  Slot& Oldest();
  void Pop();
  // Waits for every submitted slot and forgets them.
  void Drain();
  // The oldest submitted slot without waiting for it: only the fields the owner filled
  // (tag, capacity) may be looked at.
  const Slot& Peek() const { return slots_[size_t(head_ % slots_.size())]; }
  // Reads one frame from source into slot's input, walking its head and payload as
  // BlockCodec::ReadFrame does, with the same checks, and refusing a block longer than
  // capacity. Returns the block length the head gives; raises GflException.
  uint32_t CutFrame(FrameSource& source, Slot& slot, uint32_t capacity);

 private:
  void Run(unsigned worker);
  void Stop();

  std::vector<std::unique_ptr<BlockCodec>> codecs_;
  BlockCodec framer_;  // only walks frame heads; its buffers stay unallocated
  std::vector<Slot> slots_;
  std::vector<std::unique_ptr<uint8_t[]>> memory_;
  std::vector<Work> work_;
  std::vector<uint8_t> done_;
  std::vector<std::unique_ptr<Thread>> threads_;
  Mutex mutex_;
  ConditionVariable work_ready_;
  ConditionVariable slot_done_;
  uint64_t head_ = 0;      // oldest submitted slot
  uint64_t tail_ = 0;      // next slot to submit
  uint64_t taken_ = 0;     // next submitted slot a worker takes
  bool stopping_ = false;
};

// Reads frames from a source in order and decodes them ahead on the pool. `wanted` is
// the number of bytes the frames must yield; with limit_each, a frame may yield at most
// the bytes still wanted (as an entry's frames), otherwise up to a whole block (as a
// solid stream's). The frame bytes are read exactly as BlockCodec::ReadFrame reads them,
// and the first failure in stream order is raised when its frame's turn comes.
class PooledFrameReader {
 public:
  PooledFrameReader(BlockPool& pool, FrameSource& source, uint64_t wanted, bool limit_each);
  ~PooledFrameReader();
  PooledFrameReader(const PooledFrameReader&) = delete;
  PooledFrameReader& operator=(const PooledFrameReader&) = delete;

  // The next block, copied to out (room for kBlockSize bytes); returns its length, 0
  // when nothing more was wanted. Raises GflException like ReadFrame.
  uint32_t ReadFrame(uint8_t* out);

 private:
  void Fill();

  BlockPool& pool_;
  FrameSource& source_;
  BlockCodec framer_;  // only walks frame heads; its buffers stay unallocated
  uint64_t left_to_cut_;
  bool limit_each_;
  bool stopped_ = false;
};

}  // namespace gca
