// The comparison of the old and the new tree: what each holds, which names a patch can
// carry, and what the new version deleted.
#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "app/payload_format.h"
#include "tools/patch_summary.h"

namespace builder {

namespace fs = std::filesystem;

struct TreeFile {
  bool Directory = false;
  uint64_t WriteTime = 0;
  uint32_t Attributes = 0;
  uint64_t Size = 0;
};

// Whether a relative name is a data archive (n.dat at the top of the tree).
bool EndsWithDat(const std::string& name);

// Every file and directory below root, by relative name.
bool ListTree(const fs::path& root, std::map<std::string, TreeFile>& files, std::string& error);

// Why a tree name cannot go into a patch, or empty.
std::string NameProblem(const std::string& name);

// A name that leaves the installation directory too little of the updater's path
// limits is refused, named with its length.
bool LeavesRoom(const std::string& archive_name, bool member, const std::string& shown, std::string& error);

// What the old tree has and the new one does not: loose files and data archives (kept
// aside by the update until its commit point), then directories, innermost first
// (removed once the update leaves them empty). The check files are never deleted, nor is
// anything below the updater's own names. A file that became a directory, or a directory
// that became a file, is refused: the update would have to do both at once.
bool ListDeletions(const std::map<std::string, TreeFile>& old_files, const std::map<std::string, TreeFile>& new_files,
                   PayloadRecords& records, bool keep, PatchSummary& summary, std::string& error);

// Every name of the new tree must be one a patch can carry, leave the players' game folder
// path room (unless allowed), and not clash in letter case with another.
bool CheckNewNames(const std::map<std::string, TreeFile>& new_files, bool allow_long_names, std::string& error);

// The digests of the old and the new check file; the new one must differ from what the old
// tree holds under its name, or the updater could not tell the versions apart.
bool ReadCheckDigests(const fs::path& old_root, const fs::path& new_root, PayloadRecords& records,
                      std::string& error);

}  // namespace builder
