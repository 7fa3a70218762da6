// The thread primitives on POSIX systems: the standard library's.
#include "codec/threads.h"

#include <new>
#include <system_error>
#include <utility>

namespace gca {

unsigned ProcessorCount() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

Mutex::Mutex() = default;
Mutex::~Mutex() = default;
void Mutex::Lock() { mutex_.lock(); }
void Mutex::Unlock() { mutex_.unlock(); }

ConditionVariable::ConditionVariable() = default;
ConditionVariable::~ConditionVariable() = default;

void ConditionVariable::Wait(Mutex& mutex) {
  // The caller holds the lock and keeps holding it after the wait.
  std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
  condition_.wait(lock);
  lock.release();
}

void ConditionVariable::NotifyOne() { condition_.notify_one(); }
void ConditionVariable::NotifyAll() { condition_.notify_all(); }

Thread::~Thread() { Join(); }

bool Thread::Start(std::function<void()> body) {
  if (thread_.joinable()) return false;
  try {
    thread_ = std::thread(std::move(body));
  } catch (const std::system_error&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool Thread::Joinable() const { return thread_.joinable(); }

void Thread::Join() {
  if (thread_.joinable()) thread_.join();
}

void CallOnce(OnceFlag& flag, void (*function)()) { std::call_once(flag.flag_, function); }

}  // namespace gca
