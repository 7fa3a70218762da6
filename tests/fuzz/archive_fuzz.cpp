// Fuzz target: an archive held in memory, its directory read and every entry decoded.
// Answers every notice with 0 so that the deepest paths run.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

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
  }
  a.Close();
  return 0;
}
