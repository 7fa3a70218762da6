// File streams over UTF-8 paths: the abstract Stream with raw and typed little-endian
// reads and writes, and FileStream over one system file handle.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

class Stream {
 public:
  Stream() = default;
  virtual ~Stream();

  int32_t AtEnd() const { return at_end_; }
  virtual uint32_t Read(void* buffer, uint32_t count) = 0;
  virtual uint32_t Write(const void* buffer, uint32_t count) = 0;
  virtual bool Seek(uint64_t position) = 0;
  virtual uint64_t Tell() = 0;  // all ones on failure
  virtual uint64_t Size() = 0;

  // Typed reads give 0 for bytes that could not be read and then set the sticky
  // ShortRead flag, so that a caller can tell a short read from a stored zero.
  virtual uint8_t ReadU8();
  virtual uint32_t WriteU8(uint8_t value);
  virtual uint16_t ReadU16();
  virtual uint32_t WriteU16(uint16_t value);
  virtual uint32_t ReadU32();
  virtual uint32_t WriteU32(uint32_t value);
  virtual std::string ReadString();
  virtual void WriteString(const std::string& text);
  virtual std::string ReadShortString();
  virtual void WriteShortString(const std::string& text);
  virtual void WriteText(const std::string& text);

  // True once a typed read got fewer bytes than it needed; cleared by Open and ClearShortRead.
  bool ShortRead() const { return short_read_; }
  void ClearShortRead() { short_read_ = false; }

 protected:
  int32_t at_end_ = 1;
  bool short_read_ = false;
};

class FileStream : public Stream {
 public:
  FileStream() = default;
  ~FileStream() override;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  uint32_t Read(void* buffer, uint32_t count) override;
  uint32_t Write(const void* buffer, uint32_t count) override;
  bool Seek(uint64_t position) override;
  uint64_t Tell() override;
  uint64_t Size() override { return FileSize(); }

  // Modes: 0 read existing, 1 write existing, 2 read/write existing,
  // 3 write create-or-truncate, 4 read/write create-or-truncate.
  enum Mode : int32_t {
    kRead = 0,
    kWriteExisting = 1,
    kReadWriteExisting = 2,
    kWriteNew = 3,
    kReadWriteNew = 4,
  };
  virtual bool Reopen(int32_t mode);
  virtual bool OpenRead(const std::string& path) { return Open(path, 0); }
  virtual bool Open(const std::string& path, int32_t mode);
  virtual bool Close();
  // Writes the system's cached data of the open file to the disk (FlushFileBuffers).
  bool Flush();
  virtual bool LoadWhole(const std::string& path);
  virtual bool LoadFromArchive(const std::string& path);
  std::string Path() const { return path_; }
  HANDLE Handle() const { return handle_; }
  virtual uint64_t FileSize();
  const std::vector<uint8_t>& Content() const { return content_; }
  virtual void Unload();
  virtual bool LoadAsync(const std::string& path);
  int32_t LoadFailed() const;
  int32_t LoadSucceeded() const;

 private:
  std::string path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  uint64_t size_ = 0;
  std::vector<uint8_t> content_;
  int32_t mode_ = 0;
  HANDLE loader_thread_ = INVALID_HANDLE_VALUE;
  uint32_t loader_thread_id_ = 0;
  volatile LONG load_failed_ = 0;
  volatile LONG load_succeeded_ = 0;
};
