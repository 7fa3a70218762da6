// Whole-file SHA-512 over stdio (hosts other than Windows).
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64  // 64-bit file sizes on 32-bit hosts too
#endif
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "codec/sha512.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// 64-bit size of an open regular file, or -1 (directories and devices have no size).
long long FileSize(std::FILE* f) {
  struct stat info;
  if (fstat(fileno(f), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  if (fseeko(f, 0, SEEK_END) != 0) return -1;
  const off_t size = ftello(f);
  if (size < 0 || fseeko(f, 0, SEEK_SET) != 0) return -1;
  return static_cast<long long>(size);
}

}  // namespace

std::string FileSha512Hex(const std::string& path) {
  constexpr uint32_t kPiece = 65536;
  std::vector<unsigned char> buffer(kPiece);
  std::FILE* raw = std::fopen(path.c_str(), "rb");
  if (raw == nullptr) return std::string();
  std::unique_ptr<std::FILE, FileCloser> file(raw);
  std::setvbuf(raw, nullptr, _IONBF, 0);

  gca::Sha512Digest digest;
  digest.Reset();
  const long long size = FileSize(raw);
  if (size < 0) return std::string();
  unsigned long long remaining = static_cast<unsigned long long>(size);
  while (remaining != 0) {
    const uint32_t chunk = remaining < kPiece ? static_cast<uint32_t>(remaining) : kPiece;
    if (std::fread(buffer.data(), 1, chunk, raw) != chunk) return std::string();
    digest.Update(buffer.data(), chunk);
    remaining -= chunk;
  }
  // A file that grew while it was read is not the file that was measured.
  unsigned char more;
  if (std::fread(&more, 1, 1, raw) != 0) return std::string();
  digest.Finish();
  return digest.HexText();
}
