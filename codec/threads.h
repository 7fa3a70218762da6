// The few thread primitives the codecs, the archive code and the tests use: a mutex, a
// condition variable, a thread and a once-flag, plus the processor count.
//
// On Windows they are built on what every 32-bit Windows offers, Windows 95/98/ME as well
// as NT 4/2000/XP: critical sections, auto-reset events, _beginthreadex and
// GetSystemInfo (never the Vista condition variables or slim reader/writer locks). The
// shipped programs are compiled with the win32 thread model of mingw-w64, which has no
// std::thread, std::mutex, std::condition_variable or std::call_once, and so pull in no
// POSIX-threads runtime with its newer system calls. On POSIX systems the primitives wrap
// the standard library's.
#pragma once
#include <atomic>
#include <functional>
#include <memory>

#if !defined(_WIN32)
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

namespace gca {

// Processors the system offers (at least 1).
unsigned ProcessorCount();

// A non-recursive lock.
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock();
  void Unlock();

 private:
  friend class ConditionVariable;
#if defined(_WIN32)
  // A CRITICAL_SECTION (24 bytes on 32-bit Windows, 40 on 64-bit), kept opaque so that
  // no user of this header sees windows.h.
  alignas(void*) unsigned char section_[6 * sizeof(void*)];
#else
  std::mutex mutex_;
#endif
};

// Holds a mutex locked for its own lifetime.
class MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// Waits for a change that another thread announces. Wait may also return without a
// notification (as a POSIX or standard condition variable may), so callers wait for a
// condition in a loop, or use the Wait that takes one.
class ConditionVariable {
 public:
  ConditionVariable();
  ~ConditionVariable();
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;

  // mutex is locked by the caller; it is released while waiting and locked again before
  // Wait returns.
  void Wait(Mutex& mutex);
  template <typename Predicate>
  void Wait(Mutex& mutex, Predicate ready) {
    while (!ready()) Wait(mutex);
  }
  // Wakes the longest-waiting thread, if any.
  void NotifyOne();
  // Wakes every thread that waits now.
  void NotifyAll();

 private:
#if defined(_WIN32)
  struct Waiter;
  void* TakeEvent();
  void KeepEvent(void* event);

  // Guards the queue of waiters and the spare events; locked only briefly, never while
  // waiting.
  Mutex queue_lock_;
  Waiter* first_ = nullptr;
  Waiter* last_ = nullptr;
  // Auto-reset events of finished waits, reused by the next ones.
  static constexpr int kSpareEvents = 8;
  void* spare_[kSpareEvents] = {};
  int spare_count_ = 0;
#else
  std::condition_variable condition_;
#endif
};

// One thread running a function. Join before the object goes away (the destructor joins
// a thread still running). The function must not throw.
class Thread {
 public:
  Thread() = default;
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the thread; false (and nothing running) when the system cannot start one or
  // memory runs out. Only once per object until Join.
  bool Start(std::function<void()> body);
  bool Joinable() const;
  // Waits until the function has returned.
  void Join();

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;
#else
  std::thread thread_;
#endif
};

// Runs a function once per flag, whichever thread comes first; the others wait until it
// has returned. The function must not throw.
class OnceFlag {
 public:
  constexpr OnceFlag() = default;
  OnceFlag(const OnceFlag&) = delete;
  OnceFlag& operator=(const OnceFlag&) = delete;

 private:
  friend void CallOnce(OnceFlag& flag, void (*function)());
#if defined(_WIN32)
  std::atomic<int> state_{0};  // 0 not run, 1 running, 2 done
#else
  std::once_flag flag_;
#endif
};

void CallOnce(OnceFlag& flag, void (*function)());

}  // namespace gca
