// File-system operations on UTF-8 paths. Each call picks the wide or ANSI entry point
// (IsWideSystem), converts the path at the boundary and, on the wide side, adds the
// long-path prefix "\\?\" where the operation needs it.
#pragma once
#include <windows.h>
#include <shlobj.h>

#include <cstdint>
#include <string>
#include <vector>

// Process-wide directory that relative paths resolve against; set once at start-up.
extern std::string BaseDirectory;

struct FindEntry {
  std::string Name;  // the entry's own name, UTF-8
  uint64_t Size = 0;
  uint32_t Attributes = 0;
  uint64_t CreationTime = 0;
  uint64_t LastAccessTime = 0;
  uint64_t LastWriteTime = 0;
};

std::string GetCurrentDirectoryUtf8();
std::string GetBaseDirectory();
std::string MakeAbsolutePath(const std::string& path);
std::string JoinPath(const std::string& directory, const std::string& name);
std::string ParentDirectory(const std::string& path);
int LastIndexOf(const char* text, char byte);
bool HasDoubleBackslash(const std::string& path);
std::string AddLongPathPrefix(const std::string& path);
bool PathExists(const std::string& path);
// Destination first, then source.
bool MovePath(const std::string& destination, const std::string& source);
// Clears read-only, hidden and system first, so that such files are deleted too.
bool RemoveFile(const std::string& path);
// Creates the directory and any missing ancestors. Both sides make the name the system
// reads from the path (trailing dots and spaces dropped); the wide side also beyond the
// classic length limit.
bool CreateDirectoryTree(const std::string& path);
// The attribute word, or 0xFFFFFFFF for a missing path.
uint32_t GetPathAttributes(const std::string& path);
// The system's SetFileAttributes; the flag from the system.
bool SetPathAttributes(const std::string& path, uint32_t attributes);
// Either time may be null (left alone); the last access time is always left alone.
// False for a missing path and for one that cannot be opened for writing, a read-only
// file included; true once the file was open.
bool SetPathTimes(const std::string& path, const uint64_t* creation_time, const uint64_t* last_write_time);
HANDLE FindFirst(const std::string& pattern, FindEntry& entry);
bool FindNext(HANDLE search, FindEntry& entry);

// One search, closed when it goes. Found() tells whether the pattern matched anything;
// Entry() is the current match until Next() answers false.
class FindSearch {
 public:
  explicit FindSearch(const std::string& pattern) : handle_(FindFirst(pattern, entry_)) {}
  ~FindSearch() {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
  }
  FindSearch(const FindSearch&) = delete;
  FindSearch& operator=(const FindSearch&) = delete;
  bool Found() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool Next() { return Found() && FindNext(handle_, entry_); }
  const FindEntry& Entry() const { return entry_; }

 private:
  FindEntry entry_;
  HANDLE handle_;
};

// The entry of the one file or directory a path names; false when there is none.
bool FindOne(const std::string& path, FindEntry& entry);
// Every entry of a directory but "." and ".."; false when it cannot be listed.
bool ListDirectory(const std::string& directory, std::vector<FindEntry>& entries);
bool RemoveDirectoryPath(const std::string& path);
// Removes the empty directories of a tree, deepest first; files are never deleted.
bool RemoveDirectoryTree(const std::string& directory);
// The directory a path names, as the system's shell takes a typed path: forward slashes
// as backslashes, doubled separators and "." dropped, ".." resolved, a bare or
// drive-relative drive ("E:", "E:games") from the drive's root, a relative path from
// BaseDirectory. A name ending in dots or spaces is read without them, as the system
// reads it, unless only the literal name exists as a directory (made with the long-path
// prefix), which is kept.
std::string CanonicalDirectoryPath(const std::string& path);
// True when a component of the path ends in a dot or a space: such a directory can be
// reached only through the long-path prefix or its short name.
bool HasTrailingDotOrSpace(const std::string& path);
// The short (8.3) form of an existing path, or empty. Where the volume keeps no short
// names the system returns the long form.
std::string ShortPathName(const std::string& path);
// The path in the system code page, for the archive code and its ANSI entry points: the
// path itself where every character has a form there; otherwise the short form of its
// longest existing part followed by the rest. Empty when neither converts.
std::string AnsiPathOf(const std::string& path);
// The resolution of the write times that the volume holding a path keeps, in 100 ns
// units: 1 on NTFS and ReFS, 10 ms on exFAT, 2 s on FAT and whatever else or unknown.
uint64_t FileTimeResolution(const std::string& path);
// Two write times the same as a volume of that resolution keeps them.
bool SameFileTime(uint64_t a, uint64_t b, uint64_t resolution);
// The shell's long name for a path, or empty.
std::string CanonicalShellPath(const std::string& path);
std::string PathFromItemList(LPCITEMIDLIST list);
