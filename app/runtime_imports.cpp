// The import slots of three wide entry points that the compiler's own runtime calls, filled
// by this program instead of by the system, so that the updater imports none of them.
//
// Windows 95, 98 and ME export CreateSemaphoreW, GetModuleHandleW and LoadLibraryW only as
// stubs that fail with ERROR_CALL_NOT_IMPLEMENTED. The runtime's callers pass no name or a
// plain ASCII one:
// - libgcc's thread layer (gthr-win32), its emulated thread-local storage (emutls) and its
//   frame registry for exceptions (unwind-dw2-fde) create every mutex with
//   CreateSemaphoreW(NULL, 0, 65535, NULL) and ignore a failure: on those systems their
//   mutexes would stop excluding anything as soon as two threads met in one.
// - mingw-w64's C runtime looks for newer msvcrt.dll functions with
//   GetModuleHandleW(L"msvcrt.dll") and loads advapi32.dll with LoadLibraryW (for rand_s).
// These callers reach the runtime's import slots (__imp_ symbols), and an object file of the
// program that defines a slot keeps the linker from taking the system's import for it. The
// functions below serve an ASCII name or no name through the ANSI entry point, which every
// Windows has, and hand anything else to the system's own wide entry point, looked up by
// name (on the 9x family that is the failing stub, as it was before).
//
// Linked into updater.exe only (the tools may need newer systems); the import-table test
// (tests/app/imports_check.py) fails the build's tests if any of the three comes back.
#include <windows.h>

namespace {

// Copies a name that is ASCII throughout (so the same in every code page) into out.
bool AsciiName(const wchar_t* name, char* out, size_t room) {
  size_t i = 0;
  for (; name[i] != 0; ++i) {
    if (name[i] > 0x7F || i + 1 >= room) return false;
    out[i] = char(name[i]);
  }
  out[i] = 0;
  return true;
}

template <typename Entry>
Entry SystemEntry(const char* name) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  FARPROC entry = kernel ? GetProcAddress(kernel, name) : nullptr;
  return reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(entry));
}

HANDLE WINAPI CreateSemaphoreWide(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum, LPCWSTR name) {
  char ansi[MAX_PATH];
  if (name == nullptr) return CreateSemaphoreA(attributes, initial, maximum, nullptr);
  if (AsciiName(name, ansi, sizeof ansi)) return CreateSemaphoreA(attributes, initial, maximum, ansi);
  auto system = SystemEntry<decltype(&CreateSemaphoreW)>("CreateSemaphoreW");
  if (system == nullptr) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
  }
  return system(attributes, initial, maximum, name);
}

HMODULE WINAPI GetModuleHandleWide(LPCWSTR name) {
  char ansi[MAX_PATH];
  if (name == nullptr) return GetModuleHandleA(nullptr);
  if (AsciiName(name, ansi, sizeof ansi)) return GetModuleHandleA(ansi);
  auto system = SystemEntry<decltype(&GetModuleHandleW)>("GetModuleHandleW");
  if (system == nullptr) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
  }
  return system(name);
}

HMODULE WINAPI LoadLibraryWide(LPCWSTR name) {
  char ansi[MAX_PATH];
  if (name != nullptr && AsciiName(name, ansi, sizeof ansi)) return LoadLibraryA(ansi);
  auto system = SystemEntry<decltype(&LoadLibraryW)>("LoadLibraryW");
  if (system == nullptr) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
  }
  return system(name);
}

}  // namespace

// The slots under the names the linker gives the system's imports: decorated on 32-bit
// x86 (stdcall, with the size of the arguments), plain on x86-64.
#if defined(__i386__)
#define GU_IMPORT_SLOT(name, bytes) "__imp__" #name "@" #bytes
#else
#define GU_IMPORT_SLOT(name, bytes) "__imp_" #name
#endif

extern "C" {
extern decltype(&CreateSemaphoreW) const gu_import_CreateSemaphoreW __asm__(GU_IMPORT_SLOT(CreateSemaphoreW, 16));
extern decltype(&GetModuleHandleW) const gu_import_GetModuleHandleW __asm__(GU_IMPORT_SLOT(GetModuleHandleW, 4));
extern decltype(&LoadLibraryW) const gu_import_LoadLibraryW __asm__(GU_IMPORT_SLOT(LoadLibraryW, 4));
decltype(&CreateSemaphoreW) const gu_import_CreateSemaphoreW = &CreateSemaphoreWide;
decltype(&GetModuleHandleW) const gu_import_GetModuleHandleW = &GetModuleHandleWide;
decltype(&LoadLibraryW) const gu_import_LoadLibraryW = &LoadLibraryWide;
}
