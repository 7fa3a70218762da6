// The packing of a patch: the signing of the written patch and the check that the
// signing tool left the payload and the archive in place.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>

#include "tools/patch_signer.h"

namespace builder {

namespace fs = std::filesystem;

// Signs the patch into signed_path and checks that the signing tool left the payload and
// the archive as they were, with the certificate table behind them.

bool SignPatch(const SignOptions& sign, const fs::path& patch, const fs::path& signed_path, const fs::path& log,
               uint64_t image_end, uint64_t& table_size, std::string& error);

}  // namespace builder
