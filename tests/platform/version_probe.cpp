// Child program of the wide-API test, started from a directory that holds a planted
// Version.dll. Mode "table": the wide entry-point table is loaded at start-up as in the
// updater; the exit code is 0 when the table holds Version.dll from the system directory.
// Mode "bare" (built without the platform layer): loads "Version.dll" by its bare name,
// which shows that the planted library is picked up when nothing prevents it.
#include <windows.h>

#include <cstring>
#include <string>

#ifdef GU_PROBE_TABLE
#include "platform/wide_api.h"
#endif

int main() {
#ifdef GU_PROBE_TABLE
  IsWideSystem();
  HMODULE version = WideApi.Libraries[6];
  if (!version || !WideApi.Loaded) return 2;
  char path[MAX_PATH];
  char system[MAX_PATH];
  DWORD length = GetModuleFileNameA(version, path, MAX_PATH);
  UINT system_length = GetSystemDirectoryA(system, MAX_PATH);
  if (length == 0 || system_length == 0) return 3;
  // The library's directory must be the system directory.
  if (_strnicmp(path, system, system_length) != 0 || path[system_length] != '\\') return 4;
  // A later load by bare name must not reach the planted library either.
  if (!LoadLibraryA("Version.dll")) return 5;
  return 0;
#else
  return LoadLibraryA("Version.dll") ? 0 : 1;
#endif
}
