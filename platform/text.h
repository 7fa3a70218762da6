// Text conversion at the system boundary: UTF-8 inside the program, UTF-16 towards the
// wide entry points, the system code page towards the ANSI ones. Every conversion reads
// its input up to the first zero.
#pragma once
#include <cstddef>
#include <string>

std::wstring Utf8ToWide(const std::string& text);
// Empty on an unpaired high surrogate.
std::string WideToUtf8(const std::wstring& text);
// Empty when the system cannot convert a character.
std::string Utf8ToAnsi(const std::string& text);
// Empty when the input is not valid in the system code page.
std::string AnsiToUtf8(const std::string& text);

// The C99 conversions (%zu, %lld) are available on every build, so the format is checked
// as such, also where the compiler would otherwise check against the older runtime's set.
#if defined(__MINGW32__)
#define GU_FORMAT_TEXT_CHECK __attribute__((format(gnu_printf, 1, 2)))
#else
#define GU_FORMAT_TEXT_CHECK __attribute__((format(printf, 1, 2)))
#endif
std::string FormatText(const char* format, ...) GU_FORMAT_TEXT_CHECK;
// Lowercase hexadecimal, two digits per byte.
std::string BytesToHex(const void* bytes, size_t count);
std::string TextToHex(const std::string& text);
// "UTF8_" followed by the hexadecimal text of the name: the same on both sides.
std::string EncodeClassName(const std::string& name);
