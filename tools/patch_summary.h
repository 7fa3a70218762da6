// What a patch build found and shipped, the summary text the tool prints, and the
// description of a written patch.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/payload_format.h"

// One data archive of the new version that differs from the old one.
struct ArchiveSummary {
  std::string Name;            // "data.dat"
  bool ShippedWhole = false;   // as a loose file that replaces the old archive
  std::string WholeReason;     // "solid", "scrambled directory", "not an archive"
  std::string KeptOptions;     // --rebuild keep: the options the rebuilt archive keeps ("compressed, solid")
  int Added = 0;               // members new in this version (files and directories)
  int Replaced = 0;            // members whose bytes or attributes changed
  int Unchanged = 0;           // members equal in bytes, attributes and time
  int TimeOnly = 0;            // members that differ only in their write time
  int Shipped = 0;             // members the patch carries
  int Deleted = 0;             // members the update leaves out (files)
  uint64_t DeletedBytes = 0;
  int Kept = 0;                // deleted members left in place (--keep-deleted)
  uint64_t KeptBytes = 0;
  int Deltas = 0;              // replaced members shipped as deltas (the rest whole, in Bytes)
  uint64_t DeltaBytes = 0;     // bytes of their delta streams (unpacked)
  uint64_t Bytes = 0;          // bytes the patch carries for it (unpacked)
};

struct PatchSummary {
  int LooseFiles = 0;          // loose files the patch carries (data archives shipped whole included)
  int LooseAdded = 0;
  int LooseReplaced = 0;
  int LooseTimeOnly = 0;       // same bytes, other time: not shipped
  uint64_t LooseBytes = 0;
  int LooseDeleted = 0;        // loose files the update deletes (data archives included)
  uint64_t LooseDeletedBytes = 0;
  int DataArchivesDeleted = 0; // whole data archives among them
  int DirectoriesDeleted = 0;  // removed when the update leaves them empty
  int LooseKept = 0;           // deleted in the new version, left in place (--keep-deleted)
  uint64_t LooseKeptBytes = 0;
  bool KeepDeleted = false;
  int LooseDeltas = 0;         // replaced loose files shipped as deltas (the rest whole, in LooseBytes)
  uint64_t LooseDeltaBytes = 0;
  int LooseFromOther = 0;      // added loose files among LooseDeltas, made from an old file of another name
  RebuildWay Rebuild = RebuildWay::kUnpack;
  bool DeltasEnabled = false;  // false with --no-delta
  int TooLargeForDelta = 0;    // changed files larger than a delta can take: shipped whole
  int DataArchives = 0;        // data archives the patch merges members into
  int Members = 0;             // members it carries
  int MembersTimeOnly = 0;     // over all data archives
  int TimeStamps = 0;
  bool WithTimes = false;
  std::vector<ArchiveSummary> Archives;
  uint64_t ImageEnd = 0;
  uint64_t RecordsSize = 0;
  uint64_t ArchiveSize = 0;
  uint64_t PatchSize = 0;
  uint64_t SignatureSize = 0;  // the certificate table behind the archive; 0: unsigned
};

// The summary as the tool prints it: the shipped-whole and time-only lines, then a table
// of loose files and data archives, then the patch's size.
std::string SummaryText(const PatchSummary& summary);

// The records and archive entries of a patch file as text. False, with the text so far,
// when the file is not a patch ("not a patch: no ARCHIVE_DATA record") or its archive
// does not open.
bool DescribePatch(const std::string& path, std::string& text, std::string& error);
