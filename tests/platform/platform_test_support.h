// Helpers shared by the platform tests: a scratch directory with a name in the run's code
// page, and the two sides (wide and ANSI entry points) as a test parameter.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"
#include "platform/wide_api.h"

namespace platform_test {

// A non-ASCII name that the run's code page can represent, so that the ANSI side can pass
// it too: "é" in 1252, "表ソ" (both with the trail byte 0x5C) in 932.
inline std::string LocalName() {
  switch (GetACP()) {
    case 932:
      return "\xE8\xA1\xA8\xE3\x82\xBD";
    case 1252:
      return "\xC3\xA9";
    default:
      return "x";
  }
}

inline std::string WideSystemTempDirectory() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  std::string path = WideToUtf8(std::wstring(buffer, length));
  if (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

enum class Side { Wide, Ansi };

inline const char* SideName(const testing::TestParamInfo<Side>& info) {
  return info.param == Side::Wide ? "Wide" : "Ansi";
}

// Selects the side for one test and hands the decision back to the system afterwards.
class SideTest : public testing::TestWithParam<Side> {
 protected:
  void SetUp() override { SetWideSystemOverride(GetParam() == Side::Wide ? 1 : 0); }
  void TearDown() override { SetWideSystemOverride(-1); }
  bool Wide() const { return GetParam() == Side::Wide; }
};

}  // namespace platform_test
