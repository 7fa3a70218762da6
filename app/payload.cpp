#include "app/payload.h"

#include <windows.h>
// Shell types used by the file-system declarations.
#include "platform/wide_api.h"

#include <utility>
#include <vector>

#include "platform/file_stream.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/wide_api.h"

std::string Title;
std::string OldVersion = "0.0.0";
std::string NewVersion = "9.9.9";
std::string OldCheckFile;
std::string NewCheckFile;
std::string OldCheckHash;
std::string NewCheckHash;

namespace {

std::string& ProgramFileOverride() {
  static std::string path;
  return path;
}

constexpr DWORD kModuleNameBuffer = 65536;

std::string ModuleFileName() {
  if (IsWideSystem() && WideApi.GetModuleFileNameW != nullptr) {
    std::vector<wchar_t> buffer(kModuleNameBuffer + 1, 0);
    const DWORD length = WideApi.GetModuleFileNameW(nullptr, buffer.data(), kModuleNameBuffer);
    if (length == 0 || length >= kModuleNameBuffer) return std::string();
    return WideToUtf8(std::wstring(buffer.data(), length));
  }
  std::vector<char> buffer(kModuleNameBuffer + 1, 0);
  const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), kModuleNameBuffer);
  if (length == 0 || length >= kModuleNameBuffer) return std::string();
  return AnsiToUtf8(std::string(buffer.data(), length));
}

// The program file for the shared payload readers: opened afresh for every lookup.
class ProgramPayloadFile : public PayloadFile {
 public:
  explicit ProgramPayloadFile(std::string path) : path_(std::move(path)) {}
  bool Open() override { return !path_.empty() && file_.Open(path_, FileStream::kRead); }
  uint64_t Size() override { return file_.Size(); }
  bool Seek(uint64_t position) override { return file_.Seek(position); }
  uint32_t Read(void* buffer, uint32_t n) override { return file_.Read(buffer, n); }
  void Close() override { file_.Close(); }

 private:
  std::string path_;
  FileStream file_;
};

bool ReadTextRecord(const char* short_name, std::string& value) {
  ProgramPayloadFile file(ProgramFilePath());
  return ReadTextRecordIn(file, short_name, value);
}

bool ReadDigestRecord(const char* short_name, std::string& value) {
  ProgramPayloadFile file(ProgramFilePath());
  return ReadDigestRecordIn(file, short_name, value);
}

}  // namespace

void SetProgramFilePathOverride(const std::string& path) { ProgramFileOverride() = path; }

std::string ProgramFilePath() {
  if (!ProgramFileOverride().empty()) return ProgramFileOverride();
  const std::string name = ModuleFileName();
  if (name.empty()) return std::string();
  return CanonicalShellPath(name);
}

int32_t FindRecord(const std::string& path, const std::string& tag) {
  ProgramPayloadFile file(path);
  return FindRecordIn(file, tag);
}

std::vector<TimeStamp> ReadTimeStamps(const std::string& path) {
  ProgramPayloadFile file(path);
  std::vector<TimeStamp> stamps;
  bool complete = false;
  ReadTimeStampsIn(file, stamps, complete);
  return stamps;
}

bool ReadDeletions(const std::string& path, std::vector<Deletion>& deletions) {
  ProgramPayloadFile file(path);
  bool complete = false;
  if (!ReadDeletionsIn(file, deletions, complete)) {
    deletions.clear();
    return true;
  }
  return complete;
}

bool ReadRebuildWay(const std::string& path, RebuildWay& way) {
  ProgramPayloadFile file(path);
  return ReadRebuildWayIn(file, way);
}

bool ReadTitle() { return ReadTextRecord(TitleName, Title); }

bool ReadVersions() {
  return ReadTextRecord(VersionOldName, OldVersion) && ReadTextRecord(VersionNewName, NewVersion);
}

bool ReadOldCheck() {
  return ReadTextRecord(CheckFileOldName, OldCheckFile) && ReadDigestRecord(CheckOldHashName, OldCheckHash);
}

bool ReadNewCheck() {
  return ReadTextRecord(CheckFileNewName, NewCheckFile) && ReadDigestRecord(CheckNewHashName, NewCheckHash);
}
