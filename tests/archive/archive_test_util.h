// Helpers of the archive tests: scratch directories, files written and read through
// the archive's own file services (so names in the archive code page work on every
// build), and a notice recorder.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "archive/gca_archive.h"
#include "archive/gca_file.h"

namespace gca_test {

// A path in archive form: backslash separators.
inline std::string ArchiveForm(const std::filesystem::path& p) {
  std::string s = p.string();
  for (char& c : s) {
    if (c == '/') c = '\\';
  }
  return s;
}

inline long ProcessId() {
#ifdef _WIN32
  return long(_getpid());
#else
  return long(::getpid());
#endif
}

// A fresh scratch directory, removed with its contents at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> serial{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // The process id keeps two runs of the same test (another build, another checkout)
    // out of each other's directories: the constructor clears what it finds there.
    std::string leaf = std::string("gca_") + (info ? info->name() : "t") + "_" + std::to_string(ProcessId()) +
                       "_" + std::to_string(serial++);
    for (char& c : leaf) {
      if (c == '/') c = '_';
    }
    path_ = std::filesystem::temp_directory_path() / leaf;
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
    root_ = ArchiveForm(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    // Read-only files do not stop the clean-up.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path_, ec);
  }
  // Archive-form path of a name below the directory (name in archive form too).
  std::string operator/(const std::string& name) const { return gca::JoinPath(root_, name); }
  const std::string& Root() const { return root_; }

 private:
  std::filesystem::path path_;
  std::string root_;
};

inline void WriteFile(const std::string& path, const std::string& contents) {
  gca::GcaFile f;
  ASSERT_TRUE(f.Open(path, 3)) << path;
  ASSERT_EQ(f.Write(contents.data(), uint32_t(contents.size())), contents.size());
  f.Close();
}

inline std::string ReadFile(const std::string& path, bool* ok = nullptr) {
  gca::GcaFile f;
  std::string out;
  if (!f.Open(path, 0)) {
    if (ok) *ok = false;
    return out;
  }
  char buffer[65536];
  for (;;) {
    const uint32_t n = f.Read(buffer, sizeof(buffer));
    if (n == 0) break;
    out.append(buffer, n);
  }
  if (ok) *ok = true;
  return out;
}

inline bool Exists(const std::string& path) { return gca::os::GetAttributes(path) != gca::os::kInvalidAttributes; }

// Deterministic bytes; `redundant` gives text-like content that compresses.
inline std::string TestBytes(size_t n, uint32_t seed, bool redundant = true) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  static const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon ", "zeta "};
  size_t i = 0;
  while (i < n) {
    x = x * 1664525u + 1013904223u;
    if (redundant) {
      const char* w = words[(x >> 16) % 6];
      while (*w && i < n) s[i++] = *w++;
    } else {
      s[i++] = char(x >> 24);
    }
  }
  return s;
}

// Records notices and answers them from a table (default 0).
struct NoticeLog {
  std::vector<std::pair<uint32_t, std::string>> seen;
  std::map<uint32_t, int32_t> answers;
  gca::NoticeCallback Callback() {
    return [this](uint32_t code, const std::string& text, gca::GcaArchive*) {
      seen.emplace_back(code, text);
      auto it = answers.find(code);
      return it == answers.end() ? 0 : it->second;
    };
  }
  int Count(uint32_t code) const {
    int n = 0;
    for (const auto& s : seen) n += s.first == code;
    return n;
  }
};

}  // namespace gca_test
