#include "tools/patch_builder.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include "app/payload_format.h"
#include "archive/gca_archive.h"
#include "codec/block_pool.h"
#include "tools/archive_access.h"
#include "tools/delta_choice.h"
#include "tools/host_files.h"
#include "tools/patch_delta.h"
#include "tools/patch_names.h"
#include "tools/patch_packing.h"
#include "tools/patch_staging.h"
#include "tools/patch_verify.h"
#include "tools/tree_compare.h"

namespace fs = std::filesystem;
using namespace builder;

bool CheckPatchCodePage(int code_page, std::string& error) { return CheckCodePage(code_page, error); }

namespace {

// The records' texts and check files from the options, checked before any work is done.
bool MakeRecords(const PatchOptions& options, PayloadRecords& records, std::string& error) {
  records.Title = options.Title;
  records.OldVersion = options.OldVersion;
  records.NewVersion = options.NewVersion;
  records.OldCheckFile = options.CheckFile;
  records.NewCheckFile = options.NewCheckFile.empty() ? options.CheckFile : options.NewCheckFile;
  std::replace(records.OldCheckFile.begin(), records.OldCheckFile.end(), '/', '\\');
  std::replace(records.NewCheckFile.begin(), records.NewCheckFile.end(), '/', '\\');
  for (const auto& [text, what] : {std::make_pair(&records.Title, "the title"),
                                   std::make_pair(&records.OldVersion, "the old version text"),
                                   std::make_pair(&records.NewVersion, "the new version text")}) {
    if (text->empty()) {
      error = std::string(what) + " is empty";
      return false;
    }
  }
  for (const std::string* check : {&records.OldCheckFile, &records.NewCheckFile}) {
    const std::string problem = NameProblem(*check);
    if (!problem.empty()) {
      error = "the check file \"" + *check + "\" cannot be used: " + problem;
      return false;
    }
  }
  return true;
}

// Records are laid out and their tags placed before anything is compared, with the
// digests and time stamps standing in (their bytes can never form a tag).
bool ProbeLayout(const std::vector<uint8_t>& stub, uint64_t image_end, const PayloadRecords& records,
                 std::string& error) {
  PayloadRecords probe = records;
  probe.OldCheckHash = probe.NewCheckHash = std::string(128, '0');
  std::vector<uint8_t> payload;
  return LayOutRecords(stub, image_end, probe, payload, error);
}

// The work directory next to the output and the stage below it.
bool MakeStage(const std::string& output, WorkTree& work, std::string& error) {
  if (!MakeWorkDirectory(output, work.Root, error)) return false;
  std::error_code ec;
  fs::create_directories(work.Root / "stage", ec);
  if (ec) {
    error = "cannot create the work directory \"" + work.Root.u8string() + "\"";
    return false;
  }
  return true;
}

// Packs the stage, writes the patch and reads it back.
bool WriteAndCheck(const PatchOptions& options, const std::vector<uint8_t>& stub, const PayloadRecords& records,
                   const StagedPatch& staged, const fs::path& work, PatchSummary& summary, std::string& error) {
  const auto progress = [&](const char* stage, uint64_t done, uint64_t total) {
    if (options.Progress) options.Progress(stage, done, total);
  };
  std::vector<std::string> sources;
  if (!ListStagedSources(work / "stage", sources, error)) return false;
  // Every record is laid out with its real values and its tags placed before anything is
  // written.
  std::vector<uint8_t> payload;
  if (!LayOutRecords(stub, summary.ImageEnd, records, payload, error)) return false;
  summary.RecordsSize = payload.size();
  const fs::path archive_path = work / "patch.gca";
  if (!PackArchive(sources, archive_path, [&](uint64_t done, uint64_t total) { progress("packing", done, total); },
                   error)) {
    return false;
  }
  const fs::path patch = work / "patch.exe";
  if (!WritePatchFile(stub, summary.ImageEnd, payload, archive_path, patch, summary.ArchiveSize, error)) return false;
  summary.PatchSize = summary.ImageEnd + payload.size() + summary.ArchiveSize;
  if (options.AfterWrite) options.AfterWrite(patch.u8string());
  return VerifyPatch(patch, records, summary.ImageEnd + payload.size() - kTagSize, staged.Loose, staged.Merged,
                     staged.Digests, options.Progress, error);
}

}  // namespace

bool BuildPatch(const PatchOptions& options, PatchSummary& summary, std::string& error) {
  summary = PatchSummary();
  summary.WithTimes = options.WithTimes;
  if (!CheckSignOptions(options.Sign, error)) return false;
  if (!CheckCodePage(options.CodePage, error)) return false;
  StageSettings settings;
  settings.OldRoot = fs::u8path(options.OldDir);
  settings.NewRoot = fs::u8path(options.NewDir);
  settings.WithTimes = options.WithTimes;
  settings.AllowLongNames = options.AllowLongNames;
  settings.KeepDeleted = options.KeepDeleted;
  settings.Deltas = !options.NoDelta;
  settings.Rebuild = options.Rebuild;
  settings.Progress = [&](const char* stage, uint64_t done, uint64_t total) {
    if (options.Progress) options.Progress(stage, done, total);
  };

  PayloadRecords records;
  if (!MakeRecords(options, records, error)) return false;
  std::vector<uint8_t> stub;
  if (!ReadStub(options.Stub, stub, summary.ImageEnd, error)) return false;
  if (!ProbeLayout(stub, summary.ImageEnd, records, error)) return false;
  if (!ReadCheckDigests(settings.OldRoot, settings.NewRoot, records, error)) return false;

  std::map<std::string, TreeFile> old_files, new_files;
  if (!ListTree(settings.OldRoot, old_files, error) || !ListTree(settings.NewRoot, new_files, error)) return false;
  summary.KeepDeleted = options.KeepDeleted;
  if (!ListDeletions(old_files, new_files, records, options.KeepDeleted, summary, error)) return false;
  if (!CheckNewNames(new_files, options.AllowLongNames, error)) return false;

  WorkTree work;
  if (!MakeStage(options.Output, work, error)) return false;
  settings.Stage = work.Root / "stage";
  StagedPatch staged;
  summary.DeltasEnabled = !options.NoDelta;
  summary.Rebuild = options.Rebuild;
  records.Rebuild = options.Rebuild;
  if (!StageTrees(settings, old_files, new_files, records, staged, summary, error)) return false;
  summary.TimeStamps = static_cast<int>(records.Times.size());
  if (!WriteAndCheck(options, stub, records, staged, work.Root, summary, error)) return false;

  fs::path finished = work.Root / "patch.exe";
  if (options.Sign.Enabled()) {
    // The signature covers the appended payload: signing comes last.
    finished = work.Root / "signed.exe";
    if (!SignPatch(options.Sign, work.Root / "patch.exe", finished, work.Root / "sign.log", summary.ImageEnd,
                   summary.SignatureSize, error)) {
      return false;
    }
    std::error_code ec;
    summary.PatchSize = fs::file_size(finished, ec);
  }
  return ReplaceOutput(finished, fs::u8path(options.Output), error);
}
