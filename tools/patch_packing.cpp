#include "tools/patch_packing.h"

#include <fstream>
#include <system_error>
#include <vector>

#include "tools/host_files.h"

namespace builder {

bool SignPatch(const SignOptions& sign, const fs::path& patch, const fs::path& signed_path, const fs::path& log,
               uint64_t image_end, uint64_t& table_size, std::string& error) {
  if (!SignFile(sign, patch.u8string(), signed_path.u8string(), log.u8string(), error)) return false;
  std::error_code ec;
  const uint64_t unsigned_size = fs::file_size(patch, ec);
  const uint64_t signed_size = ec ? 0 : fs::file_size(signed_path, ec);
  std::vector<uint8_t> head(4096);
  {
    std::ifstream in(signed_path, std::ios::binary);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
  }
  uint64_t offset = 0, length = 0;
  if (ec || !PeCertificateTable(head.data(), head.size(), offset, length) || length == 0 ||
      offset < unsigned_size || offset > signed_size || length > signed_size - offset ||
      !SameRange(patch, signed_path, image_end, unsigned_size)) {
    error = "the signed patch does not keep the payload and archive ahead of its certificate table";
    return false;
  }
  table_size = length;
  return true;
}

}  // namespace builder
