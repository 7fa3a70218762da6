#include "app/update_worker.h"

#include <windows.h>
// Shell types used by the file-system declarations.
#include "platform/wide_api.h"

#include <memory>
#include <set>
#include <vector>

#include "app/app_globals.h"
#include "app/payload.h"
#include "archive/gca_archive.h"
#include "codec/block_pool.h"
#include "platform/file_stream.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/wide_api.h"

std::atomic<int64_t> ItemDone{0};
std::atomic<int64_t> ItemTotal{1};
std::atomic<int64_t> StepDone{0};
std::atomic<int64_t> StepTotal{1};

const char TempDirName[] = "tmp";
const char StagingDirName[] = "___";
std::string TempDirectory;
std::string StagingDirectory;

const char kFinishedText[] = "finished renewal of patch complete.";
const char kSuccessMessage[] = "                        Success                        ";
const char kFailedText[] = "Update process failed.";
const char kFailedMessage[] = "Update process failed.\nPlease update it after installing the game again.";

namespace {

UpdateUi* g_ui = nullptr;

constexpr uint32_t kDirectoryBit = 0x10;
// Most workers that decode the patch's frames (the address space of a 32-bit process).
constexpr unsigned kPatchWorkers = 4;
constexpr uint32_t kReadOnlyBit = 0x01;
constexpr uint32_t kNoAttributes = 0xFFFFFFFFu;
// Where the old copy of a loose file waits until the new one is in place.
const char kAsideDirName[] = "___old";

void Repaint() {
  if (g_ui != nullptr) g_ui->Repaint();
}

void SetItem(int64_t done, int64_t total) {
  ItemDone = done;
  ItemTotal = total;
  Repaint();
}

bool IsStagingMember(const std::string& name) { return name.compare(0, 3, StagingDirName) == 0 && name.size() >= 3; }

// UTF-8 text for the archive code, which works in the system code page; false when a
// character has no form there.
bool ToAnsi(const std::string& text, std::string& out) {
  out = Utf8ToAnsi(text);
  return !out.empty() || text.empty();
}

bool SetAttributesUtf8(const std::string& path, uint32_t attributes) {
  if (IsWideSystem() && WideApi.SetFileAttributesW != nullptr) {
    return WideApi.SetFileAttributesW(Utf8ToWide(AddLongPathPrefix(path)).c_str(), attributes) != 0;
  }
  return SetFileAttributesA(Utf8ToAnsi(path).c_str(), attributes) != 0;
}

// Deletes every file below a directory of the work tree and then its emptied directories.
void RemoveTreeContents(const std::string& directory) {
  FindEntry entry;
  HANDLE search = FindFirst(JoinPath(directory, "*.*"), entry);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<FindEntry> entries;
  do {
    if (entry.Name != "." && entry.Name != "..") entries.push_back(entry);
  } while (FindNext(search, entry));
  FindClose(search);
  for (const FindEntry& item : entries) {
    const std::string path = JoinPath(directory, item.Name);
    if (item.Attributes & kDirectoryBit) {
      RemoveTreeContents(path);
      RemoveDirectoryPath(path);
    } else {
      RemoveFile(path);
    }
  }
}

void RemoveTree(const std::string& directory) {
  if (GetPathAttributes(directory) == kNoAttributes) return;
  RemoveTreeContents(directory);
  RemoveDirectoryPath(directory);
}

// Names compared the way the file system compares them: ASCII letters without case.
// UTF-8 multi-byte sequences contain no ASCII bytes, so folding them is safe.
std::string FoldName(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// Records the notices that turn a step into a failure; every notice gets the answer
// the archive code gives without a callback.
struct NoticeRecorder {
  bool Failed = false;
  void Install(gca::GcaArchive* archive) {
    archive->SetNoticeCallback([this](uint32_t code, const std::string&, gca::GcaArchive*) -> int32_t {
      if (code == gca::kNoticeEntryCrc || code == gca::kNoticeUnsafeName ||
          code == gca::kNoticeCannotCreateDirectory || code == gca::kNoticeBuildReadError ||
          code == gca::kNoticeBuildWriteError || code == gca::kNoticeCannotOpenSource) {
        Failed = true;
      }
      return -1;
    });
  }
};

struct DataArchive {
  std::string Name;            // base name n
  std::string Path;            // n.dat in the installation
  std::string Backup;          // n.bak in the installation
  std::string Rebuilt;         // n.gca in the work directory
  std::string Content;         // the unpacked content directory
  std::vector<std::string> Entries;  // members as unpacked (UTF-8)
  std::vector<std::string> PatchMembers;  // the patch's members, names inside the data archive
  bool Swapped = false;
};

struct PatchEntry {
  std::string Name;  // UTF-8
  uint32_t Attributes = 0;
};

class UpdateRun {
 public:
  bool Run();

 private:
  bool OpenPatch();
  bool CollectEntries();
  bool RecoverBackups();
  bool Unpack(DataArchive& archive);
  bool ExtractPatch();
  bool Rebuild(DataArchive& archive);
  bool VerifyRebuilt(const DataArchive& archive);
  bool SwapAll();
  bool PlaceLooseFiles();
  bool PlaceLooseFile(const std::string& name);
  void CleanStaging();
  bool RestoreTimes();
  void CleanUpAfterFailure();
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
  int64_t step_ = 0;
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

bool UpdateRun::CollectEntries() {
  const int32_t count = patch_.EntryCount();
  std::set<std::string> names;
  for (int32_t i = 0; i < count; ++i) {
    PatchEntry entry;
    entry.Name = AnsiToUtf8(patch_.EntryName(i));
    entry.Attributes = patch_.EntryAttributes(i);
    // Every entry is joined to the work directory and the installation: it must stay
    // below them.
    if (!IsSafeRelativeName(entry.Name)) return false;
    if (entry.Name.size() >= 5 && IsStagingMember(entry.Name)) {
      const std::string rest = entry.Name.substr(4);
      const size_t slash = rest.find('\\');
      if (slash != std::string::npos) names.insert(rest.substr(0, slash));
    }
    entries_.push_back(entry);
  }
  for (const std::string& name : names) {
    DataArchive archive;
    archive.Name = name;
    archive.Path = JoinPath(InstallPath, name + ".dat");
    archive.Backup = JoinPath(InstallPath, name + ".bak");
    archive.Rebuilt = JoinPath(TempDirectory, name + ".gca");
    archive.Content = JoinPath(StagingDirectory, name);
    archives_.push_back(archive);
  }
  for (const PatchEntry& entry : entries_) {
    if (entry.Name.size() < 5 || !IsStagingMember(entry.Name)) continue;
    const std::string rest = entry.Name.substr(4);
    const size_t slash = rest.find('\\');
    if (slash == std::string::npos) continue;
    for (DataArchive& archive : archives_) {
      if (archive.Name == rest.substr(0, slash)) archive.PatchMembers.push_back(rest);
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
      if (!MovePath(archive.Path, archive.Backup)) return false;
    } else if (!RemoveFile(archive.Backup)) {
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
  if (!handle.Open()) return false;
  const int32_t count = handle.EntryCount();
  handle.SetOutputDirectory(ansi_staging);
  for (int32_t k = 0; k < count; ++k) {
    SetItem(k, count);
    const std::string name = AnsiToUtf8(handle.EntryName(k));
    if (!IsSafeRelativeName(name)) return false;
    archive.Entries.push_back(name);
    if (!handle.ExtractEntry(k) || notices.Failed) return false;
  }
  SetItem(count, count);
  handle.Close();
  handle.ReleaseBuffers();
  handle.Destroy();
  return true;
}

bool UpdateRun::ExtractPatch() {
  NextStep();
  std::string ansi_temp;
  if (!ToAnsi(TempDirectory, ansi_temp)) return false;
  patch_.SetOutputDirectory(ansi_temp);
  // The patch's frames are decoded on every core, at most kPatchWorkers: each worker
  // takes about 21 MiB of address space (its codec's buffers and two slots) and a
  // thread stack, so four add about 93 MiB to the 17 MiB of the patch archive's own
  // codec. They are freed again when the patch is out.
  struct PoolForExtraction {
    gca::GcaArchive* archive;
    ~PoolForExtraction() { archive->SetThreads(1); }
  } pool{patch_.Archive()};
  const unsigned processors = gca::ProcessorCount();
  pool.archive->SetThreads(processors < kPatchWorkers ? processors : kPatchWorkers);
  const int64_t count = static_cast<int64_t>(entries_.size());
  for (int32_t i = 0; i < static_cast<int32_t>(count); ++i) {
    const PatchEntry& entry = entries_[i];
    const std::string target = JoinPath(TempDirectory, entry.Name);
    if (PathExists(target)) {
      if (entry.Attributes & kDirectoryBit) continue;
      // The patch's copy replaces the one unpacked from the data archive.
      if (!RemoveFile(target) && PathExists(target)) return false;
    }
    SetItem(i, count);
    if (!patch_.ExtractEntry(i) || patch_notices_.Failed) return false;
  }
  SetItem(count, count);
  return true;
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
  builder->SetArchivePath(ansi_rebuilt);
  builder->SetSourceList({ansi_content});
  NoticeRecorder notices;
  notices.Install(builder.get());
  const bool built = builder->Build() && !notices.Failed;
  builder->ReleaseBuffers();
  builder.reset();
  return built && VerifyRebuilt(archive);
}

// The rebuilt archive must read back with exactly the members that were unpacked and
// patched, plus the directories that hold them.
bool UpdateRun::VerifyRebuilt(const DataArchive& archive) {
  std::set<std::string> expected;
  std::set<std::string> directories;
  auto add = [&](const std::string& name) {
    expected.insert(FoldName(name));
    for (size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\', at + 1)) {
      directories.insert(FoldName(name.substr(0, at)));
    }
  };
  for (const std::string& name : archive.Entries) add(name);
  for (const std::string& name : archive.PatchMembers) add(name);

  gca::ArchiveHandle handle;
  handle.Create();
  if (!handle.PrepareBuffers()) return false;
  std::string ansi_rebuilt;
  if (!ToAnsi(archive.Rebuilt, ansi_rebuilt)) return false;
  handle.SetArchivePath(ansi_rebuilt);
  if (!handle.Open()) return false;
  std::set<std::string> found;
  const int32_t count = handle.EntryCount();
  for (int32_t k = 0; k < count; ++k) {
    const std::string name = FoldName(AnsiToUtf8(handle.EntryName(k)));
    if (expected.count(name) == 0 && directories.count(name) == 0) return false;
    found.insert(name);
  }
  handle.Close();
  handle.ReleaseBuffers();
  for (const std::string& name : expected) {
    if (found.count(name) == 0) return false;
  }
  return true;
}

// Every data archive goes to its backup and the rebuilt one takes its place; when one
// of them cannot be swapped, all swapped so far are put back. Backups are deleted only
// after every data archive is in place.
bool UpdateRun::SwapAll() {
  for (DataArchive& archive : archives_) {
    if (!MovePath(archive.Backup, archive.Path)) break;
    if (!MovePath(archive.Path, archive.Rebuilt)) {
      MovePath(archive.Path, archive.Backup);
      break;
    }
    archive.Swapped = true;
  }
  bool all = true;
  for (const DataArchive& archive : archives_) all = all && archive.Swapped;
  if (!all) {
    for (auto it = archives_.rbegin(); it != archives_.rend(); ++it) {
      if (!it->Swapped) continue;
      // Should a move fail here, the backup stays and the next run puts it back.
      if (MovePath(it->Rebuilt, it->Path)) MovePath(it->Path, it->Backup);
      it->Swapped = false;
    }
    return false;
  }
  for (const DataArchive& archive : archives_) RemoveFile(archive.Backup);
  return true;
}

// The old file waits in the work directory until the new one is in place.
bool UpdateRun::PlaceLooseFile(const std::string& name) {
  const std::string staged = JoinPath(TempDirectory, name);
  const std::string target = JoinPath(InstallPath, name);
  if (!CreateDirectoryTree(ParentDirectory(target))) return false;
  std::string aside;
  if (PathExists(target)) {
    aside = JoinPath(JoinPath(TempDirectory, kAsideDirName), name);
    if (!CreateDirectoryTree(ParentDirectory(aside))) return false;
    if (PathExists(aside) && !RemoveFile(aside)) return false;
    if (!MovePath(aside, target)) return false;
  }
  if (!MovePath(target, staged)) {
    if (!aside.empty()) MovePath(target, aside);
    return false;
  }
  if (!aside.empty()) RemoveFile(aside);
  return true;
}

bool UpdateRun::PlaceLooseFiles() {
  NextStep();
  const int64_t count = static_cast<int64_t>(entries_.size());
  for (int64_t i = 0; i < count; ++i) {
    SetItem(i, count);
    const PatchEntry& entry = entries_[static_cast<size_t>(i)];
    if (entry.Attributes & kDirectoryBit) continue;
    if (IsStagingMember(entry.Name)) {
      // The member has served its purpose.
      RemoveFile(JoinPath(TempDirectory, entry.Name));
      continue;
    }
    if (!PlaceLooseFile(entry.Name)) return false;
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

// The time-stamp list of the payload; the list ends at the first short read.
bool UpdateRun::RestoreTimes() {
  const int32_t position = FindRecord(program_path_, AssembleTag(DatTimeName));
  if (position <= 0) return true;
  FileStream file;
  if (!file.Open(program_path_, 0)) return true;
  bool ok = true;
  if (file.Seek(static_cast<uint64_t>(position) + kTagSize)) {
    const uint64_t size = file.Size();
    const uint32_t count = file.ReadU32();
    for (uint32_t i = 0; i < count && !file.ShortRead(); ++i) {
      const uint32_t length = file.ReadU32();
      const uint64_t at = file.Tell();
      if (file.ShortRead() || at == ~0ull || at > size || size - at < length) break;
      std::string name(length, '\0');
      if (length != 0 && file.Read(&name[0], length) != length) break;
      const uint64_t low = file.ReadU32();
      const uint64_t high = file.ReadU32();
      if (file.ShortRead()) break;
      const uint64_t write_time = low | (high << 32);
      if (!IsSafeRelativeName(name)) continue;
      const std::string path = JoinPath(InstallPath, name);
      const uint32_t attributes = GetPathAttributes(path);
      if (attributes == kNoAttributes) continue;  // a missing file changes nothing
      if (attributes & kDirectoryBit) {
        SetPathTimes(path, nullptr, &write_time);  // where the system allows it
        continue;
      }
      // A read-only file cannot be opened for writing its times.
      const bool read_only = (attributes & kReadOnlyBit) != 0;
      if (read_only) SetAttributesUtf8(path, attributes & ~kReadOnlyBit);
      if (!SetPathTimes(path, nullptr, &write_time)) ok = false;
      if (read_only) SetAttributesUtf8(path, attributes);
    }
  }
  file.Close();
  return ok;
}

// A failed run leaves no staged content behind; what is still in the installation
// (an unswapped data archive, an old loose file) is left alone.
void UpdateRun::CleanUpAfterFailure() {
  for (const DataArchive& archive : archives_) {
    if (!archive.Swapped && PathExists(archive.Rebuilt)) RemoveFile(archive.Rebuilt);
    for (const std::string& member : archive.Entries) RemoveFile(JoinPath(StagingDirectory, member));
    RemoveTree(archive.Content);
  }
  for (const PatchEntry& entry : entries_) {
    if (!(entry.Attributes & kDirectoryBit)) {
      const std::string staged = JoinPath(TempDirectory, entry.Name);
      if (PathExists(staged)) RemoveFile(staged);
    }
  }
  RemoveDirectoryTree(TempDirectory);
}

bool UpdateRun::Run() {
  TempDirectory = JoinPath(InstallPath, TempDirName);
  StagingDirectory = JoinPath(TempDirectory, StagingDirName);
  bool ok = OpenPatch() && CollectEntries() && RecoverBackups();
  for (size_t j = 0; ok && j < archives_.size(); ++j) ok = Unpack(archives_[j]);
  ok = ok && ExtractPatch();
  for (size_t j = 0; ok && j < archives_.size(); ++j) ok = Rebuild(archives_[j]);
  // Nothing of the game has changed up to here.
  ok = ok && SwapAll();
  ok = ok && PlaceLooseFiles();
  if (!ok) {
    CleanUpAfterFailure();
    patch_.Destroy();
    return false;
  }
  CleanStaging();
  RemoveDirectoryTree(TempDirectory);
  ok = RestoreTimes();
  const int64_t steps = 3 * static_cast<int64_t>(archives_.size()) + 2;
  const int64_t count = static_cast<int64_t>(entries_.size());
  StepDone = step_;
  StepTotal = steps;
  ItemDone = count;
  ItemTotal = count;
  Repaint();
  patch_.Destroy();
  return ok;
}

}  // namespace

void SetUpdateUi(UpdateUi* ui) { g_ui = ui; }
UpdateUi* GetUpdateUi() { return g_ui; }

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
    ui->ShowMessage(kSuccessMessage, WindowTitle, 0);
    const std::string page = InstallPath + "\\update\\index.htm";
    if (PathExists(page)) ui->OpenDocument(page);
  } else {
    ui->SetProgressText(kFailedText);
    ui->ShowMessage(kFailedMessage, WindowTitle, 0x10);
  }
  ui->AnnounceEnd();
}
