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

bool BuildPatch(const PatchOptions& options, PatchSummary& summary, std::string& error) {
  summary = PatchSummary();
  summary.WithTimes = options.WithTimes;
  if (!CheckSignOptions(options.Sign, error)) return false;
  if (!CheckCodePage(options.CodePage, error)) return false;
  const fs::path old_root = fs::u8path(options.OldDir);
  const fs::path new_root = fs::u8path(options.NewDir);
  const auto progress = [&](const char* stage, uint64_t done, uint64_t total) {
    if (options.Progress) options.Progress(stage, done, total);
  };

  PayloadRecords records;
  records.Title = options.Title;
  records.OldVersion = options.OldVersion;
  records.NewVersion = options.NewVersion;
  records.OldCheckFile = options.CheckFile;
  records.NewCheckFile = options.NewCheckFile.empty() ? options.CheckFile : options.NewCheckFile;
  std::replace(records.OldCheckFile.begin(), records.OldCheckFile.end(), '/', '\\');
  std::replace(records.NewCheckFile.begin(), records.NewCheckFile.end(), '/', '\\');
  // The texts are checked before any work is done.
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

  std::vector<uint8_t> stub;
  {
    std::vector<char> bytes;
    if (!ReadWhole(fs::u8path(options.Stub), bytes)) {
      error = "cannot read the updater image \"" + options.Stub + "\"";
      return false;
    }
    stub.assign(bytes.begin(), bytes.end());
  }
  summary.ImageEnd = PeImageEnd(stub.data(), stub.size());
  if (summary.ImageEnd == 0 || summary.ImageEnd > stub.size()) {
    error = "\"" + options.Stub + "\" is not a Windows program image";
    return false;
  }
  stub.resize(static_cast<size_t>(summary.ImageEnd));
  // A signed updater image loses its certificate table with the bytes behind its
  // sections: the security directory must not point into the payload that replaces them.
  {
    uint64_t table = 0, table_size = 0;
    size_t entry = 0;
    if (PeCertificateTable(stub.data(), stub.size(), table, table_size, &entry) && (table != 0 || table_size != 0)) {
      std::memset(stub.data() + entry, 0, 8);
    }
  }
  // Records are laid out and their tags placed before anything is compared, with the
  // digests and time stamps standing in (their bytes can never form a tag).
  const auto lay_out = [&](const PayloadRecords& r, std::vector<uint8_t>& payload) {
    std::vector<PayloadSpan> spans;
    if (!WritePayloadRecords(r, summary.ImageEnd, payload, error, &spans)) return false;
    std::vector<uint8_t> file(stub.begin(), stub.end());
    file.insert(file.end(), payload.begin(), payload.end());
    return CheckTagPlacement(file.data(), file.size(), spans, error);
  };
  {
    PayloadRecords probe = records;
    probe.OldCheckHash = probe.NewCheckHash = std::string(128, '0');
    std::vector<uint8_t> payload;
    if (!lay_out(probe, payload)) return false;
  }

  records.OldCheckHash = FileDigest(old_root / FromUtf8(records.OldCheckFile));
  records.NewCheckHash = FileDigest(new_root / FromUtf8(records.NewCheckFile));
  if (records.OldCheckHash.empty() || records.NewCheckHash.empty()) {
    error = "the check file \"" + (records.OldCheckHash.empty() ? records.OldCheckFile : records.NewCheckFile) +
            "\" cannot be read in " + (records.OldCheckHash.empty() ? "the old" : "the new") + " tree";
    return false;
  }
  // The updater takes an installation whose new check file has the new digest for one
  // already updated: an old installation must not have it.
  if (FileDigest(old_root / FromUtf8(records.NewCheckFile)) == records.NewCheckHash) {
    error = "the new check file \"" + records.NewCheckFile +
            "\" is the same in the old and the new version: the updater could not tell them apart and would "
            "take every old installation for an updated one";
    return false;
  }

  std::map<std::string, TreeFile> old_files, new_files;
  if (!ListTree(old_root, old_files, error) || !ListTree(new_root, new_files, error)) return false;
  summary.KeepDeleted = options.KeepDeleted;
  if (!ListDeletions(old_files, new_files, records, options.KeepDeleted, summary, error)) return false;
  {
    std::vector<std::string> names;
    for (const auto& [name, file] : new_files) {
      const std::string problem = NameProblem(name);
      if (!problem.empty()) {
        error = "\"" + name + "\" cannot be named in a patch: " + problem;
        return false;
      }
      if (!file.Directory && !options.AllowLongNames && !LeavesRoom(ArchiveText(name), false, name, error)) {
        return false;
      }
      names.push_back(name);
    }
    std::string first, second;
    if (FindCaseClash(names, first, second)) {
      error = "\"" + first + "\" and \"" + second +
              "\" differ only in letter case: the players' file system takes them for one";
      return false;
    }
  }

  WorkTree work;
  if (!MakeWorkDirectory(options.Output, work.Root, error)) return false;
  const fs::path stage = work.Root / "stage";
  const fs::path staging = stage / "___";
  std::error_code ec;
  fs::create_directories(stage, ec);
  if (ec) {
    error = "cannot create the work directory \"" + work.Root.u8string() + "\"";
    return false;
  }

  std::map<std::string, LooseExpectation> loose;
  std::vector<MergedArchive> merged;
  DeltaDigests delta_digests;
  summary.DeltasEnabled = !options.NoDelta;
  uint64_t compared = 0, compare_total = 0;
  for (const auto& [name, file] : new_files) compare_total += file.Size;
  progress("comparing", 0, compare_total);
  for (const auto& [name, file] : new_files) {
    if (file.Directory) continue;
    const fs::path new_path = new_root / FromUtf8(name);
    auto old = old_files.find(name);
    const bool is_new = old == old_files.end();
    std::string whole_reason;
    if (!is_new) {
      bool same = false;
      if (!SameBytes(old_root / FromUtf8(name), new_path, same)) {
        error = "cannot compare \"" + name + "\"";
        return false;
      }
      if (same && (old->second.Attributes & 1) == (file.Attributes & 1)) {
        // Only the time may differ: set by a time stamp when asked for, else left alone.
        if (old->second.WriteTime != file.WriteTime) {
          ++summary.LooseTimeOnly;
          if (options.WithTimes) records.Times.push_back({name, file.WriteTime});
        }
        compared += file.Size;
        progress("comparing", compared, compare_total);
        continue;
      }
      if (EndsWithDat(name)) {
        ArchiveSummary archive;
        archive.Name = name;
        MergedArchive expected;
        const uint64_t base = compared, size = file.Size;
        const Tick tick = [&progress, base, size, compare_total](uint64_t done, uint64_t total) {
          progress("comparing", base + (total == 0 ? 0 : size * done / total), compare_total);
        };
        const Staged staged = StageDataArchive(name, old_root / FromUtf8(name), new_path, staging,
                                               options.WithTimes, options.AllowLongNames, options.KeepDeleted,
                                               !options.NoDelta, delta_digests, tick, archive,
                                               expected, error);
        if (staged == Staged::Failed) return false;
        if (staged == Staged::Members) {
          summary.MembersTimeOnly += archive.TimeOnly;
          if (archive.Shipped > 0 || !expected.Deleted.empty()) {
            if (name == records.NewCheckFile || name == records.OldCheckFile) {
              error = "the check file \"" + name +
                      "\" is a data archive that the updater rebuilds; its digest after the update cannot be known";
              return false;
            }
            ++summary.DataArchives;
            summary.Members += archive.Shipped;
            records.Times.push_back({name, file.WriteTime});
            records.Deletions.insert(records.Deletions.end(), expected.Deleted.begin(), expected.Deleted.end());
            merged.push_back(std::move(expected));
          }
          summary.Archives.push_back(archive);
          compared += file.Size;
          progress("comparing", compared, compare_total);
          continue;
        }
        // Shipped whole like any other file.
        archive.ShippedWhole = true;
        archive.Bytes = file.Size;
        summary.Archives.push_back(archive);
        whole_reason = archive.WholeReason;
      }
    }
    const std::string archive_name = ArchiveText(name);
    if (archive_name.empty()) {
      error = "\"" + name + "\" has no form in the code page of the entry names";
      return false;
    }
    bool as_delta = false;
    if (!is_new && !options.NoDelta) {
      // A changed file (a data archive shipped whole too) may go as a delta.
      if (file.Size + old->second.Size > kDeltaLimit) {
        ++summary.TooLargeForDelta;
      } else {
        std::vector<char> old_chars, new_chars;
        if (!ReadWhole(old_root / FromUtf8(name), old_chars) || !ReadWhole(new_path, new_chars)) {
          error = "cannot read \"" + name + "\"";
          return false;
        }
        const std::vector<uint8_t> old_bytes(old_chars.begin(), old_chars.end()), new_bytes(new_chars.begin(), new_chars.end());
        std::vector<uint8_t> delta;
        const std::string old_digest = DigestOf(old_bytes);
        if (ChooseDelta(old_bytes, new_bytes, old_digest, delta)) {
          if (!WriteStaged(PathOfArchiveName(stage / "___delta", archive_name), delta, file.WriteTime, file.Attributes,
                           error)) {
            return false;
          }
          delta_digests[name] = old_digest;
          as_delta = true;
          ++summary.LooseDeltas;
          summary.LooseDeltaBytes += delta.size();
        }
      }
    }
    if (!as_delta && !CopyWithTimes(new_path, PathOfArchiveName(stage, archive_name), file, error)) return false;
    ++summary.LooseFiles;
    if (whole_reason.empty()) {
      ++(is_new ? summary.LooseAdded : summary.LooseReplaced);
      if (!as_delta) summary.LooseBytes += file.Size;
    }
    records.Times.push_back({name, file.WriteTime});
    loose[FoldNameCase(name)] = {name, new_path, (file.Attributes & 1) != 0};
    compared += file.Size;
    progress("comparing", compared, compare_total);
  }
  summary.TimeStamps = static_cast<int>(records.Times.size());
  {
    std::map<std::string, uint64_t> member_times;
    for (const MergedArchive& archive : merged) member_times.insert(archive.DirectoryTimes.begin(), archive.DirectoryTimes.end());
    SetStagedDirectoryTimes(stage, std::string(), new_files, member_times);
  }

  std::vector<std::string> sources;
  for (fs::directory_iterator it(stage, ec), end; !ec && it != end; it.increment(ec)) {
    sources.push_back(ArchivePath(it->path()));
  }
  if (sources.empty()) {
    error = "the two versions do not differ in any file";
    return false;
  }
  std::sort(sources.begin(), sources.end());

  // Every record is laid out with its real values and its tags placed before anything is
  // written.
  std::vector<uint8_t> payload;
  if (!lay_out(records, payload)) return false;
  summary.RecordsSize = payload.size();

  const fs::path archive_path = work.Root / "patch.gca";
  {
    auto builder = std::make_unique<gca::GcaArchive>();
    NoticeLog log;
    if (!builder->PrepareBuffers()) {
      error = "cannot allocate the archive buffers";
      return false;
    }
    InstallToolNotices(builder.get(), &log);
    builder->SetProgressCallback([&](uint64_t done, uint64_t total, gca::GcaArchive*) -> int32_t {
      progress("packing", done, total);
      return 1;
    });
    builder->CompressData = true;
    builder->CompressDirectory = true;
    builder->SetThreads(gca::ProcessorCount());  // the same bytes on any number of threads
    builder->SetArchivePath(ArchivePath(archive_path));
    builder->SetSourceList(sources);
    const bool built = builder->Build() && !log.Failed;
    builder->ReleaseBuffers();
    if (!built) {
      error = "building the patch archive failed";
      return false;
    }
  }

  // The archive is copied in pieces: a data archive shipped whole may be larger than
  // the memory of the machine that builds the patch.
  std::error_code size_error;
  summary.ArchiveSize = fs::file_size(archive_path, size_error);
  const fs::path patch = work.Root / "patch.exe";
  {
    std::ifstream in(archive_path, std::ios::binary);
    std::ofstream out(patch, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(stub.data()), static_cast<std::streamsize>(summary.ImageEnd));
    out.write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
    std::vector<char> buffer(1 << 20);
    uint64_t copied = 0;
    while (in && out) {
      in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      out.write(buffer.data(), in.gcount());
      copied += static_cast<uint64_t>(in.gcount());
    }
    out.close();
    if (size_error || in.bad() || !out || copied != summary.ArchiveSize) {
      error = "cannot write \"" + patch.u8string() + "\"";
      return false;
    }
  }
  summary.PatchSize = summary.ImageEnd + payload.size() + summary.ArchiveSize;
  if (options.AfterWrite) options.AfterWrite(patch.u8string());
  if (!VerifyPatch(patch, records, summary.ImageEnd + payload.size() - kTagSize, loose, merged, delta_digests,
                   options.Progress, error)) {
    return false;
  }
  fs::path finished = patch;
  if (options.Sign.Enabled()) {
    // The signature covers the appended payload: signing comes last.
    finished = work.Root / "signed.exe";
    if (!SignPatch(options.Sign, patch, finished, work.Root / "sign.log", summary.ImageEnd, summary.SignatureSize,
                   error)) {
      return false;
    }
    summary.PatchSize = fs::file_size(finished, ec);
  }
  return ReplaceOutput(finished, fs::u8path(options.Output), error);
}
