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
  return FindOne(full, entry);
}

bool FindOne(const std::string& path, FindEntry& entry) {
  FindSearch search(path);
  if (!search.Found()) return false;
  entry = search.Entry();
  return true;
}

bool ListDirectory(const std::string& directory, std::vector<FindEntry>& entries) {
  FindSearch search(JoinPath(directory, "*.*"));
  if (!search.Found()) return false;
  do {
    const FindEntry& entry = search.Entry();
    if (entry.Name != "." && entry.Name != "..") entries.push_back(entry);
  } while (search.Next());
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
  FILETIME creation = creation_time ? ToFileTime(GU_STORED_TIME(*creation_time)) : FILETIME();
  FILETIME last_write = last_write_time ? ToFileTime(GU_STORED_TIME(*last_write_time)) : FILETIME();
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
    std::unique_ptr<FindSearch> Search;
  };
  std::vector<Level> levels;
  levels.push_back({directory, std::make_unique<FindSearch>(JoinPath(directory, "*.*"))});
  if (!levels.back().Search->Found()) return false;
  bool have_entry = true;
  while (!levels.empty()) {
    if (have_entry) {
      const FindEntry& entry = levels.back().Search->Entry();
      // A link to a directory elsewhere (a reparse point) is not followed: the directories
      // it leads to do not belong to this tree.
      const bool is_directory = (entry.Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                (entry.Attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
      if (is_directory && entry.Name != "." && entry.Name != "..") {
        const std::string child = levels.back().Directory + "\\" + entry.Name;
        auto child_search = std::make_unique<FindSearch>(JoinPath(child, "*.*"));
        if (child_search->Found()) {
          levels.push_back({child, std::move(child_search)});
          continue;
        }
      }
      have_entry = levels.back().Search->Next();
      continue;
    }
    // Each directory goes after its own search has ended, so the deepest go first.
    const std::string done = levels.back().Directory;
    levels.pop_back();
    RemoveDirectoryPath(done);
    if (!levels.empty()) have_entry = levels.back().Search->Next();
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

namespace {

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool EndsInDotOrSpace(const std::string& name) { return !name.empty() && (name.back() == '.' || name.back() == ' '); }

std::string TrimDotsAndSpaces(const std::string& name) {
  size_t end = name.size();
  while (end > 0 && (name[end - 1] == '.' || name[end - 1] == ' ')) --end;
  // A name of dots alone ("...") is a name of its own.
  return end == 0 ? name : name.substr(0, end);
}

bool IsDirectory(const std::string& path) {
  const uint32_t attributes = GetPathAttributes(path);
  return attributes != kMissing && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The root of a path (a drive and its backslash, or a server and share) and the length it takes in it; 0
// when the path has neither.
size_t RootLength(const std::string& path) {
  if (path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == ':' && path[2] == '\\') return 3;
  if (!HasDoubleBackslash(path)) return 0;
  const size_t server_end = path.find('\\', 2);
  if (server_end == std::string::npos || server_end == 2) return 0;
  const size_t share_end = path.find('\\', server_end + 1);
  if (share_end == server_end + 1) return 0;
  return share_end == std::string::npos ? path.size() : share_end + 1;
}

bool ToAnsiExactly(const std::string& text, std::string& out) {
  out = Utf8ToAnsi(text);
  if (out.empty()) return text.empty();
  return AnsiToUtf8(out) == text;
}

}  // namespace

std::string CanonicalDirectoryPath(const std::string& path) {
  std::string text = path;
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  // A path written with the long-path prefix is taken as it stands.
  if (text.compare(0, 4, "\\\\?\\") == 0) return text.substr(4);
  if (text.size() >= 2 && IsDriveLetter(text[0]) && text[1] == ':' && (text.size() == 2 || text[2] != '\\')) {
    text.insert(2, "\\");
  }
  if (RootLength(text) == 0) text = MakeAbsolutePath(text);
  size_t root_length = RootLength(text);
  if (root_length == 0) return std::string();
  std::string root = text.substr(0, root_length);
  if (root.back() != '\\') root.push_back('\\');
  std::vector<std::string> names;
  size_t at = root_length;
  while (at <= text.size()) {
    size_t end = text.find('\\', at);
    if (end == std::string::npos) end = text.size();
    const std::string name = text.substr(at, end - at);
    if (name == "..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != ".") {
      names.push_back(name);
    }
    at = end + 1;
  }
  std::string literal = root, trimmed = root;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      literal += '\\';
      trimmed += '\\';
    }
    literal += names[i];
    trimmed += TrimDotsAndSpaces(names[i]);
  }
  if (literal == trimmed || IsDirectory(trimmed) || !IsDirectory(literal)) return trimmed;
  return literal;
}

bool HasTrailingDotOrSpace(const std::string& path) {
  size_t start = RootLength(path);
  while (start < path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    const std::string name = path.substr(start, end - start);
    if (EndsInDotOrSpace(name) && name != "." && name != "..") return true;
    start = end + 1;
  }
  return false;
}

std::string ShortPathName(const std::string& path) {
  if (UseWide(WideApi.GetShortPathNameW)) {
    const std::wstring wide = LongWidePath(path);
    const DWORD needed = WideApi.GetShortPathNameW(wide.c_str(), nullptr, 0);
    if (needed == 0) return std::string();
    std::wstring out(needed, L'\0');
    const DWORD length = WideApi.GetShortPathNameW(wide.c_str(), &out[0], needed);
    if (length == 0 || length >= needed) return std::string();
    out.resize(length);
    std::string result = WideToUtf8(out);
    if (result.compare(0, 4, "\\\\?\\") == 0) result.erase(0, 4);
    return result;
  }
  const std::string ansi = Utf8ToAnsi(path);
  char buffer[MAX_PATH * 2];
  const DWORD length = GetShortPathNameA(ansi.c_str(), buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return std::string();
  return AnsiToUtf8(std::string(buffer, length));
}

std::string AnsiPathOf(const std::string& path) {
  std::string ansi;
  if (ToAnsiExactly(path, ansi)) return ansi;
  // The longest part of the path that exists takes its short form; the rest, which does
  // not exist yet, must convert as it is.
  std::string head = path, rest;
  const size_t root = RootLength(path);
  for (;;) {
    if (GetPathAttributes(head) != kMissing) {
      std::string short_head, ansi_rest;
      const std::string shortened = ShortPathName(head);
      if (shortened.empty() || !ToAnsiExactly(shortened, short_head) || !ToAnsiExactly(rest, ansi_rest)) {
        return std::string();
      }
      // The separator is decided on the UTF-8 text: in a double-byte code page the last
      // byte of the short form may be a trail byte equal to a backslash.
      if (ansi_rest.empty()) return short_head;
      return short_head + (head.back() == '\\' ? "" : "\\") + ansi_rest;
    }
    const int k = LastIndexOf(head.c_str(), '\\');
    if (k < 0 || static_cast<size_t>(k) < root) return std::string();
    rest = rest.empty() ? head.substr(static_cast<size_t>(k) + 1) : head.substr(static_cast<size_t>(k) + 1) + "\\" + rest;
    head.resize(static_cast<size_t>(k));
  }
}

uint64_t FileTimeResolution(const std::string& path) {
  constexpr uint64_t kFat = 20000000;  // 2 s
  constexpr uint64_t kExFat = 100000;  // 10 ms
  if (GU_TIME_ROUNDING() != 0) return GU_TIME_ROUNDING();
  const std::string full = MakeAbsolutePath(path);
  const size_t root_length = RootLength(full);
  if (root_length == 0) return kFat;
  std::string root = full.substr(0, root_length);
  if (root.back() != '\\') root.push_back('\\');
  std::string system;
  if (UseWide(WideApi.GetVolumeInformationW)) {
    wchar_t name[MAX_PATH + 1] = {};
    if (!WideApi.GetVolumeInformationW(Utf8ToWide(root).c_str(), nullptr, 0, nullptr, nullptr, nullptr, name,
                                       MAX_PATH + 1)) {
      return kFat;
    }
    system = WideToUtf8(name);
  } else {
    char name[MAX_PATH + 1] = {};
    if (!GetVolumeInformationA(Utf8ToAnsi(root).c_str(), nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1)) {
      return kFat;
    }
    system = name;
  }
  if (system == "NTFS" || system == "ReFS") return 1;
  if (system == "exFAT") return kExFat;
  return kFat;
}

bool SameFileTime(uint64_t a, uint64_t b, uint64_t resolution) {
  const uint64_t difference = a > b ? a - b : b - a;
  return resolution <= 1 ? difference == 0 : difference < resolution;
}
