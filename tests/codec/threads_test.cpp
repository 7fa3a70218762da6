// The thread primitives of codec/threads.h: on Windows critical sections, events and
// _beginthreadex, on the host the standard library's.
#include "codec/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

using gca::CallOnce;
using gca::ConditionVariable;
using gca::Mutex;
using gca::MutexLock;
using gca::OnceFlag;
using gca::Thread;

TEST(Threads, ProcessorCountIsAtLeastOne) { EXPECT_GE(gca::ProcessorCount(), 1u); }

TEST(Threads, ThreadRunsItsFunctionAndJoins) {
  std::atomic<int> runs{0};
  Thread thread;
  EXPECT_FALSE(thread.Joinable());
  ASSERT_TRUE(thread.Start([&] { runs += 1; }));
  EXPECT_TRUE(thread.Joinable());
  EXPECT_FALSE(thread.Start([&] { runs += 100; }));  // one function per thread
  thread.Join();
  EXPECT_FALSE(thread.Joinable());
  EXPECT_EQ(runs.load(), 1);
  thread.Join();  // nothing left to wait for
  // Started again after the join.
  ASSERT_TRUE(thread.Start([&] { runs += 1; }));
  // The destructor joins a thread still running.
}

TEST(Threads, MutexKeepsCountsWhole) {
  Mutex mutex;
  uint64_t count = 0;
  std::vector<std::unique_ptr<Thread>> threads;
  for (int t = 0; t < 4; ++t) {
    threads.push_back(std::make_unique<Thread>());
    ASSERT_TRUE(threads.back()->Start([&] {
      for (int i = 0; i < 20000; ++i) {
        MutexLock hold(mutex);
        count += 1;
      }
    }));
  }
  for (auto& t : threads) t->Join();
  EXPECT_EQ(count, 80000u);
}

// A queue of numbers between producers and consumers: every number arrives exactly once,
// whatever the interleaving, and every waiting consumer is woken for the end.
TEST(Threads, ConditionVariableHandsOverEveryItem) {
  Mutex mutex;
  ConditionVariable ready;
  std::deque<int> queue;
  bool done = false;
  std::vector<int> seen(4000, 0);
  std::vector<std::unique_ptr<Thread>> consumers;
  for (int c = 0; c < 3; ++c) {
    consumers.push_back(std::make_unique<Thread>());
    ASSERT_TRUE(consumers.back()->Start([&] {
      MutexLock hold(mutex);
      for (;;) {
        ready.Wait(mutex, [&] { return done || !queue.empty(); });
        if (queue.empty()) return;
        seen[size_t(queue.front())] += 1;
        queue.pop_front();
      }
    }));
  }
  std::vector<std::unique_ptr<Thread>> producers;
  for (int p = 0; p < 2; ++p) {
    producers.push_back(std::make_unique<Thread>());
    ASSERT_TRUE(producers.back()->Start([&, p] {
      for (int i = p; i < 4000; i += 2) {
        {
          MutexLock hold(mutex);
          queue.push_back(i);
        }
        ready.NotifyOne();
      }
    }));
  }
  for (auto& t : producers) t->Join();
  {
    MutexLock hold(mutex);
    done = true;
  }
  ready.NotifyAll();
  for (auto& t : consumers) t->Join();
  for (int i = 0; i < 4000; ++i) ASSERT_EQ(seen[size_t(i)], 1) << i;
}

TEST(Threads, NotifyWithoutWaitersIsLost) {
  Mutex mutex;
  ConditionVariable changed;
  changed.NotifyOne();
  changed.NotifyAll();
  bool flag = false;
  Thread thread;
  ASSERT_TRUE(thread.Start([&] {
    {
      MutexLock hold(mutex);
      flag = true;
    }
    changed.NotifyAll();
  }));
  {
    MutexLock hold(mutex);
    changed.Wait(mutex, [&] { return flag; });
    EXPECT_TRUE(flag);
  }
  thread.Join();
}

namespace {
std::atomic<int> once_runs{0};
void CountRun() { once_runs += 1; }
}  // namespace

TEST(Threads, CallOnceRunsOnceWhateverTheThreads) {
  static OnceFlag flag;
  std::vector<std::unique_ptr<Thread>> threads;
  for (int t = 0; t < 6; ++t) {
    threads.push_back(std::make_unique<Thread>());
    ASSERT_TRUE(threads.back()->Start([] { CallOnce(flag, CountRun); }));
  }
  for (auto& t : threads) t->Join();
  CallOnce(flag, CountRun);
  EXPECT_EQ(once_runs.load(), 1);
}
