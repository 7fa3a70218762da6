#include "tools/patch_packing.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <system_error>
#include <vector>

#include "archive/gca_archive.h"
#include "codec/block_pool.h"
#include "tools/archive_access.h"
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

bool ReadStub(const std::string& path, std::vector<uint8_t>& stub, uint64_t& image_end, std::string& error) {
  {
    std::vector<char> bytes;
    if (!ReadWhole(fs::u8path(path), bytes)) {
      error = "cannot read the updater image \"" + path + "\"";
      return false;
    }
    stub.assign(bytes.begin(), bytes.end());
  }
  image_end = PeImageEnd(stub.data(), stub.size());
  if (image_end == 0 || image_end > stub.size()) {
    error = "\"" + path + "\" is not a Windows program image";
    return false;
  }
  stub.resize(static_cast<size_t>(image_end));
  uint64_t table = 0, table_size = 0;
  size_t entry = 0;
  if (PeCertificateTable(stub.data(), stub.size(), table, table_size, &entry) && (table != 0 || table_size != 0)) {
    std::memset(stub.data() + entry, 0, 8);
  }
  return true;
}

bool LayOutRecords(const std::vector<uint8_t>& stub, uint64_t image_end, const PayloadRecords& records,
                   std::vector<uint8_t>& payload, std::string& error) {
  std::vector<PayloadSpan> spans;
  if (!WritePayloadRecords(records, image_end, payload, error, &spans)) return false;
  std::vector<uint8_t> file(stub.begin(), stub.end());
  file.insert(file.end(), payload.begin(), payload.end());
  return CheckTagPlacement(file.data(), file.size(), spans, error);
}

bool ListStagedSources(const fs::path& stage, std::vector<std::string>& sources, std::string& error) {
  std::error_code ec;
  for (fs::directory_iterator it(stage, ec), end; !ec && it != end; it.increment(ec)) {
    sources.push_back(ArchivePath(it->path()));
  }
  if (sources.empty()) {
    error = "the two versions do not differ in any file";
    return false;
  }
  std::sort(sources.begin(), sources.end());
  return true;
}

bool PackArchive(const std::vector<std::string>& sources, const fs::path& archive_path, const PackProgress& progress,
                 std::string& error) {
  auto builder = std::make_unique<gca::GcaArchive>();
  NoticeLog log;
  if (!builder->PrepareBuffers()) {
    error = "cannot allocate the archive buffers";
    return false;
  }
  InstallToolNotices(builder.get(), &log);
  builder->SetProgressCallback([&](uint64_t done, uint64_t total, gca::GcaArchive*) -> int32_t {
    progress(done, total);
    return 1;
  });
  builder->CompressData = true;
  builder->CompressDirectory = true;
  builder->SetThreads(gca::ProcessorCount());  // the same bytes on any number of threads
  builder->SetArchivePath(ArchivePath(archive_path));
  builder->SetSourceList(sources);
  const bool built = builder->Build() && !log.Failed;
  builder->ReleaseBuffers();
  if (!built) {
    error = "building the patch archive failed";
    return false;
  }
  return true;
}

bool WritePatchFile(const std::vector<uint8_t>& stub, uint64_t image_end, const std::vector<uint8_t>& payload,
                    const fs::path& archive_path, const fs::path& patch, uint64_t& archive_size, std::string& error) {
  std::error_code size_error;
  archive_size = fs::file_size(archive_path, size_error);
  std::ifstream in(archive_path, std::ios::binary);
  std::ofstream out(patch, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(stub.data()), static_cast<std::streamsize>(image_end));
  out.write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
  std::vector<char> buffer(1 << 20);
  uint64_t copied = 0;
  while (in && out) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    out.write(buffer.data(), in.gcount());
    copied += static_cast<uint64_t>(in.gcount());
  }
  out.close();
  if (size_error || in.bad() || !out || copied != archive_size) {
    error = "cannot write \"" + patch.u8string() + "\"";
    return false;
  }
  return true;
}

}  // namespace builder
