#include "tools/archive_access.h"

#include <fstream>
#include <system_error>

#include "tools/host_files.h"

namespace builder {

void InstallToolNotices(gca::GcaArchive* archive, NoticeLog* log) {
  gca::InstallNoticePolicy(archive, gca::NoticePolicy::kTool, log);
}

void InstallUpdaterNotices(gca::GcaArchive* archive, NoticeLog* log) {
  gca::InstallNoticePolicy(archive, gca::NoticePolicy::kUpdater, log);
}

namespace {

// The magic of the directory of the archive at the start of the file: behind the front
// record's offset when there is one, else at the start. Empty when unreadable.
std::string DirectoryMagic(const fs::path& path, bool& front_record) {
  std::ifstream in(path, std::ios::binary);
  char front[16] = {};
  front_record = false;
  if (!in.read(front, sizeof front)) return std::string();
  if (std::string(front, 4) != "GCAX") return std::string(front, 4);
  front_record = true;
  uint64_t offset = 0;
  for (int i = 7; i >= 0; --i) offset = (offset << 8) | static_cast<uint8_t>(front[8 + i]);
  char head[4] = {};
  if (offset > static_cast<uint64_t>(INT64_MAX) || !in.seekg(static_cast<std::streamoff>(offset)) ||
      !in.read(head, sizeof head)) {
    return std::string();
  }
  return std::string(head, 4);
}

}  // namespace

std::string FormText(const ArchiveForm& form) {
  std::string text = form.CompressedData ? "compressed" : "stored";
  if (form.ScrambledData) text += ", scrambled data";
  if (form.ScrambledDirectory) text += ", scrambled directory";
  if (form.Solid) text += ", solid";
  return text;
}

bool ArchiveReader::Open(const fs::path& path) {
  handle_.Create();
  if (!handle_.PrepareBuffers()) return false;
  handle_.SetArchivePath(ArchivePath(path));
  InstallToolNotices(handle_.Archive(), &log_);
  if (!handle_.Open()) return false;
  gca::GcaArchive* archive = handle_.Archive();
  form_.Directory = DirectoryMagic(path, form_.FrontRecord);
  // Solid data is always coded, whatever the flag says.
  form_.CompressedData = archive->CompressData || archive->Solid;
  form_.ScrambledData = archive->ScrambleData;
  form_.ScrambledDirectory = log_.ScrambledDirectory;
  form_.Solid = archive->Solid;
  const int32_t count = handle_.EntryCount();
  for (int32_t i = 0; i < count; ++i) {
    Member member;
    member.Name = handle_.EntryName(i);
    member.Record = handle_.Archive()->EntryInfo(i);
    member.Index = i;
    members_.push_back(member);
  }
  return true;
}

bool ArchiveReader::Extract(const fs::path& directory, int32_t index) {
  std::error_code ec;
  fs::create_directories(directory, ec);
  handle_.SetOutputDirectory(ArchivePath(directory));
  return handle_.ExtractEntry(index) && !log_.Failed;
}

bool ArchiveReader::Bytes(int32_t index, std::vector<uint8_t>& bytes) {
  MemoryStream stream(bytes);
  return handle_.Archive()->DecodeEntry(stream, index, std::string()) && !log_.Failed;
}

std::string ArchiveReader::Digest(int32_t index) {
  DigestStream stream;
  if (!handle_.Archive()->DecodeEntry(stream, index, std::string()) || log_.Failed) return std::string();
  return stream.Finish();
}

ArchiveReader::~ArchiveReader() {
  handle_.Close();
  handle_.ReleaseBuffers();
  handle_.Destroy();
}

}  // namespace builder
