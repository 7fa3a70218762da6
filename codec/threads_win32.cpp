// The thread primitives on Windows, from what every 32-bit Windows has (95/98/ME and
// NT 4/2000/XP alike): critical sections, auto-reset events, _beginthreadex,
// GetSystemInfo and Sleep. No Vista condition variables or slim reader/writer locks, no
// TryEnterCriticalSection (NT only).
#include <windows.h>
#include <process.h>

#include <new>
#include <utility>

#include "codec/threads.h"

namespace gca {
namespace {

CRITICAL_SECTION* Section(unsigned char* storage) { return reinterpret_cast<CRITICAL_SECTION*>(storage); }

unsigned __stdcall ThreadEntry(void* argument) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return 0;
}

}  // namespace

unsigned ProcessorCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors == 0 ? 1 : unsigned(info.dwNumberOfProcessors);
}

Mutex::Mutex() {
  static_assert(sizeof(CRITICAL_SECTION) <= sizeof section_, "room for a critical section");
  static_assert(alignof(CRITICAL_SECTION) <= alignof(void*), "alignment of a critical section");
  InitializeCriticalSection(Section(section_));
}

Mutex::~Mutex() { DeleteCriticalSection(Section(section_)); }
void Mutex::Lock() { EnterCriticalSection(Section(section_)); }
void Mutex::Unlock() { LeaveCriticalSection(Section(section_)); }

// One waiting thread, on its own stack, queued in arrival order until a notification
// takes it off the queue and sets its event.
struct ConditionVariable::Waiter {
  HANDLE event;
  Waiter* next;
};

ConditionVariable::ConditionVariable() = default;

ConditionVariable::~ConditionVariable() {
  for (int i = 0; i < spare_count_; ++i) CloseHandle(static_cast<HANDLE>(spare_[i]));
}

void* ConditionVariable::TakeEvent() {
  {
    MutexLock hold(queue_lock_);
    if (spare_count_ > 0) return spare_[--spare_count_];
  }
  // Auto-reset, not signalled: one SetEvent releases exactly the one wait on it.
  return CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

void ConditionVariable::KeepEvent(void* event) {
  {
    MutexLock hold(queue_lock_);
    if (spare_count_ < kSpareEvents) {
      spare_[spare_count_++] = event;
      return;
    }
  }
  CloseHandle(static_cast<HANDLE>(event));
}

void ConditionVariable::Wait(Mutex& mutex) {
  Waiter self{static_cast<HANDLE>(TakeEvent()), nullptr};
  if (self.event == nullptr) {
    // No event to wait on: return after a short sleep, a wake-up without a notification,
    // which every caller allows for.
    mutex.Unlock();
    Sleep(1);
    mutex.Lock();
    return;
  }
  {
    // Queued before the caller's lock is released: a notification that follows the
    // caller's change of state finds this waiter.
    MutexLock hold(queue_lock_);
    if (last_ != nullptr) {
      last_->next = &self;
    } else {
      first_ = &self;
    }
    last_ = &self;
  }
  mutex.Unlock();
  // The notifier took this waiter off the queue before setting the event, so once the
  // event is set nothing refers to the waiter any more.
  WaitForSingleObject(self.event, INFINITE);
  mutex.Lock();
  KeepEvent(self.event);
}

void ConditionVariable::NotifyOne() {
  MutexLock hold(queue_lock_);
  Waiter* waiter = first_;
  if (waiter == nullptr) return;
  first_ = waiter->next;
  if (first_ == nullptr) last_ = nullptr;
  SetEvent(waiter->event);
}

void ConditionVariable::NotifyAll() {
  MutexLock hold(queue_lock_);
  Waiter* waiter = first_;
  first_ = last_ = nullptr;
  while (waiter != nullptr) {
    // Read before the event is set: after that the waiter may be gone.
    Waiter* next = waiter->next;
    SetEvent(waiter->event);
    waiter = next;
  }
}

Thread::~Thread() { Join(); }

bool Thread::Start(std::function<void()> body) {
  if (handle_ != nullptr) return false;
  std::function<void()>* argument = new (std::nothrow) std::function<void()>(std::move(body));
  if (argument == nullptr) return false;
  // Through the C runtime, which sets up and frees its own data of the thread.
  unsigned id = 0;
  const uintptr_t handle = _beginthreadex(nullptr, 0, &ThreadEntry, argument, 0, &id);
  if (handle == 0) {
    delete argument;
    return false;
  }
  handle_ = reinterpret_cast<void*>(handle);
  return true;
}

bool Thread::Joinable() const { return handle_ != nullptr; }

void Thread::Join() {
  if (handle_ == nullptr) return;
  WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
  CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

void CallOnce(OnceFlag& flag, void (*function)()) {
  if (flag.state_.load(std::memory_order_acquire) == 2) return;
  int expected = 0;
  if (flag.state_.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
    function();
    flag.state_.store(2, std::memory_order_release);
    return;
  }
  // Another thread runs it: wait until it is done (the functions run once are short).
  while (flag.state_.load(std::memory_order_acquire) != 2) Sleep(1);
}

}  // namespace gca
