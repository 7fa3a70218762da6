#include "platform/worker_thread.h"

#include <process.h>

WorkerThread::WorkerThread()
    : thread_(INVALID_HANDLE_VALUE),
      thread_id_(0),
      running_(0),
      keep_running_(1),
      paused_(1),
      busy_(0),
      started_(0),
      job_argument_(nullptr),
      job_(nullptr) {}

WorkerThread::~WorkerThread() { Shutdown(); }

unsigned __stdcall WorkerThread::Entry(void* self) {
  static_cast<WorkerThread*>(self)->ThreadBody();
  return 0;
}

void WorkerThread::ThreadBody() {
  running_.store(1);
  while (keep_running_.load() == 1) {
    if (paused_.load() == 0) {
      // busy before started: once the controller sees started, a Pause waits for the job.
      busy_.store(1);
      started_.store(1);
      job_(job_argument_);
      paused_.store(1);
    } else {
      busy_.store(0);
    }
    Sleep(1);
  }
  // After this store the controller may free the object: touch nothing of it any more.
  running_.store(0);
  _endthreadex(0);
}

void WorkerThread::Reset() {
  thread_ = INVALID_HANDLE_VALUE;
  thread_id_ = 0;
  running_.store(0);
  keep_running_.store(1);
  paused_.store(1);
  busy_.store(0);
  started_.store(0);
  job_argument_ = nullptr;
  job_ = nullptr;
}

void WorkerThread::Shutdown() {
  Pause();
  keep_running_.store(0);
  if (thread_ != INVALID_HANDLE_VALUE) {
    while (running_.load() != 0) Sleep(1);
    CloseHandle(thread_);
  }
  Reset();
}

bool WorkerThread::Start(Job job) {
  if (!Launch()) return false;
  return SetJob(job);
}

bool WorkerThread::Launch() {
  if (thread_ != INVALID_HANDLE_VALUE) return false;
  uintptr_t handle = _beginthreadex(nullptr, 0, &WorkerThread::Entry, this, 0, &thread_id_);
  if (handle == 0) {
    thread_id_ = 0;
    return false;
  }
  thread_ = reinterpret_cast<HANDLE>(handle);
  while (running_.load() == 0) Sleep(1);
  return true;
}

bool WorkerThread::SetJob(Job job) {
  Pause();
  job_ = job;
  return true;
}

bool WorkerThread::RunOnce() {
  if (job_ == nullptr) return false;
  Pause();
  // started is cleared before the body may see paused drop, so that the body's own
  // "started" of this run cannot be wiped out by the controller.
  started_.store(0);
  paused_.store(0);
  if (running_.load() != 0) {
    while (started_.load() == 0) Sleep(1);
  }
  started_.store(0);
  return true;
}

bool WorkerThread::Pause() {
  paused_.store(1);
  if (running_.load() != 0) {
    while (busy_.load() != 0) Sleep(1);
  }
  return true;
}

bool WorkerThread::Kill() {
  if (thread_ == INVALID_HANDLE_VALUE) return false;
  if (!TerminateThread(thread_, 0)) return false;
  // The system ends the thread after the call has returned: until it has, the job could
  // still touch what the caller is about to reuse.
  WaitForSingleObject(thread_, INFINITE);
  CloseHandle(thread_);
  Reset();
  return true;
}

void WorkerThread::SetJobArgument(void* argument) { job_argument_ = argument; }

int WorkerThread::GetPriority() { return GetThreadPriority(thread_); }

BOOL WorkerThread::SetPriority(int priority) { return SetThreadPriority(thread_, priority); }
