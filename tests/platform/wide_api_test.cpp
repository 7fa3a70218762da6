// The wide/ANSI decision and the table of wide entry points.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/wide_api.h"

namespace {

std::string ModuleDirectory(HMODULE module) {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
  std::string text(path, length);
  return text.substr(0, text.rfind('\\'));
}

TEST(WideApi, LoadedBeforeTheProgramStarts) {
  // Nothing in this program has called LoadWideApi or IsWideSystem yet.
  EXPECT_EQ(WideApi.Loaded, 1);
  for (HMODULE library : WideApi.Libraries) EXPECT_NE(library, nullptr);
}

// The directory the system's modules really come from: that of kernel32, which the
// system always maps from its own folder. A 32-bit program on 64-bit Windows is given
// "System32" by GetSystemDirectory, while its modules report "SysWOW64".
std::string SystemModuleDirectory() { return ModuleDirectory(GetModuleHandleA("kernel32.dll")); }

TEST(WideApi, LibrariesComeFromTheSystemDirectory) {
  const std::string system = SystemModuleDirectory();
  ASSERT_FALSE(system.empty());
  for (HMODULE library : WideApi.Libraries) {
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(_stricmp(ModuleDirectory(library).c_str(), system.c_str()), 0) << ModuleDirectory(library);
  }
}

TEST(WideApi, PreloadedLibrariesComeFromTheSystemDirectory) {
  const std::string system = SystemModuleDirectory();
  int present = 0;
  for (int i = 0; i < kPreloadedLibraryCount; ++i) {
    HMODULE library = PreloadedLibraries[i];
    // Absent only where the system has no such library.
    if (!library) continue;
    ++present;
    EXPECT_EQ(_stricmp(ModuleDirectory(library).c_str(), system.c_str()), 0) << kPreloadedLibraryNames[i];
    // A load by bare name finds the module already in the process.
    HMODULE by_name = GetModuleHandleA(kPreloadedLibraryNames[i]);
    EXPECT_EQ(by_name, library) << kPreloadedLibraryNames[i];
  }
  // Every supported system has at least these.
  EXPECT_NE(PreloadedLibraries[0], nullptr) << "version.dll";
  EXPECT_GE(present, 8);
  // Loading again loads nothing new.
  HMODULE before[16] = {};
  ASSERT_LE(kPreloadedLibraryCount, 16);
  for (int i = 0; i < kPreloadedLibraryCount; ++i) before[i] = PreloadedLibraries[i];
  PreloadSystemLibraries();
  for (int i = 0; i < kPreloadedLibraryCount; ++i) EXPECT_EQ(PreloadedLibraries[i], before[i]);
}

TEST(WideApi, EntriesTheUpdaterCallsArePresent) {
  const void* used[] = {
      reinterpret_cast<void*>(WideApi.CreateDirectoryW),   reinterpret_cast<void*>(WideApi.CreateFileW),
      reinterpret_cast<void*>(WideApi.DeleteFileW),        reinterpret_cast<void*>(WideApi.FindFirstFileW),
      reinterpret_cast<void*>(WideApi.FindNextFileW),      reinterpret_cast<void*>(WideApi.GetCurrentDirectoryW),
      reinterpret_cast<void*>(WideApi.GetFileAttributesW), reinterpret_cast<void*>(WideApi.GetModuleFileNameW),
      reinterpret_cast<void*>(WideApi.MoveFileW),          reinterpret_cast<void*>(WideApi.RemoveDirectoryW),
      reinterpret_cast<void*>(WideApi.SetFileAttributesW), reinterpret_cast<void*>(WideApi.ShellExecuteW),
      reinterpret_cast<void*>(WideApi.SHGetPathFromIDListW), reinterpret_cast<void*>(WideApi.CreateWindowExW),
      reinterpret_cast<void*>(WideApi.SetDlgItemTextW),    reinterpret_cast<void*>(WideApi.RegCreateKeyExW),
      reinterpret_cast<void*>(WideApi.RegDeleteKeyW),      reinterpret_cast<void*>(WideApi.RegOpenKeyExW),
      reinterpret_cast<void*>(WideApi.RegQueryValueExW),   reinterpret_cast<void*>(WideApi.RegSetValueExW),
  };
  for (size_t i = 0; i < sizeof used / sizeof used[0]; ++i) EXPECT_NE(used[i], nullptr) << i;
  // The table's entries are the system's own.
  EXPECT_EQ(reinterpret_cast<void*>(WideApi.GetFileAttributesW),
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFileAttributesW")));
  EXPECT_NE(WideApi.GetFileVersionInfoSizeW, nullptr);
}

TEST(WideApi, LoadingTwiceLoadsOnce) {
  HMODULE before[7];
  for (int i = 0; i < 7; ++i) before[i] = WideApi.Libraries[i];
  auto* create = WideApi.CreateFileW;
  LoadWideApi();
  for (int i = 0; i < 7; ++i) EXPECT_EQ(WideApi.Libraries[i], before[i]);
  EXPECT_EQ(WideApi.CreateFileW, create);
  // Freed and loaded again: the loaded flag follows, the entries come back.
  FreeWideApi();
  EXPECT_EQ(WideApi.Loaded, 0);
  LoadWideApi();
  EXPECT_EQ(WideApi.Loaded, 1);
  EXPECT_EQ(WideApi.CreateFileW, create);
}

TEST(IsWideSystem, NtFamilyAndOverride) {
  EXPECT_TRUE(IsWideSystem());
  EXPECT_TRUE(IsWideSystem());
  SetWideSystemOverride(0);
  EXPECT_FALSE(IsWideSystem());
  EXPECT_FALSE(UseWide(WideApi.CreateFileW));
  SetWideSystemOverride(1);
  EXPECT_TRUE(IsWideSystem());
  EXPECT_TRUE(UseWide(WideApi.CreateFileW));
  SetWideSystemOverride(-1);
  EXPECT_TRUE(IsWideSystem());
}

TEST(IsWideSystem, MissingEntryFallsBackToAnsi) {
  ASSERT_TRUE(IsWideSystem());
  auto* saved = WideApi.SetDlgItemTextW;
  WideApi.SetDlgItemTextW = nullptr;
  EXPECT_FALSE(UseWide(WideApi.SetDlgItemTextW));
  WideApi.SetDlgItemTextW = saved;
  EXPECT_TRUE(UseWide(WideApi.SetDlgItemTextW));
}

// Runs one of the probe programs in the directory that holds the planted Version.dll and
// reports its exit code and whether the planted library left its marker.
struct ProbeResult {
  DWORD ExitCode = 0xFFFFFFFF;
  bool PlantedLoaded = false;
};

ProbeResult RunProbe(const char* program) {
  ProbeResult result;
  const std::string directory = ModuleDirectory(nullptr) + "\\dllprobe";
  const std::string marker = directory + "\\Version.dll.loaded";
  DeleteFileA(marker.c_str());
  std::string command = "\"" + directory + "\\" + program + "\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                directory.c_str(), &startup, &process);
  if (!started) return result;
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &result.ExitCode);
  } else {
    TerminateProcess(process.hProcess, 99);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  result.PlantedLoaded = GetFileAttributesA(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
  DeleteFileA(marker.c_str());
  return result;
}

TEST(WideApi, PlantedVersionDllIsNotLoaded) {
  // The control: a load by bare name picks up the planted library.
  ProbeResult bare = RunProbe("version_probe_bare.exe");
  ASSERT_EQ(bare.ExitCode, 0u);
  ASSERT_TRUE(bare.PlantedLoaded) << "the planted library cannot be detected here";
  ProbeResult table = RunProbe("version_probe_table.exe");
  EXPECT_EQ(table.ExitCode, 0u);
  EXPECT_FALSE(table.PlantedLoaded);
  // The restricted search alone keeps a load by bare name away from the planted copy.
  ProbeResult restricted = RunProbe("version_probe_restricted.exe");
  EXPECT_EQ(restricted.ExitCode, 0u);
  EXPECT_FALSE(restricted.PlantedLoaded);
}

}  // namespace
