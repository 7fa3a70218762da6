// The builder's access to archives: output streams that keep an entry's bytes or only its
// digest, the answers to the archive code's notices, and a reader of a data archive's members.
#pragma once
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app/delta_format.h"
#include "archive/gca_archive.h"
#include "archive/notice_policy.h"
#include "codec/sha512.h"

namespace builder {

namespace fs = std::filesystem;

// An output stream that keeps only the SHA-512 of what is written to it.
class DigestStream : public gca::ByteStream {
 public:
  uint32_t Read(void*, uint32_t) override { return 0; }
  uint32_t Write(const void* buffer, uint32_t n) override {
    digest_.Update(buffer, n);
    position_ += n;
    return n;
  }
  bool Seek(uint64_t) override { return false; }
  uint64_t Tell() override { return position_; }
  std::string Finish() {
    digest_.Finish();
    return digest_.HexText();
  }

 private:
  gca::Sha512Digest digest_;
  uint64_t position_ = 0;
};

// An output stream that keeps what is written to it, and one that keeps the first bytes
// and the SHA-512 of the whole.
class MemoryStream : public gca::ByteStream {
 public:
  explicit MemoryStream(std::vector<uint8_t>& bytes) : bytes_(bytes) { bytes_.clear(); }
  uint32_t Read(void*, uint32_t) override { return 0; }
  uint32_t Write(const void* buffer, uint32_t n) override {
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    bytes_.insert(bytes_.end(), p, p + n);
    return n;
  }
  bool Seek(uint64_t) override { return false; }
  uint64_t Tell() override { return bytes_.size(); }

 private:
  std::vector<uint8_t>& bytes_;
};

class HeadDigestStream : public DigestStream {
 public:
  uint32_t Write(const void* buffer, uint32_t n) override {
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    const size_t take = std::min<size_t>(n, kDeltaMaxHeaderSize - std::min(head.size(), kDeltaMaxHeaderSize));
    head.insert(head.end(), p, p + take);
    return DigestStream::Write(buffer, n);
  }
  std::vector<uint8_t> head;
};

// What the notices of one archive operation said.
// What the notices of one archive object said (the shared notice policies).
using NoticeLog = gca::NoticeOutcome;

// Answers the notices as a tool that wants every readable archive read: solid archives
// get their index, scrambled directories are decrypted (and noted).
void InstallToolNotices(gca::GcaArchive* archive, NoticeLog* log);

// Answers the notices as the updater does (the same table): every question no, so a
// solid archive or a scrambled directory does not read, and a damaged entry fails.
void InstallUpdaterNotices(gca::GcaArchive* archive, NoticeLog* log);

// How a data archive stores its members and its directory: what an update that keeps an
// archive's options must give the rebuilt one.
struct ArchiveForm {
  std::string Directory;  // the directory's magic: "GCA3" (the only form the writer writes), "GCA0", "GCA1"
  bool FrontRecord = false;  // a "GCAX" front record before the data
  bool CompressedData = false;
  bool ScrambledData = false;
  bool ScrambledDirectory = false;
  bool Solid = false;
};

// The options of a form as the summary and the messages name them: "compressed" or
// "stored", then "scrambled data", "scrambled directory", "solid" where set.
std::string FormText(const ArchiveForm& form);

// The data-archive members, as the archive lists them.
struct Member {
  std::string Name;  // system code page
  gca::EntryRecord Record;
  int32_t Index = 0;
};

class ArchiveReader {
 public:
  bool Open(const fs::path& path);
  bool Solid() { return handle_.Archive() != nullptr && handle_.Archive()->Solid; }
  bool ScrambledDirectory() const { return log_.ScrambledDirectory; }
  // Valid after a successful Open.
  const ArchiveForm& Form() const { return form_; }
  bool Extract(const fs::path& directory, int32_t index);
  // An entry's bytes, decoded with its CRC checked.
  bool Bytes(int32_t index, std::vector<uint8_t>& bytes);
  // SHA-512 of an entry's bytes, decoded with its CRC checked; empty on failure.
  std::string Digest(int32_t index);
  const std::vector<Member>& Members() const { return members_; }
  ~ArchiveReader();

 private:
  gca::ArchiveHandle handle_;
  std::vector<Member> members_;
  NoticeLog log_;
  ArchiveForm form_;
};

}  // namespace builder
