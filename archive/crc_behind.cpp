#include "archive/crc_behind.h"

#include "codec/threads.h"

namespace gca {

struct CrcBehind::Worker {
  const Crc32& crc;
  Mutex mutex;
  ConditionVariable wake;  // a block was handed over, or the worker must end
  ConditionVariable done;  // the block handed over was added
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  bool busy = false;  // a block is handed over and not yet added
  bool stop = false;
  uint32_t value = 0;
  Thread thread;

  explicit Worker(const Crc32& c) : crc(c) {}

  void Run() {
    mutex.Lock();
    for (;;) {
      wake.Wait(mutex, [&] { return busy || stop; });
      if (!busy) break;
      const uint8_t* p = data;
      const uint32_t n = length;
      uint32_t v = value;
      mutex.Unlock();
      v = crc.Update(p, n, v);
      mutex.Lock();
      value = v;
      busy = false;
      done.NotifyAll();
    }
    mutex.Unlock();
  }

  void WaitIdle() {
    done.Wait(mutex, [&] { return !busy; });
  }
};

CrcBehind::CrcBehind(const Crc32& crc, bool threaded) : crc_(crc) {
  if (!threaded) return;
  auto worker = std::make_unique<Worker>(crc);
  Worker* w = worker.get();
  if (worker->thread.Start([w] { w->Run(); })) worker_ = std::move(worker);
}

CrcBehind::~CrcBehind() {
  if (!worker_) return;
  worker_->mutex.Lock();
  worker_->stop = true;
  worker_->wake.NotifyAll();
  worker_->mutex.Unlock();
  worker_->thread.Join();
}

void CrcBehind::Add(const uint8_t* data, uint32_t n) {
  if (!worker_) {
    value_ = crc_.Update(data, n, value_);
    return;
  }
  MutexLock lock(worker_->mutex);
  worker_->WaitIdle();
  worker_->data = data;
  worker_->length = n;
  worker_->busy = true;
  worker_->wake.NotifyOne();
}

uint32_t CrcBehind::Take() {
  uint32_t v = value_;
  value_ = 0;
  if (worker_) {
    MutexLock lock(worker_->mutex);
    worker_->WaitIdle();
    v = worker_->value;
    worker_->value = 0;
  }
  return v;
}

}  // namespace gca
