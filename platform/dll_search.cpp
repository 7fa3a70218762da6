// The restriction of the system's library search. In a source of its own, so that a
// program can restrict the search without loading the wide entry-point table.
#include <windows.h>

#include "platform/wide_api.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

void RestrictDllSearch() {
  using SetDefaultDllDirectoriesProc = BOOL(WINAPI*)(DWORD);
  using SetDllDirectoryProc = BOOL(WINAPI*)(LPCSTR);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (!kernel) return;
  auto set_default = reinterpret_cast<SetDefaultDllDirectoriesProc>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (set_default && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // Older systems: at least take the current directory out of the search.
  auto set_directory = reinterpret_cast<SetDllDirectoryProc>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDllDirectoryA")));
  if (set_directory) set_directory("");
}
