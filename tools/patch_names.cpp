#include "tools/patch_names.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
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
  if (name.compare(0, std::strlen(StagingDirName), StagingDirName) == 0) {
    return "names beginning with ___ are the updater's data-archive members";
  }
  const std::string first = name.substr(0, name.find('\\'));
  if (FoldNameCase(first) == FoldNameCase(TempDirName)) {
    return "\"" + first + "\" is the updater's work directory, which it removes after the update";
  }
  return std::string();
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
