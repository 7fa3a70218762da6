// Registry access: an abstract settings store and a registry key that implements it over
// one open key. Names and texts are UTF-8, converted at the boundary like file paths.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

class SettingsStore {
 public:
  virtual ~SettingsStore();
  virtual bool Close() = 0;
  virtual uint32_t GetDword(const std::string& name, uint32_t fallback) = 0;
  virtual std::string GetString(const std::string& name, const std::string& fallback) = 0;
  virtual bool GetBinary(const std::string& name, void* buffer, uint32_t size) = 0;
  virtual bool SetDword(const std::string& name, uint32_t value) = 0;
  virtual bool SetString(const std::string& name, const std::string& text) = 0;
  virtual bool SetBinary(const std::string& name, const void* bytes, uint32_t count) = 0;
  // 0 load, 1 save; any other value makes the exchange operations do nothing.
  virtual void SetMode(int32_t mode) { mode_ = mode; }
  virtual bool ExchangeDword(const std::string& name, uint32_t& value);
  virtual bool ExchangeString(const std::string& name, std::string& value);

 protected:
  int32_t mode_ = 0;
};

class RegistryKey : public SettingsStore {
 public:
  bool Close() override;
  uint32_t GetDword(const std::string& name, uint32_t fallback) override;
  std::string GetString(const std::string& name, const std::string& fallback) override;
  bool GetBinary(const std::string& name, void* buffer, uint32_t size) override;
  bool SetDword(const std::string& name, uint32_t value) override;
  bool SetString(const std::string& name, const std::string& text) override;
  bool SetBinary(const std::string& name, const void* bytes, uint32_t count) override;
  // Creates or opens root\subkey with full access (0xF003F).
  virtual bool CreateKey(HKEY root, const std::string& subkey);
  virtual uint32_t GetDwordOrZero(const std::string& name) { return GetDword(name, 0); }
  virtual std::string GetStringOrEmpty(const std::string& name) { return GetString(name, std::string()); }
  virtual bool DeleteKey(HKEY root, const std::string& subkey);
  virtual HKEY KeyHandle() const { return key_; }

 private:
  HKEY key_ = nullptr;
  DWORD disposition_ = 0;
};

// True when root\subkey opens with full access.
bool RegistryKeyExists(HKEY root, const std::string& subkey);
