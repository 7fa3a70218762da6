#include "tools/patch_names.h"

#include <cstdint>
#include <cstdio>
#include <map>

namespace {

std::vector<std::string> Components(const std::string& name) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t end = name.find('\\', start);
    parts.push_back(name.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::string AsciiUpper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The device a component names, or empty. Windows takes the text before the first dot,
// without trailing spaces, as the device name: "con", "CON.txt", "nul .tar.gz".
std::string DeviceName(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  const std::string upper = AsciiUpper(base);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (upper == device) return device;
  }
  if (upper.size() >= 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0)) {
    const std::string rest = upper.substr(3);
    // COM0..COM9, LPT0..LPT9 and the superscript digits one, two and three.
    if ((rest.size() == 1 && rest[0] >= '0' && rest[0] <= '9') || rest == "\xC2\xB9" || rest == "\xC2\xB2" ||
        rest == "\xC2\xB3") {
      return upper;
    }
  }
  return std::string();
}

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

std::string WindowsNameProblem(const std::string& name) {
  if (name.empty()) return "the name is empty";
  for (const std::string& part : Components(name)) {
    if (part.empty()) return "it has an empty component";
    if (part == "." || part == "..") return "it has the component \"" + part + "\"";
    for (unsigned char c : part) {
      if (c < 0x20) {
        char code[8];
        std::snprintf(code, sizeof code, "0x%02x", c);
        return "\"" + part + "\" contains the control character " + code;
      }
      if (c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' || c == '*' || c == '/') {
        return "\"" + part + "\" contains the character " + std::string(1, static_cast<char>(c)) +
               ", which Windows does not allow in names";
      }
    }
    if (part.back() == '.') return "\"" + part + "\" ends with a dot, which Windows drops";
    if (part.back() == ' ') return "\"" + part + "\" ends with a space, which Windows drops";
    const std::string device = DeviceName(part);
    if (!device.empty()) return "\"" + part + "\" names the Windows device " + device;
  }
  return std::string();
}

std::string UpdaterNameProblem(const std::string& name) {
  if (name.compare(0, 3, "___") == 0) {
    return "names beginning with ___ are the updater's data-archive members";
  }
  const std::string first = name.substr(0, name.find('\\'));
  if (AsciiUpper(first) == "TMP") {
    return "\"" + first + "\" is the updater's work directory, which it removes after the update";
  }
  return std::string();
}

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

bool FindCaseClash(const std::vector<std::string>& names, std::string& first, std::string& second) {
  std::map<std::string, std::string> seen;  // folded path or prefix -> as spelled
  for (const std::string& name : names) {
    size_t end = 0;
    while (true) {
      end = name.find('\\', end);
      const std::string path = name.substr(0, end);
      const auto [it, added] = seen.emplace(FoldNameCase(path), path);
      if (!added && it->second != path) {
        first = it->second;
        second = path;
        return true;
      }
      if (end == std::string::npos) break;
      ++end;
    }
  }
  return false;
}
