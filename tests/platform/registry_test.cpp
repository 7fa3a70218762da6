// Registry keys and values on both sides of the system interface (wide and ANSI).
#include "platform/registry.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/text.h"
#include "platform/wide_api.h"

namespace {

const char kParent[] = "Software\\GameUpdaterTest";

UINT ExpectedCodePage() {
  char value[16] = {};
  if (GetEnvironmentVariableA("GU_EXPECT_ACP", value, sizeof value) == 0) return 0;
  return static_cast<UINT>(std::atoi(value));
}

// Raw access with the wide entry points, independent of the code under test.
LONG RawQuery(HKEY key, const wchar_t* name, DWORD* type, std::string* data) {
  DWORD bytes = 0;
  LONG result = RegQueryValueExW(key, name, nullptr, type, nullptr, &bytes);
  if (result != ERROR_SUCCESS) return result;
  data->assign(bytes, '\0');
  return RegQueryValueExW(key, name, nullptr, type,
                          reinterpret_cast<BYTE*>(bytes ? &(*data)[0] : nullptr), &bytes);
}

class RegistryTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    SetWideSystemOverride(GetParam());
    ASSERT_EQ(IsWideSystem(), GetParam() == 1);
    // Per process, so that runs in other code pages can go on at the same time.
    path_ = std::string(kParent) + (GetParam() ? "\\Wide" : "\\Ansi") +
            std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(key_.CreateKey(HKEY_CURRENT_USER, path_));
  }
  void TearDown() override {
    key_.Close();
    RegDeleteKeyA(HKEY_CURRENT_USER, path_.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, kParent);
    SetWideSystemOverride(-1);
  }
  // Writes a string value of count characters (plus terminator) with the raw wide call.
  void PutLongString(const char* name, size_t count) {
    const std::wstring text(count, L'x');
    ASSERT_EQ(RegSetValueExW(key_.KeyHandle(), Utf8ToWide(name).c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((count + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }

  std::string path_;
  RegistryKey key_;
};

INSTANTIATE_TEST_SUITE_P(Sides, RegistryTest, ::testing::Values(1, 0),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param ? "Wide" : "Ansi");
                         });

TEST_P(RegistryTest, KeysAreCreatedFoundAndDeleted) {
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    const std::string sub = path_ + "\\Install";
    EXPECT_FALSE(RegistryKeyExists(root, sub));
    RegistryKey key;
    EXPECT_EQ(key.KeyHandle(), nullptr);
    ASSERT_TRUE(key.CreateKey(root, sub));
    EXPECT_NE(key.KeyHandle(), nullptr);
    EXPECT_TRUE(key.SetString("PATH", "C:\\Games\\Title"));
    EXPECT_TRUE(RegistryKeyExists(root, sub));
    EXPECT_TRUE(key.Close());
    EXPECT_FALSE(key.Close());  // nothing left to close
    RegistryKey again;  // opening an existing key
    ASSERT_TRUE(again.CreateKey(root, sub));
    EXPECT_EQ(again.GetStringOrEmpty("PATH"), "C:\\Games\\Title");
    EXPECT_TRUE(again.Close());
    EXPECT_TRUE(key.DeleteKey(root, sub));
    EXPECT_FALSE(RegistryKeyExists(root, sub));
    EXPECT_FALSE(key.DeleteKey(root, sub));
  }
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, path_.c_str());
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kParent);
}

TEST_P(RegistryTest, FailedCreateLeavesNoKey) {
  RegistryKey key;
  ASSERT_TRUE(key.CreateKey(HKEY_CURRENT_USER, path_));
  EXPECT_FALSE(key.CreateKey(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234)), "x"));
  EXPECT_EQ(key.KeyHandle(), nullptr);
  EXPECT_EQ(key.GetString("missing", "dflt"), "dflt");
  EXPECT_FALSE(key.SetDword("v", 1));
}

TEST_P(RegistryTest, StringsUpToTheLargestBuffer) {
  EXPECT_EQ(key_.GetString("PATH", "fallback"), "fallback");
  EXPECT_EQ(key_.GetStringOrEmpty("PATH"), "");
  // The largest buffer tried holds 524,288 bytes, the terminator included: on the wide
  // side 262,143 characters, on the ANSI side 524,287.
  const size_t largest = GetParam() ? 262143u : 524287u;
  for (size_t count : {size_t{511}, size_t{512}, size_t{2000}, largest}) {
    PutLongString("PATH", count);
    EXPECT_EQ(key_.GetString("PATH", "fallback"), std::string(count, 'x')) << count;
  }
  PutLongString("PATH", largest + 1);
  EXPECT_EQ(key_.GetString("PATH", "fallback"), "fallback");
  PutLongString("PATH", 600000);
  EXPECT_EQ(key_.GetString("PATH", "fallback"), "fallback");
}

TEST_P(RegistryTest, StringsRoundTripAndStopAtTheFirstZero) {
  EXPECT_TRUE(key_.SetString("text", "Caf\xC3\xA9 >> 1.2"));  // é exists in both code pages
  if (GetACP() == 1252 || IsWideSystem()) {
    EXPECT_EQ(key_.GetString("text", ""), "Caf\xC3\xA9 >> 1.2");
  }
  EXPECT_TRUE(key_.SetString("plain", "C:\\Program Files\\Game"));
  EXPECT_EQ(key_.GetString("plain", ""), "C:\\Program Files\\Game");
  // Data with a zero inside and none at the end: the text ends at the zero.
  const wchar_t data[] = {L'a', L'b', 0, L'c', L'd'};
  ASSERT_EQ(RegSetValueExW(key_.KeyHandle(), L"zero", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(data), sizeof data),
            ERROR_SUCCESS);
  EXPECT_EQ(key_.GetString("zero", ""), "ab");
  // The value's type is not looked at.
  EXPECT_TRUE(key_.SetBinary("bin", "xyz", 3));
  if (IsWideSystem()) {
    ASSERT_EQ(RegSetValueExW(key_.KeyHandle(), L"bin", 0, REG_BINARY,
                             reinterpret_cast<const BYTE*>(L"xyz"), 6),
              ERROR_SUCCESS);
  }
  EXPECT_EQ(key_.GetString("bin", ""), "xyz");
}

TEST_P(RegistryTest, EmptyTextWritesTheTerminatorAlone) {
  ASSERT_TRUE(key_.SetString("empty", ""));
  DWORD type = 0;
  DWORD bytes = 0;
  if (IsWideSystem()) {
    ASSERT_EQ(RegQueryValueExW(key_.KeyHandle(), L"empty", nullptr, &type, nullptr, &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(bytes, 2u);
  } else {
    char data[16];
    bytes = sizeof data;
    ASSERT_EQ(RegQueryValueExA(key_.KeyHandle(), "empty", nullptr, &type,
                               reinterpret_cast<BYTE*>(data), &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(bytes, 1u);
  }
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(key_.GetString("empty", "fallback"), "");
}

TEST_P(RegistryTest, DwordsAndTheirFallbacks) {
  EXPECT_EQ(key_.GetDword("n", 77), 77u);
  EXPECT_EQ(key_.GetDwordOrZero("n"), 0u);
  ASSERT_TRUE(key_.SetDword("n", 0xDEADBEEF));
  EXPECT_EQ(key_.GetDword("n", 77), 0xDEADBEEFu);
  DWORD type = 0;
  std::string raw;
  ASSERT_EQ(RawQuery(key_.KeyHandle(), L"n", &type, &raw), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(raw, "\xEF\xBE\xAD\xDE");
  // A 4-byte binary value reads as a number; an 8-byte one does not fit.
  ASSERT_TRUE(key_.SetBinary("four", "\x01\x02\x03\x04", 4));
  EXPECT_EQ(key_.GetDword("four", 77), 0x04030201u);
  ASSERT_TRUE(key_.SetBinary("eight", "\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  EXPECT_EQ(key_.GetDword("eight", 77), 77u);
  // A shorter value reads as its bytes followed by zeros.
  ASSERT_TRUE(key_.SetBinary("two", "\x01\x02", 2));
  EXPECT_EQ(key_.GetDword("two", 77), 0x0201u);
}

TEST_P(RegistryTest, BinaryValues) {
  const unsigned char bytes[6] = {0, 1, 2, 0xFD, 0xFE, 0xFF};
  ASSERT_TRUE(key_.SetBinary("blob", bytes, sizeof bytes));
  DWORD type = 0;
  std::string raw;
  ASSERT_EQ(RawQuery(key_.KeyHandle(), L"blob", &type, &raw), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(raw, std::string(reinterpret_cast<const char*>(bytes), sizeof bytes));
  unsigned char read[8] = {};
  EXPECT_TRUE(key_.GetBinary("blob", read, sizeof read));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(read), 6), raw);
  EXPECT_FALSE(key_.GetBinary("blob", read, 4));  // too small
  EXPECT_FALSE(key_.GetBinary("none", read, sizeof read));
  ASSERT_TRUE(key_.SetBinary("nothing", nullptr, 0));
  EXPECT_TRUE(key_.GetBinary("nothing", read, sizeof read));
}

TEST_P(RegistryTest, ExchangeFollowsTheMode) {
  uint32_t number = 5;
  std::string text = "kept";
  // Load with the values missing: the references stay as they are.
  EXPECT_TRUE(key_.ExchangeDword("n", number));
  EXPECT_TRUE(key_.ExchangeString("s", text));
  EXPECT_EQ(number, 5u);
  EXPECT_EQ(text, "kept");
  // Save.
  key_.SetMode(1);
  number = 42;
  text = "saved";
  EXPECT_TRUE(key_.ExchangeDword("n", number));
  EXPECT_TRUE(key_.ExchangeString("s", text));
  EXPECT_EQ(key_.GetDword("n", 0), 42u);
  EXPECT_EQ(key_.GetString("s", ""), "saved");
  // Load with the values present.
  key_.SetMode(0);
  number = 0;
  text.clear();
  EXPECT_TRUE(key_.ExchangeDword("n", number));
  EXPECT_TRUE(key_.ExchangeString("s", text));
  EXPECT_EQ(number, 42u);
  EXPECT_EQ(text, "saved");
  // Any other mode does nothing.
  for (int mode : {2, -1}) {
    key_.SetMode(mode);
    number = 9;
    text = "other";
    EXPECT_FALSE(key_.ExchangeDword("n", number));
    EXPECT_FALSE(key_.ExchangeString("s", text));
    EXPECT_EQ(number, 9u);
    EXPECT_EQ(text, "other");
    EXPECT_EQ(key_.GetDword("n", 0), 42u);
  }
  // Saving through a key that failed to open reports failure.
  RegistryKey closed;
  closed.SetMode(1);
  EXPECT_FALSE(closed.ExchangeDword("n", number));
  EXPECT_FALSE(closed.ExchangeString("s", text));
}

TEST_P(RegistryTest, JapaneseNamesAndTexts) {
  const UINT expected = ExpectedCodePage();
  if (expected != 0) {
    ASSERT_EQ(GetACP(), expected) << "the test entry's locale did not apply";
  }
  // "インストール先" under the key "ゲーム" in the value "パス".
  const std::string text = "\xE3\x82\xA4\xE3\x83\xB3\xE3\x82\xB9\xE3\x83\x88\xE3\x83\xBC"
                           "\xE3\x83\xAB\xE5\x85\x88";
  const std::string name = "\xE3\x83\x91\xE3\x82\xB9";
  const std::string sub = path_ + "\\\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0";
  const bool representable = IsWideSystem() || GetACP() == 932;
  RegistryKey key;
  if (!representable) {
    // Characters without a form in this code page reach the system as question marks.
    ASSERT_TRUE(key.CreateKey(HKEY_CURRENT_USER, sub));
    EXPECT_TRUE(key.SetString(name, text));
    EXPECT_EQ(key.GetString(name, ""), std::string(7, '?'));
    key.Close();
    HKEY raw = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, Utf8ToWide(path_ + "\\???").c_str(), 0,
                            KEY_READ, &raw),
              ERROR_SUCCESS);
    if (raw) RegCloseKey(raw);
    EXPECT_TRUE(key.DeleteKey(HKEY_CURRENT_USER, sub));
    return;
  }
  ASSERT_TRUE(key.CreateKey(HKEY_CURRENT_USER, sub));
  EXPECT_TRUE(key.SetString(name, text));
  EXPECT_EQ(key.GetString(name, ""), text);
  EXPECT_TRUE(key.Close());
  EXPECT_TRUE(RegistryKeyExists(HKEY_CURRENT_USER, sub));
  // The same value as the wide entry points see it.
  HKEY raw = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, Utf8ToWide(sub).c_str(), 0, KEY_READ, &raw),
            ERROR_SUCCESS);
  DWORD type = 0;
  std::string data;
  ASSERT_EQ(RawQuery(raw, Utf8ToWide(name).c_str(), &type, &data), ERROR_SUCCESS);
  RegCloseKey(raw);
  const std::wstring wide = Utf8ToWide(text);
  EXPECT_EQ(data, std::string(reinterpret_cast<const char*>(wide.c_str()),
                              (wide.size() + 1) * sizeof(wchar_t)));
  EXPECT_TRUE(key.DeleteKey(HKEY_CURRENT_USER, sub));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, sub));
}

// A wide system whose library lacks the wide registry entries falls back to the ANSI ones.
TEST_P(RegistryTest, MissingWideEntriesFallBackToAnsi) {
  WideApiTable saved = WideApi;
  WideApi.RegCreateKeyExW = nullptr;
  WideApi.RegOpenKeyExW = nullptr;
  WideApi.RegQueryValueExW = nullptr;
  WideApi.RegSetValueExW = nullptr;
  WideApi.RegDeleteKeyW = nullptr;
  RegistryKey key;
  const std::string sub = path_ + "\\Fallback";
  const bool created = key.CreateKey(HKEY_CURRENT_USER, sub);
  const bool exists = RegistryKeyExists(HKEY_CURRENT_USER, sub);
  const bool set = key.SetString("PATH", "C:\\Game");
  const std::string read = key.GetString("PATH", "");
  key.Close();
  const bool deleted = key.DeleteKey(HKEY_CURRENT_USER, sub);
  WideApi = saved;
  EXPECT_TRUE(created);
  EXPECT_TRUE(exists);
  EXPECT_TRUE(set);
  EXPECT_EQ(read, "C:\\Game");
  EXPECT_TRUE(deleted);
}

// A key that can be opened for reading but not with full access counts as missing.
TEST_P(RegistryTest, KeyWithoutFullAccessCountsAsMissing) {
  const std::string sub = path_ + "\\ReadOnly";
  RegistryKey key;
  ASSERT_TRUE(key.CreateKey(HKEY_CURRENT_USER, sub));
  // Everyone may read the key, nobody may write it.
  EXPLICIT_ACCESSA grant = {};
  grant.grfAccessPermissions = KEY_READ;
  grant.grfAccessMode = SET_ACCESS;
  grant.grfInheritance = NO_INHERITANCE;
  grant.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  grant.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  grant.Trustee.ptstrName = const_cast<char*>("EVERYONE");
  PACL acl = nullptr;
  ASSERT_EQ(SetEntriesInAclA(1, &grant, nullptr, &acl), ERROR_SUCCESS);
  const DWORD set = SetSecurityInfo(key.KeyHandle(), SE_REGISTRY_KEY,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, acl, nullptr);
  LocalFree(acl);
  key.Close();
  ASSERT_EQ(set, static_cast<DWORD>(ERROR_SUCCESS));
  HKEY readable = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, sub.c_str(), 0, KEY_READ, &readable),
            ERROR_SUCCESS);
  RegCloseKey(readable);
  EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, sub));
  EXPECT_FALSE(key.CreateKey(HKEY_CURRENT_USER, sub));
  // Give full access back so that the key can be removed.
  HKEY owner = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, sub.c_str(), 0, WRITE_DAC, &owner), ERROR_SUCCESS);
  SetSecurityInfo(owner, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                  nullptr);
  RegCloseKey(owner);
  EXPECT_TRUE(key.DeleteKey(HKEY_CURRENT_USER, sub));
}

}  // namespace
