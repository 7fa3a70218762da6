#include "tools/archive_access.h"

#include <system_error>

#include "tools/host_files.h"

namespace builder {

// Answers the notices as a tool that wants every readable archive read: solid archives
// get their index, scrambled directories are decrypted (and noted).
void InstallToolNotices(gca::GcaArchive* archive, NoticeLog* log) {
  archive->SetNoticeCallback([log](uint32_t code, const std::string&, gca::GcaArchive*) -> int32_t {
    switch (code) {
      case gca::kNoticeScrambledDirectory:
        if (log != nullptr) log->ScrambledDirectory = true;
        return 0;
      case gca::kNoticeSolidIndex:
        return 0;
      case gca::kNoticeEntryCrc:
      case gca::kNoticeUnsafeName:
      case gca::kNoticeCannotCreateDirectory:
      case gca::kNoticeCannotOpenSource:
      case gca::kNoticeBuildReadError:
      case gca::kNoticeBuildWriteError:
        if (log != nullptr) log->Failed = true;
        return -1;
      default:
        return -1;
    }
  });
}

// Answers the notices as the updater does: every question with -1 (so a solid archive or
// a scrambled directory does not read), and a damaged entry fails.
void InstallUpdaterNotices(gca::GcaArchive* archive, NoticeLog* log) {
  archive->SetNoticeCallback([log](uint32_t code, const std::string&, gca::GcaArchive*) -> int32_t {
    if (code == gca::kNoticeEntryCrc || code == gca::kNoticeUnsafeName || code == gca::kNoticeCannotCreateDirectory) {
      log->Failed = true;
    }
    return -1;
  });
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
