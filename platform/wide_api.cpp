// The wide/ANSI decision and the table of wide entry points looked up at run time.
#include "platform/wide_api.h"

#include <cstdlib>
#include <string>


// Initialised in the same early round as the start-up loader below, and before it, so
// that the loader's work is not reset by the table's own initialisation.
WideApiTable WideApi __attribute__((init_priority(101)));

const char* const kPreloadedLibraryNames[] = {
    "version.dll",  "dwmapi.dll",  "uxtheme.dll",  "cryptbase.dll", "profapi.dll",  "userenv.dll",
    "propsys.dll",  "apphelp.dll", "winmm.dll",    "dbghelp.dll",   "msimg32.dll",  "shfolder.dll",
    "wtsapi32.dll", "oleacc.dll",  "clbcatq.dll",  "setupapi.dll",
};
const int kPreloadedLibraryCount = sizeof kPreloadedLibraryNames / sizeof kPreloadedLibraryNames[0];
HMODULE PreloadedLibraries[sizeof kPreloadedLibraryNames / sizeof kPreloadedLibraryNames[0]] = {};

namespace {

int WideDecided = 0;
int WideFlag = 0;
int WideOverride = -1;
int Preloaded = 0;

template <typename Slot>
void LoadEntry(HMODULE library, const char* name, Slot& slot) {
  FARPROC entry = library ? GetProcAddress(library, name) : nullptr;
  // Through the generic function-pointer type, so that the compiler accepts the change of
  // signature that the by-name lookup implies.
  slot = reinterpret_cast<Slot>(reinterpret_cast<void (*)()>(entry));
}

void LoadEntry(HMODULE library, const char* name, void*& slot) {
  FARPROC entry = library ? GetProcAddress(library, name) : nullptr;
  slot = reinterpret_cast<void*>(entry);
}

// Loads a library by its full name in the system directory, never through the search path,
// so that a library of the same name beside the program or in the current directory is not
// picked up. Its own imports are looked for beside it first.
HMODULE LoadSystemLibrary(const char* name) {
  char directory[MAX_PATH + 1];
  const UINT length = GetSystemDirectoryA(directory, sizeof directory);
  if (length == 0 || length >= sizeof directory) return nullptr;
  std::string path(directory, length);
  if (path.back() != '\\') path.push_back('\\');
  path += name;
  return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

#define GU_ENTRY(name) LoadEntry(library, #name, WideApi.name);

void LoadTable() {
  HMODULE library;

  library = WideApi.Libraries[0] = LoadSystemLibrary("Kernel32.DLL");
  GU_ENTRY(CopyFileW) GU_ENTRY(CreateDirectoryW) GU_ENTRY(CreateFileW) GU_ENTRY(CreateProcessW)
  GU_ENTRY(DeleteFileW) GU_ENTRY(FindFirstChangeNotificationW) GU_ENTRY(FindFirstFileW)
  GU_ENTRY(FindNextFileW) GU_ENTRY(GetCurrentDirectoryW) GU_ENTRY(GetDateFormatW)
  GU_ENTRY(GetFileAttributesW) GU_ENTRY(GetFullPathNameW) GU_ENTRY(GetModuleFileNameW)
  GU_ENTRY(GetPrivateProfileIntW) GU_ENTRY(GetPrivateProfileSectionNamesW)
  GU_ENTRY(GetPrivateProfileStringW) GU_ENTRY(GetPrivateProfileStructW) GU_ENTRY(GetShortPathNameW) GU_ENTRY(GetTempFileNameW)
  GU_ENTRY(GetTempPathW) GU_ENTRY(GetTimeFormatW) GU_ENTRY(GetVolumeInformationW)
  GU_ENTRY(GlobalMemoryStatusEx)
  GU_ENTRY(LoadLibraryW) GU_ENTRY(MoveFileW) GU_ENTRY(RemoveDirectoryW)
  GU_ENTRY(SetCurrentDirectoryW) GU_ENTRY(SetFileAttributesW) GU_ENTRY(WriteConsoleW)
  GU_ENTRY(WritePrivateProfileStringW) GU_ENTRY(WritePrivateProfileStructW)

  library = WideApi.Libraries[1] = LoadSystemLibrary("Shell32.dll");
  GU_ENTRY(DragQueryFileW) GU_ENTRY(ExtractIconExW) GU_ENTRY(ShellExecuteW)
  GU_ENTRY(ShellExecuteExW) GU_ENTRY(SHBrowseForFolderW) GU_ENTRY(SHFileOperationW)
  GU_ENTRY(SHGetFileInfoW) GU_ENTRY(SHGetDataFromIDListW) GU_ENTRY(SHGetPathFromIDListW)

  library = WideApi.Libraries[2] = LoadSystemLibrary("USER32.DLL");
  GU_ENTRY(AppendMenuW) GU_ENTRY(CreateWindowExW) GU_ENTRY(DrawTextW) GU_ENTRY(DrawTextExW)
  GU_ENTRY(GetDlgItemTextW) GU_ENTRY(GetWindowTextW) GU_ENTRY(InsertMenuItemW)
  GU_ENTRY(LoadStringW) GU_ENTRY(SendMessageW) GU_ENTRY(SetDlgItemTextW)
  GU_ENTRY(SetWindowTextW) GU_ENTRY(UpdateLayeredWindow)

  library = WideApi.Libraries[3] = LoadSystemLibrary("GDI32.DLL");
  GU_ENTRY(CreateFontW) GU_ENTRY(EnumFontFamiliesExW) GU_ENTRY(GetGlyphOutlineW)
  GU_ENTRY(GetObjectW) GU_ENTRY(GetTextFaceW)

  library = WideApi.Libraries[4] = LoadSystemLibrary("Comdlg32.dll");
  GU_ENTRY(GetOpenFileNameW) GU_ENTRY(GetSaveFileNameW)

  library = WideApi.Libraries[5] = LoadSystemLibrary("Advapi32.dll");
  GU_ENTRY(RegCreateKeyExW) GU_ENTRY(RegDeleteKeyW) GU_ENTRY(RegOpenKeyExW)
  GU_ENTRY(RegQueryValueExW) GU_ENTRY(RegSetValueExW)

  library = WideApi.Libraries[6] = LoadSystemLibrary("Version.dll");
  GU_ENTRY(GetFileVersionInfoW) GU_ENTRY(GetFileVersionInfoSizeW)
}

#undef GU_ENTRY

// Loads the table before the program's entry point, whatever the system family, and
// releases it at exit. The library search is restricted and the libraries that system
// libraries load by bare name are loaded from the system directory first, so that nothing
// that the table's libraries pull in comes from the program's directory either. The
// object is constructed before every other static object of the program, so no
// constructor elsewhere can reach a system library before this has run.
struct WideApiStartup {
  WideApiStartup() {
    RestrictDllSearch();
    PreloadSystemLibraries();
    LoadWideApi();
    std::atexit(FreeWideApi);
  }
};
WideApiStartup StartupLoader __attribute__((init_priority(101)));

}  // namespace

bool IsWideSystem() {
  if (WideOverride >= 0) return WideOverride != 0;
  if (WideDecided) return WideFlag != 0;
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  WideFlag = GetVersionExA(&version) && version.dwPlatformId >= VER_PLATFORM_WIN32_NT;
  WideDecided = 1;
  if (WideFlag) LoadWideApi();
  return WideFlag != 0;
}

void SetWideSystemOverride(int decision) { WideOverride = decision < 0 ? -1 : (decision != 0); }

void LoadWideApi() {
  if (WideApi.Loaded) return;
  LoadTable();
  WideApi.Loaded = 1;
}

void FreeWideApi() {
  for (HMODULE& library : WideApi.Libraries) {
    if (library) FreeLibrary(library);
    library = nullptr;
  }
  WideApi.Loaded = 0;
}

void PreloadSystemLibraries() {
  if (Preloaded) return;
  Preloaded = 1;
  // A library that is present but cannot be loaded (a dependency missing on this system)
  // is skipped without the system's error box.
  const UINT mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  for (int i = 0; i < kPreloadedLibraryCount; ++i) {
    PreloadedLibraries[i] = LoadSystemLibrary(kPreloadedLibraryNames[i]);
  }
  SetErrorMode(mode);
}
