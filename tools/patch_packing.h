// The packing of a patch: the updater's image, the records laid out behind it, the
// archive of the staged tree, the patch file, and the signing of the written patch with the
// check that the signing tool left the payload and the archive in place.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/payload_format.h"

#include "tools/patch_signer.h"

namespace builder {

namespace fs = std::filesystem;

using PackProgress = std::function<void(uint64_t done, uint64_t total)>;

// Reads the updater's image and cuts it at the end of its sections; a signed image loses
// its certificate table with the bytes behind its sections, so the security directory
// must not point into the payload that replaces them.
bool ReadStub(const std::string& path, std::vector<uint8_t>& stub, uint64_t& image_end, std::string& error);

// Lays the records out behind the image and checks that their tags are placed where the
// updater finds them.
bool LayOutRecords(const std::vector<uint8_t>& stub, uint64_t image_end, const PayloadRecords& records,
                   std::vector<uint8_t>& payload, std::string& error);

// The top-level names of the staged tree, as the archive code takes them, sorted.
bool ListStagedSources(const fs::path& stage, std::vector<std::string>& sources, std::string& error);

// Packs the staged tree into the patch archive.
bool PackArchive(const std::vector<std::string>& sources, const fs::path& archive_path, const PackProgress& progress,
                 std::string& error);

// Writes the image, the records and the archive behind them into the patch. The archive
// is copied in pieces: a data archive shipped whole may be larger than the memory of the
// machine that builds the patch.
bool WritePatchFile(const std::vector<uint8_t>& stub, uint64_t image_end, const std::vector<uint8_t>& payload,
                    const fs::path& archive_path, const fs::path& patch, uint64_t& archive_size, std::string& error);

// Signs the patch into signed_path and checks that the signing tool left the payload and
// the archive as they were, with the certificate table behind them.

bool SignPatch(const SignOptions& sign, const fs::path& patch, const fs::path& signed_path, const fs::path& log,
               uint64_t image_end, uint64_t& table_size, std::string& error);

}  // namespace builder
