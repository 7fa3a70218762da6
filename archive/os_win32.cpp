// Windows side of the archive code's operating-system layer: the ANSI entry points,
// with paths and names in the system code page passed through unchanged.
#include <windows.h>

#include "archive/fault_points.h"
#include "archive/os.h"

namespace gca {
namespace os {
namespace {

HANDLE AsHandle(Handle h) { return reinterpret_cast<HANDLE>(h); }

uint64_t Join(DWORD high, DWORD low) { return (uint64_t(high) << 32) | low; }

// listing: the entry comes from a directory listing, where a junction or a symbolic
// link to a directory is reported instead of followed.
void Fill(const WIN32_FIND_DATAA& f, bool listing, FindData* data) {
  data->name = f.cFileName;
  data->name_ok = true;
  data->attributes = f.dwFileAttributes;
  data->size = Join(f.nFileSizeHigh, f.nFileSizeLow);
  data->write_time = Join(f.ftLastWriteTime.dwHighDateTime, f.ftLastWriteTime.dwLowDateTime);
  const DWORD link_dir = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  data->special = listing && (f.dwFileAttributes & link_dir) == link_dir;
  if (data->special) data->attributes = 0;
}

bool IsListing(const std::string& pattern) {
  return pattern == "*.*" || (pattern.size() > 4 && pattern.compare(pattern.size() - 4, 4, "\\*.*") == 0);
}

// One open search and whether it lists a directory.
struct Search {
  HANDLE handle;
  bool listing;
};

}  // namespace

bool SetNameCodePage(int code_page) { return UINT(code_page) == GetACP(); }

int NameCodePage() { return int(GetACP()); }

bool NameRepresentable(const std::string&) { return true; }

bool HostToArchiveText(const std::string& host, std::string* text) {
  *text = host;
  return true;
}

bool ArchiveToHostText(const std::string& text, std::string* host) {
  *host = text;
  return true;
}

std::string FullHostPath(const std::string& host) {
  char buffer[MAX_PATH * 4];
  const DWORD n = GetFullPathNameA(host.c_str(), sizeof(buffer), buffer, nullptr);
  if (n == 0 || n >= sizeof(buffer)) return std::string();
  return std::string(buffer, n);
}

Handle OpenFile(const std::string& path, int mode) {
  DWORD access = 0;
  DWORD disposition = 0;
  switch (mode) {
    case 0: access = GENERIC_READ; disposition = OPEN_EXISTING; break;
    case 1: access = GENERIC_WRITE; disposition = OPEN_EXISTING; break;
    case 2: access = GENERIC_READ | GENERIC_WRITE; disposition = OPEN_EXISTING; break;
    case 3: access = GENERIC_WRITE; disposition = CREATE_ALWAYS; break;
    case 4: access = GENERIC_READ | GENERIC_WRITE; disposition = CREATE_ALWAYS; break;
    default: return kInvalidHandle;
  }
  if (mode != 0 && GU_FAULT_POINT("archive open for writing")) return kInvalidHandle;
  HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidHandle;
  return reinterpret_cast<Handle>(h);
}

void CloseFile(Handle h) {
  if (h != kInvalidHandle) CloseHandle(AsHandle(h));
}

int64_t ReadFile(Handle h, void* buffer, uint32_t n) {
  if (h == kInvalidHandle) return -1;
  DWORD got = 0;
  if (!::ReadFile(AsHandle(h), buffer, n, &got, nullptr)) return -1;
  return got;
}

int64_t WriteFile(Handle h, const void* buffer, uint32_t n) {
  if (h == kInvalidHandle) return -1;
  if (GU_FAULT_POINT("archive write")) return -1;
  DWORD put = 0;
  if (!::WriteFile(AsHandle(h), buffer, n, &put, nullptr)) return -1;
  return put;
}

bool SeekFile(Handle h, uint64_t position) {
  if (h == kInvalidHandle) return false;
  LONG high = LONG(position >> 32);
  SetLastError(0);
  const DWORD low = SetFilePointer(AsHandle(h), LONG(uint32_t(position)), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != 0);
}

uint64_t TellFile(Handle h) {
  if (h == kInvalidHandle) return ~uint64_t(0);
  LONG high = 0;
  SetLastError(0);
  const DWORD low = SetFilePointer(AsHandle(h), 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != 0) return ~uint64_t(0);
  return Join(DWORD(high), low);
}

bool FileSize(Handle h, uint64_t* size) {
  if (h == kInvalidHandle) return false;
  DWORD high = 0;
  SetLastError(0);
  const DWORD low = GetFileSize(AsHandle(h), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != 0) return false;
  *size = Join(high, low);
  return true;
}

bool FileIdentity(Handle h, uint64_t* volume, uint64_t* index) {
  BY_HANDLE_FILE_INFORMATION info;
  if (h == kInvalidHandle || !GetFileInformationByHandle(AsHandle(h), &info)) return false;
  *volume = info.dwVolumeSerialNumber;
  *index = Join(info.nFileIndexHigh, info.nFileIndexLow);
  return true;
}

Handle DuplicateFile(Handle h) {
  if (h == kInvalidHandle) return kInvalidHandle;
  HANDLE process = GetCurrentProcess();
  HANDLE copy = nullptr;
  if (!DuplicateHandle(process, AsHandle(h), process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) return kInvalidHandle;
  return reinterpret_cast<Handle>(copy);
}

bool FlushAhead(Handle h) { return h != kInvalidHandle && FlushFileBuffers(AsHandle(h)) != 0; }

bool SetFileWriteTime(Handle h, uint64_t write_time) {
  if (h == kInvalidHandle) return false;
  if (GU_FAULT_POINT("archive set time")) return false;
  write_time = GU_STORED_TIME(write_time);
  FILETIME ft;
  ft.dwLowDateTime = DWORD(write_time);
  ft.dwHighDateTime = DWORD(write_time >> 32);
  return SetFileTime(AsHandle(h), nullptr, nullptr, &ft) != 0;
}

uint32_t GetAttributes(const std::string& path) { return GetFileAttributesA(path.c_str()); }

bool SetAttributes(const std::string& path, uint32_t attributes) {
  if (GU_FAULT_POINT("archive set attributes")) return false;
  return SetFileAttributesA(path.c_str(), attributes) != 0;
}

bool MakeDirectory(const std::string& path) {
  if (GU_FAULT_POINT("archive create directory")) return false;
  return CreateDirectoryA(path.c_str(), nullptr) != 0;
}

bool RemoveFile(const std::string& path) {
  if (GU_FAULT_POINT("archive delete")) return false;
  return DeleteFileA(path.c_str()) != 0;
}

PathKind Probe(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) {
    const DWORD e = GetLastError();
    return (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) ? PathKind::kMissing : PathKind::kOther;
  }
  if (a & FILE_ATTRIBUTE_REPARSE_POINT) return PathKind::kLink;
  if (a & FILE_ATTRIBUTE_DIRECTORY) return PathKind::kDirectory;
  if (a & FILE_ATTRIBUTE_DEVICE) return PathKind::kOther;
  return PathKind::kFile;
}

Handle CreateNewFile(const std::string& path) {
  if (GU_FAULT_POINT("archive open for writing")) return kInvalidHandle;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidHandle;
  return reinterpret_cast<Handle>(h);
}

bool RenameOver(const std::string& from, const std::string& to) {
  if (GU_FAULT_POINT("archive move")) return false;
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return false;
  return RenameOverWithoutMoveFileEx(from, to);
}

bool RenameOverWithoutMoveFileEx(const std::string& from, const std::string& to) {
  if (MoveFileA(from.c_str(), to.c_str())) return true;
  // Only a file is replaced, as MoveFileEx replaces one; a read-only file stays (its
  // delete fails), as it does there.
  const DWORD a = GetFileAttributesA(to.c_str());
  if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  if (GetFileAttributesA(from.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  if (!DeleteFileA(to.c_str())) return false;
  return MoveFileA(from.c_str(), to.c_str()) != 0;
}

bool HostPath(const std::string& path, std::string* host) {
  *host = path;
  return true;
}

Handle FindFirst(const std::string& pattern, FindData* data) {
  WIN32_FIND_DATAA f;
  HANDLE h = FindFirstFileA(pattern.c_str(), &f);
  if (h == INVALID_HANDLE_VALUE) return kInvalidHandle;
  Search* s = new Search{h, IsListing(pattern)};
  Fill(f, s->listing, data);
  return reinterpret_cast<Handle>(s);
}

bool FindNext(Handle h, FindData* data) {
  WIN32_FIND_DATAA f;
  if (h == kInvalidHandle) return false;
  Search* s = reinterpret_cast<Search*>(h);
  if (FindNextFileA(s->handle, &f) != 1) return false;
  Fill(f, s->listing, data);
  return true;
}

void FindClose(Handle h) {
  if (h == kInvalidHandle) return;
  Search* s = reinterpret_cast<Search*>(h);
  ::FindClose(s->handle);
  delete s;
}

}  // namespace os
}  // namespace gca
