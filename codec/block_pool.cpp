#include "codec/block_pool.h"

#include <cstring>
#include <new>

#include "codec/gfl_exception.h"

namespace gca {
namespace {

// Collects the bytes of one frame, read in order from the archive's source (and so
// descrambled in order), into a slot's input buffer. Skipped payload is read rather than
// skipped: the worker needs it.
class RecordingSource : public FrameSource {
 public:
  RecordingSource(FrameSource& source, uint8_t* buffer) : source_(source), buffer_(buffer) {}
  void ReadExactly(void* buffer, uint32_t n) override {
    Reserve(n);
    source_.ReadExactly(buffer, n);
    std::memcpy(buffer_ + length_, buffer, n);
    length_ += n;
  }
  void SkipForward(uint64_t n) override {
    Reserve(n);
    source_.ReadExactly(buffer_ + length_, uint32_t(n));
    length_ += uint32_t(n);
  }
  uint32_t Length() const { return length_; }

 private:
  void Reserve(uint64_t n) const {
    if (n > kFrameBufferSize - length_) throw GflException(kGflDataError, "frame too long");
  }

  FrameSource& source_;
  uint8_t* buffer_;
  uint32_t length_ = 0;
};

void Fail(BlockPool::Slot& slot, uint32_t code, std::string message) {
  slot.failed = true;
  slot.code = code;
  slot.message = std::move(message);
}

}  // namespace

BlockPool::BlockPool(unsigned workers) {
  if (workers == 0) workers = 1;
  codecs_.resize(workers);
  slots_.resize(size_t(workers) * 2);
  work_.assign(slots_.size(), Work::kNone);
  done_.assign(slots_.size(), 0);
}

BlockPool::~BlockPool() { Stop(); }

bool BlockPool::Start() {
  try {
    for (auto& codec : codecs_) {
      codec = std::make_unique<BlockCodec>();
      if (!codec->Allocate()) return false;
    }
    for (Slot& slot : slots_) {
      memory_.emplace_back(new uint8_t[kFrameBufferSize]);
      slot.input = memory_.back().get();
      memory_.emplace_back(new uint8_t[kFrameBufferSize]);
      slot.output = memory_.back().get();
    }
    for (unsigned w = 0; w < codecs_.size(); ++w) {
      threads_.push_back(std::make_unique<Thread>());
      if (!threads_.back()->Start([this, w] { Run(w); })) {
        Stop();
        return false;
      }
    }
  } catch (const std::bad_alloc&) {
    Stop();
    return false;
  }
  return true;
}

void BlockPool::Stop() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  work_ready_.NotifyAll();
  for (auto& t : threads_) t->Join();
  threads_.clear();
}

BlockPool::Slot& BlockPool::Next() { return slots_[size_t(tail_ % slots_.size())]; }

void BlockPool::Submit(Work work) {
  const size_t at = size_t(tail_ % slots_.size());
  {
    MutexLock lock(mutex_);
    work_[at] = work;
    done_[at] = work == Work::kNone ? 1 : 0;
    tail_ += 1;
  }
  if (work != Work::kNone) work_ready_.NotifyOne();
}

BlockPool::Slot& BlockPool::Oldest() {
  const size_t at = size_t(head_ % slots_.size());
  MutexLock lock(mutex_);
  slot_done_.Wait(mutex_, [&] { return done_[at] != 0; });
  return slots_[at];
}

void BlockPool::Pop() {
  Slot& slot = slots_[size_t(head_ % slots_.size())];
  slot.failed = false;
  slot.code = 0;
  slot.message.clear();
  head_ += 1;
}

void BlockPool::Drain() {
  while (!Empty()) {
    Oldest();
    Pop();
  }
}

uint32_t BlockPool::CutFrame(FrameSource& source, Slot& slot, uint32_t capacity) {
  RecordingSource recorder(source, slot.input);
  const uint32_t n = framer_.SkipFrame(recorder);
  if (n > capacity) throw GflException(kGflDataError, "block too long");
  slot.input_length = recorder.Length();
  slot.capacity = capacity;
  slot.output_length = 0;
  return n;
}

void BlockPool::Run(unsigned worker) {
  BlockCodec& codec = *codecs_[worker];
  mutex_.Lock();
  for (;;) {
    work_ready_.Wait(mutex_, [&] { return stopping_ || taken_ < tail_; });
    if (taken_ >= tail_) break;  // stopping, nothing left
    const size_t at = size_t(taken_ % slots_.size());
    taken_ += 1;
    const Work work = work_[at];
    if (work == Work::kNone) continue;
    Slot& slot = slots_[at];
    mutex_.Unlock();
    // Nothing leaves this thread: a failure travels back in the slot.
    try {
      if (work == Work::kDecode) {
        slot.output_length = codec.DecompressFrame(slot.input, slot.input_length, slot.output, slot.capacity);
      } else {
        slot.output_length = codec.CompressBlock(slot.input, slot.input_length, slot.output);
      }
    } catch (const GflException& e) {
      Fail(slot, e.Code, e.Message);
    } catch (const std::bad_alloc&) {
      Fail(slot, kGflDataError, "out of memory");
    } catch (...) {
      Fail(slot, kGflDataError, std::string());
    }
    mutex_.Lock();
    done_[at] = 1;
    slot_done_.NotifyAll();
  }
  mutex_.Unlock();
}

PooledFrameReader::PooledFrameReader(BlockPool& pool, FrameSource& source, uint64_t wanted, bool limit_each)
    : pool_(pool), source_(source), left_to_cut_(wanted), limit_each_(limit_each) {}

PooledFrameReader::~PooledFrameReader() { pool_.Drain(); }

void PooledFrameReader::Fill() {
  while (!stopped_ && left_to_cut_ != 0 && !pool_.Full()) {
    BlockPool::Slot& slot = pool_.Next();
    const uint32_t capacity =
        limit_each_ && left_to_cut_ < kBlockSize ? uint32_t(left_to_cut_) : kBlockSize;
    slot.capacity = capacity;
    slot.output_length = 0;
    try {
      const uint32_t n = pool_.CutFrame(source_, slot, capacity);
      // A solid stream's last block may run past the bytes wanted.
      left_to_cut_ -= n < left_to_cut_ ? n : left_to_cut_;
      // A frame of nothing ends the entry as damage once its turn comes.
      if (n == 0) stopped_ = true;
      pool_.Submit(BlockPool::Work::kDecode);
    } catch (const GflException& e) {
      Fail(slot, e.Code, e.Message);
      stopped_ = true;
      pool_.Submit(BlockPool::Work::kNone);
    }
  }
}

uint32_t PooledFrameReader::ReadFrame(uint8_t* out) {
  Fill();
  if (pool_.Empty()) return 0;
  BlockPool::Slot& slot = pool_.Oldest();
  if (slot.failed) {
    stopped_ = true;
    throw GflException(slot.code, slot.message);
  }
  const uint32_t n = slot.output_length;
  if (n != 0) std::memcpy(out, slot.output, n);
  pool_.Pop();
  Fill();
  return n;
}

}  // namespace gca
