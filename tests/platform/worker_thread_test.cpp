#include "platform/worker_thread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

std::atomic<int> runs{0};
std::atomic<int> finished{0};
std::atomic<int> inside{0};
std::atomic<int> overlapped{0};
std::atomic<int> release{0};
std::atomic<void*> seen_argument{nullptr};

void ResetCounters() {
  runs = 0;
  finished = 0;
  inside = 0;
  overlapped = 0;
  release = 0;
  seen_argument = nullptr;
}

// Takes a few milliseconds, and notes whether two runs ever overlapped.
void SlowJob(void* argument) {
  seen_argument = argument;
  if (inside.fetch_add(1) != 0) overlapped = 1;
  runs.fetch_add(1);
  Sleep(30);
  inside.fetch_sub(1);
  finished.fetch_add(1);
}

// Runs until the test releases it.
void BlockingJob(void*) {
  runs.fetch_add(1);
  while (release.load() == 0) Sleep(1);
  finished.fetch_add(1);
}

void OtherJob(void*) {}

// Counts for as long as it runs, never leaving the job.
std::atomic<int> spins{0};
void SpinningJob(void*) {
  for (;;) spins.fetch_add(1);
}

// RunOnce returns once the body has started the job, which may not have taken its first
// step yet: waits, with a bound, for what the job does.
bool WaitUntil(const std::atomic<int>& value, int at_least) {
  for (int waited = 0; waited < 10000; ++waited) {
    if (value.load() >= at_least) return true;
    Sleep(1);
  }
  return false;
}

// A job for a second worker: pauses the first one and records that Pause returned.
WorkerThread* paused_target = nullptr;
std::atomic<int> pause_returned{0};
void PauseOther(void*) {
  paused_target->Pause();
  pause_returned = 1;
}

TEST(WorkerThread, RunOnceWithoutJobIsFalse) {
  ResetCounters();
  WorkerThread worker;
  EXPECT_FALSE(worker.RunOnce());  // no thread, no job
  ASSERT_TRUE(worker.Launch());
  EXPECT_TRUE(worker.IsRunning());
  EXPECT_FALSE(worker.RunOnce());
  worker.Shutdown();
  EXPECT_FALSE(worker.HasThread());
}

TEST(WorkerThread, RunOnceTwiceRunsJobTwiceOneAfterTheOther) {
  ResetCounters();
  WorkerThread worker;
  int argument = 7;
  worker.SetJobArgument(&argument);
  ASSERT_TRUE(worker.Start(&SlowJob));
  EXPECT_EQ(worker.CurrentJob(), &SlowJob);
  EXPECT_EQ(runs.load(), 0);  // launched paused: nothing runs before the trigger

  ASSERT_TRUE(worker.RunOnce());
  EXPECT_TRUE(WaitUntil(runs, 1));  // returns once the job has begun
  EXPECT_EQ(runs.load(), 1);
  ASSERT_TRUE(worker.RunOnce());
  // The second trigger waited for the first run to end before starting another.
  EXPECT_GE(finished.load(), 1);
  EXPECT_TRUE(WaitUntil(runs, 2));
  EXPECT_EQ(runs.load(), 2);

  ASSERT_TRUE(worker.Pause());
  EXPECT_EQ(finished.load(), 2);  // Pause waits for the running job
  EXPECT_FALSE(worker.IsBusy());
  Sleep(20);
  EXPECT_EQ(runs.load(), 2);  // and nothing runs again on its own
  EXPECT_EQ(overlapped.load(), 0);
  EXPECT_EQ(seen_argument.load(), &argument);
}

TEST(WorkerThread, PauseWaitsForRunningJobAndReturnsAtOnceWhenIdle) {
  ResetCounters();
  WorkerThread worker;
  ASSERT_TRUE(worker.Start(&BlockingJob));
  EXPECT_TRUE(worker.Pause());  // idle: nothing to wait for
  EXPECT_EQ(runs.load(), 0);

  ASSERT_TRUE(worker.RunOnce());
  EXPECT_TRUE(worker.IsBusy());

  // A second worker pauses the first; Pause must not return while the job blocks.
  WorkerThread controller;
  paused_target = &worker;
  pause_returned = 0;
  ASSERT_TRUE(controller.Start(&PauseOther));
  ASSERT_TRUE(controller.RunOnce());
  Sleep(50);
  EXPECT_EQ(pause_returned.load(), 0);
  release = 1;
  controller.Pause();
  EXPECT_EQ(pause_returned.load(), 1);
  EXPECT_EQ(finished.load(), 1);
  EXPECT_FALSE(worker.IsBusy());
}

TEST(WorkerThread, StartOnObjectWithThreadKeepsOldJob) {
  ResetCounters();
  WorkerThread worker;
  ASSERT_TRUE(worker.Start(&SlowJob));
  EXPECT_FALSE(worker.Start(&OtherJob));
  EXPECT_FALSE(worker.Launch());
  EXPECT_EQ(worker.CurrentJob(), &SlowJob);
  ASSERT_TRUE(worker.RunOnce());
  worker.Pause();
  EXPECT_EQ(finished.load(), 1);
}

TEST(WorkerThread, ShutdownOfNeverLaunchedObjectOnlyResets) {
  ResetCounters();
  WorkerThread worker;
  int argument = 1;
  worker.SetJobArgument(&argument);
  EXPECT_TRUE(worker.SetJob(&SlowJob));
  worker.Shutdown();
  EXPECT_FALSE(worker.HasThread());
  EXPECT_FALSE(worker.IsRunning());
  EXPECT_EQ(worker.CurrentJob(), nullptr);
  EXPECT_EQ(worker.JobArgument(), nullptr);
  EXPECT_EQ(runs.load(), 0);
  // Still usable afterwards.
  ASSERT_TRUE(worker.Start(&SlowJob));
  ASSERT_TRUE(worker.RunOnce());
  worker.Pause();
  EXPECT_EQ(finished.load(), 1);
}

TEST(WorkerThread, ShutdownEndsThreadAndAllowsRelaunch) {
  ResetCounters();
  WorkerThread worker;
  ASSERT_TRUE(worker.Start(&SlowJob));
  ASSERT_TRUE(worker.RunOnce());
  worker.Shutdown();  // waits for the job, then for the body to leave its loop
  EXPECT_EQ(finished.load(), 1);
  EXPECT_FALSE(worker.HasThread());
  EXPECT_FALSE(worker.IsRunning());
  EXPECT_EQ(worker.CurrentJob(), nullptr);
  ASSERT_TRUE(worker.Start(&SlowJob));
  EXPECT_TRUE(worker.IsRunning());
  ASSERT_TRUE(worker.RunOnce());
  worker.Pause();
  EXPECT_EQ(finished.load(), 2);
}

TEST(WorkerThread, KillEndsHangingJob) {
  ResetCounters();
  WorkerThread worker;
  EXPECT_FALSE(worker.Kill());  // no thread to kill
  ASSERT_TRUE(worker.Start(&BlockingJob));
  ASSERT_TRUE(worker.RunOnce());
  EXPECT_TRUE(worker.Kill());
  EXPECT_FALSE(worker.HasThread());
  EXPECT_FALSE(worker.IsBusy());
  EXPECT_EQ(finished.load(), 0);
  release = 1;
}

// Kill returns only once the system thread has ended: the job does nothing afterwards.
TEST(WorkerThread, KillWaitsForTheThreadToEnd) {
  spins = 0;
  WorkerThread worker;
  ASSERT_TRUE(worker.Start(&SpinningJob));
  HANDLE thread = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, worker.ThreadId());
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(worker.RunOnce());
  ASSERT_TRUE(WaitUntil(spins, 1));
  EXPECT_TRUE(worker.Kill());
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  DWORD code = STILL_ACTIVE;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 0u);
  const int after_kill = spins.load();
  Sleep(20);
  EXPECT_EQ(spins.load(), after_kill);
  CloseHandle(thread);
  EXPECT_FALSE(worker.HasThread());
  EXPECT_EQ(worker.ThreadId(), 0u);
  // The object is ready for a new thread.
  ResetCounters();
  ASSERT_TRUE(worker.Start(&SlowJob));
  ASSERT_TRUE(worker.RunOnce());
  worker.Pause();
  EXPECT_EQ(finished.load(), 1);
}

TEST(WorkerThread, PriorityReachesTheSystemThread) {
  WorkerThread worker;
  ASSERT_TRUE(worker.Launch());
  EXPECT_TRUE(worker.SetPriority(THREAD_PRIORITY_BELOW_NORMAL));
  EXPECT_EQ(worker.GetPriority(), THREAD_PRIORITY_BELOW_NORMAL);
}

}  // namespace
