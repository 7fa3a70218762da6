// File-system operations on UTF-8 paths, through the wide or the ANSI entry points.
#include "platform/file_system.h"

#include <memory>
#include <vector>

#include "archive/fault_points.h"
#include "platform/text.h"
#include "platform/wide_api.h"

std::string BaseDirectory;

namespace {

constexpr size_t kTextBufferLength = 65536;
constexpr uint32_t kMissing = 0xFFFFFFFF;

bool IsDriveAbsolute(const std::string& path) {
  return path.size() >= 3 && path[1] == ':' && path[2] == '\\' &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

// The wide form of a path for an operation that takes the long-path prefix. The prefix
// goes only in front of a path with a drive and a root: the system takes a prefixed path as
// it stands, so a relative path would no longer resolve against the current directory.
std::wstring LongWidePath(const std::string& path) {
  return Utf8ToWide(IsDriveAbsolute(path) ? AddLongPathPrefix(path) : path);
}

uint64_t FromFileTime(const FILETIME& time) {
  return static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

FILETIME ToFileTime(uint64_t time) {
  FILETIME out;
  out.dwLowDateTime = static_cast<DWORD>(time);
  out.dwHighDateTime = static_cast<DWORD>(time >> 32);
  return out;
}

template <typename FindData>
void FillEntry(const FindData& data, std::string name, FindEntry& entry) {
  entry.Name = std::move(name);
  entry.Size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
  entry.Attributes = data.dwFileAttributes;
  entry.CreationTime = FromFileTime(data.ftCreationTime);
  entry.LastAccessTime = FromFileTime(data.ftLastAccessTime);
  entry.LastWriteTime = FromFileTime(data.ftLastWriteTime);
}

// The wide form of a directory path as the system reads a path without the long-path
// prefix: trailing dots and spaces dropped, "." and ".." resolved, forward slashes made
// backslashes; then prefixed, so that a path beyond the classic length limit still works.
// The ANSI side gets the same reading from the system itself, so both sides make the same
// directory, and never one whose name ends in a dot or a space (which other programs,
// the shell among them, cannot open or delete).
std::wstring WideDirectoryPath(const std::string& full) {
  const std::wstring wide = Utf8ToWide(full);
  if (wide.empty() || !WideApi.GetFullPathNameW) return LongWidePath(full);
  const DWORD needed = WideApi.GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return LongWidePath(full);
  std::wstring normal(needed, L'\0');
  const DWORD length = WideApi.GetFullPathNameW(wide.c_str(), needed, &normal[0], nullptr);
  if (length == 0 || length >= needed) return LongWidePath(full);
  normal.resize(length);
  return LongWidePath(WideToUtf8(normal));
}

bool UseWideDirectories() { return UseWide(WideApi.CreateDirectoryW) && UseWide(WideApi.GetFileAttributesW); }

uint32_t DirectoryAttributes(const std::string& full) {
  if (UseWideDirectories()) return WideApi.GetFileAttributesW(WideDirectoryPath(full).c_str());
  return GetFileAttributesA(Utf8ToAnsi(full).c_str());
}

bool CreateOneDirectory(const std::string& full) {
  if (UseWideDirectories()) return WideApi.CreateDirectoryW(WideDirectoryPath(full).c_str(), nullptr) != 0;
  return CreateDirectoryA(Utf8ToAnsi(full).c_str(), nullptr) != 0;
}

// Frees the shell's item lists with the shell allocator when it goes.
class ItemListOwner {
 public:
  ItemListOwner() {
    if (FAILED(SHGetMalloc(&allocator_))) allocator_ = nullptr;
  }
  ~ItemListOwner() {
    for (LPITEMIDLIST list : lists_) {
      if (list && allocator_) allocator_->Free(list);
    }
    if (allocator_) allocator_->Release();
  }
  ItemListOwner(const ItemListOwner&) = delete;
  ItemListOwner& operator=(const ItemListOwner&) = delete;

  void Own(LPITEMIDLIST list) { lists_.push_back(list); }

 private:
  IMalloc* allocator_ = nullptr;
  std::vector<LPITEMIDLIST> lists_;
};

}  // namespace

std::string GetCurrentDirectoryUtf8() {
  if (UseWide(WideApi.GetCurrentDirectoryW)) {
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[kTextBufferLength]);
    const DWORD length = WideApi.GetCurrentDirectoryW(kTextBufferLength, buffer.get());
    if (length == 0 || length >= kTextBufferLength) return std::string();
    return WideToUtf8(buffer.get());
  }
  std::unique_ptr<char[]> buffer(new char[kTextBufferLength]);
  const DWORD length = GetCurrentDirectoryA(kTextBufferLength, buffer.get());
  if (length == 0 || length >= kTextBufferLength) return std::string();
  return AnsiToUtf8(buffer.get());
}

std::string GetBaseDirectory() { return BaseDirectory; }

std::string MakeAbsolutePath(const std::string& path) {
  if (HasDoubleBackslash(path)) return path;
  if (path.find(':') != std::string::npos) return path;
  if (!path.empty() && path[0] == '\\') {
    const size_t colon = BaseDirectory.rfind(':');
    const std::string drive = colon == std::string::npos ? std::string() : BaseDirectory.substr(0, colon + 1);
    return drive + path;
  }
  return JoinPath(BaseDirectory, path);
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  if (name.empty()) return directory;
  const char last = directory.back();
  if (last == '\\' || last == ':') return directory + name;
  return directory + '\\' + name;
}

std::string ParentDirectory(const std::string& path) {
  const int k = LastIndexOf(path.c_str(), '\\');
  if (k < 0) return std::string();
  std::string parent = path.substr(0, static_cast<size_t>(k));
  if (parent.empty() || parent.back() == ':') parent.push_back('\\');
  return parent;
}

int LastIndexOf(const char* text, char byte) {
  if (!text) return -1;
  int last = -1;
  for (int i = 0; text[i] != 0; ++i) {
    if (text[i] == byte) last = i;
  }
  return last;
}

bool HasDoubleBackslash(const std::string& path) { return path.size() >= 2 && path[0] == '\\' && path[1] == '\\'; }

std::string AddLongPathPrefix(const std::string& path) {
  if (HasDoubleBackslash(path)) return path;
  return "\\\\?\\" + path;
}

bool PathExists(const std::string& path) {
  if (path.empty()) return false;
  std::string full = MakeAbsolutePath(path);
  if (!full.empty() && full.back() == '\\') full = JoinPath(full, "*.*");
  FindEntry entry;
  HANDLE search = FindFirst(full, entry);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

bool MovePath(const std::string& destination, const std::string& source) {
  if (GU_FAULT_POINT("move")) return false;
  if (UseWide(WideApi.MoveFileW)) {
    return WideApi.MoveFileW(LongWidePath(source).c_str(), LongWidePath(destination).c_str()) != 0;
  }
  return MoveFileA(Utf8ToAnsi(source).c_str(), Utf8ToAnsi(destination).c_str()) != 0;
}

bool RemoveFile(const std::string& path) {
  if (UseWide(WideApi.SetFileAttributesW) && UseWide(WideApi.DeleteFileW)) {
    const std::wstring wide = LongWidePath(path);
    if (!GU_FAULT_POINT("delete: set attributes")) WideApi.SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (GU_FAULT_POINT("delete")) return false;
    return WideApi.DeleteFileW(wide.c_str()) != 0;
  }
  const std::string ansi = Utf8ToAnsi(path);
  if (!GU_FAULT_POINT("delete: set attributes")) SetFileAttributesA(ansi.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (GU_FAULT_POINT("delete")) return false;
  return DeleteFileA(ansi.c_str()) != 0;
}

bool CreateDirectoryTree(const std::string& path) {
  if (GU_FAULT_POINT("create directory tree")) return false;
  // Walks up from the path until an existing ancestor, or one that can be created, and
  // then creates the missing levels on the way down; the result is that of the last one.
  std::vector<std::string> missing;
  std::string current = path;
  bool result;
  for (;;) {
    const std::string full = MakeAbsolutePath(current);
    const uint32_t attributes = DirectoryAttributes(full);
    if (attributes != kMissing) {
      result = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      break;
    }
    if (CreateOneDirectory(full)) {
      result = true;
      break;
    }
    const int k = LastIndexOf(current.c_str(), '\\');
    if (k < 0) {
      result = false;
      break;
    }
    missing.push_back(current);
    current.resize(static_cast<size_t>(k));
  }
  if (missing.empty()) return result;
  for (size_t i = missing.size(); i-- > 0;) result = CreateOneDirectory(MakeAbsolutePath(missing[i]));
  return result;
}

uint32_t GetPathAttributes(const std::string& path) {
  if (UseWide(WideApi.GetFileAttributesW)) return WideApi.GetFileAttributesW(LongWidePath(path).c_str());
  return GetFileAttributesA(Utf8ToAnsi(path).c_str());
}

bool SetPathTimes(const std::string& path, const uint64_t* creation_time, const uint64_t* last_write_time) {
  if (GU_FAULT_POINT("set times")) return false;
  const uint32_t attributes = GetPathAttributes(path);
  if (attributes == kMissing) return false;
  // Opened for writing on both sides, so a read-only file is refused here: the caller
  // decides whether to clear the attribute first. Backup semantics open a directory on
  // the wide side.
  HANDLE file;
  if (UseWide(WideApi.CreateFileW)) {
    const DWORD flags = (attributes & FILE_ATTRIBUTE_DIRECTORY)
                            ? FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS
                            : FILE_ATTRIBUTE_NORMAL;
    file = WideApi.CreateFileW(LongWidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               flags, nullptr);
  } else {
    file = CreateFileA(Utf8ToAnsi(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  // No last-access time, so that it stays as it is. The result is that of the open; what
  // the time call itself reports is not passed on.
  FILETIME creation = creation_time ? ToFileTime(*creation_time) : FILETIME();
  FILETIME last_write = last_write_time ? ToFileTime(*last_write_time) : FILETIME();
  SetFileTime(file, creation_time ? &creation : nullptr, nullptr, last_write_time ? &last_write : nullptr);
  CloseHandle(file);
  return true;
}

HANDLE FindFirst(const std::string& pattern, FindEntry& entry) {
  if (UseWide(WideApi.FindFirstFileW)) {
    WIN32_FIND_DATAW data;
    HANDLE search = WideApi.FindFirstFileW(LongWidePath(pattern).c_str(), &data);
    if (search != INVALID_HANDLE_VALUE) FillEntry(data, WideToUtf8(data.cFileName), entry);
    return search;
  }
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(Utf8ToAnsi(pattern).c_str(), &data);
  if (search != INVALID_HANDLE_VALUE) FillEntry(data, AnsiToUtf8(data.cFileName), entry);
  return search;
}

bool FindNext(HANDLE search, FindEntry& entry) {
  if (UseWide(WideApi.FindNextFileW)) {
    WIN32_FIND_DATAW data;
    const BOOL found = WideApi.FindNextFileW(search, &data);
    if (found) FillEntry(data, WideToUtf8(data.cFileName), entry);
    return found != 0;
  }
  WIN32_FIND_DATAA data;
  const BOOL found = FindNextFileA(search, &data);
  if (found) FillEntry(data, AnsiToUtf8(data.cFileName), entry);
  return found != 0;
}

bool RemoveDirectoryPath(const std::string& path) {
  if (GU_FAULT_POINT("remove directory")) return false;
  if (UseWide(WideApi.RemoveDirectoryW)) return WideApi.RemoveDirectoryW(LongWidePath(path).c_str()) != 0;
  return RemoveDirectoryA(Utf8ToAnsi(path).c_str()) != 0;
}

bool RemoveDirectoryTree(const std::string& directory) {
  // Depth first with one open search per level; each directory is removed after its own
  // search has ended, so the deepest go first. A directory that still holds anything stays.
  struct Level {
    std::string Directory;
    HANDLE Search;
  };
  std::vector<Level> levels;
  FindEntry entry;
  HANDLE search = FindFirst(JoinPath(directory, "*.*"), entry);
  if (search == INVALID_HANDLE_VALUE) return false;
  levels.push_back({directory, search});
  bool have_entry = true;
  while (!levels.empty()) {
    if (have_entry) {
      // A link to a directory elsewhere (a reparse point) is not followed: the directories
      // it leads to do not belong to this tree.
      const bool is_directory = (entry.Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                (entry.Attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
      if (is_directory && entry.Name != "." && entry.Name != "..") {
        const std::string child = levels.back().Directory + "\\" + entry.Name;
        HANDLE child_search = FindFirst(JoinPath(child, "*.*"), entry);
        if (child_search != INVALID_HANDLE_VALUE) {
          levels.push_back({child, child_search});
          continue;
        }
      }
      have_entry = FindNext(levels.back().Search, entry);
      continue;
    }
    FindClose(levels.back().Search);
    RemoveDirectoryPath(levels.back().Directory);
    levels.pop_back();
    if (!levels.empty()) have_entry = FindNext(levels.back().Search, entry);
  }
  return true;
}

std::string CanonicalShellPath(const std::string& path) {
  ItemListOwner lists;
  IShellFolder* desktop = nullptr;
  if (FAILED(SHGetDesktopFolder(&desktop)) || !desktop) return std::string();
  std::wstring wide = Utf8ToWide(path);
  LPITEMIDLIST list = nullptr;
  const HRESULT parsed = desktop->ParseDisplayName(nullptr, nullptr, &wide[0], nullptr, &list, nullptr);
  desktop->Release();
  lists.Own(list);
  if (parsed != S_OK) return std::string();
  return PathFromItemList(list);
}

std::string PathFromItemList(LPCITEMIDLIST list) {
  if (!list) return std::string();
  if (UseWide(WideApi.SHGetPathFromIDListW)) {
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[kTextBufferLength]());
    if (!WideApi.SHGetPathFromIDListW(list, buffer.get())) return std::string();
    return WideToUtf8(buffer.get());
  }
  std::unique_ptr<char[]> buffer(new char[kTextBufferLength]());
  if (!SHGetPathFromIDListA(list, buffer.get())) return std::string();
  return AnsiToUtf8(buffer.get());
}

bool SetPathAttributes(const std::string& path, uint32_t attributes) {
  if (GU_FAULT_POINT("set attributes")) return false;
  if (UseWide(WideApi.SetFileAttributesW)) return WideApi.SetFileAttributesW(LongWidePath(path).c_str(), attributes) != 0;
  return SetFileAttributesA(Utf8ToAnsi(path).c_str(), attributes) != 0;
}
