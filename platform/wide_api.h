// The choice between wide (W) and ANSI (A) system entry points, and the table of wide
// entry points looked up by name at run time.
#pragma once
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <commdlg.h>

// True on NT-family systems; decided once, on the first call.
bool IsWideSystem();
// Tests force the decision (1 wide, 0 ANSI) or hand it back to the system (-1).
void SetWideSystemOverride(int decision);

void LoadWideApi();
void FreeWideApi();

// Limits the system's library search to the system directory where the system offers
// that (SetDefaultDllDirectories), so that no library is picked up from the program's own
// directory or the current directory. Called before any library is loaded by name.
void RestrictDllSearch();

// The libraries that the system's own libraries load by bare name while the updater runs
// (common controls, COM, the shell, the registry and file-version services), some of them
// outside the reach of the restricted search. Each is loaded once by its full name in the
// system directory and stays loaded for the life of the process, so that a later load by
// bare name finds the module already in the process instead of looking for a file.
// Names missing from the system are skipped. Called before any window, COM or shell call.
void PreloadSystemLibraries();
extern const char* const kPreloadedLibraryNames[];
extern const int kPreloadedLibraryCount;
// The handles of the preloaded libraries, in the order of the names; null where the
// system has no such library.
extern HMODULE PreloadedLibraries[];

// Whether a call should go to the wide entry point: on an NT-family system, and only when
// the table holds that entry; otherwise callers use the ANSI entry point.
template <typename Entry>
inline bool UseWide(Entry* entry) {
  return IsWideSystem() && entry != nullptr;
}

struct WideApiTable {
  int Loaded = 0;
  HMODULE Libraries[7] = {};
  // Kernel32.DLL
  decltype(&::CopyFileW) CopyFileW;
  decltype(&::CreateDirectoryW) CreateDirectoryW;
  decltype(&::CreateFileW) CreateFileW;
  decltype(&::CreateProcessW) CreateProcessW;
  decltype(&::DeleteFileW) DeleteFileW;
  decltype(&::FindFirstChangeNotificationW) FindFirstChangeNotificationW;
  decltype(&::FindFirstFileW) FindFirstFileW;
  decltype(&::FindNextFileW) FindNextFileW;
  decltype(&::GetCurrentDirectoryW) GetCurrentDirectoryW;
  decltype(&::GetDateFormatW) GetDateFormatW;
  decltype(&::GetFileAttributesW) GetFileAttributesW;
  decltype(&::GetFullPathNameW) GetFullPathNameW;
  decltype(&::GetModuleFileNameW) GetModuleFileNameW;
  decltype(&::GetPrivateProfileIntW) GetPrivateProfileIntW;
  decltype(&::GetPrivateProfileSectionNamesW) GetPrivateProfileSectionNamesW;
  decltype(&::GetPrivateProfileStringW) GetPrivateProfileStringW;
  decltype(&::GetPrivateProfileStructW) GetPrivateProfileStructW;
  decltype(&::GetShortPathNameW) GetShortPathNameW;
  decltype(&::GetTempFileNameW) GetTempFileNameW;
  decltype(&::GetTempPathW) GetTempPathW;
  decltype(&::GetTimeFormatW) GetTimeFormatW;
  decltype(&::GetVolumeInformationW) GetVolumeInformationW;
  decltype(&::GlobalMemoryStatusEx) GlobalMemoryStatusEx;
  decltype(&::LoadLibraryW) LoadLibraryW;
  decltype(&::MoveFileW) MoveFileW;
  decltype(&::RemoveDirectoryW) RemoveDirectoryW;
  decltype(&::SetCurrentDirectoryW) SetCurrentDirectoryW;
  decltype(&::SetFileAttributesW) SetFileAttributesW;
  decltype(&::WriteConsoleW) WriteConsoleW;
  decltype(&::WritePrivateProfileStringW) WritePrivateProfileStringW;
  decltype(&::WritePrivateProfileStructW) WritePrivateProfileStructW;
  // Shell32.dll
  decltype(&::DragQueryFileW) DragQueryFileW;
  decltype(&::ExtractIconExW) ExtractIconExW;
  decltype(&::ShellExecuteW) ShellExecuteW;
  decltype(&::ShellExecuteExW) ShellExecuteExW;
  decltype(&::SHBrowseForFolderW) SHBrowseForFolderW;
  decltype(&::SHFileOperationW) SHFileOperationW;
  decltype(&::SHGetFileInfoW) SHGetFileInfoW;
  decltype(&::SHGetDataFromIDListW) SHGetDataFromIDListW;
  decltype(&::SHGetPathFromIDListW) SHGetPathFromIDListW;
  // USER32.DLL
  decltype(&::AppendMenuW) AppendMenuW;
  decltype(&::CreateWindowExW) CreateWindowExW;
  decltype(&::DrawTextW) DrawTextW;
  decltype(&::DrawTextExW) DrawTextExW;
  decltype(&::GetDlgItemTextW) GetDlgItemTextW;
  decltype(&::GetWindowTextW) GetWindowTextW;
  decltype(&::InsertMenuItemW) InsertMenuItemW;
  decltype(&::LoadStringW) LoadStringW;
  decltype(&::SendMessageW) SendMessageW;
  decltype(&::SetDlgItemTextW) SetDlgItemTextW;
  decltype(&::SetWindowTextW) SetWindowTextW;
  decltype(&::UpdateLayeredWindow) UpdateLayeredWindow;
  // GDI32.DLL
  decltype(&::CreateFontW) CreateFontW;
  decltype(&::EnumFontFamiliesExW) EnumFontFamiliesExW;
  decltype(&::GetGlyphOutlineW) GetGlyphOutlineW;
  decltype(&::GetObjectW) GetObjectW;
  decltype(&::GetTextFaceW) GetTextFaceW;
  // Comdlg32.dll
  decltype(&::GetOpenFileNameW) GetOpenFileNameW;
  decltype(&::GetSaveFileNameW) GetSaveFileNameW;
  // Advapi32.dll
  decltype(&::RegCreateKeyExW) RegCreateKeyExW;
  decltype(&::RegDeleteKeyW) RegDeleteKeyW;
  decltype(&::RegOpenKeyExW) RegOpenKeyExW;
  decltype(&::RegQueryValueExW) RegQueryValueExW;
  decltype(&::RegSetValueExW) RegSetValueExW;
  // Version.dll
  void* GetFileVersionInfoW;
  void* GetFileVersionInfoSizeW;
};

extern WideApiTable WideApi;
