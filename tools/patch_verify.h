// The read-back check of a written patch.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/payload_format.h"
#include "tools/patch_staging.h"

namespace builder {

namespace fs = std::filesystem;

using CheckProgress = std::function<void(const char* stage, uint64_t done, uint64_t total)>;

// Reads the written patch back with the updater's own payload readers and the archive
// reader, and applies it in memory to the old tree: every record must read back as
// written, the archive must open at the record's offset and decode with matching CRCs,
// each merged data archive must come out with the new version's members (names, bytes,
// attributes), and every loose file the patch carries must equal the new version's.
bool VerifyPatch(const fs::path& patch, const PayloadRecords& records, uint64_t archive_tag_position,
                 const std::map<std::string, LooseExpectation>& loose, const std::vector<MergedArchive>& merged,
                 const DeltaDigests& delta_digests, const CheckProgress& progress, std::string& error);

}  // namespace builder
