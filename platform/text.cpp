// Text conversion at the system boundary. The UTF-8 side is decoded and encoded here by
// hand; only the code-page side asks the system.
#include "platform/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Stands in for a character whose UTF-8 sequence is cut short by the end of the text, and
// for four-byte sequences that decode beyond the last Unicode code point.
constexpr unsigned kReplacement = 0xFFFD;
constexpr unsigned kLastCodePoint = 0x10FFFF;

// Decodes one character of UTF-8 starting at text[i], where length is the count of bytes up
// to the first zero. Only the lead byte decides the length of the sequence; continuation
// bytes are not validated. A sequence that would run past the end yields the replacement
// character and consumes what is left. Returns the number of bytes consumed.
size_t DecodeUtf8(const unsigned char* text, size_t i, size_t length, unsigned& code) {
  unsigned b = text[i];
  size_t need;
  if (b < 0x80) {
    code = b;
    return 1;
  } else if (b < 0xE0) {
    need = 2;
  } else if (b < 0xF0) {
    need = 3;
  } else {
    need = 4;
  }
  if (length - i < need) {
    code = kReplacement;
    return length - i;
  }
  switch (need) {
    case 2:
      code = (b & 0x1F) << 6 | (text[i + 1] & 0x3F);
      break;
    case 3:
      code = (b & 0x0F) << 12 | (text[i + 1] & 0x3F) << 6 | (text[i + 2] & 0x3F);
      break;
    default:
      code = (b & 0x07) << 18 | (text[i + 1] & 0x3F) << 12 | (text[i + 2] & 0x3F) << 6 |
             (text[i + 3] & 0x3F);
      if (code > kLastCodePoint) code = kReplacement;
      break;
  }
  return need;
}

void AppendUtf16(std::wstring& out, unsigned code) {
  if (code < 0x10000) {
    out.push_back(static_cast<wchar_t>(code));
  } else {
    out.push_back(static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
  }
}

void AppendUtf8(std::string& out, unsigned code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | code >> 6));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | code >> 12));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | code >> 18));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace

std::wstring Utf8ToWide(const std::string& text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
  const size_t length = std::strlen(text.c_str());
  std::wstring out;
  size_t i = 0;
  while (i < length) {
    unsigned code;
    i += DecodeUtf8(bytes, i, length, code);
    AppendUtf16(out, code);
  }
  return out;
}

std::string WideToUtf8(const std::wstring& text) {
  std::string out;
  const wchar_t* units = text.c_str();
  for (size_t i = 0; units[i] != 0; ++i) {
    unsigned code = static_cast<unsigned>(units[i]) & 0xFFFF;
    if (code >= 0xD800 && code < 0xDC00) {
      const unsigned next = static_cast<unsigned>(units[i + 1]) & 0xFFFF;
      if (next < 0xDC00 || next >= 0xE000) return std::string();
      code = 0x10000 + ((code & 0x3FF) << 10 | (next & 0x3FF));
      ++i;
    }
    AppendUtf8(out, code);
  }
  return out;
}

#ifdef _WIN32

std::string Utf8ToAnsi(const std::string& text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
  const size_t length = std::strlen(text.c_str());
  std::string out;
  size_t i = 0;
  while (i < length) {
    unsigned code;
    i += DecodeUtf8(bytes, i, length, code);
    // A character beyond the basic plane goes to the system as its surrogate pair, in one call.
    std::wstring units;
    AppendUtf16(units, code);
    // Room for the longest character of any code page, not only of the double-byte ones.
    char converted[4];
    const int written = WideCharToMultiByte(CP_ACP, 0, units.data(), static_cast<int>(units.size()),
                                            converted, sizeof converted, nullptr, nullptr);
    if (written <= 0) return std::string();
    out.append(converted, static_cast<size_t>(written));
  }
  return out;
}

std::string AnsiToUtf8(const std::string& text) {
  const char* bytes = text.c_str();
  const size_t length = std::strlen(bytes);
  std::string out;
  size_t i = 0;
  while (i < length) {
    // One byte, else a double-byte character; a system code page with longer characters
    // (UTF-8) gets up to four bytes, and a character beyond the basic plane comes back as
    // a surrogate pair.
    wchar_t units[2] = {};
    size_t taken = 0;
    for (size_t n = 1; n <= 4 && i + n <= length && taken == 0; ++n) {
      const int produced = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes + i, static_cast<int>(n),
                                               units, n <= 2 ? 1 : 2);
      if (produced == 1) {
        AppendUtf8(out, static_cast<unsigned>(units[0]) & 0xFFFF);
        taken = n;
      } else if (produced == 2 && units[0] >= 0xD800 && units[0] < 0xDC00 && units[1] >= 0xDC00 &&
                 units[1] < 0xE000) {
        AppendUtf8(out, 0x10000 + ((static_cast<unsigned>(units[0]) & 0x3FF) << 10 |
                                   (static_cast<unsigned>(units[1]) & 0x3FF)));
        taken = n;
      }
    }
    if (taken == 0) return std::string();
    i += taken;
  }
  return out;
}

#endif  // _WIN32

std::string FormatText(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list counting;
  va_copy(counting, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, counting);
  va_end(counting);
  std::string out;
  if (length > 0) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    const int written = std::vsnprintf(buffer.data(), buffer.size(), format, arguments);
    if (written > 0) out.assign(buffer.data(), static_cast<size_t>(written < length ? written : length));
  }
  va_end(arguments);
  return out;
}

std::string BytesToHex(const void* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* data = static_cast<const unsigned char*>(bytes);
  std::string out;
  out.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0x0F]);
  }
  return out;
}

std::string TextToHex(const std::string& text) { return BytesToHex(text.data(), text.size()); }

std::string EncodeClassName(const std::string& name) { return "UTF8_" + TextToHex(name); }
