// Stands in for a planted Version.dll beside a program: when loaded, it leaves a marker file
// "Version.dll.loaded" in its own directory.
#include <windows.h>

#include <cstring>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    char path[MAX_PATH + 32];
    DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      char* slash = std::strrchr(path, '\\');
      if (slash) {
        std::strcpy(slash + 1, "Version.dll.loaded");
        HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
      }
    }
  }
  return TRUE;
}

extern "C" __declspec(dllexport) DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR, LPDWORD) { return 0; }
