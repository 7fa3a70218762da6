// The updater's side of a delta entry: the old file checked against the digest the delta
// expects, then the new file written in order while the entry is decoded, with the old
// content read by seeking and the new read back where it repeats itself. Its memory stays
// under 11 MiB (one chunk of the delta and two 256 KiB windows) whatever the file's size.
// Every file operation goes through the platform layer.
#pragma once
#include <cstdint>
#include <string>

#include "app/delta_format.h"

namespace gca {
class GcaArchive;
}

enum class DeltaOutcome {
  kApplied,      // the new file is written and matches the delta's digest and CRC
  kOldDiffers,   // the old file is missing or not the content the delta expects
  kDamaged,      // the delta does not make the content it promises; nothing is left
  kWriteFailed,  // the new file could not be written; nothing is left
};

// The delta's header, read from the first bytes of its decoded entry.
bool ReadDeltaHeader(gca::GcaArchive* patch, int32_t index, DeltaHeader& header);

// Whether the file holds exactly the content with that size and SHA-512.
bool FileHasContent(const std::string& path, uint64_t size, const std::string& digest);

// Applies entry `index` of the patch from old_path to new_path (made afresh). On any
// outcome but kApplied no file is left at new_path.
DeltaOutcome ApplyDeltaEntry(gca::GcaArchive* patch, int32_t index, const std::string& old_path,
                             const std::string& new_path);
