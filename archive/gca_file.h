// File and directory services of the archive code: the file stream GcaFile, the
// narrow-text path operations, the double-byte-aware last-index search and the
// source scanner. All text is in the archive code page with backslash separators.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/byte_stream.h"
#include "archive/os.h"

namespace gca {

class GcaFile : public ByteStream {
 public:
  GcaFile() = default;
  ~GcaFile() override;
  GcaFile(const GcaFile&) = delete;
  GcaFile& operator=(const GcaFile&) = delete;

  uint32_t Read(void* buffer, uint32_t n) override;
  uint32_t Write(const void* buffer, uint32_t n) override;
  bool Seek(uint64_t position) override;
  uint64_t Tell() override;

  virtual std::string Path() const { return path_; }
  // Opens the stored path again for reading; false when there is none.
  virtual bool Reopen();
  virtual bool OpenRead(const std::string& path) { return Open(path, 0); }
  // Modes: 0 read, 1 write, 2 read/write (existing); 3 write, 4 read/write (created or
  // truncated). Any other mode fails without calling the system.
  virtual bool Open(const std::string& path, int mode);
  virtual bool Close();
  virtual os::Handle NativeHandle() const { return handle_; }
  // Mode 0: the size cached at opening; other modes ask the system again.
  virtual uint64_t Size();
  virtual void Release();

  // Creates a new file for writing (mode 3); fails when anything, a link too, is at
  // the path.
  bool CreateNew(const std::string& path);

  // Serves reads from a whole-file memory block instead of a file (read-only).
  bool OpenMemory(std::string bytes);

  bool IsOpen() const { return handle_ != os::kInvalidHandle || in_memory_; }
  bool SetWriteTime(uint64_t write_time) { return os::SetFileWriteTime(handle_, write_time); }

 private:
  std::string path_;
  os::Handle handle_ = os::kInvalidHandle;
  uint64_t size_ = 0;
  std::string memory_;
  bool in_memory_ = false;
  uint64_t memory_position_ = 0;
  int mode_ = 0;
};

// A file being written whose data goes to the disk behind the writer: once
// kFlushStep bytes have been written since the last request, a thread of its own
// flushes the file through a second handle, so that the disk writes while the
// writer is still at work and the flush that counts, after the last write, finds
// little left. Nothing depends on these early flushes: one that fails or does not
// happen only leaves more for that flush.
class FlushBehindFile : public GcaFile {
 public:
  // Requests that come while a flush runs are one: on a slow disk each flush takes
  // what was written during the one before, so the flushes do not outrun the disk.
  // Measured under Wine on a 1 GB archive, 8 MiB kept the writing as short as 4 MiB
  // did and shorter than 32 or 128 MiB.
  static constexpr uint64_t kFlushStep = uint64_t(8) << 20;

  FlushBehindFile();
  ~FlushBehindFile() override;

  // Starts flushing behind the writes of the open file; false (the file is written
  // as a plain one) when the system gives no second handle or thread.
  bool StartFlushing();
  uint32_t Write(const void* buffer, uint32_t n) override;
  bool Close() override;

 private:
  struct Flusher;
  void StopFlushing();

  std::unique_ptr<Flusher> flusher_;
  uint64_t written_ = 0;
  uint64_t requested_ = 0;
};

// Creates a new file beside `target` (in the same directory, so that a rename moves it
// into place) under a name no other file has; true with its path in *temp.
bool CreateTempBeside(const std::string& target, GcaFile* file, std::string* temp);

// True for a leaf name that CreateTempBeside makes ("~gca" eight hex digits ".tmp"): what
// a run cut off mid-entry leaves beside its target, and its owner may remove.
bool IsTempBesideName(const std::string& leaf);

// Index of the last occurrence of byte c in the zero-terminated text, or -1. A byte pair
// of a double-byte character (lead 0x81..0x9F or 0xE0..0xFC, trail 0x40..0x7E or
// 0x80..0xFC) is stepped over as one, so a trail byte never counts as a match.
int32_t LastIndexOf(const char* text, uint8_t c);
inline int32_t LastIndexOf(const std::string& text, uint8_t c) { return LastIndexOf(text.c_str(), c); }

// Base directory of the path operations, read under a lock; empty unless set.
void SetBaseDirectory(const std::string& path);
std::string GetBaseDirectory();

std::string MakeAbsolutePath(const std::string& path);
// An empty name gives the directory followed by one backslash (unless it already ends
// with a backslash or a colon).
std::string JoinPath(const std::string& directory, const std::string& name);
bool PathExists(const std::string& path);
bool CreateDirectoryTree(const std::string& path);

// True when an entry name stays below the directory it is extracted to: no empty,
// "." or ".." component (nor one of dots and spaces only), no leading separator, no
// drive colon, no '/', read with double-byte characters or without.
bool IsSafeEntryName(const std::string& name);

// One file or directory found by ScanSource.
struct ScanItem {
  std::string Name;  // relative to the parent of the source
  uint32_t Attributes = 0;
  uint64_t Size = 0;
  uint64_t WriteTime = 0;
};

// Orders items [first, last) of one source as the writer stores them: names without an
// extension first, then by extension, by file part, and by directory text (a shorter
// directory first when one is a prefix of the other); equal keys keep their order.
void SortScanItems(std::vector<ScanItem>& items, size_t first, size_t last);

// Appends the file or directory tree that source names; a directory comes before the
// items inside it; temporary files are skipped. Returns the number of items appended.
// An entry whose name the archive code page cannot represent is not appended; the
// first such path goes to *unrepresentable when given. Entries that are neither files
// nor directories (FIFOs, devices, sockets, links to directories, dangling links) are
// not appended; their paths go to *skipped when given. Both report paths in the
// host's own form (os::HostPath), since they may have no archive form.
int32_t ScanSource(const std::string& source, std::vector<ScanItem>& items,
                   std::string* unrepresentable = nullptr, std::vector<std::string>* skipped = nullptr);

}  // namespace gca
