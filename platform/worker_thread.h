// A persistent background thread that idles and runs one job each time it is triggered.
// The controlling thread and the body coordinate through 32-bit flags polled with
// one-millisecond sleeps; each flag has one writer at a time.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

class WorkerThread {
 public:
  using Job = void (*)(void* argument);

  WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // The thread's start routine calls this; it loops until keep running is cleared and
  // then ends the thread with exit code 0 (it does not return).
  virtual void ThreadBody();
  virtual ~WorkerThread();
  // All fields back to their initial values (no thread, paused, no job).
  virtual void Reset();
  // Pauses, stops the body, waits until it has left its loop, closes the handle, resets.
  virtual void Shutdown();
  // Launch, then SetJob; false (and the job kept) when Launch fails.
  virtual bool Start(Job job);
  // Creates the system thread and waits until its body runs; false when a thread
  // exists already or none could be created. The new thread starts paused.
  virtual bool Launch();
  // Waits for a running job to end, then replaces the job.
  virtual bool SetJob(Job job);
  // Triggers one run of the job and returns as soon as it has begun; false without a job.
  virtual bool RunOnce();
  // Stops further runs and waits until a running job has ended.
  virtual bool Pause();
  // Terminates the thread without letting it finish, waits until it has ended, then
  // resets; the last resort for a job that hangs.
  virtual bool Kill();
  virtual void SetJobArgument(void* argument);
  virtual int GetPriority();
  virtual BOOL SetPriority(int priority);

  // State queries for the controlling thread.
  bool HasThread() const { return thread_ != INVALID_HANDLE_VALUE; }
  unsigned ThreadId() const { return thread_id_; }
  bool IsRunning() const { return running_.load() != 0; }
  bool IsBusy() const { return busy_.load() != 0; }
  Job CurrentJob() const { return job_; }
  void* JobArgument() const { return job_argument_; }

 private:
  static unsigned __stdcall Entry(void* self);

  HANDLE thread_;
  unsigned thread_id_;
  std::atomic<int32_t> running_;
  std::atomic<int32_t> keep_running_;
  std::atomic<int32_t> paused_;
  std::atomic<int32_t> busy_;
  std::atomic<int32_t> started_;
  void* job_argument_;
  Job job_;
};
