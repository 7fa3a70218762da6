#include "app/instance_lock.h"

#include "codec/sha512.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/wide_api.h"

bool StartupHoldsInstallLock = false;

namespace {

// The directory opened for its identity only (no read or write access), on the side the
// system offers; null where directories cannot be opened (the ANSI family).
HANDLE OpenDirectoryForIdentity(const std::string& path) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE h;
  if (UseWide(WideApi.CreateFileW)) {
    h = WideApi.CreateFileW(Utf8ToWide(AddLongPathPrefix(path)).c_str(), 0, share, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  } else {
    h = CreateFileA(Utf8ToAnsi(path).c_str(), 0, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  }
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

std::string FoldedPath(const std::string& path) {
  std::string folded = MakeAbsolutePath(path);
  for (char& c : folded) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == '/') c = '\\';
  }
  while (folded.size() > 3 && folded.back() == '\\') folded.pop_back();
  return folded;
}

HANDLE CreateNamedMutex(const std::string& name) {
  SetLastError(ERROR_SUCCESS);
  return CreateMutexA(nullptr, FALSE, name.c_str());
}

}  // namespace

std::string InstallLockName(const std::string& install_path) {
  std::string identity;
  if (HANDLE directory = OpenDirectoryForIdentity(install_path)) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(directory, &info) && (info.nFileIndexHigh | info.nFileIndexLow) != 0) {
      identity = FormatText("volume %08lx index %08lx%08lx", static_cast<unsigned long>(info.dwVolumeSerialNumber),
                            static_cast<unsigned long>(info.nFileIndexHigh),
                            static_cast<unsigned long>(info.nFileIndexLow));
    }
    CloseHandle(directory);
  }
  if (identity.empty()) identity = "path " + FoldedPath(install_path);
  gca::Sha512Digest digest;
  digest.Update(identity.data(), static_cast<uint32_t>(identity.size()));
  digest.Finish();
  return "GameUpdater.Install." + digest.HexText().substr(0, 32);
}

bool InstallLock::Acquire(const std::string& install_path) {
  Release();
  const std::string name = InstallLockName(install_path);
  // Across sessions where the system has them; systems without name spaces refuse the
  // prefix as a bad name and take the plain one.
  HANDLE h = CreateNamedMutex("Global\\" + name);
  DWORD error = GetLastError();
  if (h == nullptr && error != ERROR_ACCESS_DENIED && error != ERROR_ALREADY_EXISTS) {
    h = CreateNamedMutex(name);
    error = GetLastError();
  }
  // Not made here: another holder has it. A name that cannot be opened at all (held
  // under other rights) counts the same, so that nothing runs beside it.
  if (h == nullptr) return false;
  if (error == ERROR_ALREADY_EXISTS) {
    CloseHandle(h);
    return false;
  }
  handle_ = h;
  return true;
}

void InstallLock::Release() {
  if (handle_ != nullptr) CloseHandle(handle_);
  handle_ = nullptr;
}
