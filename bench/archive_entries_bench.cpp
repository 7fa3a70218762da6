// Listing and decoding many small entries: time per entry for growing entry counts,
// stored and solid. Per-entry time that stays flat shows the work is linear.
// Usage: archive_entries_bench [max_entries]   (default 100000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/gca_archive.h"
#include "codec/crc32.h"

namespace {

void Put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(char(uint8_t(v >> (8 * i))));
}
void Put64(std::string& s, uint64_t v) {
  Put32(s, uint32_t(v));
  Put32(s, uint32_t(v >> 32));
}

// An archive of n entries "dir_k\file_i.txt" of 1..64 bytes each, in memory.
std::string BuildArchive(int n, bool solid) {
  gca::Crc32 crc;
  std::string data, records, names, stream;
  for (int i = 0; i < n; ++i) {
    const std::string contents(size_t(1 + i % 64), char('a' + i % 26));
    const std::string name = "dir_" + std::to_string(i / 1000) + "\\file_" + std::to_string(i) + ".txt";
    if (solid) {
      stream += contents;
    } else {
      data += contents;
    }
    Put32(records, crc.Compute(contents.data(), uint32_t(contents.size())));
    Put32(records, 0x20);
    Put64(records, 130000000000000000ull);
    Put64(records, contents.size());
    Put64(records, solid ? 0 : contents.size());
    names.push_back(char(name.size()));
    names.push_back(char(name.size() >> 8));
    names += name;
  }
  if (solid) {
    for (size_t at = 0; at < stream.size(); at += 1u << 20) {
      const std::string block = stream.substr(at, 1u << 20);
      data += "GCF0";
      Put32(data, uint32_t(block.size()));
      data += block;
    }
  }
  std::string a = "GCAX";
  Put32(a, 0);
  Put64(a, 16 + data.size());
  a += data;
  std::string dir = "GCA3";
  Put32(dir, solid ? 0x110 : 0);
  Put64(dir, 32 + records.size() + names.size());
  Put32(dir, 0);
  Put32(dir, 0);
  Put64(dir, uint64_t(n));
  dir += records + names;
  const uint32_t c = crc.Compute(dir.data(), uint32_t(dir.size()));
  for (int i = 0; i < 4; ++i) dir[size_t(20 + i)] = char(uint8_t(c >> (8 * i)));
  return a + dir;
}

class NullStream : public gca::ByteStream {
 public:
  uint32_t Read(void*, uint32_t) override { return 0; }
  uint32_t Write(const void*, uint32_t n) override { return n; }
  bool Seek(uint64_t) override { return true; }
  uint64_t Tell() override { return 0; }
};

double Seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int max_entries = argc > 1 ? std::atoi(argv[1]) : 100000;
  std::printf("%-7s %9s %12s %12s %14s %14s\n", "form", "entries", "list s", "decode s", "list us/entry",
              "decode us/entry");
  for (bool solid : {false, true}) {
    for (int n = max_entries / 4; n <= max_entries; n *= 2) {
      gca::GcaArchive a;
      a.PrepareBuffers();
      a.SetNoticeCallback([](uint32_t code, const std::string&, gca::GcaArchive*) {
        return code == gca::kNoticeEntryCrc ? (std::fprintf(stderr, "CRC!\n"), 0) : 0;
      });
      a.SetArchiveMemory(BuildArchive(n, solid));
      auto t0 = std::chrono::steady_clock::now();
      if (!a.ReadDirectory()) return std::fprintf(stderr, "cannot read\n"), 1;
      size_t name_bytes = 0;
      for (int32_t i = 0; i < a.EntryCount(); ++i) name_bytes += a.EntryName(i).size() + a.EntryInfo(i).UnpackedSize;
      const double list = Seconds(t0);
      t0 = std::chrono::steady_clock::now();
      for (int32_t i = 0; i < a.EntryCount(); ++i) {
        NullStream out;
        if (!a.DecodeEntry(out, i, "")) return std::fprintf(stderr, "decode %d failed\n", i), 1;
      }
      const double decode = Seconds(t0);
      std::printf("%-7s %9d %12.4f %12.4f %14.3f %14.3f%s\n", solid ? "solid" : "stored", n, list, decode,
                  list * 1e6 / n, decode * 1e6 / n, name_bytes ? "" : " ");
    }
  }
  return 0;
}
