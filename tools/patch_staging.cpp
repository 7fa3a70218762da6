#include "tools/patch_staging.h"

#include <fstream>
#include <set>
#include <system_error>

#include "tools/archive_access.h"
#include "tools/delta_choice.h"
#include "tools/host_files.h"
#include "tools/patch_names.h"

namespace builder {

WorkTree::~WorkTree() {
  std::error_code ec;
  if (!Root.empty()) {
    // Read-only files must become writable to be removed everywhere.
    for (fs::recursive_directory_iterator it(Root, ec), end; !ec && it != end; it.increment(ec)) {
      SetAttributes(it->path(), 0x20);
    }
    fs::remove_all(Root, ec);
  }
}

bool MakeWorkDirectory(const std::string& output, fs::path& root, std::string& error) {
  const std::string base = output + ".work-" + std::to_string(ProcessId()) + "-";
  for (int n = 0; n < 1000; ++n) {
    const fs::path candidate = fs::u8path(base + std::to_string(n));
    std::error_code ec;
    if (fs::exists(fs::symlink_status(candidate, ec))) continue;
    if (fs::create_directory(candidate, ec) && !ec) {
      root = candidate;
      return true;
    }
  }
  error = "cannot create a work directory next to \"" + output + "\"";
  return false;
}

bool CopyWithTimes(const fs::path& from, const fs::path& to, const TreeFile& file, std::string& error) {
  std::error_code ec;
  fs::create_directories(to.parent_path(), ec);
  if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec)) {
    error = "cannot copy \"" + from.u8string() + "\": " + ec.message();
    return false;
  }
  SetAttributes(to, 0x20);
  if (!SetTime(to, file.WriteTime) || !SetAttributes(to, file.Attributes & ~0x10u)) {
    error = "cannot set the time or attributes of \"" + to.u8string() + "\"";
    return false;
  }
  return true;
}

bool WriteStaged(const fs::path& path, const std::vector<uint8_t>& bytes, uint64_t time, uint32_t attributes,
                 std::string& error) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      error = "cannot write \"" + path.u8string() + "\"";
      return false;
    }
  }
  if (!SetTime(path, time) || !SetAttributes(path, attributes & ~0x10u)) {
    error = "cannot set the time or attributes of \"" + path.u8string() + "\"";
    return false;
  }
  return true;
}

Staged StageDataArchive(const std::string& name, const fs::path& old_path, const fs::path& new_path,
                        const fs::path& staging, bool with_times, bool allow_long_names, bool keep_deleted,
                        bool deltas, DeltaDigests& delta_digests, const Tick& tick,
                        ArchiveSummary& summary, MergedArchive& merged, std::string& error) {
  const std::string base_utf8 = name.substr(0, name.size() - 4);
  const std::string base = ArchiveText(base_utf8);
  if (base.empty()) {
    error = "the name of \"" + name + "\" has no form in the code page";
    return Staged::Failed;
  }
  merged.Base = base_utf8;
  ArchiveReader old_archive, new_archive;
  const bool old_open = old_archive.Open(old_path);
  const bool new_open = new_archive.Open(new_path);
  if (!old_open || !new_open) {
    summary.WholeReason = !old_open && !new_open ? "not an archive"
                          : !old_open            ? "not an archive in the old version"
                                                 : "not an archive in the new version";
    return Staged::Whole;
  }
  // The updater unpacks the installed archive with every question answered "no" and packs
  // a plain one: a solid archive or a scrambled directory cannot be merged into, and the
  // new version's own form could not be produced.
  std::vector<std::string> reasons;
  if (old_archive.Solid() || new_archive.Solid()) reasons.push_back("solid");
  if (old_archive.ScrambledDirectory() || new_archive.ScrambledDirectory()) reasons.push_back("scrambled directory");
  if (!reasons.empty()) {
    summary.WholeReason = reasons[0] + (reasons.size() > 1 ? ", " + reasons[1] : std::string());
    return Staged::Whole;
  }

  std::map<std::string, const Member*> old_members;
  for (const Member& member : old_archive.Members()) old_members[member.Name] = &member;
  std::set<std::string> new_names;
  std::vector<std::string> utf8_names;
  uint64_t total = 0;
  for (const Member& member : new_archive.Members()) {
    const std::string utf8 = Utf8OfArchiveName(member.Name);
    const std::string shown = "member \"" + utf8 + "\" of \"" + name + "\"";
    // The updater packs the directory named after the archive: every member must be in it.
    if (member.Name != base && member.Name.compare(0, base.size() + 1, base + "\\") != 0) {
      error = shown + " is not below \"" + base_utf8 + "\\\"; the updater rebuilds the archive from that directory";
      return Staged::Failed;
    }
    // The specific reason first; the updater's own rule then catches the rest.
    const std::string problem = utf8.empty() ? std::string() : WindowsNameProblem(utf8);
    if (!problem.empty()) {
      error = shown + " cannot be unpacked on Windows: " + problem;
      return Staged::Failed;
    }
    if (utf8.empty() || !IsSafeRelativeName(utf8)) {
      error = shown + " is not a safe relative name";
      return Staged::Failed;
    }
    if (!allow_long_names && !LeavesRoom(member.Name, true, shown, error)) return Staged::Failed;
    new_names.insert(member.Name);
    utf8_names.push_back(utf8);
    total += member.Record.UnpackedSize;
  }
  std::string first, second;
  if (FindCaseClash(utf8_names, first, second)) {
    error = "members \"" + first + "\" and \"" + second + "\" of \"" + name +
            "\" differ only in letter case: Windows takes them for one file";
    return Staged::Failed;
  }
  // Members the new version no longer has: left out of the rebuilt archive, or with
  // --keep-deleted left in it (then the new archive is expected to keep them).
  for (const Member& member : old_archive.Members()) {
    if (new_names.count(member.Name) != 0) continue;
    MemberState gone;
    gone.Name = Utf8OfArchiveName(member.Name);
    gone.Directory = (member.Record.Attributes & 0x10) != 0;
    gone.Attributes = member.Record.Attributes;
    if (gone.Name.empty() || !IsSafeRelativeName(gone.Name)) {
      error = "deleted member \"" + gone.Name + "\" of \"" + name + "\" is not a safe relative name";
      return Staged::Failed;
    }
    if (!gone.Directory) {
      gone.Digest = old_archive.Digest(member.Index);
      if (gone.Digest.empty()) {
        error = "cannot decode \"" + gone.Name + "\" of \"" + name + "\" (damaged data or CRC)";
        return Staged::Failed;
      }
    }
    merged.Old[FoldNameCase(gone.Name)] = gone;
    if (!gone.Directory) {
      ++(keep_deleted ? summary.Kept : summary.Deleted);
      (keep_deleted ? summary.KeptBytes : summary.DeletedBytes) += member.Record.UnpackedSize;
    }
    if (keep_deleted) {
      merged.New[FoldNameCase(gone.Name)] = gone;
    } else {
      merged.Deleted.push_back({"___\\" + gone.Name, gone.Directory});
    }
  }

  uint64_t done = 0;
  for (const Member& member : new_archive.Members()) {
    const std::string utf8 = Utf8OfArchiveName(member.Name);
    const bool directory = (member.Record.Attributes & 0x10) != 0;
    auto found = old_members.find(member.Name);
    MemberState now;
    now.Name = utf8;
    now.Directory = directory;
    now.Attributes = member.Record.Attributes;
    bool ship = false;
    if (found == old_members.end()) {
      ++summary.Added;
      ship = true;
    } else {
      const gca::EntryRecord& a = found->second->Record;
      const gca::EntryRecord& b = member.Record;
      MemberState before;
      before.Name = Utf8OfArchiveName(found->second->Name);
      before.Directory = (a.Attributes & 0x10) != 0;
      before.Attributes = a.Attributes;
      if (directory || before.Directory) {
        // A directory has no bytes; a directory that is there already is kept.
        ship = directory != before.Directory;
        if (ship) ++summary.Replaced;
      } else {
        bool same = a.Crc == b.Crc && a.UnpackedSize == b.UnpackedSize && a.Attributes == b.Attributes;
        if (same) {
          // Equal records: the bytes decide.
          before.Digest = old_archive.Digest(found->second->Index);
          now.Digest = new_archive.Digest(member.Index);
          if (before.Digest.empty() || now.Digest.empty()) {
            error = "cannot decode \"" + utf8 + "\" of \"" + name + "\" (damaged data or CRC)";
            return Staged::Failed;
          }
          same = before.Digest == now.Digest;
        }
        if (!same) {
          ++summary.Replaced;
          ship = true;
        } else if (a.WriteTime != b.WriteTime) {
          ++summary.TimeOnly;
          ship = with_times;
        } else {
          ++summary.Unchanged;
        }
      }
      merged.Old[FoldNameCase(before.Name)] = before;
    }
    if (ship && deltas && !directory && found != old_members.end() && !(found->second->Record.Attributes & 0x10)) {
      // A changed member may go as a delta from its old content.
      std::vector<uint8_t> old_bytes, new_bytes, delta;
      if (!old_archive.Bytes(found->second->Index, old_bytes) || !new_archive.Bytes(member.Index, new_bytes)) {
        error = "cannot decode \"" + utf8 + "\" of \"" + name + "\" (damaged data or CRC)";
        return Staged::Failed;
      }
      const std::string old_digest = DigestOf(old_bytes);
      if (ChooseDelta(old_bytes, new_bytes, old_digest, delta)) {
        if (!WriteStaged(PathOfArchiveName(staging.parent_path() / "___delta" / "___", member.Name), delta,
                         member.Record.WriteTime, member.Record.Attributes, error)) {
          return Staged::Failed;
        }
        now.Digest = DigestOf(new_bytes);
        delta_digests["___\\" + utf8] = old_digest;
        ++summary.Deltas;
        summary.DeltaBytes += delta.size();
        ++summary.Shipped;
        ship = false;
      }
    }
    if (ship) {
      if (!new_archive.Extract(staging, member.Index)) {
        error = "cannot extract \"" + utf8 + "\" of \"" + name + "\"";
        return Staged::Failed;
      }
      if (!directory) {
        now.Digest = FileDigest(PathOfArchiveName(staging, member.Name));
        if (now.Digest.empty()) {
          error = "cannot read the extracted \"" + utf8 + "\" of \"" + name + "\"";
          return Staged::Failed;
        }
        summary.Bytes += member.Record.UnpackedSize;
      }
      ++summary.Shipped;
    }
    merged.New[FoldNameCase(utf8)] = now;
    if (directory) merged.DirectoryTimes["___\\" + utf8] = member.Record.WriteTime;
    done += member.Record.UnpackedSize;
    if (tick) tick(done, total);
  }
  return Staged::Members;
}

uint64_t SetStagedDirectoryTimes(const fs::path& root, const std::string& relative,
                                 const std::map<std::string, TreeFile>& new_files,
                                 const std::map<std::string, uint64_t>& member_times) {
  uint64_t latest = 0;
  std::error_code ec;
  std::vector<fs::directory_entry> children;
  for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) children.push_back(*it);
  for (const fs::directory_entry& child : children) {
    const std::string name = (relative.empty() ? std::string() : relative + "\\") + RelativeName(child.path().filename());
    uint64_t time = 0;
    if (child.is_directory(ec)) {
      time = SetStagedDirectoryTimes(child.path(), name, new_files, member_times);
    } else {
      GetTime(child.path(), time);
    }
    latest = std::max(latest, time);
  }
  if (relative.empty()) return latest;
  uint64_t own = latest;
  const auto loose = new_files.find(relative);
  const auto member = member_times.find(relative);
  if (member != member_times.end()) {
    own = member->second;
  } else if (loose != new_files.end() && loose->second.Directory) {
    own = loose->second.WriteTime;
  }
  SetTime(root, own);
  return own;
}

}  // namespace builder
