// Registry access over UTF-8 names and texts.
#include "platform/registry.h"

#include <new>
#include <vector>

#include "platform/text.h"
#include "platform/wide_api.h"

namespace {

constexpr REGSAM kFullAccess = KEY_ALL_ACCESS;  // 0xF003F

// Text of a value buffer: up to the first zero unit, never beyond the data returned.
template <typename Unit>
std::basic_string<Unit> TextOfData(const std::vector<Unit>& buffer, DWORD bytes) {
  size_t units = bytes / sizeof(Unit);
  if (units > buffer.size()) units = buffer.size();
  size_t length = 0;
  while (length < units && buffer[length] != 0) ++length;
  return std::basic_string<Unit>(buffer.data(), length);
}

LONG QueryValue(HKEY key, const std::string& name, DWORD* type, void* data, DWORD* bytes) {
  if (UseWide(WideApi.RegQueryValueExW)) {
    const std::wstring wide = Utf8ToWide(name);
    return WideApi.RegQueryValueExW(key, wide.c_str(), nullptr, type,
                                    static_cast<BYTE*>(data), bytes);
  }
  const std::string ansi = Utf8ToAnsi(name);
  return RegQueryValueExA(key, ansi.c_str(), nullptr, type, static_cast<BYTE*>(data), bytes);
}

bool SetValue(HKEY key, const std::string& name, DWORD type, const void* data, DWORD bytes) {
  LONG result;
  if (UseWide(WideApi.RegSetValueExW)) {
    const std::wstring wide = Utf8ToWide(name);
    result = WideApi.RegSetValueExW(key, wide.c_str(), 0, type,
                                    static_cast<const BYTE*>(data), bytes);
  } else {
    const std::string ansi = Utf8ToAnsi(name);
    result = RegSetValueExA(key, ansi.c_str(), 0, type, static_cast<const BYTE*>(data), bytes);
  }
  return result == ERROR_SUCCESS;
}

}  // namespace

SettingsStore::~SettingsStore() = default;

bool SettingsStore::ExchangeDword(const std::string& name, uint32_t& value) {
  if (mode_ == 0) {
    value = GetDword(name, value);
    return true;
  }
  if (mode_ == 1) return SetDword(name, value);
  return false;
}

bool SettingsStore::ExchangeString(const std::string& name, std::string& value) {
  if (mode_ == 0) {
    value = GetString(name, value);
    return true;
  }
  if (mode_ == 1) return SetString(name, value);
  return false;
}

bool RegistryKeyExists(HKEY root, const std::string& subkey) {
  HKEY key = nullptr;
  LONG result;
  if (UseWide(WideApi.RegOpenKeyExW)) {
    const std::wstring wide = Utf8ToWide(subkey);
    result = WideApi.RegOpenKeyExW(root, wide.c_str(), 0, kFullAccess, &key);
  } else {
    const std::string ansi = Utf8ToAnsi(subkey);
    result = RegOpenKeyExA(root, ansi.c_str(), 0, kFullAccess, &key);
  }
  if (result != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

bool RegistryKey::CreateKey(HKEY root, const std::string& subkey) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG result;
  if (UseWide(WideApi.RegCreateKeyExW)) {
    const std::wstring wide = Utf8ToWide(subkey);
    result = WideApi.RegCreateKeyExW(root, wide.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     kFullAccess, nullptr, &key, &disposition);
  } else {
    const std::string ansi = Utf8ToAnsi(subkey);
    result = RegCreateKeyExA(root, ansi.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             kFullAccess, nullptr, &key, &disposition);
  }
  // A failed create leaves no handle behind, so later calls fail instead of using a
  // stale key.
  key_ = result == ERROR_SUCCESS ? key : nullptr;
  disposition_ = result == ERROR_SUCCESS ? disposition : 0;
  return result == ERROR_SUCCESS;
}

bool RegistryKey::Close() {
  const LONG result = RegCloseKey(key_);
  key_ = nullptr;
  return result == ERROR_SUCCESS;
}

bool RegistryKey::DeleteKey(HKEY root, const std::string& subkey) {
  LONG result;
  if (UseWide(WideApi.RegDeleteKeyW)) {
    const std::wstring wide = Utf8ToWide(subkey);
    result = WideApi.RegDeleteKeyW(root, wide.c_str());
  } else {
    const std::string ansi = Utf8ToAnsi(subkey);
    result = RegDeleteKeyA(root, ansi.c_str());
  }
  return result == ERROR_SUCCESS;
}

uint32_t RegistryKey::GetDword(const std::string& name, uint32_t fallback) {
  DWORD value = 0;  // a shorter value reads as its bytes followed by zeros
  DWORD type = REG_DWORD;
  DWORD bytes = sizeof(value);
  if (QueryValue(key_, name, &type, &value, &bytes) != ERROR_SUCCESS) return fallback;
  return value;
}

std::string RegistryKey::GetString(const std::string& name, const std::string& fallback) {
  // Byte counts tried: 1,024 doubling up to 524,288; a longer value gives the fallback.
  const bool wide = UseWide(WideApi.RegQueryValueExW);
  try {
    for (DWORD size = 1024; size < 0x100000; size *= 2) {
      DWORD type = REG_SZ;
      DWORD bytes = size;
      LONG result;
      if (wide) {
        // Twice the room asked for, so that the buffer always has space behind the data.
        std::vector<wchar_t> buffer(size);
        result = QueryValue(key_, name, &type, buffer.data(), &bytes);
        if (result == ERROR_SUCCESS) return WideToUtf8(TextOfData(buffer, bytes));
      } else {
        std::vector<char> buffer(size);
        result = QueryValue(key_, name, &type, buffer.data(), &bytes);
        if (result == ERROR_SUCCESS) return AnsiToUtf8(TextOfData(buffer, bytes));
      }
      if (result != ERROR_MORE_DATA) return fallback;
    }
  } catch (const std::bad_alloc&) {
  }
  return fallback;
}

bool RegistryKey::GetBinary(const std::string& name, void* buffer, uint32_t size) {
  DWORD type = REG_BINARY;
  DWORD bytes = size;
  return QueryValue(key_, name, &type, buffer, &bytes) == ERROR_SUCCESS;
}

bool RegistryKey::SetDword(const std::string& name, uint32_t value) {
  const DWORD data = value;
  return SetValue(key_, name, REG_DWORD, &data, sizeof(data));
}

bool RegistryKey::SetString(const std::string& name, const std::string& text) {
  if (UseWide(WideApi.RegSetValueExW)) {
    const std::wstring wide = Utf8ToWide(text);
    return SetValue(key_, name, REG_SZ, wide.c_str(),
                    static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
  }
  const std::string ansi = Utf8ToAnsi(text);
  return SetValue(key_, name, REG_SZ, ansi.c_str(), static_cast<DWORD>(ansi.size() + 1));
}

bool RegistryKey::SetBinary(const std::string& name, const void* bytes, uint32_t count) {
  return SetValue(key_, name, REG_BINARY, bytes, count);
}
