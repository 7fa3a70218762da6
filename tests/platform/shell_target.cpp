// Started by the wrapper test through the shell: writes its command line and its current
// directory, as UTF-16 lines, into "shell_target.out" beside its own file.
#include <windows.h>

#include <string>

int main() {
  wchar_t module[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::wstring out_path(module, length);
  out_path = out_path.substr(0, out_path.rfind(L'\\')) + L"\\shell_target.out";
  wchar_t directory[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, directory);
  const std::wstring text = std::wstring(GetCommandLineW()) + L"\n" + directory + L"\n";
  const std::wstring partial = out_path + L".part";
  HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
  CloseHandle(file);
  // Renamed when complete, so that the test never reads half a file.
  return MoveFileW(partial.c_str(), out_path.c_str()) ? 0 : 1;
}
