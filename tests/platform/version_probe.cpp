// Child program of the wide-API test, started from a directory that holds a planted
// Version.dll. The exit code is 0 when the probe's check holds.
// - "table" (GU_PROBE_TABLE): the wide entry-point table is loaded at start-up as in the
//   updater; its Version.dll and the preloaded version.dll come from the directory the
//   system's own modules came from, and a later load by bare name gets that module too.
// - "restricted" (GU_PROBE_RESTRICTED, linked without the table): only the library search
//   is restricted, then "Version.dll" is loaded by bare name; the module must come from
//   the system's directory.
// - "bare" (built without the platform layer): loads "Version.dll" by its bare name,
//   which shows that the planted library is picked up when nothing prevents it.
#include <windows.h>

#include <cstring>
#include <string>

#if defined(GU_PROBE_TABLE) || defined(GU_PROBE_RESTRICTED)
#include "platform/wide_api.h"
#endif

#if defined(GU_PROBE_TABLE) || defined(GU_PROBE_RESTRICTED)
namespace {

std::string ModuleDirectory(HMODULE module) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  std::string text(path, length);
  return text.substr(0, text.rfind('\\'));
}

// The directory the system's modules really come from: that of kernel32, which the
// system always maps from its own folder. (A 32-bit program on 64-bit Windows is given
// "System32" by GetSystemDirectory, while its modules report "SysWOW64".)
bool FromSystemDirectory(HMODULE module) {
  const std::string system = ModuleDirectory(GetModuleHandleA("kernel32.dll"));
  const std::string directory = ModuleDirectory(module);
  return !system.empty() && _stricmp(directory.c_str(), system.c_str()) == 0;
}

}  // namespace
#endif

int main() {
#if defined(GU_PROBE_TABLE)
  IsWideSystem();
  HMODULE version = WideApi.Libraries[6];
  if (!version || !WideApi.Loaded) return 2;
  if (!FromSystemDirectory(version)) return 4;
  if (!PreloadedLibraries[0] || !FromSystemDirectory(PreloadedLibraries[0])) return 6;
  // A later load by bare name must not reach the planted library either.
  HMODULE again = LoadLibraryA("Version.dll");
  if (!again) return 5;
  return FromSystemDirectory(again) ? 0 : 7;
#elif defined(GU_PROBE_RESTRICTED)
  RestrictDllSearch();
  HMODULE version = LoadLibraryA("Version.dll");
  if (!version) return 5;
  return FromSystemDirectory(version) ? 0 : 7;
#else
  return LoadLibraryA("Version.dll") ? 0 : 1;
#endif
}
