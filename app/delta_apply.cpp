#include "app/delta_apply.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "archive/gca_archive.h"
#include "archive/gca_format.h"
#include "codec/sha512.h"
#include "platform/file_stream.h"
#include "platform/file_system.h"

namespace {

constexpr uint32_t kWindow = 256 * 1024;

// Keeps the first bytes of a decoded entry: the delta's header.
class HeadStream : public gca::ByteStream {
 public:
  uint32_t Read(void*, uint32_t) override { return 0; }
  uint32_t Write(const void* buffer, uint32_t n) override {
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    const size_t take = std::min<size_t>(n, kDeltaMaxHeaderSize - std::min(head.size(), kDeltaMaxHeaderSize));
    head.insert(head.end(), bytes, bytes + take);
    return n;
  }
  bool Seek(uint64_t) override { return true; }
  uint64_t Tell() override { return 0; }
  std::vector<uint8_t> head;
};

// The old file read through a window that moves as the records read on, the new file
// written in large pieces and read back where a record repeats what it already holds.
class FileSink : public DeltaSink {
 public:
  FileSink(FileStream& old_file, FileStream& new_file) : old_(old_file), new_(new_file) {
    window_.reserve(kWindow);
    out_.reserve(kWindow);
  }
  void Begin(const DeltaHeader& header) override { old_size_ = header.OldSize; }
  bool ReadSource(uint64_t position, uint8_t* buffer, uint32_t n) override {
    if (position >= old_size_) return ReadNew(position - old_size_, buffer, n);
    if (position < window_at_ || position + n > window_at_ + window_.size()) {
      window_.resize(kWindow);
      if (!old_.Seek(position)) return false;
      const uint32_t got = old_.Read(window_.data(), kWindow);
      window_.resize(got);
      window_at_ = position;
      if (got < n) return false;
    }
    std::copy_n(window_.data() + (position - window_at_), n, buffer);
    return true;
  }
  bool WriteNew(const uint8_t* buffer, uint32_t n) override {
    if (out_.size() + n > kWindow && !Flush()) return false;
    out_.insert(out_.end(), buffer, buffer + n);
    return true;
  }
  bool Flush() {
    if (out_.empty()) return true;
    const bool ok = new_.Write(out_.data(), static_cast<uint32_t>(out_.size())) == out_.size();
    flushed_ += out_.size();
    out_.clear();
    write_failed_ = write_failed_ || !ok;
    return ok;
  }
  bool WriteFailed() const { return write_failed_; }

 private:
  // New bytes still in the buffer are copied; older ones are read back from the file,
  // whose write position is then put back at its end.
  bool ReadNew(uint64_t position, uint8_t* buffer, uint32_t n) {
    if (position >= flushed_ && position - flushed_ + n <= out_.size()) {
      std::copy_n(out_.data() + (position - flushed_), n, buffer);
      return true;
    }
    if (!Flush() || !new_.Seek(position)) return false;
    const bool ok = new_.Read(buffer, n) == n;
    return new_.Seek(flushed_) && ok;
  }

  FileStream& old_;
  FileStream& new_;
  uint64_t old_size_ = 0;
  std::vector<uint8_t> window_;
  uint64_t window_at_ = 0;
  std::vector<uint8_t> out_;
  uint64_t flushed_ = 0;
  bool write_failed_ = false;
};

// Hands the decoded entry to the applier; a refused piece ends the decoding. Once the
// delta's header is through, the old file must be the content it names before any byte
// of the new one is made.
class ApplierStream : public gca::ByteStream {
 public:
  ApplierStream(DeltaApplier& applier, const std::string& old_path) : applier_(applier), old_path_(old_path) {}
  uint32_t Read(void*, uint32_t) override { return 0; }
  uint32_t Write(const void* buffer, uint32_t n) override {
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    if (!applier_.HeaderRead()) {
      // The header alone first (a byte at a time: its length shows as it is read), so the
      // old file is checked before the first chunk.
      uint32_t head = 0;
      while (head < n && !applier_.HeaderRead()) {
        if (!applier_.Push(bytes + head, 1)) return 0;
        ++head;
      }
      if (applier_.HeaderRead()) {
        const DeltaHeader& header = applier_.Header();
        if (!FileHasContent(old_path_, header.OldSize, header.OldDigest)) {
          old_differs_ = true;
          return 0;
        }
      }
      if (head == n) return n;
      return applier_.Push(bytes + head, n - head) ? n : 0;
    }
    return applier_.Push(bytes, n) ? n : 0;
  }
  bool Seek(uint64_t) override { return true; }
  uint64_t Tell() override { return 0; }
  bool OldDiffers() const { return old_differs_; }

 private:
  DeltaApplier& applier_;
  std::string old_path_;
  bool old_differs_ = false;
};

}  // namespace
bool ReadDeltaHeader(gca::GcaArchive* patch, int32_t index, DeltaHeader& header) {
  HeadStream head;
  if (!patch->DecodeEntry(head, index, std::string())) return false;
  return ParseDeltaHeader(head.head.data(), head.head.size(), header);
}

bool FileHasContent(const std::string& path, uint64_t size, const std::string& digest) {
  // The size first: a file of another size is told apart without reading it.
  FindEntry entry;
  if (!FindOne(path, entry) || (entry.Attributes & gca::kAttrDirectory) || entry.Size != size) return false;
  return FileSha512Hex(path) == digest;
}

DeltaOutcome ApplyDeltaEntry(gca::GcaArchive* patch, int32_t index, const std::string& old_path,
                             const std::string& new_path) {
  FileStream old_file, new_file;
  if (!old_file.Open(old_path, FileStream::kRead)) return DeltaOutcome::kOldDiffers;
  if (!new_file.Open(new_path, FileStream::kReadWriteNew)) return DeltaOutcome::kWriteFailed;
  FileSink sink(old_file, new_file);
  DeltaApplier applier(sink);
  ApplierStream stream(applier, old_path);
  const bool decoded = patch->DecodeEntry(stream, index, std::string());
  const bool flushed = sink.Flush();
  const bool closed = new_file.Close();
  old_file.Close();
  if (decoded && flushed && closed && applier.Complete()) return DeltaOutcome::kApplied;
  // A result that differs from the one promised is never left to be placed.
  RemoveFile(new_path);
  if (stream.OldDiffers()) return DeltaOutcome::kOldDiffers;
  return sink.WriteFailed() || !flushed || !closed ? DeltaOutcome::kWriteFailed : DeltaOutcome::kDamaged;
}
