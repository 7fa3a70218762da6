#include "app/update_worker.h"

#include <windows.h>
// Shell types used by the file-system declarations.
#include "platform/wide_api.h"

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "app/app_globals.h"
#include "app/delta_apply.h"
#include "app/file_retry.h"
#include "app/instance_lock.h"
#include "app/payload.h"
#include "app/update_journal.h"
#include "app/update_log.h"
#include "app/update_messages.h"
#include "app/update_space.h"
#include "archive/gca_archive.h"
#include "archive/gca_file.h"
#include "archive/notice_policy.h"
#include "archive/os.h"
#include "codec/block_pool.h"
#include "platform/file_stream.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/utf8_wrappers.h"
#include "platform/wide_api.h"

namespace {

// Most workers that decode the patch's frames (the address space of a 32-bit process).
constexpr unsigned kPatchWorkers = 4;

void Repaint() {
  if (UpdateUi* ui = GetUpdateUi()) ui->Repaint();
}

void SetItem(int64_t done, int64_t total) {
  ItemDone = done;
  ItemTotal = total;
  Repaint();
}

bool IsStagingMember(const std::string& name) { return name.compare(0, 3, StagingDirName) == 0 && name.size() >= 3; }

// The installation directory as the archive code is given it: its form in the system
// code page, or its short form where that is needed (set by each run).
std::string g_ansi_install;

// A path for the archive code, which works in the system code page: below the
// installation from the run's form of it, else the path's own form there (its short
// form where a name has no characters there); false when it has none.
bool ToAnsi(const std::string& path, std::string& out) {
  const size_t n = InstallPath.size();
  if (!g_ansi_install.empty() && n > 0 && path.compare(0, n, InstallPath) == 0 &&
      (path.size() == n || InstallPath.back() == '\\' || path[n] == '\\')) {
    const std::string rest = path.substr(path.size() > n && path[n] == '\\' ? n + 1 : n);
    const std::string ansi_rest = Utf8ToAnsi(rest);
    if (AnsiToUtf8(ansi_rest) != rest) return false;
    // The separator is decided on the UTF-8 text: a double-byte code page's trail byte
    // may equal a backslash at the end of the ANSI form.
    out = g_ansi_install + (rest.empty() || InstallPath.back() == '\\' ? "" : "\\") + ansi_rest;
    return true;
  }
  out = AnsiPathOf(path);
  return !out.empty() || path.empty();
}

// The classic path limits of the ANSI entry points, in characters without the
// terminating zero: a file's path, and a directory's, which must leave room for a file
// name of eight and three characters.
constexpr size_t kFilePathLimit = MAX_PATH - 1;
constexpr size_t kDirectoryPathLimit = MAX_PATH - 13;

// How far the longest of the paths below the installation goes beyond its limit; each
// is given as its part below the installation, in the system code page.
struct PathRoom {
  size_t Excess = 0;
  size_t Base = 0;  // the installation directory with its separator
  void File(size_t below) { Take(below, kFilePathLimit); }
  void Directory(size_t below) { Take(below, kDirectoryPathLimit); }
  // A file and every directory above it, up to the installation.
  void FileAndDirectories(const std::string& below) {
    File(below.size());
    for (size_t at = below.find('\\'); at != std::string::npos; at = below.find('\\', at + 1)) Directory(at);
  }
  void Take(size_t below, size_t limit) {
    if (Base + below > limit && Base + below - limit > Excess) Excess = Base + below - limit;
  }
};

// Names compared the way the players' file system compares them, as the patch builder
// compares them.
std::string FoldName(const std::string& name) { return FoldNameCase(name); }

// Attribute bits the system may set by itself: the archive bit on every written file,
// the hidden bit on names that begin with a dot (Wine). A check compares only what the
// update sets: the read-only and system bits exactly, the hidden bit where the patch
// asks for it.

bool AttributesAsSet(uint32_t got, uint32_t want) {
  const uint32_t compared = gca::kAttrKept & ~(gca::kAttrArchive | gca::kAttrHidden);
  if ((got & compared) != (want & compared)) return false;
  return (want & gca::kAttrHidden) == 0 || (got & gca::kAttrHidden) != 0;
}

// Records the notices that turn a step into a failure, answering them as the updater
// does (every question no; a patch that keeps the data archives' forms reads them
// whatever their form).
struct NoticeRecorder : gca::NoticeOutcome {
  void Install(gca::GcaArchive* archive, gca::NoticePolicy policy = gca::NoticePolicy::kUpdater) {
    gca::InstallNoticePolicy(archive, policy, this);
  }
};

// The workers of the frames an update codes or decodes: one per processor, at most
// kPatchWorkers.
unsigned UpdateWorkers() {
  const unsigned processors = gca::ProcessorCount();
  return processors < kPatchWorkers ? processors : kPatchWorkers;
}

// The patch's frames are decoded on every core, at most kPatchWorkers, while it lives:
// each worker takes about 21 MiB of address space (its codec's buffers and two slots)
// and a thread stack, so four add about 93 MiB to the 17 MiB of the patch archive's own
// codec. They are freed again when it goes.
class PatchDecodePool {
 public:
  explicit PatchDecodePool(gca::GcaArchive* archive) : archive_(archive) { archive_->SetThreads(UpdateWorkers()); }
  ~PatchDecodePool() { archive_->SetThreads(1); }
  PatchDecodePool(const PatchDecodePool&) = delete;
  PatchDecodePool& operator=(const PatchDecodePool&) = delete;

 private:
  gca::GcaArchive* archive_;
};

// An installed data archive read from while its rebuilt copy is staged (stream and
// keep): its notices are recorded beside it, so both live on the heap together.
struct OldArchive {
  gca::GcaArchive Archive;
  NoticeRecorder Notices;
};

struct DataArchive {
  std::string Name;            // base name n
  std::string Path;            // n.dat in the installation
  std::string Backup;          // n.bak in the installation
  std::string Rebuilt;         // n.gca in the work directory
  std::string Content;         // the unpacked content directory
  std::vector<std::string> Entries;  // members as unpacked (UTF-8)
  std::vector<std::string> PatchMembers;  // the patch's members, names inside the data archive
  // What each member must be in the rebuilt archive, by folded name: as unpacked, or as
  // the patch has it.
  std::map<std::string, gca::EntryRecord> Expected;
  // Members the new version has no more (folded names inside the data archive): left
  // out of the rebuilt archive.
  std::set<std::string> DeletedMembers;
  // Stream and keep: the installed archive, open from staging until its rebuilt copy is
  // written, and its members that go into that copy from it (neither replaced, made by
  // a delta, nor deleted), by index.
  std::unique_ptr<OldArchive> Old;
  std::vector<int32_t> Kept;
};

struct PatchEntry {
  std::string Name;  // UTF-8; for a delta, the name of the file it makes
  uint32_t Attributes = 0;
  // For a delta, the file it makes: the new size and CRC from the delta's header, the
  // time and attributes of the entry.
  gca::EntryRecord Record;
  bool Delta = false;
  // For a delta from a file of another name (a renamed file): that installed file, UTF-8.
  std::string Base;
  // A directory that only holds delta entries ("___delta" and below): nothing to do.
  bool Holder = false;
};

class UpdateRun {
 public:
  bool Run();

 private:
  bool OpenPatch();
  bool CollectEntries();
  bool ReadEntries(std::set<std::string>& names);
  bool ReadDeletionList(std::set<std::string>& names,
                        std::vector<std::pair<std::string, std::string>>& deleted_members);
  bool Begin(InstallLock& lock);
  bool CheckAndPlan();
  bool StageAndCommit();
  void Finish();
  bool CheckPatch();
  bool CheckSpace();
  bool RecoverBackups();
  bool Unpack(DataArchive& archive);
  bool StageFromArchive(DataArchive& archive);
  bool RebuildFromList(DataArchive& archive);
  bool ScanAttributes(uint32_t stored, bool dot_name, uint32_t& found);
  bool ExtractPatch();
  bool ApplyDelta(const PatchEntry& entry, int32_t index);
  bool Rebuild(DataArchive& archive);
  bool VerifyRebuilt(const DataArchive& archive, const std::vector<gca::BuiltEntry>* built = nullptr);
  bool Plan();
  bool CheckPathLengths();
  bool MeasurePaths(PathRoom& room, const std::string& ansi_install);
  bool ReadTimeList(std::vector<JournalTime>& times);
  bool VerifyStagedLooseFiles();
  bool FlushStaged();
  bool SwapAll();
  bool PlaceLooseFiles();
  bool PlaceLooseFile(const JournalLooseFile& file);
  void CleanStaging();
  // How the installed archives (and the rebuilt ones) are read: a patch that keeps
  // their forms reads them whatever their form.
  gca::NoticePolicy OldArchivePolicy() const {
    return rebuild_ == RebuildWay::kKeep ? gca::NoticePolicy::kKeep : gca::NoticePolicy::kUpdater;
  }
  // Stream and keep: a data-archive member of the patch (not a directory, not made by a
  // delta) goes from the patch into the rebuilt archive without being extracted.
  bool TakenFromPatch(const PatchEntry& entry) const {
    if (rebuild_ == RebuildWay::kUnpack || entry.Delta || entry.Holder || (entry.Attributes & gca::kAttrDirectory)) {
      return false;
    }
    return IsStagingMember(entry.Name) && entry.Name.size() > 4 && entry.Name.find('\\', 4) != std::string::npos;
  }
  void NextStep() {
    StepDone = step_;
    StepTotal = 3 * static_cast<int64_t>(archives_.size()) + 2;
    ++step_;
  }

  std::string program_path_;
  gca::ArchiveHandle patch_;
  NoticeRecorder patch_notices_;
  std::vector<PatchEntry> entries_;
  std::vector<DataArchive> archives_;
  UpdateJournal journal_;
  bool work_directory_was_there_ = false;
  int64_t step_ = 0;
  uint64_t time_resolution_ = 1;
  std::map<std::string, uint32_t> loose_attributes_;  // by folded name, as the patch has them
  std::vector<Deletion> deletions_;  // loose files, data archives and directories to delete
  // How the data archives are rebuilt, from the patch.
  RebuildWay rebuild_ = RebuildWay::kUnpack;
  // The attribute word a search reports for a file extracted with a stored attribute
  // word (and a name with or without a leading dot), as this file system keeps it.
  std::map<std::pair<uint32_t, bool>, uint32_t> scan_attributes_;
};

bool UpdateRun::OpenPatch() {
  patch_.Create();
  if (!patch_.PrepareBuffers()) return false;
  program_path_ = ProgramFilePath();
  std::string ansi_path;
  if (program_path_.empty() || !ToAnsi(program_path_, ansi_path)) return false;
  patch_.SetArchivePath(ansi_path);
  const int32_t position = FindRecord(program_path_, ArchiveTag());
  if (position < 0) return false;
  patch_.SetStartOffset(position + static_cast<int32_t>(kTagSize));
  patch_notices_.Install(patch_.Archive());
  return patch_.Open();
}

// The patch's entries, with the data archives their members name; false for a name the
// update must not take from a patch.
bool UpdateRun::ReadEntries(std::set<std::string>& names) {
  const int32_t count = patch_.EntryCount();
  std::set<std::string> targets;  // folded names of the files the entries make
  for (int32_t i = 0; i < count; ++i) {
    PatchEntry entry;
    entry.Name = AnsiToUtf8(patch_.EntryName(i));
    entry.Attributes = patch_.EntryAttributes(i);
    entry.Record = patch_.Archive()->EntryInfo(i);
    // A delta entry makes the file named behind its prefix: from here on it goes by
    // that name. It is a file, never a delta of a delta, and names a file only once.
    if ((entry.Attributes & gca::kAttrDirectory) && (IsDeltaName(entry.Name) || entry.Name + "\\" == kDeltaPrefix)) {
      entry.Holder = true;
      entries_.push_back(entry);
      continue;
    }
    if (IsDeltaName(entry.Name)) {
      entry.Delta = true;
      entry.Name = entry.Name.substr(kDeltaPrefixSize);
      if ((entry.Attributes & gca::kAttrDirectory) || IsDeltaName(entry.Name)) return false;
      if (IsStagingMember(entry.Name) && entry.Name.find('\\', 4) == std::string::npos) return false;
    }
    if (!targets.insert(FoldName(entry.Name)).second && !(entry.Attributes & gca::kAttrDirectory)) return false;
    // Every entry is joined to the work directory and the installation: it must stay
    // below them.
    if (!IsSafeRelativeName(entry.Name)) return false;
    // Names beginning with three underscores belong to the staging directory and the
    // run's own work files: only the staging directory itself and its members may come
    // from the patch.
    if (IsStagingMember(entry.Name) && entry.Name.size() > 3 && entry.Name[3] != '\\') return false;
    if (entry.Name.size() >= 5 && IsStagingMember(entry.Name)) {
      const std::string rest = entry.Name.substr(4);
      const size_t slash = rest.find('\\');
      if (slash != std::string::npos) names.insert(rest.substr(0, slash));
    }
    entries_.push_back(entry);
  }
  return true;
}

// The deletion list: a list cut short is a damaged patch, not a shorter list.
bool UpdateRun::ReadDeletionList(std::set<std::string>& names,
                                 std::vector<std::pair<std::string, std::string>>& deleted_members) {
  std::vector<Deletion> deletions;
  if (!ReadDeletions(program_path_, deletions)) return false;
  for (const Deletion& deletion : deletions) {
    if (!IsSafeRelativeName(deletion.Name)) return false;
    if (IsStagingMember(deletion.Name)) {
      if (deletion.Name.size() < 5 || deletion.Name[3] != '\\') return false;
      const std::string rest = deletion.Name.substr(4);
      const size_t slash = rest.find('\\');
      if (slash == std::string::npos) return false;
      names.insert(rest.substr(0, slash));
      deleted_members.emplace_back(rest.substr(0, slash), rest);
      continue;
    }
    // The work directory and the update's own names are never the game's to delete.
    const std::string first = FoldName(deletion.Name.substr(0, deletion.Name.find('\\')));
    if (first == FoldName(TempDirName) || first.compare(0, 3, StagingDirName) == 0) continue;
    deletions_.push_back(deletion);
  }
  return true;
}

bool UpdateRun::CollectEntries() {
  std::set<std::string> names;
  std::vector<std::pair<std::string, std::string>> deleted_members;  // data archive, name inside it
  if (!ReadEntries(names) || !ReadDeletionList(names, deleted_members)) return false;
  for (const std::string& name : names) {
    DataArchive archive;
    archive.Name = name;
    archive.Path = DataArchivePath(name);
    archive.Backup = BackupPath(name);
    archive.Rebuilt = RebuiltPath(name);
    archive.Content = JoinPath(StagingDirectory, name);
    archives_.push_back(std::move(archive));
  }
  for (const PatchEntry& entry : entries_) {
    if (entry.Holder) continue;
    if (entry.Name.size() < 5 || !IsStagingMember(entry.Name)) continue;
    const std::string rest = entry.Name.substr(4);
    const size_t slash = rest.find('\\');
    if (slash == std::string::npos) continue;
    for (DataArchive& archive : archives_) {
      if (archive.Name != rest.substr(0, slash)) continue;
      archive.PatchMembers.push_back(rest);
      archive.Expected[FoldName(rest)] = entry.Record;
    }
  }
  for (const auto& [base, inside] : deleted_members) {
    for (DataArchive& archive : archives_) {
      // A member the patch carries is never also deleted.
      if (archive.Name == base && archive.Expected.count(FoldName(inside)) == 0) {
        archive.DeletedMembers.insert(FoldName(inside));
      }
    }
  }
  return true;
}

// A backup left by an interrupted run: put back when the data archive is missing,
// removed when the data archive is in place.
bool UpdateRun::RecoverBackups() {
  for (const DataArchive& archive : archives_) {
    if (!PathExists(archive.Backup)) continue;
    if (!PathExists(archive.Path)) {
      if (!MoveRetrying(archive.Path, archive.Backup)) return false;
    } else if (!RemoveRetrying(archive.Backup)) {
      return false;
    }
  }
  return true;
}

bool UpdateRun::Unpack(DataArchive& archive) {
  NextStep();
  // Content left by an earlier run would be packed into the new archive.
  RemoveTree(archive.Content);
  gca::ArchiveHandle handle;
  handle.Create();
  if (!handle.PrepareBuffers()) return false;
  std::string ansi_path, ansi_staging;
  if (!ToAnsi(archive.Path, ansi_path) || !ToAnsi(StagingDirectory, ansi_staging)) return false;
  handle.SetArchivePath(ansi_path);
  NoticeRecorder notices;
  notices.Install(handle.Archive());
  if (!handle.Open()) {
    NoteFailureKind(FailureKind::kDamagedInstall, archive.Path);
    return false;
  }
  const int32_t count = handle.EntryCount();
  handle.SetOutputDirectory(ansi_staging);
  // A file the patch replaces is not unpacked: the patch's copy takes its place.
  std::set<std::string> replaced;
  for (const PatchEntry& entry : entries_) {
    // A delta's old member is unpacked: the delta is applied to it.
    if (IsStagingMember(entry.Name) && entry.Name.size() > 4 && !(entry.Attributes & gca::kAttrDirectory) && !entry.Delta) {
      replaced.insert(FoldName(entry.Name.substr(4)));
    }
  }
  for (int32_t k = 0; k < count; ++k) {
    SetItem(k, count);
    const std::string name = AnsiToUtf8(handle.EntryName(k));
    if (!IsSafeRelativeName(name)) return false;
    const gca::EntryRecord record = handle.Archive()->EntryInfo(k);
    const std::string folded = FoldName(name);
    if (archive.DeletedMembers.count(folded) != 0) continue;  // left out of the rebuilt archive
    archive.Entries.push_back(name);
    archive.Expected.emplace(folded, record);
    if (!(record.Attributes & gca::kAttrDirectory) && replaced.count(folded) != 0) continue;
    if (!handle.ExtractEntry(k) || notices.Failed) {
      if (notices.Damaged) NoteFailureKind(FailureKind::kDamagedInstall, archive.Path);
      NoteOperationFailure("write", JoinPath(archive.Content, name), GetLastError());
      return false;
    }
  }
  SetItem(count, count);
  return true;
}

// Stream and keep: the installed archive stays open and its members are not unpacked.
// The staging tree gets what unpacking would have made of it but the files that go over
// unchanged: its directory entries (made with their attributes, as extraction makes
// them), the directories above those members (made as extraction makes them, in the
// same order, so each has the same spelling), and the old copies that deltas read.
bool UpdateRun::StageFromArchive(DataArchive& archive) {
  NextStep();
  // Content left by an earlier run would be packed into the new archive.
  RemoveTree(archive.Content);
  auto old = std::make_unique<OldArchive>();
  gca::GcaArchive& reader = old->Archive;
  if (!reader.PrepareBuffers()) return false;
  std::string ansi_path, ansi_staging;
  if (!ToAnsi(archive.Path, ansi_path) || !ToAnsi(StagingDirectory, ansi_staging)) return false;
  reader.SetArchivePath(ansi_path);
  old->Notices.Install(&reader, OldArchivePolicy());
  if (!reader.ReadDirectory()) {
    NoteFailureKind(FailureKind::kDamagedInstall, archive.Path);
    return false;
  }
  reader.SetOutputDirectory(ansi_staging);
  std::set<std::string> replaced, made_by_delta;
  for (const PatchEntry& entry : entries_) {
    if (!IsStagingMember(entry.Name) || entry.Name.size() <= 4 || (entry.Attributes & gca::kAttrDirectory)) continue;
    (entry.Delta ? made_by_delta : replaced).insert(FoldName(entry.Name.substr(4)));
  }
  const std::string top = FoldName(archive.Name) + "\\";
  std::set<std::string> made;  // directories made above members, by folded name
  const int32_t count = reader.EntryCount();
  for (int32_t k = 0; k < count; ++k) {
    SetItem(k, count);
    const std::string name = AnsiToUtf8(reader.EntryName(k));
    if (!IsSafeRelativeName(name)) return false;
    const gca::EntryRecord record = reader.EntryInfo(k);
    const std::string folded = FoldName(name);
    if (archive.DeletedMembers.count(folded) != 0) continue;  // left out of the rebuilt archive
    archive.Expected.emplace(folded, record);
    const bool directory = (record.Attributes & gca::kAttrDirectory) != 0;
    if (!directory && replaced.count(folded) != 0) continue;
    if (directory || made_by_delta.count(folded) != 0) {
      if (!directory) archive.Entries.push_back(name);
      if (!reader.ExtractEntry(k) || old->Notices.Failed) {
        if (old->Notices.Damaged) NoteFailureKind(FailureKind::kDamagedInstall, archive.Path);
        NoteOperationFailure("write", JoinPath(archive.Content, name), GetLastError());
        return false;
      }
      continue;
    }
    // Only members inside the archive's own directory go into the rebuilt archive.
    if (folded.compare(0, top.size(), top) != 0) continue;
    const size_t slash = name.rfind('\\');
    if (made.insert(FoldName(name.substr(0, slash))).second &&
        !CreateDirectoryTree(JoinPath(StagingDirectory, name.substr(0, slash)))) {
      NoteOperationFailure("write", JoinPath(StagingDirectory, name.substr(0, slash)), GetLastError());
      return false;
    }
    archive.Kept.push_back(k);
  }
  SetItem(count, count);
  archive.Old = std::move(old);
  return true;
}

bool UpdateRun::ExtractPatch() {
  NextStep();
  std::string ansi_temp;
  if (!ToAnsi(TempDirectory, ansi_temp)) return false;
  patch_.SetOutputDirectory(ansi_temp);
  PatchDecodePool pool(patch_.Archive());
  const int64_t count = static_cast<int64_t>(entries_.size());
  for (int32_t i = 0; i < static_cast<int32_t>(count); ++i) {
    const PatchEntry& entry = entries_[i];
    const std::string target = JoinPath(TempDirectory, entry.Name);
    if (entry.Holder) continue;
    if (entry.Delta) {
      SetItem(i, count);
      if (!ApplyDelta(entry, i)) return false;
      continue;
    }
    if (TakenFromPatch(entry)) {
      // Written into the rebuilt archive straight from the patch; its directories are
      // made here as extracting it would make them, so the staging tree names them.
      if (!CreateDirectoryTree(ParentDirectory(target))) {
        NoteOperationFailure("write", target, GetLastError());
        return false;
      }
      continue;
    }
    if (PathExists(target)) {
      if (entry.Attributes & gca::kAttrDirectory) continue;
      // The patch's copy replaces the one unpacked from the data archive.
      if (!RemoveFile(target) && PathExists(target)) return false;
    }
    SetItem(i, count);
    if (!patch_.ExtractEntry(i) || patch_notices_.Failed) {
      if (patch_notices_.Damaged) NoteFailureKind(FailureKind::kDamagedPatch);
      NoteOperationFailure("write", target, GetLastError());
      return false;
    }
  }
  SetItem(count, count);
  return true;
}

// Makes the file a delta entry names, in the staging tree: a member from its old copy
// unpacked there (through a work file that then takes its place), a loose file from the
// installed one. An old file that is not what the delta expects ends the run, named;
// nothing of the game has changed yet.
bool UpdateRun::ApplyDelta(const PatchEntry& entry, int32_t index) {
  const bool member = IsStagingMember(entry.Name);
  const std::string staged = JoinPath(TempDirectory, entry.Name);
  // A loose base is the installed file as it stands: staging changes nothing of the
  // installation, so a base that the patch replaces or deletes is still the old file.
  const std::string old_path = member ? staged : JoinPath(InstallPath, entry.Base.empty() ? entry.Name : entry.Base);
  const std::string out = member ? DeltaWorkPath() : staged;
  // Nor is a base ever a file of the run's own work directory.
  const std::string work = FoldName(TempDirectory.substr(TempDirectory.rfind('\\') + 1));
  if (!entry.Base.empty() && FoldName(entry.Base.substr(0, entry.Base.find('\\'))) == work) {
    NoteFailureKind(FailureKind::kDamagedPatch);
    return false;
  }
  if (!member && !CreateDirectoryTree(ParentDirectory(out))) {
    NoteOperationFailure("write", out, GetLastError());
    return false;
  }
  RemoveFile(out);  // a work file left by a run that was cut off
  const DeltaOutcome outcome = ApplyDeltaEntry(patch_.Archive(), index, old_path, out);
  if (outcome == DeltaOutcome::kOldDiffers) {
    std::string shown = old_path;
    if (member) {
      const std::string inside = entry.Name.substr(4);
      shown = DataArchivePath(inside.substr(0, inside.find('\\'))) + " (" + inside.substr(inside.find('\\') + 1) + ")";
    }
    NoteFailureKind(FailureKind::kChangedFile, shown);
    return false;
  }
  if (outcome == DeltaOutcome::kDamaged) {
    NoteFailureKind(FailureKind::kDamagedPatch);
    return false;
  }
  if (outcome != DeltaOutcome::kApplied) {
    NoteOperationFailure("write", out, GetLastError());
    return false;
  }
  const uint32_t attributes = entry.Record.Attributes & gca::kAttrKept & ~gca::kAttrDirectory;
  bool ok = SetPathTimes(out, nullptr, &entry.Record.WriteTime) &&
            SetPathAttributes(out, attributes != 0 ? attributes : gca::kAttrNormal);
  if (ok && member) {
    // The old member makes room for the new one.
    const uint32_t old_attributes = GetPathAttributes(staged);
    if (old_attributes != gca::kNoAttributes && (old_attributes & gca::kAttrReadOnly)) SetPathAttributes(staged, gca::kAttrNormal);
    ok = RemoveFile(staged) && MovePath(staged, out);
  }
  if (!ok) NoteOperationFailure("write", staged, GetLastError());
  return ok;
}

bool UpdateRun::Rebuild(DataArchive& archive) {
  NextStep();
  std::string ansi_rebuilt, ansi_content;
  if (!ToAnsi(archive.Rebuilt, ansi_rebuilt) || !ToAnsi(archive.Content, ansi_content)) return false;
  // The archive object is large (its codec tables are inline): keep it off the stack.
  auto builder = std::make_unique<gca::GcaArchive>();
  if (!builder->PrepareBuffers()) return false;
  builder->SetProgressCallback([](uint64_t done, uint64_t total, gca::GcaArchive* from) -> int32_t {
    return ProgressCallback(static_cast<int64_t>(done), static_cast<int64_t>(total), from);
  });
  builder->CompressData = false;
  builder->ScrambleData = false;
  builder->CompressDirectory = false;
  builder->ScrambleDirectory = false;
  builder->Solid = false;
  // Flushed before the swap: the disk starts on it while it is written.
  builder->FlushWhileWriting = true;
  builder->SetArchivePath(ansi_rebuilt);
  builder->SetSourceList({ansi_content});
  NoticeRecorder notices;
  notices.Install(builder.get());
  const bool built = builder->Build() && !notices.Failed;
  builder.reset();  // its buffers go before the check reads the archive
  return built && VerifyRebuilt(archive);
}

// The attribute word a search reports for a file that extraction made with a stored
// attribute word: a small file made and set as extraction does it, then found. The file
// system decides (a system may add the archive bit, keep the hidden bit of a dot name or
// drop a bit it does not keep); each distinct word is asked once per run.
bool UpdateRun::ScanAttributes(uint32_t stored, bool dot_name, uint32_t& found) {
  const auto key = std::make_pair(stored, dot_name);
  const auto known = scan_attributes_.find(key);
  if (known != scan_attributes_.end()) {
    found = known->second;
    return true;
  }
  std::string probe;
  if (!ToAnsi(AttributeProbePath(dot_name), probe)) return false;
  gca::os::SetAttributes(probe, gca::kAttrNormal);
  gca::os::RemoveFile(probe);  // left by a run that was cut off
  const gca::os::Handle h = gca::os::CreateNewFile(probe);
  if (h == gca::os::kInvalidHandle) return false;
  gca::os::CloseFile(h);
  if (stored != gca::os::kNewFileAttributes) gca::os::SetAttributes(probe, stored);
  gca::os::FindData data;
  const gca::os::Handle search = gca::os::FindFirst(probe, &data);
  if (search != gca::os::kInvalidHandle) gca::os::FindClose(search);
  gca::os::SetAttributes(probe, gca::kAttrNormal);
  const bool removed = gca::os::RemoveFile(probe);
  if (search == gca::os::kInvalidHandle || !removed) return false;
  found = data.attributes;
  scan_attributes_[key] = found;
  return true;
}

// Stream and keep: the rebuilt archive is written from a list that names what a scan of
// the unpacked tree would have found. The staging tree is scanned (the directories and
// the patch's files, with what a search reports of them); each member that goes over
// unchanged is named below its directory as the staging tree spells it, with the
// attribute word a search would report for it once extracted (a file the search leaves
// out, one with the temporary bit, is left out too) and its recorded time. So the bytes
// are those the unpacked tree gives but for the directories' times, which are the run's
// either way. Keep: the archive keeps the installed one's form, and the stored bytes of
// the members that go over unchanged are copied where both forms store them alike.
bool UpdateRun::RebuildFromList(DataArchive& archive) {
  NextStep();
  LogLine("rebuilding " + archive.Name + " from the installed archive and the patch");
  std::string ansi_rebuilt, ansi_content, ansi_staging;
  if (!ToAnsi(archive.Rebuilt, ansi_rebuilt) || !ToAnsi(archive.Content, ansi_content) ||
      !ToAnsi(StagingDirectory, ansi_staging) || !archive.Old) {
    return false;
  }
  std::vector<gca::ScanItem> scanned;
  std::string unrepresentable;
  gca::ScanSource(ansi_content, scanned, &unrepresentable, nullptr);
  if (!unrepresentable.empty() || scanned.empty()) return false;
  std::vector<gca::ListItem> items;
  std::map<std::string, std::string> directories;  // as scanned, by folded name
  std::set<std::string> files;
  for (const gca::ScanItem& found : scanned) {
    gca::ListItem item;
    item.Name = found.Name;
    item.Attributes = found.Attributes;
    item.WriteTime = found.WriteTime;
    const std::string folded = FoldName(AnsiToUtf8(found.Name));
    if (found.Attributes & gca::kAttrDirectory) {
      directories[folded] = found.Name;
    } else {
      item.Path = ansi_staging + "\\" + found.Name;
      files.insert(folded);
    }
    items.push_back(std::move(item));
  }
  // An entry of the installed archive or of the patch (name inside the data archive),
  // named below its directory as the staging tree spells it, with the attribute word a
  // search would report for it once extracted; one with the temporary bit is left out, as
  // a search of the unpacked tree leaves it out. False when the run must end.
  auto add_entry = [&](const std::string& name, gca::GcaArchive& from, int32_t index) {
    const gca::EntryRecord record = from.EntryInfo(index);
    const size_t slash = name.rfind('\\');
    const auto directory = directories.find(FoldName(name.substr(0, slash)));
    if (directory == directories.end()) return false;  // made by the staging
    const std::string file = name.substr(slash + 1);
    uint32_t attributes = 0;
    if (!ScanAttributes(record.Attributes, !file.empty() && file[0] == '.', attributes)) {
      NoteOperationFailure("write", TempDirectory, GetLastError());
      return false;
    }
    if (attributes & gca::kAttrTemporary) return true;
    gca::ListItem item;
    item.Name = directory->second + "\\" + Utf8ToAnsi(file);
    item.Attributes = attributes;
    item.WriteTime = record.WriteTime;
    item.From = &from;
    item.Index = index;
    items.push_back(std::move(item));
    return true;
  };
  gca::GcaArchive& old = archive.Old->Archive;
  for (const int32_t k : archive.Kept) {
    const std::string name = AnsiToUtf8(old.EntryName(k));
    if (files.count(FoldName(name)) == 0 && !add_entry(name, old, k)) return false;
  }
  // The patch's members, named as extracting them would have named them.
  gca::GcaArchive& patch = *patch_.Archive();
  const std::string prefix = FoldName(std::string(StagingDirName) + "\\" + archive.Name + "\\");
  for (size_t i = 0; i < entries_.size(); ++i) {
    const PatchEntry& entry = entries_[i];
    if (!TakenFromPatch(entry) || FoldName(entry.Name.substr(0, prefix.size())) != prefix) continue;
    if (!add_entry(entry.Name.substr(4), patch, static_cast<int32_t>(i))) return false;
  }
  // The archive object is large (its codec tables are inline): keep it off the stack.
  auto builder = std::make_unique<gca::GcaArchive>();
  if (!builder->PrepareBuffers()) return false;
  builder->SetProgressCallback([](uint64_t done, uint64_t total, gca::GcaArchive* from) -> int32_t {
    return ProgressCallback(static_cast<int64_t>(done), static_cast<int64_t>(total), from);
  });
  const bool keep = rebuild_ == RebuildWay::kKeep;
  builder->CompressData = keep && old.CompressData;
  builder->ScrambleData = keep && old.ScrambleData;
  builder->Solid = keep && old.Solid;
  builder->CompressDirectory = keep && old.DirectoryCompressed();
  builder->ScrambleDirectory = keep && old.DirectoryScrambled();
  builder->FlushWhileWriting = true;
  // The installed archive's frames that must be decoded (all of a compressed archive's
  // for stream, a solid archive's for keep) are decoded on every core; keep codes the
  // changed members on every core too.
  old.SetThreads(UpdateWorkers());
  if (keep) builder->SetThreads(UpdateWorkers());
  builder->SetArchivePath(ansi_rebuilt);
  NoticeRecorder notices;
  notices.Install(builder.get());
  std::vector<gca::BuiltEntry> built;
  PatchDecodePool patch_pool(&patch);
  const bool ok = builder->BuildFromList(std::move(items), &built) && !notices.Failed &&
                  !archive.Old->Notices.Failed && !patch_notices_.Failed;
  if (patch_notices_.Damaged) NoteFailureKind(FailureKind::kDamagedPatch);
  const bool damaged = archive.Old->Notices.Damaged;
  // Its buffers go before the check reads the archive; the installed archive is closed
  // before it is swapped.
  builder.reset();
  archive.Old.reset();
  if (!ok) {
    if (damaged) NoteFailureKind(FailureKind::kDamagedInstall, archive.Path);
    return false;
  }
  return VerifyRebuilt(archive, &built);
}

bool UpdateRun::VerifyRebuilt(const DataArchive& archive, const std::vector<gca::BuiltEntry>* built) {
  std::set<std::string> directories;
  for (const auto& [name, record] : archive.Expected) {
    for (size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\', at + 1)) {
      directories.insert(name.substr(0, at));
    }
  }

  gca::ArchiveHandle handle;
  handle.Create();
  if (!handle.PrepareBuffers()) return false;
  std::string ansi_rebuilt;
  if (!ToAnsi(archive.Rebuilt, ansi_rebuilt)) return false;
  handle.SetArchivePath(ansi_rebuilt);
  NoticeRecorder notices;
  notices.Install(handle.Archive(), OldArchivePolicy());
  if (!handle.Open()) return false;
  std::set<std::string> found;
  const int32_t count = handle.EntryCount();
  for (int32_t k = 0; k < count; ++k) {
    const std::string name = FoldName(AnsiToUtf8(handle.EntryName(k)));
    const gca::EntryRecord got = handle.Archive()->EntryInfo(k);
    const auto it = archive.Expected.find(name);
    if (it == archive.Expected.end()) {
      if (directories.count(name) == 0 || !(got.Attributes & gca::kAttrDirectory)) return false;
      continue;
    }
    // A member keeps its bytes, attributes and time through unpacking and packing; a
    // write, a time or an attribute that did not take on the way shows here.
    const gca::EntryRecord& want = it->second;
    // The time as the volume keeps it (FAT keeps 2 s, exFAT 10 ms).
    if ((got.Attributes & gca::kAttrDirectory) != (want.Attributes & gca::kAttrDirectory)) return false;
    if (!(want.Attributes & gca::kAttrDirectory) &&
        (got.Crc != want.Crc || got.UnpackedSize != want.UnpackedSize ||
         !SameFileTime(got.WriteTime, want.WriteTime, time_resolution_) ||
         !AttributesAsSet(got.Attributes, want.Attributes))) {
      return false;
    }
    found.insert(name);
  }
  if (found.size() != archive.Expected.size()) return false;
  if (built == nullptr) return true;
  // The data, in one pass on every core: each entry decoded against its CRC, a copied
  // entry's stored bytes against those it was copied from. Where the data is stored,
  // decoding is reading: every entry is checked against its CRC, so that a member
  // damaged in the installed archive is found as unpacking finds it.
  LogLine("rebuilt " + archive.Name + ": directory as expected; checking its data");
  gca::GcaArchive* rebuilt = handle.Archive();
  const bool stored = !rebuilt->CompressData && !rebuilt->Solid;
  rebuilt->SetThreads(UpdateWorkers());
  int32_t failed = -1;
  const bool checked = rebuilt->CheckEntries(stored ? std::vector<gca::BuiltEntry>() : *built, &failed) && !notices.Failed;
  if (!checked && stored && failed >= 0 && static_cast<size_t>(failed) < built->size() &&
      (*built)[static_cast<size_t>(failed)].Copied) {
    // Copied as they were read: then the installed archive holds the damage.
    int32_t again = -1;
    if (rebuilt->CheckEntries(*built, &again)) NoteFailureKind(FailureKind::kDamagedInstall, archive.Path);
  }
  rebuilt->SetThreads(1);
  LogLine(checked ? "rebuilt " + archive.Name + ": data checked"
                  : FormatText("rebuilt archive: entry %d fails its check", static_cast<int>(failed)));
  return checked;
}

// The staged loose files are what the patch holds: size, time and attributes.
bool UpdateRun::VerifyStagedLooseFiles() {
  for (const PatchEntry& entry : entries_) {
    if ((entry.Attributes & gca::kAttrDirectory) || IsStagingMember(entry.Name)) continue;
    FindEntry found;
    if (!FindOne(StagedPath(entry.Name), found)) return false;
    if (found.Size != entry.Record.UnpackedSize ||
        !SameFileTime(found.LastWriteTime, entry.Record.WriteTime, time_resolution_) ||
        (found.Attributes & gca::kAttrDirectory) != 0 || !AttributesAsSet(found.Attributes, entry.Record.Attributes)) {
      return false;
    }
  }
  return true;
}

// The payload's time-stamp list; the list ends at the first short read.
bool UpdateRun::ReadTimeList(std::vector<JournalTime>& times) {
  for (const TimeStamp& stamp : ReadTimeStamps(program_path_)) {
    if (!IsSafeRelativeName(stamp.Name)) continue;
    JournalTime time;
    time.Name = stamp.Name;
    time.WriteTime = stamp.WriteTime;
    times.push_back(time);
  }
  return true;
}

// Everything the run is going to change in the installation, in the order it changes
// it: the data archives, the loose files with the check files last, the directories
// made for them; and the times to set afterwards, with each file's read-only bit after
// the update.
bool UpdateRun::Plan() {
  const std::string old_check = FoldName(OldCheckFile);
  const std::string new_check = FoldName(NewCheckFile);
  std::map<std::string, uint32_t>& loose_attributes = loose_attributes_;
  std::vector<JournalLooseFile> checks;
  std::set<std::string> directories;
  for (const DataArchive& archive : archives_) journal_.Archives.push_back(archive.Name);
  for (const PatchEntry& entry : entries_) {
    if ((entry.Attributes & gca::kAttrDirectory) || IsStagingMember(entry.Name)) continue;
    JournalLooseFile file;
    file.Name = entry.Name;
    const std::string target = JoinPath(InstallPath, entry.Name);
    const uint32_t attributes = GetPathAttributes(target);
    if (attributes != gca::kNoAttributes && (attributes & gca::kAttrDirectory)) return false;
    file.HadOld = attributes != gca::kNoAttributes;
    loose_attributes[FoldName(entry.Name)] = entry.Record.Attributes;
    const std::string folded = FoldName(entry.Name);
    if (folded == old_check || folded == new_check) {
      checks.push_back(file);
    } else {
      journal_.LooseFiles.push_back(file);
    }
  }
  // Files the new version has no more are kept aside like replaced ones; directories
  // are only removed after the commit point, when left empty. A name the patch also
  // carries, a check file, or what the installation holds in another form is left alone.
  std::vector<JournalLooseFile> directories_gone;
  for (const Deletion& deletion : deletions_) {
    const std::string folded = FoldName(deletion.Name);
    if (folded == old_check || folded == new_check || loose_attributes.count(folded) != 0) continue;
    const uint32_t attributes = GetPathAttributes(JoinPath(InstallPath, deletion.Name));
    if (attributes == gca::kNoAttributes || ((attributes & gca::kAttrDirectory) != 0) != deletion.Directory) continue;
    JournalLooseFile file;
    file.Name = deletion.Name;
    file.HadOld = !deletion.Directory;
    file.Deleted = !deletion.Directory;
    file.Directory = deletion.Directory;
    (deletion.Directory ? directories_gone : journal_.LooseFiles).push_back(file);
  }
  journal_.LooseFiles.insert(journal_.LooseFiles.end(), checks.begin(), checks.end());
  journal_.LooseFiles.insert(journal_.LooseFiles.end(), directories_gone.begin(), directories_gone.end());
  for (const JournalLooseFile& file : journal_.LooseFiles) {
    if (file.Deleted || file.Directory) continue;
    std::vector<std::string> missing;
    for (size_t at = file.Name.rfind('\\'); at != std::string::npos && at > 0; at = file.Name.rfind('\\', at - 1)) {
      const std::string directory = file.Name.substr(0, at);
      if (GetPathAttributes(JoinPath(InstallPath, directory)) != gca::kNoAttributes) break;
      missing.push_back(directory);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      if (directories.insert(FoldName(*it)).second) journal_.CreatedDirectories.push_back(*it);
    }
  }
  if (!ReadTimeList(journal_.Times)) return false;
  for (JournalTime& time : journal_.Times) {
    const auto it = loose_attributes.find(FoldName(time.Name));
    const uint32_t attributes =
        it != loose_attributes.end() ? it->second : GetPathAttributes(JoinPath(InstallPath, time.Name));
    time.ReadOnly = attributes != gca::kNoAttributes && (attributes & gca::kAttrReadOnly) != 0;
  }
  return true;
}

// The longest path of the run below the installation, for each entry point with the
// classic limits: the archive code's (the data archives' members unpacked into the
// staging directory, the patch's entries, the rebuilt archives) on every system, and on
// systems without the wide entry points also the platform layer's (the aside copies and
// the work records).
bool UpdateRun::MeasurePaths(PathRoom& room, const std::string& ansi_install) {
  room = PathRoom();
  room.Base = ansi_install.size() + (InstallPath.back() == '\\' ? 0 : 1);
  const std::string temp = std::string(TempDirName) + "\\";
  const std::string staging = temp + StagingDirName + "\\";
  room.Directory(staging.size() - 1);
  for (const DataArchive& archive : archives_) {
    room.File(Utf8ToAnsi(archive.Name).size() + 4);
    room.File(temp.size() + Utf8ToAnsi(archive.Name).size() + 4);
    if (GetPathAttributes(archive.Path) == gca::kNoAttributes) continue;  // fails later, before any change
    std::string ansi_path;
    if (!ToAnsi(archive.Path, ansi_path)) return false;
    gca::ArchiveHandle handle;
    handle.Create();
    if (!handle.PrepareBuffers()) return false;
    handle.SetArchivePath(ansi_path);
    NoticeRecorder notices;
    notices.Install(handle.Archive(), OldArchivePolicy());
    if (!handle.Open()) continue;  // unpacking reports it
    for (int32_t k = 0; k < handle.EntryCount(); ++k) {
      const std::string name = staging + handle.EntryName(k);
      if (handle.EntryAttributes(k) & gca::kAttrDirectory) {
        room.Directory(name.size());
      } else {
        room.FileAndDirectories(name);
      }
    }
  }
  const bool platform_limited = !IsWideSystem();
  for (const PatchEntry& entry : entries_) {
    if (entry.Holder) continue;
    const std::string name = Utf8ToAnsi(entry.Name);
    const std::string staged = temp + name;
    if (entry.Attributes & gca::kAttrDirectory) {
      room.Directory(staged.size());
      continue;
    }
    room.FileAndDirectories(staged);
    std::string aside;
    if (platform_limited && !IsStagingMember(entry.Name) && ToAnsi(AsidePath(entry.Name), aside) &&
        aside.size() >= room.Base) {
      room.FileAndDirectories(aside.substr(room.Base));
    }
  }
  return true;
}

// Before anything changes: every path of the run fits the limits of the entry points
// that will take it. Where the installation's path is too long, its short form serves
// the archive code when that is short enough; otherwise the run ends with a message that
// says by how much the path is too long.
bool UpdateRun::CheckPathLengths() {
  PathRoom room;
  if (!MeasurePaths(room, g_ansi_install)) return false;
  if (room.Excess == 0) return true;
  const size_t excess = room.Excess;
  std::string shorter;
  const std::string short_install = ShortPathName(InstallPath);
  if (!short_install.empty() && short_install.size() < InstallPath.size() && !HasTrailingDotOrSpace(short_install)) {
    shorter = AnsiPathOf(short_install);
  }
  if (!shorter.empty() && shorter.size() < g_ansi_install.size()) {
    const std::string longer = g_ansi_install;
    g_ansi_install = shorter;
    if (MeasurePaths(room, g_ansi_install) && room.Excess == 0) return true;
    g_ansi_install = longer;
  }
  UpdateFailure failure;
  failure.Kind = FailureKind::kPathTooLong;
  failure.Path = InstallPath;
  failure.Needed = excess;
  NoteFailure(failure);
  return false;
}

// Writes one staged file's cached data to the disk, so that no renamed file can stand
// without its content after a power cut. A read-only file is made writable for it.
bool FlushFile(const std::string& path) {
  const uint32_t attributes = GetPathAttributes(path);
  if (attributes == gca::kNoAttributes) return false;
  const bool read_only = (attributes & gca::kAttrReadOnly) != 0;
  const uint32_t plain = attributes & ~(gca::kAttrReadOnly | gca::kAttrNormal);
  if (read_only && !SetPathAttributes(path, plain != 0 ? plain : gca::kAttrNormal)) return false;
  FileStream file;
  bool ok = file.Open(path, FileStream::kWriteExisting) && file.Flush();
  file.Close();
  if (read_only && !SetPathAttributes(path, attributes)) ok = false;
  return ok;
}

bool UpdateRun::FlushStaged() {
  for (const DataArchive& archive : archives_) {
    if (!FlushFile(archive.Rebuilt)) return false;
  }
  for (const JournalLooseFile& file : journal_.LooseFiles) {
    if (file.Deleted || file.Directory) continue;
    if (!FlushFile(StagedPath(file.Name))) return false;
  }
  return true;
}

// Every data archive goes to its backup and the rebuilt one takes its place. The
// backups stay until the commit point; a failure is undone from the record.
bool UpdateRun::SwapAll() {
  for (const DataArchive& archive : archives_) {
    if (!MoveRetrying(archive.Backup, archive.Path)) return false;
    if (!MoveRetrying(archive.Path, archive.Rebuilt)) return false;
  }
  return true;
}

// The old file waits in the aside directory until the commit point.
bool UpdateRun::PlaceLooseFile(const JournalLooseFile& file) {
  const std::string staged = StagedPath(file.Name);
  const std::string target = JoinPath(InstallPath, file.Name);
  if (file.Directory) return true;  // removed after the commit point
  if (file.Deleted) {
    // Deleted by the update: only kept aside, like an old copy.
    const std::string aside = AsidePath(file.Name);
    return CreateDirectoryTree(ParentDirectory(aside)) && MoveRetrying(aside, target);
  }
  if (!CreateDirectoryTree(ParentDirectory(target))) return false;
  if (file.HadOld) {
    const std::string aside = AsidePath(file.Name);
    if (!CreateDirectoryTree(ParentDirectory(aside))) return false;
    if (!MoveRetrying(aside, target)) return false;
  }
  if (!MoveRetrying(target, staged)) return false;
  // The attributes the patch records; a bit the system keeps to itself (a hidden bit
  // that Wine derives from a leading dot) may stay as the system has it.
  const auto it = loose_attributes_.find(FoldName(file.Name));
  const uint32_t got = GetPathAttributes(target);
  if (it != loose_attributes_.end() && got != gca::kNoAttributes && !AttributesAsSet(got, it->second)) {
    SetPathAttributes(target, it->second & gca::kAttrKept & ~gca::kAttrDirectory);
  }
  return true;
}

bool UpdateRun::PlaceLooseFiles() {
  NextStep();
  const int64_t count = static_cast<int64_t>(journal_.LooseFiles.size());
  for (int64_t i = 0; i < count; ++i) {
    SetItem(i, count);
    if (!PlaceLooseFile(journal_.LooseFiles[static_cast<size_t>(i)])) return false;
  }
  SetItem(count, count);
  return true;
}

void UpdateRun::CleanStaging() {
  for (const DataArchive& archive : archives_) {
    NextStep();
    const int64_t count = static_cast<int64_t>(archive.Entries.size());
    for (int64_t k = 0; k < count; ++k) {
      SetItem(k, count);
      RemoveFile(JoinPath(StagingDirectory, archive.Entries[static_cast<size_t>(k)]));
    }
  }
}

// Counts and drops decoded bytes: the patch's entries are decoded once, for their
// CRCs, before anything is unpacked.
class DiscardStream : public gca::ByteStream {
 public:
  uint32_t Read(void*, uint32_t) override { return 0; }
  uint32_t Write(const void*, uint32_t n) override { return n; }
  bool Seek(uint64_t) override { return true; }
  uint64_t Tell() override { return 0; }
};

bool UpdateRun::CheckPatch() {
  StepDone = 0;
  StepTotal = 3 * static_cast<int64_t>(archives_.size()) + 2;
  PatchDecodePool pool(patch_.Archive());
  const int64_t count = static_cast<int64_t>(entries_.size());
  for (int32_t i = 0; i < static_cast<int32_t>(count); ++i) {
    SetItem(i, count);
    PatchEntry& entry = entries_[static_cast<size_t>(i)];
    if (entry.Attributes & gca::kAttrDirectory) continue;
    if (entry.Delta) {
      // Decoded for its CRC like every entry; its header says what the file it makes
      // must be.
      DeltaHeader header;
      if (!ReadDeltaHeader(patch_.Archive(), i, header) || patch_notices_.Failed) return false;
      entry.Record.UnpackedSize = header.NewSize;
      entry.Record.Crc = header.NewCrc;
      if (!header.Base.empty()) {
        // A loose file made from an installed file of another name: a relative name below
        // the installation, outside the staging tree.
        entry.Base = AnsiToUtf8(header.Base);
        if (IsStagingMember(entry.Name) || !IsSafeRelativeName(entry.Base) || IsStagingMember(entry.Base)) return false;
      }
      if (IsStagingMember(entry.Name)) {
        const std::string rest = entry.Name.substr(4);
        for (DataArchive& archive : archives_) {
          if (archive.Name == rest.substr(0, rest.find('\\'))) archive.Expected[FoldName(rest)] = entry.Record;
        }
      }
      continue;
    }
    DiscardStream discard;
    if (!patch_.Archive()->DecodeEntry(discard, i, patch_.EntryName(i)) || patch_notices_.Failed) return false;
  }
  SetItem(count, count);
  LogLine(FormatText("patch checked: %d entries decode with their CRCs", static_cast<int>(count)));
  return true;
}

// The peak space of the run against the free space of the installation's volume, from
// the sizes the directories of the data archives and of the patch give.
bool UpdateRun::CheckSpace() {
  std::vector<SpaceArchive> archives;
  for (const DataArchive& archive : archives_) {
    SpaceArchive space;
    gca::ArchiveHandle handle;
    handle.Create();
    std::string ansi_path;
    if (!handle.PrepareBuffers() || !ToAnsi(archive.Path, ansi_path)) return true;  // found by the unpacking
    handle.SetArchivePath(ansi_path);
    NoticeRecorder notices;
    notices.Install(handle.Archive(), OldArchivePolicy());
    if (!handle.Open()) {
      NoteFailureKind(FailureKind::kDamagedInstall, archive.Path);
      return false;
    }
    space.Way = rebuild_;
    space.Solid = handle.Archive()->Solid;
    for (int32_t k = 0; k < handle.EntryCount(); ++k) {
      const gca::EntryRecord record = handle.Archive()->EntryInfo(k);
      space.Installed.push_back(
          {handle.EntryName(k), record.UnpackedSize, (record.Attributes & gca::kAttrDirectory) != 0, false, record.PackedSize});
    }
    handle.Close();
    for (const PatchEntry& entry : entries_) {
      if (entry.Holder) continue;
      if (!IsStagingMember(entry.Name) || entry.Name.size() <= 4) continue;
      const std::string inside = entry.Name.substr(4);
      if (inside.compare(0, archive.Name.size() + 1, archive.Name + "\\") != 0) continue;
      std::string ansi_inside;
      ToAnsi(inside, ansi_inside);
      // A delta's entry counts by the new member it makes (its size from the delta's header).
      space.Patch.push_back(
          {ansi_inside, entry.Record.UnpackedSize, (entry.Attributes & gca::kAttrDirectory) != 0, entry.Delta});
    }
    archives.push_back(space);
  }
  std::vector<SpaceMember> loose;
  for (const PatchEntry& entry : entries_) {
    if (entry.Holder) continue;
    if ((entry.Attributes & gca::kAttrDirectory) || IsStagingMember(entry.Name)) continue;
    loose.push_back({entry.Name, entry.Record.UnpackedSize, false});
  }
  const VolumeSpace volume = QueryVolumeSpace(InstallPath);
  const uint64_t needed = PeakSpaceEstimate(archives, loose, volume.Cluster);
  LastPeakEstimate = needed;
  LogLine(FormatText("space: %llu bytes needed at the peak, %llu free (%s, cluster %llu)",
                     static_cast<unsigned long long>(needed), static_cast<unsigned long long>(volume.Free),
                     volume.Known ? volume.Drive.c_str() : "not known", static_cast<unsigned long long>(volume.Cluster)));
  if (!volume.Known || volume.Free >= needed) return true;
  UpdateFailure failure;
  failure.Kind = FailureKind::kDiskFull;
  failure.Needed = needed;
  failure.Free = volume.Free;
  failure.Drive = volume.Drive;
  NoteFailure(failure);
  return false;
}

// A record that the recovery could not finish with: a file in use keeps it back, or
// the installation cannot be put back.
void NoteUnfinishedRecovery() {
  ResetFailure();
  NoteFailureKind(IsInUseError(LastFileError()) ? FailureKind::kUnfinished : FailureKind::kNotRestored,
                  LastFilePath());
}

void NoteUnfinishedRollBack() { NoteUnfinishedRecovery(); }

// Before anything: a fresh failure record, the lock (held by start-up for the program's
// life; a run without it, a test calling the worker alone, takes it here), the recovery
// of a cut-off run and the work directory.
bool UpdateRun::Begin(InstallLock& lock) {
  ResetFailure();
  ResetLastFileFailure();
  SetWorkDirectories();
  if (!StartupHoldsInstallLock && !lock.Acquire(InstallPath)) {
    NoteFailureKind(FailureKind::kAnotherCopy);
    return false;
  }
  // What a run that was cut off left is dealt with first; a record that could not be
  // dealt with stops the run before it changes anything.
  RecoverInterruptedUpdate();
  if (GetPathAttributes(PendingRecordPath()) != gca::kNoAttributes ||
      GetPathAttributes(CommittedRecordPath()) != gca::kNoAttributes) {
    NoteUnfinishedRecovery();
    return false;
  }
  if (!SelectWorkDirectory()) {
    NoteFailureKind(FailureKind::kWorkFolder, TempDirectory);
    return false;
  }
  LogLine("update: work directory " + TempDirectory);
  work_directory_was_there_ = GetPathAttributes(TempDirectory) != gca::kNoAttributes;
  g_ansi_install = AnsiPathOf(InstallPath);
  time_resolution_ = FileTimeResolution(InstallPath);
  return true;
}

// The checks that come before the first byte is written, then the record of the plan.
bool UpdateRun::CheckAndPlan() {
  // The patch is checked whole and the space counted before anything is written.
  const bool checked = OpenPatch() && ReadRebuildWay(program_path_, rebuild_) && CollectEntries() && CheckPatch();
  if (!checked) {
    NoteFailureKind(FailureKind::kDamagedPatch);
    return false;
  }
  // Every path of the run fits the entry points that will take it.
  if (!CheckPathLengths()) return false;
  // A backup left beside a missing data archive goes back before the sizes are read.
  if (!(RecoverBackups() && CheckSpace())) {
    NoteOperationFailure("put back", TempDirectory, GetLastError());
    return false;
  }
  if (!(Plan() && WriteJournal(journal_))) {
    NoteOperationFailure("write", PendingRecordPath(), GetLastError());
    if (!work_directory_was_there_) RemoveDirectoryTree(TempDirectory);
    return false;
  }
  LogLine(std::string("record written; staging (data archives rebuilt: ") + RebuildWayName(rebuild_) + ")");
  return true;
}

// Staging, the swap and the placement up to the commit point; anything that fails is
// rolled back from the record.
bool UpdateRun::StageAndCommit() {
  bool ok = true;
  const bool unpack = rebuild_ == RebuildWay::kUnpack;
  for (size_t j = 0; ok && j < archives_.size(); ++j) ok = unpack ? Unpack(archives_[j]) : StageFromArchive(archives_[j]);
  ok = ok && ExtractPatch() && VerifyStagedLooseFiles();
  for (size_t j = 0; ok && j < archives_.size(); ++j) ok = unpack ? Rebuild(archives_[j]) : RebuildFromList(archives_[j]);
  // The installed archives are closed before anything is swapped or put back.
  for (DataArchive& archive : archives_) archive.Old.reset();
  // Nothing of the game has changed up to here. Everything that is moved into the game
  // is on the disk before the first old file is moved aside.
  if (ok) LogLine("staged; flushing");
  ok = ok && FlushStaged();
  if (!ok) NoteOperationFailure("write the new files into", TempDirectory, GetLastError());
  if (ok) LogLine(FormatText("staged and checked: %d data archives rebuilt; swapping", static_cast<int>(archives_.size())));
  ok = ok && SwapAll() && PlaceLooseFiles();
  // The commit point: every change is in place.
  ok = ok && CommitJournal();
  if (ok) return true;
  NoteOperationFailure("put the new files in place from", TempDirectory, GetLastError());
  ResetLastFileFailure();
  if (!RollBack(journal_)) {
    NoteUnfinishedRollBack();
    LogLine("roll-back not finished: the record stays for the next run");
  } else {
    LogLine("rolled back: the game is the old version again");
  }
  return false;
}

// From here on the game is the new one: a leftover that cannot be removed now (a
// backup held open by another program) stays with the record for the next run, and the
// run is a success. The times decide nothing.
void UpdateRun::Finish() {
  LogLine("committed: the game is the new version");
  CleanStaging();
  LogLine(FinishCommitted(journal_) ? "clean-up done" : "clean-up: leftovers stay for the next run");
  const int64_t steps = 3 * static_cast<int64_t>(archives_.size()) + 2;
  const int64_t count = static_cast<int64_t>(entries_.size());
  StepDone = step_;
  StepTotal = steps;
  ItemDone = count;
  ItemTotal = count;
  Repaint();
}

bool UpdateRun::Run() {
  InstallLock lock;  // held until the run ends
  if (!Begin(lock) || !CheckAndPlan() || !StageAndCommit()) return false;
  Finish();
  return true;
}

}  // namespace


int32_t ProgressCallback(int64_t done, int64_t total, gca::GcaArchive*) {
  SetItem(done, total);
  return 1;
}

bool RunUpdate() {
  UpdateRun run;
  return run.Run();
}

void UpdateWorker(void*) {
  const bool ok = RunUpdate();
  UpdateUi* ui = GetUpdateUi();
  if (ui == nullptr) return;
  if (ok) {
    ui->SetProgressText(kFinishedText);
    ui->ShowMessage(kSuccessMessage, WindowTitle, kMessagePlain);
    const std::string page = InstallPath + "\\update\\index.htm";
    if (PathExists(page)) ui->OpenDocument(page);
  } else {
    ui->SetProgressText(kFailedText);
    std::string message = FailureMessage(CurrentFailure());
    if (!UpdateLogPath().empty()) message += "\n\nDetails for support are in " + UpdateLogPath();
    ui->ShowMessage(message, WindowTitle, kMessageError);
  }
  LogLine(ok ? "end: success" : "end: failure");
  ui->AnnounceEnd();
}
