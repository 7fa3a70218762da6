// ScanSource: lists a file or a directory tree for the archive writer.
#include "archive/gca_file.h"

namespace gca {
namespace {

bool IsDotName(const std::string& name) { return name == "." || name == ".."; }

class Scanner {
 public:
  Scanner(std::vector<ScanItem>& items, std::string* unrepresentable, std::vector<std::string>* skipped)
      : items_(items), unrepresentable_(unrepresentable), skipped_(skipped) {}

  // One search: the entries that pattern finds. dir_of(name) gives a found directory's
  // path, rel_of(name) its relative name.
  template <typename DirOf, typename RelOf>
  int32_t Walk(const std::string& pattern, const DirOf& dir_of, const RelOf& rel_of) {
    os::FindData data;
    const os::Handle h = os::FindFirst(pattern, &data);
    if (h == os::kInvalidHandle) return 0;
    int32_t count = 0;
    do {
      if (data.special || !data.name_ok) {
        // data.name is the host's own form here; so is the path reported.
        std::string host;
        if (!os::HostPath(dir_of(std::string()), &host)) host = dir_of(std::string());
        host += data.name;
        if (data.special) {
          if (skipped_) skipped_->push_back(host);
        } else if (unrepresentable_ && unrepresentable_->empty()) {
          *unrepresentable_ = host;
        }
        continue;
      }
      if (data.attributes & 0x10) {
        if (IsDotName(data.name)) continue;
        const std::string rel = rel_of(data.name);
        Append(rel, data);
        count += 1 + ScanDirectory(dir_of(data.name), rel);
      } else if (data.attributes & 0x100) {
        continue;
      } else {
        Append(rel_of(data.name), data);
        count += 1;
      }
    } while (os::FindNext(h, &data));
    os::FindClose(h);
    return count;
  }

  int32_t ScanDirectory(const std::string& dir, const std::string& prefix) {
    return Walk(
        JoinPath(dir, "*.*"), [&](const std::string& name) { return dir + "\\" + name; },
        [&](const std::string& name) { return prefix.empty() ? name : prefix + "\\" + name; });
  }

 private:
  void Append(const std::string& name, const os::FindData& data) {
    ScanItem item;
    item.Name = name;
    item.Attributes = data.attributes;
    item.Size = data.size;
    item.WriteTime = data.write_time;
    items_.push_back(std::move(item));
  }

  std::vector<ScanItem>& items_;
  std::string* unrepresentable_;
  std::vector<std::string>* skipped_;
};

}  // namespace

int32_t ScanSource(const std::string& source, std::vector<ScanItem>& items, std::string* unrepresentable,
                   std::vector<std::string>* skipped) {
  const int32_t k = LastIndexOf(source, '\\');
  const int32_t c = LastIndexOf(source, ':');
  auto dir_of = [&](const std::string& name) {
    if (c > k) return source.substr(0, size_t(c)) + ":" + name;
    if (k >= 0) return source.substr(0, size_t(k)) + "\\" + name;
    return name;
  };
  Scanner scanner(items, unrepresentable, skipped);
  return scanner.Walk(source, dir_of, [](const std::string& name) { return name; });
}

}  // namespace gca
