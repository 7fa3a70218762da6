// Whole-file SHA-512 over the platform file stream.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/sha512.h"
#include "platform/file_stream.h"

std::string FileSha512Hex(const std::string& path) {
  constexpr uint32_t kPiece = 65536;
  std::vector<uint8_t> buffer(kPiece);
  FileStream file;
  if (!file.OpenRead(path)) return std::string();
  gca::Sha512Digest digest;
  digest.Reset();
  // Exactly the size taken at open is hashed; a file that ends early or goes on is a failure.
  uint64_t remaining = file.Size();
  while (remaining != 0) {
    const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(remaining, kPiece));
    if (file.Read(buffer.data(), piece) != piece) {
      file.Close();
      return std::string();
    }
    digest.Update(buffer.data(), piece);
    remaining -= piece;
  }
  // A file that grew while it was read is not the file that was measured.
  uint8_t more;
  if (file.Read(&more, 1) != 0) {
    file.Close();
    return std::string();
  }
  digest.Finish();
  std::string text = digest.HexText();
  file.Close();
  return text;
}
