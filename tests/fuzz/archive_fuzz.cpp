// Fuzz target: an archive held in memory, its directory read, every entry decoded and
// the smaller entries extracted into a scratch directory, so that name checks and file
// creation run too. Answers every notice with 0 so that the deepest paths run.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "archive/gca_archive.h"

namespace {

class CountingStream : public gca::ByteStream {
 public:
  uint64_t written = 0;
  uint32_t Read(void*, uint32_t) override { return 0; }
  uint32_t Write(const void*, uint32_t n) override {
    written += n;
    return n;
  }
  bool Seek(uint64_t) override { return true; }
  uint64_t Tell() override { return written; }
};

gca::GcaArchive& Archive() {
  static gca::GcaArchive* archive = [] {
    auto* a = new gca::GcaArchive;
    a->PrepareBuffers();
    return a;
  }();
  return *archive;
}

// A scratch root made for one input, holding only "out", the output directory; the
// whole root goes when the input is done (libFuzzer may end without running exit
// handlers, so nothing is left for later).
std::filesystem::path MakeScratchRoot() {
  char pattern[] = "/tmp/gca_archive_fuzz_XXXXXX";
  const char* made = mkdtemp(pattern);
  if (!made) __builtin_trap();
  return std::filesystem::path(made);
}

// Everything extraction made stays below out, and is a plain file or a directory.
void CheckScratch(const std::filesystem::path& root) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(root, ec)) {
    if (e.path().filename() != "out") __builtin_trap();
  }
  const auto out = root / "out";
  for (auto it = std::filesystem::recursive_directory_iterator(out, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const auto status = it->symlink_status(ec);
    if (!std::filesystem::is_regular_file(status) && !std::filesystem::is_directory(status)) __builtin_trap();
    for (char c : it->path().filename().string()) {
      if (static_cast<unsigned char>(c) < 0x20) __builtin_trap();
    }
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ec);
  }
  std::filesystem::remove_all(root, ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  gca::GcaArchive& a = Archive();
  a.ScrambleDirectory = (size & 1) != 0;
  a.SetNoticeCallback([](uint32_t, const std::string&, gca::GcaArchive*) { return 0; });
  a.SetArchiveMemory(std::string(reinterpret_cast<const char*>(data), size));
  if (a.ReadDirectory()) {
    const int32_t n = a.EntryCount();
    for (int32_t i = 0; i < n && i < 64; ++i) {
      CountingStream out;
      const gca::EntryRecord r = a.EntryInfo(i);
      if (a.DecodeEntry(out, i, "") && out.written != r.UnpackedSize) __builtin_trap();
      if (out.written > r.UnpackedSize) __builtin_trap();
    }
    // The one-pass data check, with every other entry of an archive that is not solid
    // marked as copied; a failure names an entry (or -1 for the archive as a whole).
    std::vector<gca::BuiltEntry> built(n <= 4096 && !a.Solid ? size_t(n) : 0);
    for (size_t i = 1; i < built.size(); i += 2) built[i].Copied = true;
    int32_t failed = -2;
    const bool checked = a.CheckEntries(built, &failed);
    if (checked ? failed != -1 : (failed < -1 || failed >= n)) __builtin_trap();
    // Extraction, of entries small enough not to fill the disk.
    const std::filesystem::path root = MakeScratchRoot();
    std::string out = (root / "out").string();
    for (char& c : out) {
      if (c == '/') c = '\\';
    }
    a.SetOutputDirectory(out);
    for (int32_t i = 0; i < n && i < 64; ++i) {
      if (a.EntryInfo(i).UnpackedSize <= (4u << 20)) a.ExtractEntry(i);
    }
    CheckScratch(root);
  }
  a.Close();
  return 0;
}
