#include "app/update_log.h"

#include <windows.h>

#include <memory>

#include "app/app_globals.h"
#include "app/payload.h"
#include "platform/file_stream.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/wide_api.h"

namespace {

std::unique_ptr<FileStream> g_log;
std::string g_path;

std::string TempFolder() {
  if (UseWide(WideApi.GetTempPathW)) {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD n = WideApi.GetTempPathW(MAX_PATH + 1, buffer);
    if (n == 0 || n > MAX_PATH) return std::string();
    return WideToUtf8(buffer);
  }
  char buffer[MAX_PATH + 1];
  const DWORD n = GetTempPathA(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH) return std::string();
  return AnsiToUtf8(buffer);
}

bool Inside(const std::string& path, const std::string& directory) {
  if (directory.empty() || path.size() <= directory.size()) return false;
  for (size_t i = 0; i < directory.size(); ++i) {
    char a = path[i], b = directory[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return directory.back() == '\\' || path[directory.size()] == '\\';
}

bool TryOpen(const std::string& path) {
  auto file = std::make_unique<FileStream>();
  if (path.empty() || !file->Open(path, FileStream::kWriteNew)) return false;
  g_log = std::move(file);
  g_path = path;
  return true;
}

}  // namespace

void StartUpdateLog() {
  if (g_log) g_log->Close();
  g_log.reset();
  g_path.clear();
  const std::string program = ProgramFilePath();
  std::string name = program.substr(static_cast<size_t>(LastIndexOf(program.c_str(), '\\') + 1));
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot != 0) name.resize(dot);
  if (name.empty()) name = "update";
  name += ".log";
  const std::string beside = JoinPath(ParentDirectory(program), name);
  const bool in_game = !InstallPath.empty() && Inside(beside, InstallPath);
  if (!program.empty() && !in_game && TryOpen(beside)) return;
  TryOpen(JoinPath(TempFolder(), name));
}

void LogLine(const std::string& text) {
  if (!g_log) StartUpdateLog();
  if (!g_log) return;
  SYSTEMTIME now;
  GetLocalTime(&now);
  const std::string line = FormatText("%02u:%02u:%02u.%03u ", now.wHour, now.wMinute, now.wSecond,
                                      now.wMilliseconds) + text + "\r\n";
  g_log->Write(line.data(), static_cast<uint32_t>(line.size()));
}

std::string UpdateLogPath() { return g_path; }
