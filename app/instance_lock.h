// One copy of the updater at a time per installation. The lock is a named mutex whose
// name is derived from the installation directory: while any process holds a handle to
// it, another copy that asks for the same installation finds it there and stays away.
// The system drops the handle when the process ends, however it ends, so no lock can
// outlive its copy. Two different games have different names and update side by side.
#pragma once
#include <windows.h>

#include <string>

class InstallLock {
 public:
  InstallLock() = default;
  ~InstallLock() { Release(); }
  InstallLock(const InstallLock&) = delete;
  InstallLock& operator=(const InstallLock&) = delete;

  // True when this object now holds the installation's lock; false when another holder
  // (another copy, or another object in this process) has it.
  bool Acquire(const std::string& install_path);
  void Release();
  bool Held() const { return handle_ != nullptr; }

 private:
  HANDLE handle_ = nullptr;
};

// The name of the installation's lock: the same for every spelling of the directory
// that leads to the same place (the directory's identity on its volume where the system
// gives one, otherwise its full path without case and trailing separators).
std::string InstallLockName(const std::string& install_path);

// Set by start-up while it holds the lock for the whole program; the update worker of
// the same copy then runs under it instead of asking again.
extern bool StartupHoldsInstallLock;
