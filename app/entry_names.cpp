#include "app/entry_names.h"

#include <cstdint>

const char TempDirName[] = "tmp";
const char StagingDirName[] = "___";

namespace {

// Decodes one UTF-8 sequence at i; false (and nothing consumed) when it is not valid.
bool DecodeUtf8(const std::string& s, size_t& i, uint32_t& cp) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t b0 = byte(i);
  size_t length = 0;
  uint32_t value = 0;
  if (b0 < 0x80) {
    cp = b0;
    i += 1;
    return true;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    value = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    value = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    value = b0 & 0x07;
  } else {
    return false;
  }
  if (i + length > s.size()) return false;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return false;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
      (value >= 0xD800 && value <= 0xDFFF)) {
    return false;
  }
  cp = value;
  i += length;
  return true;
}

void EncodeUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Pairs of upper and lower case letters at even and odd code points (or odd and even).
uint32_t PairUpper(uint32_t cp, bool upper_even) {
  const bool even = (cp & 1) == 0;
  return even == upper_even ? cp : cp - 1;
}

uint32_t UpperLetter(uint32_t cp) {
  if (cp >= 'a' && cp <= 'z') return cp - 0x20;
  if (cp < 0x80) return cp;
  // Latin-1.
  if (cp >= 0xE0 && cp <= 0xFE && cp != 0xF7) return cp - 0x20;
  if (cp == 0xFF) return 0x178;
  // Latin Extended-A (the dotted and dotless i keep their case).
  if ((cp >= 0x100 && cp <= 0x12F) || (cp >= 0x132 && cp <= 0x137) || (cp >= 0x14A && cp <= 0x177)) {
    return PairUpper(cp, true);
  }
  if ((cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E)) return PairUpper(cp, false);
  // Greek.
  if (cp == 0x3AC) return 0x386;
  if (cp >= 0x3AD && cp <= 0x3AF) return cp - 0x25;
  if (cp == 0x3C2) return 0x3A3;
  if ((cp >= 0x3B1 && cp <= 0x3C1) || (cp >= 0x3C3 && cp <= 0x3CB)) return cp - 0x20;
  if (cp == 0x3CC) return 0x38C;
  if (cp == 0x3CD || cp == 0x3CE) return cp - 0x3F;
  // Cyrillic.
  if (cp >= 0x430 && cp <= 0x44F) return cp - 0x20;
  if (cp >= 0x450 && cp <= 0x45F) return cp - 0x50;
  if ((cp >= 0x460 && cp <= 0x481) || (cp >= 0x48A && cp <= 0x4BF) || (cp >= 0x4D0 && cp <= 0x52F)) {
    return PairUpper(cp, true);
  }
  if (cp >= 0x4C1 && cp <= 0x4CE) return PairUpper(cp, false);
  // Armenian.
  if (cp >= 0x561 && cp <= 0x586) return cp - 0x30;
  // Latin Extended Additional (Vietnamese among others).
  if ((cp >= 0x1E00 && cp <= 0x1E95) || (cp >= 0x1EA0 && cp <= 0x1EFF)) return PairUpper(cp, true);
  // Fullwidth Latin letters (double-byte code pages).
  if (cp >= 0xFF41 && cp <= 0xFF5A) return cp - 0x20;
  return cp;
}

}  // namespace

std::string FoldNameCase(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    uint32_t cp = 0;
    if (!DecodeUtf8(name, i, cp)) {
      out += name[i];
      ++i;
      continue;
    }
    EncodeUtf8(UpperLetter(cp), out);
  }
  return out;
}

