// File streams over UTF-8 paths.
#include "platform/file_stream.h"

#include <process.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "archive/fault_points.h"
#include "archive/gca_archive.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/wide_api.h"

// ---------------------------------------------------------------------------------------
// Stream: typed reads and writes over the raw Read and Write, little-endian.

Stream::~Stream() = default;

uint8_t Stream::ReadU8() {
  uint8_t byte = 0;
  if (Read(&byte, 1) != 1) {
    short_read_ = true;
    return 0;
  }
  return byte;
}

uint32_t Stream::WriteU8(uint8_t value) { return Write(&value, 1); }

uint16_t Stream::ReadU16() {
  uint8_t bytes[2] = {0, 0};
  if (Read(bytes, 2) != 2) short_read_ = true;
  return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

uint32_t Stream::WriteU16(uint16_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  return Write(bytes, 2);
}

uint32_t Stream::ReadU32() {
  uint8_t bytes[4] = {0, 0, 0, 0};
  if (Read(bytes, 4) != 4) short_read_ = true;
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint32_t Stream::WriteU32(uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return Write(bytes, 4);
}

namespace {

// Reads count bytes of text in pieces, so that a damaged length costs no more memory than
// the data actually present. Empty unless all count bytes came.
std::string ReadCountedText(Stream& stream, uint32_t count, bool& short_read) {
  constexpr uint32_t kPiece = 65536;
  std::string text;
  try {
    while (text.size() < count) {
      const uint32_t done = static_cast<uint32_t>(text.size());
      const uint32_t piece = std::min(kPiece, count - done);
      text.resize(done + piece);
      if (stream.Read(&text[done], piece) != piece) {
        short_read = true;
        return std::string();
      }
    }
  } catch (const std::bad_alloc&) {
    short_read = true;
    return std::string();
  }
  return text;
}

}  // namespace

std::string Stream::ReadString() {
  uint8_t bytes[4];
  if (Read(bytes, 4) != 4) {
    short_read_ = true;
    return std::string();
  }
  const uint32_t count = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                         static_cast<uint32_t>(bytes[2]) << 16 |
                         static_cast<uint32_t>(bytes[3]) << 24;
  return ReadCountedText(*this, count, short_read_);
}

void Stream::WriteString(const std::string& text) {
  const uint32_t count = static_cast<uint32_t>(text.size());
  WriteU32(count);
  Write(text.data(), count);
}

std::string Stream::ReadShortString() {
  uint8_t bytes[2];
  if (Read(bytes, 2) != 2) {
    short_read_ = true;
    return std::string();
  }
  const uint32_t count = static_cast<uint32_t>(bytes[0] | bytes[1] << 8);
  return ReadCountedText(*this, count, short_read_);
}

void Stream::WriteShortString(const std::string& text) {
  const uint16_t count = static_cast<uint16_t>(text.size());
  WriteU16(count);
  Write(text.data(), count);
}

void Stream::WriteText(const std::string& text) {
  Write(text.data(), static_cast<uint32_t>(text.size()));
}

// ---------------------------------------------------------------------------------------
// FileStream

namespace {

struct OpenMode {
  DWORD access;
  DWORD disposition;
};

constexpr OpenMode kOpenModes[5] = {
    {GENERIC_READ, OPEN_EXISTING},
    {GENERIC_WRITE, OPEN_EXISTING},
    {GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING},
    {GENERIC_WRITE, CREATE_ALWAYS},
    {GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS},
};

// The 64-bit size of an open file, 0 when the system cannot tell.
uint64_t QueryFileSize(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) return 0;
  DWORD high = 0;
  SetLastError(NO_ERROR);
  const DWORD low = GetFileSize(handle, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return 0;
  return static_cast<uint64_t>(high) << 32 | low;
}

struct LoaderStart {
  FileStream* stream;
  std::string path;
  volatile LONG* succeeded;
  volatile LONG* failed;
};

unsigned __stdcall LoaderMain(void* argument) {
  LoaderStart* job = static_cast<LoaderStart*>(argument);
  const bool loaded = job->stream->LoadWhole(job->path);
  volatile LONG* flag = loaded ? job->succeeded : job->failed;
  delete job;
  InterlockedExchange(flag, 1);
  return 0;
}

}  // namespace

FileStream::~FileStream() { Unload(); }

bool FileStream::Open(const std::string& path, int32_t mode) {
  const std::string requested = path;  // path may be our own stored path
  path_ = requested;
  mode_ = mode;
  short_read_ = false;
  // A stream holds one file: the previous one is closed rather than left open.
  Close();
  if (mode < 0 || mode > 4) return false;
  if (mode != 0 && GU_FAULT_POINT("open for writing")) return false;
  const std::string absolute = MakeAbsolutePath(requested);
  const OpenMode& how = kOpenModes[mode];
  HANDLE handle;
  if (UseWide(WideApi.CreateFileW)) {
    const std::wstring wide = Utf8ToWide(AddLongPathPrefix(absolute));
    handle = WideApi.CreateFileW(wide.c_str(), how.access, FILE_SHARE_READ, nullptr,
                                 how.disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  } else {
    const std::string ansi = Utf8ToAnsi(absolute);
    handle = CreateFileA(ansi.c_str(), how.access, FILE_SHARE_READ, nullptr, how.disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) return false;
  handle_ = handle;
  size_ = QueryFileSize(handle_);
  if (size_ != 0) at_end_ = 0;
  return true;
}

bool FileStream::Reopen(int32_t mode) {
  if (path_.empty()) return false;
  return Open(path_, mode);
}

bool FileStream::Close() {
  if (handle_ != INVALID_HANDLE_VALUE) {
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  return true;
}

uint32_t FileStream::Read(void* buffer, uint32_t count) {
  DWORD got = 0;
  if (handle_ == INVALID_HANDLE_VALUE || !ReadFile(handle_, buffer, count, &got, nullptr)) {
    return 0;
  }
  // Only a read that asked for bytes and got none marks the end.
  if (got == 0 && count != 0) at_end_ = 1;
  return got;
}

uint32_t FileStream::Write(const void* buffer, uint32_t count) {
  DWORD written = 0;
  if (handle_ != INVALID_HANDLE_VALUE && GU_FAULT_POINT("write")) return 0;
  if (handle_ == INVALID_HANDLE_VALUE || !WriteFile(handle_, buffer, count, &written, nullptr)) {
    return 0;
  }
  return written;
}

bool FileStream::Flush() {
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  if (GU_FAULT_POINT("flush")) return false;
  return FlushFileBuffers(handle_) != 0;
}

// Without a file there is nothing to ask: the all-ones handle value would name the
// current process to the system.
bool FileStream::Seek(uint64_t position) {
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  LONG high = static_cast<LONG>(position >> 32);
  SetLastError(NO_ERROR);
  const DWORD low =
      SetFilePointer(handle_, static_cast<LONG>(position & 0xFFFFFFFFu), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

uint64_t FileStream::Tell() {
  if (handle_ == INVALID_HANDLE_VALUE) return ~uint64_t{0};
  LONG high = 0;
  SetLastError(NO_ERROR);
  const DWORD low = SetFilePointer(handle_, 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return ~uint64_t{0};
  return static_cast<uint64_t>(static_cast<DWORD>(high)) << 32 | low;
}

uint64_t FileStream::FileSize() {
  if (mode_ != 0) size_ = QueryFileSize(handle_);
  return size_;
}

bool FileStream::LoadWhole(const std::string& path) {
  // The content is always that of the last load: a failed load leaves none.
  std::vector<uint8_t>().swap(content_);
  if (!OpenRead(path)) return LoadFromArchive(path);
  // Content is held in one buffer with a 32-bit length: larger files are not loaded.
  if (size_ >> 32 != 0) {
    Close();
    return false;
  }
  const DWORD count = static_cast<DWORD>(size_);
  try {
    content_.assign(count, 0);
  } catch (const std::bad_alloc&) {
    Close();
    return false;
  }
  DWORD got = 0;
  if (!ReadFile(handle_, content_.data(), count, &got, nullptr) || got != count) {
    std::vector<uint8_t>().swap(content_);
    Close();
    return false;
  }
  return true;
}

namespace {

// Receives a decoded entry into a buffer of exactly the entry's size; a write past it
// is refused (the decoder then reports a short write), so nothing outgrows the buffer.
class ContentSink : public gca::ByteStream {
 public:
  explicit ContentSink(std::vector<uint8_t>& content) : content_(content) {}
  uint32_t Read(void*, uint32_t) override { return 0; }
  uint32_t Write(const void* buffer, uint32_t n) override {
    const uint64_t room = content_.size() - position_;
    const uint32_t count = n <= room ? n : static_cast<uint32_t>(room);
    if (count) std::memcpy(content_.data() + position_, buffer, count);
    position_ += count;
    return count;
  }
  bool Seek(uint64_t position) override {
    if (position > content_.size()) return false;
    position_ = position;
    return true;
  }
  uint64_t Tell() override { return position_; }
  uint64_t Written() const { return position_; }

 private:
  std::vector<uint8_t>& content_;
  uint64_t position_ = 0;
};

// Entry names compare without regard to the case of their single-byte letters; the
// trail bytes of double-byte characters are compared as they stand.
bool SameEntryName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const unsigned char x = static_cast<unsigned char>(a[i]);
    const unsigned char y = static_cast<unsigned char>(b[i]);
    if (IsDBCSLeadByte(x) && i + 1 < a.size()) {
      if (x != y || a[i + 1] != b[i + 1]) return false;
      ++i;
      continue;
    }
    const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    if (lower(x) != lower(y)) return false;
  }
  return true;
}

}  // namespace

bool FileStream::LoadFromArchive(const std::string& path) {
  const std::string p = MakeAbsolutePath(path);
  // Walk up from the file's own directory: the first D\name.dat (or .gca) that exists
  // is the archive, and the entry is the path below D, beginning with name.
  std::string archive;
  std::string entry;
  std::string cut = p;
  for (;;) {
    const int k = LastIndexOf(cut.c_str(), '\\');
    if (k < 0) return false;
    cut.resize(static_cast<size_t>(k));
    if (PathExists(cut + ".dat")) {
      archive = cut + ".dat";
    } else if (PathExists(cut + ".gca")) {
      archive = cut + ".gca";
    }
    if (!archive.empty()) {
      const int d = LastIndexOf(cut.c_str(), '\\');
      entry = p.substr(static_cast<size_t>(d + 1));
      break;
    }
  }
  const std::string wanted = Utf8ToAnsi(entry);
  if (wanted.empty()) return false;

  std::unique_ptr<gca::GcaArchive> reader;
  try {
    reader.reset(new gca::GcaArchive());
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!reader->PrepareBuffers()) return false;
  // Solid archives need their index: allow it. A CRC mismatch makes the load fail.
  bool damaged = false;
  reader->SetNoticeCallback([&damaged](uint32_t code, const std::string&, gca::GcaArchive*) -> int32_t {
    if (code == gca::kNoticeSolidIndex) return 0;
    if (code == gca::kNoticeEntryCrc) damaged = true;
    return -1;
  });
  reader->SetArchivePath(Utf8ToAnsi(archive));
  if (!reader->ReadDirectory()) return false;
  const int32_t count = reader->EntryCount();
  for (int32_t i = 0; i < count; ++i) {
    if (!SameEntryName(reader->EntryName(i), wanted)) continue;
    const gca::EntryRecord record = reader->EntryInfo(i);
    if (record.Attributes & gca::kAttrDirectory) return false;
    // The content is one buffer with a 32-bit length.
    if (record.UnpackedSize >> 32 != 0) return false;
    std::vector<uint8_t> content;
    try {
      content.assign(static_cast<size_t>(record.UnpackedSize), 0);
    } catch (const std::bad_alloc&) {
      return false;
    }
    ContentSink sink(content);
    if (!reader->DecodeEntry(sink, i, wanted) || damaged || sink.Written() != content.size()) return false;
    Close();
    content_.swap(content);
    size_ = record.UnpackedSize;
    return true;
  }
  return false;
}

void FileStream::Unload() {
  if (loader_thread_ != INVALID_HANDLE_VALUE) {
    // The loader writes into this object; it is waited for rather than killed, so that
    // it can neither die holding the heap nor leave the content half assigned.
    WaitForSingleObject(loader_thread_, INFINITE);
    CloseHandle(loader_thread_);
    loader_thread_ = INVALID_HANDLE_VALUE;
    loader_thread_id_ = 0;
  }
  Close();
  std::vector<uint8_t>().swap(content_);
  size_ = 0;
}

bool FileStream::LoadAsync(const std::string& path) {
  if (loader_thread_ != INVALID_HANDLE_VALUE) return false;
  path_ = path;
  InterlockedExchange(&load_failed_, 0);
  InterlockedExchange(&load_succeeded_, 0);
  LoaderStart* start = nullptr;
  try {
    start = new LoaderStart{this, path_, &load_succeeded_, &load_failed_};
  } catch (const std::bad_alloc&) {
    InterlockedExchange(&load_failed_, 1);
    return false;
  }
  unsigned id = 0;
  const uintptr_t thread = _beginthreadex(nullptr, 0, LoaderMain, start, 0, &id);
  if (thread == 0) {
    // No thread: nothing runs, the stream stays as it is and the load counts as failed.
    delete start;
    InterlockedExchange(&load_failed_, 1);
    return false;
  }
  loader_thread_ = reinterpret_cast<HANDLE>(thread);
  loader_thread_id_ = id;
  return true;
}

int32_t FileStream::LoadFailed() const {
  return InterlockedCompareExchange(const_cast<volatile LONG*>(&load_failed_), 0, 0);
}

int32_t FileStream::LoadSucceeded() const {
  return InterlockedCompareExchange(const_cast<volatile LONG*>(&load_succeeded_), 0, 0);
}
