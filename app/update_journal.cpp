#include "app/update_journal.h"

#include <windows.h>
// Shell types used by the file-system declarations.
#include "platform/wide_api.h"

#include "app/app_globals.h"
#include "app/file_retry.h"
#include "app/update_log.h"
#include "app/payload_format.h"
#include "archive/gca_file.h"
#include "archive/gca_format.h"
#include "codec/crc32.h"
#include "platform/file_stream.h"
#include "platform/file_system.h"

std::string TempDirectory;
std::string StagingDirectory;

namespace {


// Names inside the work directory. Patch entries whose names begin with three
// underscores are refused unless they are data-archive members ("___\..."), so none of
// these can be overwritten by a patch.
const char kDraftName[] = "___next.rec";
const char kPendingName[] = "___undo.rec";
const char kCommittedName[] = "___done.rec";
const char kAsideDirName[] = "___old";
const char kDeltaWorkName[] = "___delta.new";
const char kProbeName[] = "___attr.tmp";

// Beside the work directory, in the installation. The update works in "tmp" unless the
// game has a "tmp" of its own, then in kOwnWorkDirName. A work directory is the
// update's only while it holds one of the run's records; so that it never stands empty
// under its own name, it is made under kMakingDirName with the draft inside and renamed
// into place, and it is renamed to kRetiringDirName before its last file goes. Those two
// names (three underscores, refused in patches) are the update's alone.
const char kOwnWorkDirName[] = "___tmp";
const char kMakingDirName[] = "___tmp.new";
const char kRetiringDirName[] = "___tmp.end";

// Record layout, little-endian: the 8-byte magic, four counted lists, the CRC-32 of all
// bytes before it.
const char kMagic[8] = {'G', 'U', 'T', 'X', 'N', '0', '0', '1'};
constexpr uint32_t kMaxRecordSize = 64u << 20;

bool Exists(const std::string& path) { return GetPathAttributes(path) != gca::kNoAttributes; }

class RecordWriter {
 public:
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<char>(v >> (8 * i)));
  }
  void U64(uint64_t v) {
    U32(static_cast<uint32_t>(v));
    U32(static_cast<uint32_t>(v >> 32));
  }
  void Text(const std::string& text) {
    U32(static_cast<uint32_t>(text.size()));
    bytes_ += text;
  }
  std::string& Bytes() { return bytes_; }

 private:
  std::string bytes_;
};

class RecordReader {
 public:
  explicit RecordReader(const std::string& bytes) : bytes_(bytes) {}
  bool U32(uint32_t& v) {
    if (bytes_.size() - at_ < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes_[at_ + i])) << (8 * i);
    at_ += 4;
    return true;
  }
  bool U64(uint64_t& v) {
    uint32_t low = 0, high = 0;
    if (!U32(low) || !U32(high)) return false;
    v = static_cast<uint64_t>(high) << 32 | low;
    return true;
  }
  bool Text(std::string& text) {
    uint32_t n = 0;
    if (!U32(n) || bytes_.size() - at_ < n) return false;
    text = bytes_.substr(at_, n);
    at_ += n;
    return true;
  }
  // A count of items of at least min_size bytes each that the rest can hold.
  bool Count(uint32_t& n, size_t min_size) { return U32(n) && n <= (bytes_.size() - at_) / min_size; }
  size_t Position() const { return at_; }

 private:
  const std::string& bytes_;
  size_t at_ = 8;
};

// Removes a file when it is there; true when it is gone. A directory in a file's place
// is not the run's and stays.
bool RemoveIfThere(const std::string& path) {
  const uint32_t attributes = GetPathAttributes(path);
  if (attributes == gca::kNoAttributes || (attributes & gca::kAttrDirectory)) return true;
  RemoveFile(path);
  return !Exists(path);
}

bool HoldsRecord(const std::string& directory) {
  for (const char* name : {kDraftName, kPendingName, kCommittedName}) {
    if (Exists(JoinPath(directory, name))) return true;
  }
  return false;
}

// A making or retiring directory: its record files go, then it, each tried twice (a
// passing failure must not leave it). True when it is gone.
bool RemoveOwnDirectory(const std::string& directory) {
  if (!Exists(directory)) return true;
  for (const char* name : {kDraftName, kPendingName, kCommittedName}) {
    const std::string path = JoinPath(directory, name);
    if (!RemoveIfThere(path)) RemoveIfThere(path);
  }
  if (!RemoveDirectoryPath(directory)) RemoveDirectoryPath(directory);
  return !Exists(directory);
}

// The work directory, holding nothing but the record named, leaves under its own name
// in one rename, so that no empty directory of ours is left under the name "tmp" (one
// the next run could not tell from the game's own). True when the work directory is
// gone; a retiring directory that stays is removed by the next run.
bool RetireWorkDirectory() {
  const std::string retiring = JoinPath(InstallPath, kRetiringDirName);
  if (!RemoveOwnDirectory(retiring)) return false;
  if (!MovePath(retiring, TempDirectory) && !MovePath(retiring, TempDirectory)) return false;
  RemoveOwnDirectory(retiring);
  return !Exists(TempDirectory);
}

// Removes, anywhere below the directory, the half-written files the archive code
// decodes into before it renames them into place: a run cut off mid-entry leaves one,
// and only the work tree's own staging writes there.
bool RemoveExtractionTemps(const std::string& directory) {
  std::vector<FindEntry> entries;
  if (!ListDirectory(directory, entries)) return true;
  bool clean = true;
  for (const FindEntry& item : entries) {
    const std::string path = JoinPath(directory, item.Name);
    if (item.Attributes & gca::kAttrDirectory) {
      if (!(item.Attributes & FILE_ATTRIBUTE_REPARSE_POINT)) clean = RemoveExtractionTemps(path) && clean;
    } else if (gca::IsTempBesideName(item.Name)) {
      clean = RemoveIfThere(path) && clean;
    }
  }
  return clean;
}

bool RemoveWorkFiles(const UpdateJournal& journal) {
  bool clean = RemoveExtractionTemps(TempDirectory);
  for (const JournalLooseFile& file : journal.LooseFiles) {
    clean = RemoveIfThere(StagedPath(file.Name)) && clean;
    clean = RemoveIfThere(AsidePath(file.Name)) && clean;
  }
  for (const std::string& name : journal.Archives) clean = RemoveIfThere(RebuiltPath(name)) && clean;
  clean = RemoveIfThere(DeltaWorkPath()) && clean;
  for (const bool dot_name : {false, true}) clean = RemoveIfThere(AttributeProbePath(dot_name)) && clean;
  const std::string aside = JoinPath(TempDirectory, kAsideDirName);
  RemoveTree(aside);
  RemoveTree(StagingDirectory);
  clean = RemoveIfThere(JoinPath(TempDirectory, kDraftName)) && clean;
  return clean && !Exists(aside) && !Exists(StagingDirectory);
}

// Undoes one loose file from what the installation holds: the old copy waiting aside
// goes back; a file that had no old copy is removed.
bool UndoLooseFile(const JournalLooseFile& file) {
  if (file.Directory) return true;  // nothing happens to it before the commit point
  const std::string target = JoinPath(InstallPath, file.Name);
  const std::string aside = AsidePath(file.Name);
  if (Exists(aside)) {
    if (!Exists(target) || RemoveRetrying(target)) MoveRetrying(target, aside);
  } else if (!file.HadOld && Exists(target)) {
    RemoveRetrying(target);
  }
  return !Exists(aside) && (file.HadOld || !Exists(target));
}

// Undoes one data archive: the backup goes back in place of the new one.
bool UndoDataArchive(const std::string& name) {
  const std::string path = DataArchivePath(name);
  const std::string backup = BackupPath(name);
  if (Exists(backup)) {
    if (!Exists(path) || RemoveRetrying(path)) MoveRetrying(path, backup);
  }
  return !Exists(backup);
}

// Newest change first: the loose files in reverse placing order, the directories made
// for them, the data archives in reverse swap order.
bool UndoChanges(const UpdateJournal& journal) {
  bool undone = true;
  for (auto it = journal.LooseFiles.rbegin(); it != journal.LooseFiles.rend(); ++it) {
    undone = UndoLooseFile(*it) && undone;
  }
  for (auto it = journal.CreatedDirectories.rbegin(); it != journal.CreatedDirectories.rend(); ++it) {
    const std::string path = JoinPath(InstallPath, *it);
    if (Exists(path)) RemoveDirectoryPath(path);
  }
  for (auto it = journal.Archives.rbegin(); it != journal.Archives.rend(); ++it) {
    undone = UndoDataArchive(*it) && undone;
  }
  return undone;
}

// True when the directory holds nothing but, when given, the one file named.
bool HoldsOnly(const std::string& directory, const char* name) {
  std::vector<FindEntry> entries;
  if (!ListDirectory(directory, entries)) return false;
  for (const FindEntry& entry : entries) {
    if (name == nullptr || entry.Name != name) return false;
  }
  return true;
}


// The emptied directories of the work tree go first, then the record, and last the
// work directory itself when nothing else holds it: a run cut off after its record
// has gone leaves at most an empty work directory, which the next run removes.
bool RemoveRecord(const std::string& record, const char* record_name) {
  (void)record;
  RemoveDirectoryTree(TempDirectory);
  if (!HoldsOnly(TempDirectory, record_name)) RemoveDirectoryTree(TempDirectory);
  if (!HoldsOnly(TempDirectory, record_name)) return false;
  return RetireWorkDirectory();
}

}  // namespace

std::string PendingRecordPath() { return JoinPath(TempDirectory, kPendingName); }
std::string CommittedRecordPath() { return JoinPath(TempDirectory, kCommittedName); }
std::string DataArchivePath(const std::string& name) { return JoinPath(InstallPath, name + ".dat"); }
std::string BackupPath(const std::string& name) { return JoinPath(InstallPath, name + ".bak"); }
std::string RebuiltPath(const std::string& name) { return JoinPath(TempDirectory, name + ".gca"); }
std::string StagedPath(const std::string& name) { return JoinPath(TempDirectory, name); }
std::string DeltaWorkPath() { return JoinPath(TempDirectory, kDeltaWorkName); }
std::string AttributeProbePath(bool dot_name) {
  return JoinPath(TempDirectory, dot_name ? std::string(".") + kProbeName : std::string(kProbeName));
}
std::string AsidePath(const std::string& name) { return JoinPath(JoinPath(TempDirectory, kAsideDirName), name); }

void SetWorkDirectories() { SetWorkDirectoriesIn(TempDirName); }

void SetWorkDirectoriesIn(const std::string& name) {
  TempDirectory = JoinPath(InstallPath, name);
  StagingDirectory = JoinPath(TempDirectory, StagingDirName);
}

bool SelectWorkDirectory() {
  const char* const names[] = {TempDirName, kOwnWorkDirName};
  // A work directory with a record that is still there comes first: the run must see it.
  for (const char* name : names) {
    if (HoldsRecord(JoinPath(InstallPath, name))) {
      SetWorkDirectoriesIn(name);
      return true;
    }
  }
  for (const char* name : names) {
    if (!Exists(JoinPath(InstallPath, name))) {
      SetWorkDirectoriesIn(name);
      return true;
    }
  }
  SetWorkDirectories();
  return false;
}

bool IsOwnWorkDirectory(const std::string& path) { return HoldsRecord(path); }

bool WriteJournal(const UpdateJournal& journal) {
  RecordWriter w;
  w.Bytes().assign(kMagic, sizeof(kMagic));
  w.U32(static_cast<uint32_t>(journal.Archives.size()));
  for (const std::string& name : journal.Archives) w.Text(name);
  w.U32(static_cast<uint32_t>(journal.LooseFiles.size()));
  for (const JournalLooseFile& file : journal.LooseFiles) {
    w.Text(file.Name);
    w.U32((file.HadOld ? 1u : 0u) | (file.Deleted ? 2u : 0u) | (file.Directory ? 4u : 0u));
  }
  w.U32(static_cast<uint32_t>(journal.CreatedDirectories.size()));
  for (const std::string& name : journal.CreatedDirectories) w.Text(name);
  w.U32(static_cast<uint32_t>(journal.Times.size()));
  for (const JournalTime& time : journal.Times) {
    w.Text(time.Name);
    w.U64(time.WriteTime);
    w.U32(time.ReadOnly ? 1 : 0);
  }
  const gca::Crc32 crc;
  std::string& bytes = w.Bytes();
  w.U32(crc.Compute(bytes.data(), static_cast<uint32_t>(bytes.size())));
  if (bytes.size() > kMaxRecordSize) return false;

  // A new work directory is made under its making name with the draft inside, and
  // renamed into place whole; one of ours from before already holds its draft.
  const bool made_here = !Exists(TempDirectory);
  const std::string making = JoinPath(InstallPath, kMakingDirName);
  const std::string draft_directory = made_here ? making : TempDirectory;
  const std::string draft = JoinPath(draft_directory, kDraftName);
  const std::string pending = PendingRecordPath();
  if (made_here && !RemoveOwnDirectory(making)) return false;
  if (!CreateDirectoryTree(draft_directory)) return false;
  bool ok = RemoveIfThere(draft);
  FileStream file;
  ok = ok && file.Open(draft, FileStream::kWriteNew) && file.Write(bytes.data(), static_cast<uint32_t>(bytes.size())) == bytes.size() &&
       file.Flush();
  file.Close();
  ok = ok && (!made_here || MovePath(TempDirectory, making));
  ok = ok && MovePath(pending, JoinPath(TempDirectory, kDraftName));
  if (!ok) {
    if (made_here) RemoveOwnDirectory(making);
    if (Exists(TempDirectory) && HoldsOnly(TempDirectory, kDraftName)) RetireWorkDirectory();
  }
  return ok;
}

bool ReadJournal(const std::string& path, UpdateJournal& journal) {
  journal = UpdateJournal();
  FileStream file;
  if (!file.Open(path, FileStream::kRead)) return false;
  const uint64_t size = file.Size();
  if (size < sizeof(kMagic) + 20 || size > kMaxRecordSize) return false;
  std::string bytes(static_cast<size_t>(size), '\0');
  if (file.Read(&bytes[0], static_cast<uint32_t>(size)) != size) return false;
  file.Close();
  if (bytes.compare(0, sizeof(kMagic), std::string(kMagic, sizeof(kMagic))) != 0) return false;
  const gca::Crc32 crc;
  RecordReader r(bytes);
  const uint32_t body = static_cast<uint32_t>(bytes.size() - 4);
  uint32_t n = 0;
  if (!r.Count(n, 4)) return false;
  journal.Archives.resize(n);
  for (std::string& name : journal.Archives) {
    if (!r.Text(name)) return false;
  }
  if (!r.Count(n, 8)) return false;
  journal.LooseFiles.resize(n);
  for (JournalLooseFile& file_entry : journal.LooseFiles) {
    uint32_t flags = 0;
    if (!r.Text(file_entry.Name) || !r.U32(flags)) return false;
    file_entry.HadOld = (flags & 1) != 0;
    file_entry.Deleted = (flags & 2) != 0;
    file_entry.Directory = (flags & 4) != 0;
  }
  if (!r.Count(n, 4)) return false;
  journal.CreatedDirectories.resize(n);
  for (std::string& name : journal.CreatedDirectories) {
    if (!r.Text(name)) return false;
  }
  if (!r.Count(n, 16)) return false;
  journal.Times.resize(n);
  for (JournalTime& time : journal.Times) {
    uint32_t flags = 0;
    if (!r.Text(time.Name) || !r.U64(time.WriteTime) || !r.U32(flags)) return false;
    time.ReadOnly = (flags & 1) != 0;
  }
  uint32_t stored = 0;
  if (r.Position() != body || !r.U32(stored)) return false;
  if (stored != crc.Compute(bytes.data(), body)) return false;
  // Every name is joined to the installation and the work directory.
  for (const std::string& name : journal.Archives) {
    if (!IsSafeRelativeName(name)) return false;
  }
  for (const JournalLooseFile& file_entry : journal.LooseFiles) {
    if (!IsSafeRelativeName(file_entry.Name)) return false;
  }
  for (const std::string& name : journal.CreatedDirectories) {
    if (!IsSafeRelativeName(name)) return false;
  }
  for (const JournalTime& time : journal.Times) {
    if (!IsSafeRelativeName(time.Name)) return false;
  }
  return true;
}

bool CommitJournal() { return MovePath(CommittedRecordPath(), PendingRecordPath()); }

bool RollBack(const UpdateJournal& journal) {
  bool done = false;
  // A second pass catches what a passing failure (a file held open a moment) left.
  for (int pass = 0; pass < 2 && !done; ++pass) {
    const bool undone = UndoChanges(journal);
    done = RemoveWorkFiles(journal) && undone;
  }
  // Until every change is undone the record stays, so that the next run goes on with it.
  return done && RemoveRecord(PendingRecordPath(), kPendingName);
}

// Directories the new version has no more, deepest first, when nothing is left in them;
// one that still holds something (a player's file) stays and decides nothing. False when
// an empty one would not go: the record stays, so that the next run removes it.
bool RemoveDeletedDirectories(const UpdateJournal& journal) {
  bool clean = true;
  for (const JournalLooseFile& file : journal.LooseFiles) {
    if (!file.Directory) continue;
    const std::string path = JoinPath(InstallPath, file.Name);
    const uint32_t attributes = GetPathAttributes(path);
    if (attributes == gca::kNoAttributes || !(attributes & gca::kAttrDirectory) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !HoldsOnly(path, nullptr)) {
      continue;
    }
    if (!RemoveDirectoryPath(path)) clean = false;
  }
  return clean;
}

bool FinishCommitted(const UpdateJournal& journal) {
  bool clean = false;
  bool timed = false;
  for (int pass = 0; pass < 2 && !(clean && timed); ++pass) {
    clean = true;
    for (const std::string& name : journal.Archives) clean = RemoveIfThere(BackupPath(name)) && clean;
    clean = RemoveWorkFiles(journal) && clean;
    clean = RemoveDeletedDirectories(journal) && clean;
    // The times are set again in the second pass, but they decide nothing.
    timed = RestoreListedTimes(journal.Times);
  }
  // Leftovers that would not go keep the record, so that the next run removes them.
  return clean && RemoveRecord(CommittedRecordPath(), kCommittedName);
}

void RecoverInterruptedUpdate() {
  if (InstallPath.empty()) return;
  // A directory cut off while it was made or retired holds at most a record that
  // decides nothing any more.
  RemoveOwnDirectory(JoinPath(InstallPath, kMakingDirName));
  RemoveOwnDirectory(JoinPath(InstallPath, kRetiringDirName));
  // Only a work directory with one of the run's records is the update's: a "tmp" of the
  // game's own is never looked into further.
  for (const char* name : {TempDirName, kOwnWorkDirName}) {
    if (!HoldsRecord(JoinPath(InstallPath, name))) continue;
    SetWorkDirectoriesIn(name);
    RecoverWorkDirectory();
  }
  SelectWorkDirectory();
}

void RecoverWorkDirectory() {
  UpdateJournal journal;
  if (Exists(CommittedRecordPath())) {
    const bool read = ReadJournal(CommittedRecordPath(), journal);
    LogLine(std::string("recovery: a committed update's leftovers in ") + TempDirectory +
            (!read ? ": its record cannot be read, kept" : FinishCommitted(journal) ? ": removed" : ": some kept"));
  } else if (Exists(PendingRecordPath())) {
    // An unreadable pending record stays: without it nothing can be put back safely,
    // and the update refuses to run over it.
    const bool read = ReadJournal(PendingRecordPath(), journal);
    LogLine(std::string("recovery: an interrupted update in ") + TempDirectory +
            (!read ? ": its record cannot be read, kept" : RollBack(journal) ? ": put back" : ": not all put back, record kept"));
  } else {
    LogLine("recovery: a work directory without a record: removed, " + TempDirectory);
    // Cut off before its record was whole: nothing of the game had changed, and the
    // next run's record is written over the draft.
    RemoveDirectoryTree(TempDirectory);
    if (HoldsOnly(TempDirectory, kDraftName)) RetireWorkDirectory();
  }
}

void RemoveTree(const std::string& directory) {
  if (GetPathAttributes(directory) == gca::kNoAttributes) return;
  std::vector<FindEntry> entries;
  if (ListDirectory(directory, entries)) {
    for (const FindEntry& item : entries) {
      const std::string path = JoinPath(directory, item.Name);
      if ((item.Attributes & gca::kAttrDirectory) && !(item.Attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveTree(path);
      } else if (item.Attributes & gca::kAttrDirectory) {
        RemoveDirectoryPath(path);
      } else {
        RemoveFile(path);
      }
    }
  }
  RemoveDirectoryPath(directory);
}

bool RestoreListedTimes(const std::vector<JournalTime>& times) {
  bool all = true;
  // A time is there when it is there as the volume keeps times (FAT: 2 s).
  const uint64_t resolution = times.empty() ? 1 : FileTimeResolution(InstallPath);
  for (const JournalTime& time : times) {
    const std::string path = JoinPath(InstallPath, time.Name);
    const uint32_t attributes = GetPathAttributes(path);
    if (attributes == gca::kNoAttributes) continue;  // a missing file changes nothing
    if (attributes & gca::kAttrDirectory) {
      SetPathTimes(path, nullptr, &time.WriteTime);  // where the system allows it
      continue;
    }
    // A read-only file cannot be opened for writing its times. Its bit after the update
    // comes from the record, so that a run cut off between the two attribute changes
    // still ends with the right one.
    uint32_t plain = attributes & ~(gca::kAttrReadOnly | gca::kAttrNormal);
    if (attributes & gca::kAttrReadOnly) SetPathAttributes(path, plain != 0 ? plain : gca::kAttrNormal);
    SetPathTimes(path, nullptr, &time.WriteTime);
    if (time.ReadOnly) SetPathAttributes(path, plain | gca::kAttrReadOnly);
    FindEntry entry;
    if (!FindOne(path, entry)) {
      all = false;
      continue;
    }
    if (!SameFileTime(entry.LastWriteTime, time.WriteTime, resolution) ||
        ((entry.Attributes & gca::kAttrReadOnly) != 0) != time.ReadOnly) {
      all = false;
    }
  }
  return all;
}
