// Stands in for a library that someone dropped beside a downloaded patch under the name
// of a system library. Whatever name it is copied to, it leaves a marker file named after
// itself with ".loaded" appended ("version.dll.loaded") when it is loaded, so that the
// test can tell which of the copies a process took.
#include <windows.h>

#include <cstring>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    char path[MAX_PATH + 16];
    const DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      std::memcpy(path + length, ".loaded", sizeof ".loaded");
      HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
  }
  return TRUE;
}
