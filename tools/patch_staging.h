// The staging of what a patch carries: the builder's work directory, loose files copied
// with their times and attributes, the members of data archives the patch merges into,
// and deltas in place of changed content.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/payload_format.h"
#include "tools/patch_summary.h"
#include "tools/tree_compare.h"

namespace builder {

namespace fs = std::filesystem;

// Removes the builder's work directory whatever way the build ends. It only ever names a
// directory this build created itself.
struct WorkTree {
  fs::path Root;

  ~WorkTree();
};

// A fresh directory next to the output, named after it, the process and a counter; an
// existing file or directory of that name is left alone and the next name tried.
bool MakeWorkDirectory(const std::string& output, fs::path& root, std::string& error);

bool CopyWithTimes(const fs::path& from, const fs::path& to, const TreeFile& file, std::string& error);

// One member of a data archive as the comparison and the read-back see it.
struct MemberState {
  std::string Name;  // UTF-8, as the archive spells it
  bool Directory = false;
  uint32_t Attributes = 0;
  std::string Digest;  // SHA-512 of the bytes; empty for directories
};

// A data archive the patch merges members into: the old and the new members by their
// folded names, for the read-back's application of the patch.
struct MergedArchive {
  std::string Base;  // UTF-8 base name n of n.dat
  std::map<std::string, MemberState> Old, New;
  // The new version's directory members, by their names inside the patch ("___\n\...").
  std::map<std::string, uint64_t> DirectoryTimes;
  // Members of the old version that the update leaves out, named as in the patch.
  std::vector<Deletion> Deleted;
};

// What each delta entry must name, by the name of the file it makes ("game.exe",
// "___\\data\\maps\\m2.txt"): the old content's digest, and for a delta from a file of
// another name that file's name (UTF-8; empty: the file of the same name).
struct DeltaOrigin {
  std::string Digest;
  std::string Base;
};
using DeltaDigests = std::map<std::string, DeltaOrigin>;

// Writes a staged file with the time and attributes its entry must carry.
bool WriteStaged(const fs::path& path, const std::vector<uint8_t>& bytes, uint64_t time, uint32_t attributes,
                 std::string& error);

// A loose file the patch must carry, with what it must hold.
struct LooseExpectation {
  std::string Name;
  fs::path NewPath;
  bool ReadOnly = false;
};

enum class Staged { Failed, Members, Whole };

using Tick = std::function<void(uint64_t done, uint64_t total)>;

// Compares one data archive of both trees and stages the members the patch carries below
// stage/___. Failed (with a message) when the patch cannot express the change, or when
// the rebuild way is keep and the rebuilt archive could not have the new version's
// options; Whole (with the reason in the summary) when the updater could not merge into it.
Staged StageDataArchive(const std::string& name, const fs::path& old_path, const fs::path& new_path,
                        const fs::path& staging, bool with_times, bool allow_long_names, bool keep_deleted,
                        bool deltas, RebuildWay rebuild, DeltaDigests& delta_digests, const Tick& tick,
                        ArchiveSummary& summary, MergedArchive& merged, std::string& error);

// Gives every directory of the staged tree a time from the trees, never from the clock,
// so that the same trees give the same patch bytes: a loose directory takes the new
// tree's time, a data archive's directory member the new archive's; any other (the
// staging directory, a directory made to hold a member) the latest time below it.
// Returns the time given to root.
uint64_t SetStagedDirectoryTimes(const fs::path& root, const std::string& relative,
                                 const std::map<std::string, TreeFile>& new_files,
                                 const std::map<std::string, uint64_t>& member_times);

// What a build stages for the patch, with what the read-back expects of it.
struct StagedPatch {
  std::map<std::string, LooseExpectation> Loose;  // by folded name
  std::vector<MergedArchive> Merged;
  DeltaDigests Digests;
};

struct StageSettings {
  fs::path OldRoot, NewRoot;
  fs::path Stage;  // the tree the patch archive is packed from; data-archive members below Stage/___
  bool WithTimes = false;
  bool AllowLongNames = false;
  bool KeepDeleted = false;
  RebuildWay Rebuild = RebuildWay::kUnpack;
  bool Deltas = true;
  std::function<void(const char* stage, uint64_t done, uint64_t total)> Progress;  // always set
};

// Compares every file of the new tree with the old one and stages what the patch carries:
// loose files whole or as deltas, the members of data archives it merges into, time
// stamps; then gives the staged directories their times.
bool StageTrees(const StageSettings& settings, const std::map<std::string, TreeFile>& old_files,
                const std::map<std::string, TreeFile>& new_files, PayloadRecords& records, StagedPatch& staged,
                PatchSummary& summary, std::string& error);

}  // namespace builder
