#include "app/payload.h"

#include <windows.h>
// Shell types used by the file-system declarations.
#include "platform/wide_api.h"

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

// Reads the fixed field behind a tag; false when the tag is missing or the file ends
// inside the field.
bool ReadField(const std::string& tag, size_t field_size, std::vector<uint8_t>& field) {
  const std::string path = ProgramFilePath();
  const int32_t position = FindRecord(path, tag);
  if (position < 0) return false;
  FileStream file;
  if (!file.Open(path, 0)) return false;
  field.assign(field_size + 1, 0);
  bool ok = file.Seek(static_cast<uint64_t>(position) + kTagSize) &&
            file.Read(field.data(), static_cast<uint32_t>(field_size)) == field_size;
  file.Close();
  return ok;
}

bool ReadTextRecord(const char* short_name, std::string& value) {
  std::vector<uint8_t> field;
  if (!ReadField(AssembleTag(short_name), kTextFieldSize, field)) return false;
  value = TextFieldValue(field.data());
  return true;
}

bool ReadDigestRecord(const char* short_name, std::string& value) {
  std::vector<uint8_t> field;
  if (!ReadField(AssembleTag(short_name), kDigestFieldSize, field)) return false;
  value = DigestFieldValue(field.data());
  return true;
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
  if (path.empty() || tag.size() != kTagSize) return -1;
  FileStream file;
  if (!file.Open(path, 0)) return -1;
  const uint64_t window = SearchWindowSize(file.Size());
  std::vector<uint8_t> buffer(static_cast<size_t>(window));
  const uint32_t got = window == 0 ? 0 : file.Read(buffer.data(), static_cast<uint32_t>(window));
  file.Close();
  if (got != window) return -1;
  return FindTag(buffer.data(), buffer.size(), tag);
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
