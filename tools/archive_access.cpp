#include "tools/archive_access.h"

#include <system_error>

#include "tools/host_files.h"

namespace builder {

void InstallToolNotices(gca::GcaArchive* archive, NoticeLog* log) {
  gca::InstallNoticePolicy(archive, gca::NoticePolicy::kTool, log);
}

void InstallUpdaterNotices(gca::GcaArchive* archive, NoticeLog* log) {
  gca::InstallNoticePolicy(archive, gca::NoticePolicy::kUpdater, log);
}

bool ArchiveReader::Open(const fs::path& path) {
  handle_.Create();
  if (!handle_.PrepareBuffers()) return false;
  handle_.SetArchivePath(ArchivePath(path));
  InstallToolNotices(handle_.Archive(), &log_);
  if (!handle_.Open()) return false;
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
