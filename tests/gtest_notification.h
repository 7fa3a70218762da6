// GoogleTest's Notification for the Windows builds, whose win32-thread-model compilers have
// no std::mutex or std::condition_variable (GoogleTest's own Notification is made of them;
// everything else it needs on Windows it builds on the system's critical sections and
// threads). Force-included into GoogleTest and the tests with GTEST_HAS_NOTIFICATION_=1,
// the customisation point GoogleTest documents for a Notification provided from outside.
// Only GoogleTest's own ThreadWithParam waits on one, which none of the tests use, so the
// wait simply polls.
#pragma once
#ifdef __cplusplus
#include <atomic>

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() = default;
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { notified_.store(true, std::memory_order_release); }
  void WaitForNotification() {
    while (!notified_.load(std::memory_order_acquire)) {
    }
  }

 private:
  std::atomic<bool> notified_{false};
};

}  // namespace internal
}  // namespace testing
#endif
