#include "tools/patch_verify.h"

#include <set>

#include "app/delta_format.h"
#include "archive/gca_archive.h"
#include "tools/archive_access.h"
#include "tools/host_files.h"
#include "tools/patch_names.h"

namespace builder {

namespace {

bool SameText(const char* what, const std::string& read, const std::string& written, std::string& error) {
  if (read == written) return true;
  error = "the patch does not read back: " + std::string(what) + " reads as \"" + read + "\" instead of \"" +
          written + "\"";
  return false;
}

// The records must read back as written, and the archive record where it was placed.
bool VerifyRecords(HostPayloadFile& file, const PayloadRecords& records, uint64_t archive_tag_position,
                   int32_t& tag, std::string& error) {
  struct Text {
    const char* short_name;
    const std::string* written;
    const char* what;
    bool digest;
  };
  const Text texts[] = {{TitleName, &records.Title, "the title", false},
                        {VersionOldName, &records.OldVersion, "the old version text", false},
                        {VersionNewName, &records.NewVersion, "the new version text", false},
                        {CheckFileOldName, &records.OldCheckFile, "the old check file name", false},
                        {CheckOldHashName, &records.OldCheckHash, "the old check digest", true},
                        {CheckFileNewName, &records.NewCheckFile, "the new check file name", false},
                        {CheckNewHashName, &records.NewCheckHash, "the new check digest", true}};
  for (const Text& text : texts) {
    std::string value;
    const bool read = text.digest ? ReadDigestRecordIn(file, text.short_name, value)
                                  : ReadTextRecordIn(file, text.short_name, value);
    if (!read) {
      error = "the patch does not read back: " + std::string(text.what) + " is not found";
      return false;
    }
    if (!SameText(text.what, value, *text.written, error)) return false;
  }
  std::vector<TimeStamp> stamps;
  bool complete = false;
  if (!ReadTimeStampsIn(file, stamps, complete) || !complete || stamps.size() != records.Times.size()) {
    error = "the patch does not read back: the time-stamp list holds " + std::to_string(stamps.size()) +
            (complete ? "" : " readable") + " entries instead of " + std::to_string(records.Times.size());
    return false;
  }
  for (size_t i = 0; i < stamps.size(); ++i) {
    if (stamps[i].Name != records.Times[i].Name || stamps[i].WriteTime != records.Times[i].WriteTime) {
      error = "the patch does not read back: time-stamp entry " + std::to_string(i + 1) + " reads as \"" +
              stamps[i].Name + "\" instead of \"" + records.Times[i].Name + "\"";
      return false;
    }
  }
  {
    std::vector<Deletion> deletions;
    bool whole = false;
    const bool listed = ReadDeletionsIn(file, deletions, whole);
    bool same = listed == !records.Deletions.empty() && (!listed || whole) &&
                deletions.size() == records.Deletions.size();
    for (size_t i = 0; same && i < deletions.size(); ++i) {
      same = deletions[i].Name == records.Deletions[i].Name && deletions[i].Directory == records.Deletions[i].Directory;
    }
    if (!same) {
      error = "the patch does not read back: the deletion list holds " + std::to_string(deletions.size()) +
              " entries instead of " + std::to_string(records.Deletions.size());
      return false;
    }
  }
  RebuildWay way = RebuildWay::kUnpack;
  const bool way_read = ReadRebuildWayIn(file, way);
  if (!way_read || way != records.Rebuild) {
    error = std::string("the patch does not read back: the rebuild way reads as ") +
            (way_read ? RebuildWayName(way) : "damaged") + " instead of " + RebuildWayName(records.Rebuild);
    return false;
  }
  tag = FindRecordIn(file, ArchiveTag());
  if (tag < 0 || static_cast<uint64_t>(tag) != archive_tag_position) {
    error = "the patch does not read back: the archive record is found at " + std::to_string(tag) +
            " instead of " + std::to_string(archive_tag_position);
    return false;
  }
  return true;
}

// The patch's archive read as the updater reads it, applied in memory: members of data
// archives laid over the old members, loose files checked against the new tree.
class ReadBack {
 public:
  ReadBack(const std::map<std::string, LooseExpectation>& loose, const std::vector<MergedArchive>& merged,
           const DeltaDigests& delta_digests)
      : loose_(loose), delta_digests_(delta_digests) {
    for (const MergedArchive& archive : merged) {
      MergedArchive& a = applied_[FoldNameCase(archive.Base)];
      a.Base = archive.Base;
      a.Old = archive.Old;
    }
  }

  bool Open(const fs::path& patch, int32_t tag, std::string& error) {
    handle_.Create();
    if (!handle_.PrepareBuffers()) {
      error = "cannot allocate the archive buffers";
      return false;
    }
    handle_.SetArchivePath(ArchivePath(patch));
    handle_.SetStartOffset(tag + static_cast<int32_t>(kTagSize));
    InstallUpdaterNotices(handle_.Archive(), &log_);
    if (!handle_.Open() || log_.Failed) {
      error = "the patch does not read back: its archive does not open at the record's offset";
      return false;
    }
    return true;
  }

  bool ReadEntries(const CheckProgress& progress, std::string& error) {
    const int32_t count = handle_.EntryCount();
    uint64_t total = 0, done = 0;
    for (int32_t i = 0; i < count; ++i) total += handle_.Archive()->EntryInfo(i).UnpackedSize;
    for (int32_t i = 0; i < count; ++i) {
      const gca::EntryRecord record = handle_.Archive()->EntryInfo(i);
      std::string name;
      MemberState state;
      bool skip = false;
      if (!ReadEntry(i, record, name, state, skip, error)) return false;
      if (skip) continue;
      done += record.UnpackedSize;
      if (progress) progress("checking", done, total);
      if (!ApplyEntry(name, state, error)) return false;
    }
    handle_.Close();
    handle_.ReleaseBuffers();
    return true;
  }

  // What the update leaves: every loose file carried, every merged archive with the new
  // version's members.
  bool CheckResult(const PayloadRecords& records, const std::vector<MergedArchive>& merged, std::string& error) {
    // The members the deletion list names are left out of the rebuilt archives.
    for (const Deletion& deletion : records.Deletions) {
      if (deletion.Name.compare(0, 4, "___\\") != 0) continue;
      const std::string rest = deletion.Name.substr(4);
      auto it = applied_.find(FoldNameCase(rest.substr(0, rest.find('\\'))));
      if (it != applied_.end()) it->second.Old.erase(FoldNameCase(rest));
    }
    for (const auto& [folded, want] : loose_) {
      if (carried_.count(folded) == 0) {
        error = "the patch does not read back: \"" + want.Name + "\" is missing from it";
        return false;
      }
    }
    for (const MergedArchive& archive : merged) {
      if (!CheckMerged(archive, error)) return false;
    }
    return true;
  }

 private:
  // One entry's name and content; skip for the directories that hold the delta entries.
  bool ReadEntry(int32_t i, const gca::EntryRecord& record, std::string& name, MemberState& state, bool& skip,
                 std::string& error) {
    name = Utf8OfArchiveName(handle_.EntryName(i));
    if (name.empty() || !IsSafeRelativeName(name)) {
      error = "the patch does not read back: entry " + std::to_string(i) + " has an unsafe name";
      return false;
    }
    state.Name = name;
    state.Directory = (record.Attributes & 0x10) != 0;
    state.Attributes = record.Attributes;
    if (state.Directory) {
      skip = IsDeltaName(name);  // the directories that hold the delta entries
      return true;
    }
    HeadDigestStream stream;
    if (!handle_.Archive()->DecodeEntry(stream, i, std::string()) || log_.Failed) {
      error = "the patch does not read back: \"" + name + "\" does not decode with a matching CRC";
      return false;
    }
    state.Digest = stream.Finish();
    if (IsDeltaName(name)) {
      // A delta stands for the file it makes: its header must name the old content the
      // build diffed against and the new content (the stream itself was checked by
      // applying it when it was made).
      DeltaHeader header;
      name = name.substr(kDeltaPrefixSize);
      const auto old = delta_digests_.find(name);
      if (!ParseDeltaHeader(stream.head.data(), stream.head.size(), header) || old == delta_digests_.end() ||
          header.OldDigest != old->second.Digest) {
        error = "the patch does not read back: the delta of \"" + name + "\" does not name its old content";
        return false;
      }
      // A delta from a file of another name names that old file, a safe name below the
      // installation that the updater reads as it stands.
      const std::string base = header.Base.empty() ? std::string() : Utf8OfArchiveName(header.Base);
      if (base != old->second.Base || (!base.empty() && (!IsSafeRelativeName(base) || base.compare(0, 3, "___") == 0 ||
                                                         name.compare(0, 4, "___\\") == 0))) {
        error = "the patch does not read back: the delta of \"" + name + "\" does not name \"" +
                old->second.Base + "\" as the file it is made from";
        return false;
      }
      state.Name = name;
      state.Digest = header.NewDigest;
    }
    return true;
  }

  bool ApplyEntry(const std::string& name, MemberState& state, std::string& error) {
    if (name.compare(0, 4, "___\\") == 0) {
      const std::string rest = name.substr(4);
      const size_t slash = rest.find('\\');
      if (slash == std::string::npos) return true;  // the staging directory itself
      auto it = applied_.find(FoldNameCase(rest.substr(0, slash)));
      if (it == applied_.end()) {
        error = "the patch does not read back: \"" + name + "\" belongs to no data archive the patch merges";
        return false;
      }
      state.Name = rest;
      // Extracted over the unpacked content: replaces a member of the same name.
      it->second.Old[FoldNameCase(rest)] = state;
      return true;
    }
    if (state.Directory) return true;
    const std::string folded = FoldNameCase(name);
    auto want = loose_.find(folded);
    if (want == loose_.end()) {
      error = "the patch does not read back: it carries \"" + name + "\", which the new version does not need";
      return false;
    }
    carried_.insert(folded);
    if (state.Digest != FileDigest(want->second.NewPath) || ((state.Attributes & 1) != 0) != want->second.ReadOnly) {
      error = "the patch does not read back: \"" + name + "\" differs from the new version's";
      return false;
    }
    return true;
  }

  bool CheckMerged(const MergedArchive& archive, std::string& error) {
    const MergedArchive& result = applied_[FoldNameCase(archive.Base)];
    const std::string shown = "\"" + archive.Base + ".dat\"";
    if (result.Old.size() != archive.New.size()) {
      error = "the patch does not read back: " + shown + " would have " + std::to_string(result.Old.size()) +
              " members instead of " + std::to_string(archive.New.size());
      return false;
    }
    for (const auto& [folded, want] : archive.New) {
      auto got = result.Old.find(folded);
      if (got == result.Old.end() || got->second.Directory != want.Directory ||
          (!want.Directory && (got->second.Digest != want.Digest || got->second.Attributes != want.Attributes))) {
        error = "the patch does not read back: member \"" + want.Name + "\" of " + shown +
                " would not be the new version's";
        return false;
      }
    }
    return true;
  }

  const std::map<std::string, LooseExpectation>& loose_;
  const DeltaDigests& delta_digests_;
  gca::ArchiveHandle handle_;
  NoticeLog log_;
  std::map<std::string, MergedArchive> applied_;  // by folded base name: old members with the patch's laid over
  std::set<std::string> carried_;
};

}  // namespace

bool VerifyPatch(const fs::path& patch, const PayloadRecords& records, uint64_t archive_tag_position,
                 const std::map<std::string, LooseExpectation>& loose, const std::vector<MergedArchive>& merged,
                 const DeltaDigests& delta_digests, const CheckProgress& progress, std::string& error) {
  HostPayloadFile file(patch);
  int32_t tag = -1;
  if (!VerifyRecords(file, records, archive_tag_position, tag, error)) return false;
  ReadBack read_back(loose, merged, delta_digests);
  return read_back.Open(patch, tag, error) && read_back.ReadEntries(progress, error) &&
         read_back.CheckResult(records, merged, error);
}

}  // namespace builder
