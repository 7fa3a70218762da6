// The small operating-system layer under the archive code's file and directory
// services. Paths and names are narrow text in the archive code page with backslash
// separators; on Windows they go to the ANSI entry points unchanged, elsewhere the
// layer converts them to the file system's UTF-8 and maps backslashes to '/'.
#pragma once
#include <cstdint>
#include <string>

namespace gca {
namespace os {

// A native file or search handle; kInvalidHandle when none.
using Handle = intptr_t;
constexpr Handle kInvalidHandle = -1;
constexpr uint32_t kInvalidAttributes = 0xFFFFFFFFu;

// Code page of archive names. Windows: the system's ANSI code page, fixed; asking for
// another one fails. Elsewhere: a process-wide setting, 1252 unless changed (932 for
// Japanese); false when the conversion library does not know the code page.
bool SetNameCodePage(int code_page);
int NameCodePage();
// True when the text is valid in the archive code page and can be handed to the file
// system; a name that cannot be represented is refused, never mangled.
bool NameRepresentable(const std::string& path);

// Text of the process's own environment (command lines, consoles: UTF-8 on the host,
// the ANSI code page on Windows) to and from the archive code page. Host paths keep
// their '/' separators here; false when the text cannot be represented.
bool HostToArchiveText(const std::string& host, std::string* text);
bool ArchiveToHostText(const std::string& text, std::string* host);
// Absolute form of a host path (its '.' and '..' resolved); empty on failure.
std::string FullHostPath(const std::string& host);

// Open modes of GcaFile: 0 read, 1 write, 2 read/write (existing file), 3 write,
// 4 read/write (created or truncated).
Handle OpenFile(const std::string& path, int mode);
void CloseFile(Handle h);
// Bytes read or written; -1 on failure.
int64_t ReadFile(Handle h, void* buffer, uint32_t n);
int64_t WriteFile(Handle h, const void* buffer, uint32_t n);
bool SeekFile(Handle h, uint64_t position);
uint64_t TellFile(Handle h);  // all ones on failure
bool FileSize(Handle h, uint64_t* size);
// Identity of an open file (device and file number): two handles on the same file give
// the same pair.
bool FileIdentity(Handle h, uint64_t* volume, uint64_t* index);
// Sets the last-write time (FILETIME) of an open file; creation and access time stay.
bool SetFileWriteTime(Handle h, uint64_t write_time);
// A second handle on an open file, with the same access, for flushing it from another
// thread while the first one writes; kInvalidHandle when the system gives none.
Handle DuplicateFile(Handle h);
// Starts the disk on the file's written data ahead of the flush that counts: it changes
// nothing that a reader sees and its failure costs nothing, so it is no fault point.
bool FlushAhead(Handle h);

uint32_t GetAttributes(const std::string& path);
// Sets the attribute word of a file or directory; never through a symbolic link (on
// the host a link at the path is refused).
bool SetAttributes(const std::string& path, uint32_t attributes);
bool MakeDirectory(const std::string& path);
bool RemoveFile(const std::string& path);

// What a path names, without following a link at its end. A junction or symbolic link
// (a reparse point on Windows) is kLink, whatever it points to, dangling or not.
enum class PathKind { kMissing, kFile, kDirectory, kLink, kOther };
PathKind Probe(const std::string& path);
// Creates a new file for writing; fails when anything (a link too) is at the path.
Handle CreateNewFile(const std::string& path);
// The attribute word of a file CreateNewFile made: the archive bit (Windows sets it,
// and SetAttributes with it changes nothing on a new file elsewhere).
constexpr uint32_t kNewFileAttributes = 0x20;
// Renames a file over `to`, replacing a file or a link there (never what a link
// points to).
bool RenameOver(const std::string& from, const std::string& to);
#if defined(_WIN32)
// RenameOver where the system has no MoveFileEx (Windows 95, 98 and ME, where it is a
// stub failing with ERROR_CALL_NOT_IMPLEMENTED; RenameOver falls back to this there): a
// plain move, and where a file is at `to`, that file deleted first. Not atomic, but the
// complete new file stays under its own name until it moves. Declared for the tests.
bool RenameOverWithoutMoveFileEx(const std::string& from, const std::string& to);
#endif
// The host's own form of an archive path (for messages); false when it has none.
bool HostPath(const std::string& path, std::string* host);

// One entry of a directory search.
struct FindData {
  std::string name;       // the entry's own name, archive code page
  uint32_t attributes = 0;
  uint64_t size = 0;
  uint64_t write_time = 0;  // FILETIME
  bool name_ok = true;    // false when the name cannot be represented in the code page
  // An entry that is neither a file nor a directory to archive (a FIFO, device or
  // socket, a link to a directory, a dangling link): reported, never archived. Then
  // `name` is the host's own form of the name.
  bool special = false;
};

// Starts a search on a pattern: a path names that one entry (a link there is followed:
// the caller named it); a directory joined with "*.*" lists the directory, where links
// to directories are not followed. kInvalidHandle when nothing is found.
Handle FindFirst(const std::string& pattern, FindData* data);
bool FindNext(Handle h, FindData* data);
void FindClose(Handle h);

}  // namespace os
}  // namespace gca
