// Text conversion: the UTF-8 side by hand, the code-page side through the system. The
// code-page cases run in the program's 1252 entry and in its 932 entry; each case checks
// the code page it is about and skips itself in the other run.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/text.h"

namespace {

std::string Bytes(std::initializer_list<unsigned> values) {
  std::string out;
  for (unsigned v : values) out.push_back(static_cast<char>(v));
  return out;
}

std::wstring Units(std::initializer_list<unsigned> values) {
  std::wstring out;
  for (unsigned v : values) out.push_back(static_cast<wchar_t>(v));
  return out;
}

TEST(Utf8ToWide, DecodesByLeadByte) {
  EXPECT_EQ(Utf8ToWide("Ab"), L"Ab");
  EXPECT_EQ(Utf8ToWide(Bytes({0xC3, 0xA9})), Units({0x00E9}));
  EXPECT_EQ(Utf8ToWide(Bytes({0xE2, 0x82, 0xAC})), Units({0x20AC}));
  EXPECT_EQ(Utf8ToWide(Bytes({0xF0, 0x9F, 0x98, 0x80})), Units({0xD83D, 0xDE00}));
  EXPECT_EQ(Utf8ToWide(Bytes({0xF4, 0x8F, 0xBF, 0xBF})), Units({0xDBFF, 0xDFFF}));
  // A stray continuation byte is the lead of a two-byte sequence.
  EXPECT_EQ(Utf8ToWide(Bytes({0x80, 0x41})), Units({0x0001}));
  EXPECT_EQ(Utf8ToWide(""), L"");
}

TEST(Utf8ToWide, StopsAtTheFirstZero) {
  std::string text("ab");
  text.push_back('\0');
  text += "cd";
  EXPECT_EQ(Utf8ToWide(text), L"ab");
  // The zero is not taken as a continuation byte either.
  std::string cut = Bytes({0x41, 0xE2, 0x82});
  cut.push_back('\0');
  cut += Bytes({0xAC, 0x42});
  EXPECT_EQ(Utf8ToWide(cut), Units({0x41, 0xFFFD}));
}

TEST(Utf8ToWide, SequenceCutShortBecomesReplacementCharacter) {
  EXPECT_EQ(Utf8ToWide(Bytes({0xC3})), Units({0xFFFD}));
  EXPECT_EQ(Utf8ToWide(Bytes({0x41, 0xE2, 0x82})), Units({0x41, 0xFFFD}));
  EXPECT_EQ(Utf8ToWide(Bytes({0x41, 0xF0, 0x9F, 0x98})), Units({0x41, 0xFFFD}));
  // Read from a buffer that ends exactly at the cut, so that a read past it is seen by
  // the sanitizers of the host build and by the heap checks of the system.
  std::string exact(Bytes({0xF0, 0x9F}));
  exact.shrink_to_fit();
  EXPECT_EQ(Utf8ToWide(exact), Units({0xFFFD}));
}

TEST(Utf8ToWide, CodeBeyondUnicodeBecomesReplacementCharacter) {
  EXPECT_EQ(Utf8ToWide(Bytes({0xF7, 0xBF, 0xBF, 0xBF, 0x41})), Units({0xFFFD, 0x41}));
  EXPECT_EQ(Utf8ToWide(Bytes({0xF4, 0x90, 0x80, 0x80})), Units({0xFFFD}));
}

TEST(WideToUtf8, EncodesAndPairsSurrogates) {
  EXPECT_EQ(WideToUtf8(Units({0xD83D, 0xDE00})), Bytes({0xF0, 0x9F, 0x98, 0x80}));
  EXPECT_EQ(WideToUtf8(Units({0x00E9, 0x20AC, 0x41})), Bytes({0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0x41}));
  EXPECT_EQ(WideToUtf8(Units({0x07FF, 0x0800})), Bytes({0xDF, 0xBF, 0xE0, 0xA0, 0x80}));
  // A lone low surrogate is encoded like any other unit.
  EXPECT_EQ(WideToUtf8(Units({0xDC00})), Bytes({0xED, 0xB0, 0x80}));
}

TEST(WideToUtf8, UnpairedHighSurrogateGivesEmpty) {
  EXPECT_EQ(WideToUtf8(Units({0x41, 0xD83D, 0x41})), "");
  EXPECT_EQ(WideToUtf8(Units({0x41, 0xD83D})), "");
  EXPECT_EQ(WideToUtf8(Units({0xDBFF, 0xE000})), "");
}

TEST(WideToUtf8, StopsAtTheFirstZero) {
  EXPECT_EQ(WideToUtf8(Units({0x41, 0, 0x42})), "A");
  // A high surrogate followed by the zero is unpaired.
  EXPECT_EQ(WideToUtf8(Units({0xD83D, 0, 0xDE00})), "");
}

TEST(WideToUtf8, RoundTripsEveryCharacter) {
  for (unsigned code = 1; code < 0x110000; ++code) {
    if (code >= 0xD800 && code < 0xE000) continue;
    std::wstring units;
    if (code < 0x10000) {
      units.push_back(static_cast<wchar_t>(code));
    } else {
      units.push_back(static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10)));
      units.push_back(static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    }
    const std::string utf8 = WideToUtf8(units);
    ASSERT_EQ(utf8.size(), code < 0x80 ? 1u : code < 0x800 ? 2u : code < 0x10000 ? 3u : 4u) << code;
    ASSERT_EQ(Utf8ToWide(utf8), units) << code;
  }
}

TEST(FormatText, FormatsLikePrintf) {
  EXPECT_EQ(FormatText("%s-%d-%02x", "ab", -7, 10u), "ab--7-0a");
  EXPECT_EQ(FormatText("%s", ""), "");
  EXPECT_EQ(FormatText("%lu", 4000000000ul), "4000000000");
  EXPECT_EQ(FormatText("%zu|%lld|%llx", static_cast<size_t>(12345), -5ll, 0x123456789abcull), "12345|-5|123456789abc");
  const std::string long_text(5000, 'x');
  EXPECT_EQ(FormatText("[%s]", long_text.c_str()), "[" + long_text + "]");
}

TEST(Hex, LowercaseTwoDigitsPerByte) {
  const unsigned char bytes[] = {0x00, 0x0F, 0xFF};
  EXPECT_EQ(BytesToHex(bytes, 3), "000fff");
  EXPECT_EQ(BytesToHex(nullptr, 0), "");
  // The whole string, embedded zero included.
  std::string text("A");
  text.push_back('\0');
  text.push_back('\xAB');
  EXPECT_EQ(TextToHex(text), "4100ab");
}

TEST(EncodeClassName, PrefixAndHexOfTheName) {
  EXPECT_EQ(EncodeClassName(""), "UTF8_");
  EXPECT_EQ(EncodeClassName("Ab"), "UTF8_4162");
  EXPECT_EQ(EncodeClassName(Bytes({0xC3, 0xA9})), "UTF8_c3a9");
}

// The run's code page is the one its test entry asks for (GU_EXPECT_ACP), so that a run
// whose environment did not take effect fails instead of skipping everything below.
TEST(CodePage, IsTheOneThisRunAsksFor) {
  const char* expected = std::getenv("GU_EXPECT_ACP");
  if (!expected) GTEST_SKIP() << "GU_EXPECT_ACP not set";
  EXPECT_EQ(GetACP(), static_cast<UINT>(std::atoi(expected)));
}

// --- Code page 1252 -----------------------------------------------------------------------

#define REQUIRE_CODE_PAGE(page) \
  if (GetACP() != (page)) GTEST_SKIP() << "runs with code page " #page ", this run has " << GetACP()

TEST(CodePage1252, ConvertsWesternText) {
  REQUIRE_CODE_PAGE(1252);
  EXPECT_EQ(Utf8ToAnsi(Bytes({0xC3, 0xA9})), Bytes({0xE9}));
  EXPECT_EQ(Utf8ToAnsi(Bytes({0x41, 0xE2, 0x82, 0xAC, 0x42})), Bytes({0x41, 0x80, 0x42}));
  EXPECT_EQ(AnsiToUtf8(Bytes({0xE9, 0x80})), Bytes({0xC3, 0xA9, 0xE2, 0x82, 0xAC}));
  EXPECT_EQ(AnsiToUtf8("plain"), "plain");
  for (unsigned b = 0xA0; b < 0x100; ++b) {
    const std::string one = Bytes({b});
    ASSERT_EQ(Utf8ToAnsi(AnsiToUtf8(one)), one) << b;
  }
}

TEST(CodePage1252, StopsAtTheFirstZeroAndAtCutSequences) {
  REQUIRE_CODE_PAGE(1252);
  std::string text = Bytes({0xC3, 0xA9});
  text.push_back('\0');
  text += "x";
  EXPECT_EQ(Utf8ToAnsi(text), Bytes({0xE9}));
  std::string cut(Bytes({0x41, 0xC3}));
  cut.shrink_to_fit();
  const std::string converted = Utf8ToAnsi(cut);
  ASSERT_EQ(converted.size(), 2u);
  EXPECT_EQ(converted[0], 'A');
}

TEST(CodePage1252, FourByteCharacterIsOneCharacter) {
  REQUIRE_CODE_PAGE(1252);
  // The whole sequence is one character to the system; the letter behind it stays a letter.
  // The code page has no form for it: the system puts its default character in.
  const std::string converted = Utf8ToAnsi(Bytes({0xF0, 0x9F, 0x98, 0x80, 0x41}));
  ASSERT_GE(converted.size(), 2u) << TextToHex(converted);
  ASSERT_LE(converted.size(), 3u) << TextToHex(converted);
  EXPECT_EQ(converted.find_first_not_of('?'), converted.size() - 1) << TextToHex(converted);
  EXPECT_EQ(converted.back(), 'A');
}

// --- Code page 932 ------------------------------------------------------------------------

// "日本語" and "表ソ" (both trail bytes 0x5C, the backslash) in UTF-8 and in code page 932.
const unsigned kNihongoUtf8[] = {0xE6, 0x97, 0xA5, 0xE6, 0x9C, 0xAC, 0xE8, 0xAA, 0x9E};
const unsigned kNihongo932[] = {0x93, 0xFA, 0x96, 0x7B, 0x8C, 0xEA};

std::string FromArray(const unsigned* values, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out.push_back(static_cast<char>(values[i]));
  return out;
}

TEST(CodePage932, ConvertsJapaneseText) {
  REQUIRE_CODE_PAGE(932);
  const std::string utf8 = FromArray(kNihongoUtf8, 9);
  const std::string ansi = FromArray(kNihongo932, 6);
  EXPECT_EQ(Utf8ToAnsi(utf8), ansi);
  EXPECT_EQ(AnsiToUtf8(ansi), utf8);
}

TEST(CodePage932, TrailByteBackslashStaysInsideTheCharacter) {
  REQUIRE_CODE_PAGE(932);
  const std::string utf8 = Bytes({0xE8, 0xA1, 0xA8, 0x5C, 0xE3, 0x82, 0xBD});  // 表\ソ
  const std::string ansi = Bytes({0x95, 0x5C, 0x5C, 0x83, 0x5C});
  EXPECT_EQ(Utf8ToAnsi(utf8), ansi);
  EXPECT_EQ(AnsiToUtf8(ansi), utf8);
  // Half-width katakana are single bytes.
  EXPECT_EQ(AnsiToUtf8(Bytes({0xB1})), Bytes({0xEF, 0xBD, 0xB1}));
}

TEST(CodePage932, InvalidInputGivesEmpty) {
  REQUIRE_CODE_PAGE(932);
  // A lead byte at the end of the text, and one followed by the zero that ends it.
  std::string lead_only(Bytes({0x41, 0x95}));
  lead_only.shrink_to_fit();
  EXPECT_EQ(AnsiToUtf8(lead_only), "");
  std::string lead_zero(Bytes({0x95}));
  lead_zero.push_back('\0');
  lead_zero.push_back('\x5C');
  EXPECT_EQ(AnsiToUtf8(lead_zero), "");
  // A lead byte followed by a byte that cannot be a trail byte.
  EXPECT_EQ(AnsiToUtf8(Bytes({0x81, 0x20})), "");
}

}  // namespace
