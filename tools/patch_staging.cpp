#include "tools/patch_staging.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <system_error>

#include "app/delta_format.h"
#include "tools/archive_access.h"
#include "tools/delta_choice.h"
#include "tools/host_files.h"
#include "tools/patch_delta.h"
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

namespace {

// Merges one changed data archive: the members of the new version against the old one.
class ArchiveMerger {
 public:
  ArchiveMerger(const std::string& name, const fs::path& staging, bool with_times, bool allow_long_names,
                bool keep_deleted, bool deltas, RebuildWay rebuild, DeltaDigests& delta_digests,
                ArchiveSummary& summary, MergedArchive& merged)
      : name_(name), staging_(staging), with_times_(with_times), allow_long_names_(allow_long_names),
        keep_deleted_(keep_deleted), deltas_(deltas), rebuild_(rebuild), delta_digests_(delta_digests),
        summary_(summary), merged_(merged) {}

  // Opens both archives; Whole (with the reason in the summary) when the updater could not
  // merge into them.
  Staged Open(const fs::path& old_path, const fs::path& new_path, std::string& error) {
    base_utf8_ = name_.substr(0, name_.size() - 4);
    base_ = ArchiveText(base_utf8_);
    if (base_.empty()) {
      error = "the name of \"" + name_ + "\" has no form in the code page";
      return Staged::Failed;
    }
    merged_.Base = base_utf8_;
    const bool old_open = old_.Open(old_path);
    const bool new_open = new_.Open(new_path);
    if (!old_open || !new_open) {
      summary_.WholeReason = !old_open && !new_open ? "not an archive"
                             : !old_open            ? "not an archive in the old version"
                                                    : "not an archive in the new version";
      return Staged::Whole;
    }
    // Keeping, every readable archive is merged into; its form is checked once it is
    // known to be rebuilt (CheckKeptForm).
    if (rebuild_ == RebuildWay::kKeep) return Staged::Members;
    // Unpacking or streaming, the updater reads the installed archive with every question
    // answered "no" and writes a stored one with a plain directory: a solid archive or a
    // scrambled directory cannot be merged into, and the new version's own form could not
    // be produced.
    std::vector<std::string> reasons;
    if (old_.Solid() || new_.Solid()) reasons.push_back("solid");
    if (old_.ScrambledDirectory() || new_.ScrambledDirectory()) reasons.push_back("scrambled directory");
    if (!reasons.empty()) {
      summary_.WholeReason = reasons[0] + (reasons.size() > 1 ? ", " + reasons[1] : std::string());
      return Staged::Whole;
    }
    return Staged::Members;
  }

  // Keeping, the updater rebuilds the archive with the old one's options, solid and
  // scrambled directories included: the new version must have those same options, in the
  // directory form the writer writes. Anything else is refused by name, since shipping
  // the archive whole would silently give up what the publisher asked for. An archive
  // whose members all stay is not rebuilt, and its form is not looked at.
  bool CheckKeptForm(std::string& error) {
    if (rebuild_ != RebuildWay::kKeep || (summary_.Shipped == 0 && merged_.Deleted.empty())) return true;
    const ArchiveForm& before = old_.Form();
    const ArchiveForm& after = new_.Form();
    const std::string refused = "--rebuild keep: cannot rebuild \"" + name_ + "\": ";
    const std::string other_way = "; build the patch with --rebuild unpack or stream";
    for (const auto* form : {&before, &after}) {
      if (form->Directory != "GCA3" || !form->FrontRecord) {
        error = refused + "its " + (form == &before ? "old" : "new") + " version has a \"" + form->Directory +
                "\" directory, a form the updater does not write" + other_way;
        return false;
      }
    }
    std::string differ;
    const struct {
      bool a, b;
      const char* what;
    } options[] = {{before.CompressedData, after.CompressedData, "compressed data"},
                   {before.ScrambledData, after.ScrambledData, "scrambled data"},
                   {before.ScrambledDirectory, after.ScrambledDirectory, "scrambled directory"},
                   {before.Solid, after.Solid, "solid"}};
    for (const auto& option : options) {
      if (option.a != option.b) differ += (differ.empty() ? "" : ", ") + std::string(option.what);
    }
    if (!differ.empty()) {
      error = refused + "the old and new versions differ in " + differ + " (old: " + FormText(before) +
              "; new: " + FormText(after) + "), and the rebuilt archive keeps the old one's" + other_way;
      return false;
    }
    summary_.KeptOptions = FormText(before);
    return true;
  }

  // Every member of the new version must have a name the updater can unpack and rebuild.
  bool CheckNewMembers(std::string& error) {
    std::vector<std::string> utf8_names;
    for (const Member& member : new_.Members()) {
      const std::string utf8 = Utf8OfArchiveName(member.Name);
      const std::string shown = "member \"" + utf8 + "\" of \"" + name_ + "\"";
      // The updater packs the directory named after the archive: every member must be in it.
      if (member.Name != base_ && member.Name.compare(0, base_.size() + 1, base_ + "\\") != 0) {
        error = shown + " is not below \"" + base_utf8_ + "\\\"; the updater rebuilds the archive from that directory";
        return false;
      }
      // The specific reason first; the updater's own rule then catches the rest.
      const std::string problem = utf8.empty() ? std::string() : WindowsNameProblem(utf8);
      if (!problem.empty()) {
        error = shown + " cannot be unpacked on Windows: " + problem;
        return false;
      }
      if (utf8.empty() || !IsSafeRelativeName(utf8)) {
        error = shown + " is not a safe relative name";
        return false;
      }
      if (!allow_long_names_ && !LeavesRoom(member.Name, true, shown, error)) return false;
      new_names_.insert(member.Name);
      utf8_names.push_back(utf8);
      total_ += member.Record.UnpackedSize;
    }
    std::string first, second;
    if (FindCaseClash(utf8_names, first, second)) {
      error = "members \"" + first + "\" and \"" + second + "\" of \"" + name_ +
              "\" differ only in letter case: Windows takes them for one file";
      return false;
    }
    return true;
  }

  // Members the new version no longer has: left out of the rebuilt archive, or with
  // --keep-deleted left in it (then the new archive is expected to keep them).
  bool NoteDeletedMembers(std::string& error) {
    for (const Member& member : old_.Members()) {
      if (new_names_.count(member.Name) != 0) continue;
      MemberState gone;
      gone.Name = Utf8OfArchiveName(member.Name);
      gone.Directory = (member.Record.Attributes & 0x10) != 0;
      gone.Attributes = member.Record.Attributes;
      if (gone.Name.empty() || !IsSafeRelativeName(gone.Name)) {
        error = "deleted member \"" + gone.Name + "\" of \"" + name_ + "\" is not a safe relative name";
        return false;
      }
      if (!gone.Directory) {
        gone.Digest = old_.Digest(member.Index);
        if (gone.Digest.empty()) {
          error = "cannot decode \"" + gone.Name + "\" of \"" + name_ + "\" (damaged data or CRC)";
          return false;
        }
      }
      merged_.Old[FoldNameCase(gone.Name)] = gone;
      if (!gone.Directory) {
        ++(keep_deleted_ ? summary_.Kept : summary_.Deleted);
        (keep_deleted_ ? summary_.KeptBytes : summary_.DeletedBytes) += member.Record.UnpackedSize;
      }
      if (keep_deleted_) {
        merged_.New[FoldNameCase(gone.Name)] = gone;
      } else {
        merged_.Deleted.push_back({"___\\" + gone.Name, gone.Directory});
      }
    }
    return true;
  }

  // Compares and stages every member of the new version.
  bool StageMembers(const Tick& tick, std::string& error) {
    std::map<std::string, const Member*> old_members;
    for (const Member& member : old_.Members()) old_members[member.Name] = &member;
    uint64_t done = 0;
    for (const Member& member : new_.Members()) {
      auto found = old_members.find(member.Name);
      if (!StageMember(member, found == old_members.end() ? nullptr : found->second, error)) return false;
      done += member.Record.UnpackedSize;
      if (tick) tick(done, total_);
    }
    return true;
  }

 private:
  bool StageMember(const Member& member, const Member* old_member, std::string& error) {
    const std::string utf8 = Utf8OfArchiveName(member.Name);
    const bool directory = (member.Record.Attributes & 0x10) != 0;
    MemberState now;
    now.Name = utf8;
    now.Directory = directory;
    now.Attributes = member.Record.Attributes;
    bool ship = false;
    if (old_member == nullptr) {
      ++summary_.Added;
      ship = true;
    } else if (!CompareMember(member, *old_member, utf8, now, ship, error)) {
      return false;
    }
    if (ship && deltas_ && !directory && old_member != nullptr && !(old_member->Record.Attributes & 0x10) &&
        !StageMemberDelta(member, *old_member, utf8, now, ship, error)) {
      return false;
    }
    if (ship && !ExtractMember(member, utf8, directory, now, error)) return false;
    merged_.New[FoldNameCase(utf8)] = now;
    if (directory) merged_.DirectoryTimes["___\\" + utf8] = member.Record.WriteTime;
    return true;
  }

  // A member both versions have: whether the patch must carry it.
  bool CompareMember(const Member& member, const Member& old_member, const std::string& utf8, MemberState& now,
                     bool& ship, std::string& error) {
    const gca::EntryRecord& a = old_member.Record;
    const gca::EntryRecord& b = member.Record;
    MemberState before;
    before.Name = Utf8OfArchiveName(old_member.Name);
    before.Directory = (a.Attributes & 0x10) != 0;
    before.Attributes = a.Attributes;
    if (now.Directory || before.Directory) {
      // A directory has no bytes; a directory that is there already is kept.
      ship = now.Directory != before.Directory;
      if (ship) ++summary_.Replaced;
    } else {
      bool same = a.Crc == b.Crc && a.UnpackedSize == b.UnpackedSize && a.Attributes == b.Attributes;
      if (same) {
        // Equal records: the bytes decide.
        before.Digest = old_.Digest(old_member.Index);
        now.Digest = new_.Digest(member.Index);
        if (before.Digest.empty() || now.Digest.empty()) {
          error = "cannot decode \"" + utf8 + "\" of \"" + name_ + "\" (damaged data or CRC)";
          return false;
        }
        same = before.Digest == now.Digest;
      }
      if (!same) {
        ++summary_.Replaced;
        ship = true;
      } else if (a.WriteTime != b.WriteTime) {
        ++summary_.TimeOnly;
        ship = with_times_;
      } else {
        ++summary_.Unchanged;
      }
    }
    merged_.Old[FoldNameCase(before.Name)] = before;
    return true;
  }

  // A changed member may go as a delta from its old content; then it is not shipped whole.
  bool StageMemberDelta(const Member& member, const Member& old_member, const std::string& utf8, MemberState& now,
                        bool& ship, std::string& error) {
    std::vector<uint8_t> old_bytes, new_bytes, delta;
    if (!old_.Bytes(old_member.Index, old_bytes) || !new_.Bytes(member.Index, new_bytes)) {
      error = "cannot decode \"" + utf8 + "\" of \"" + name_ + "\" (damaged data or CRC)";
      return false;
    }
    const std::string old_digest = DigestOf(old_bytes);
    if (!ChooseDelta(old_bytes, new_bytes, old_digest, delta)) return true;
    if (!WriteStaged(PathOfArchiveName(staging_.parent_path() / "___delta" / "___", member.Name), delta,
                     member.Record.WriteTime, member.Record.Attributes, error)) {
      return false;
    }
    now.Digest = DigestOf(new_bytes);
    delta_digests_["___\\" + utf8] = {old_digest, std::string()};
    ++summary_.Deltas;
    summary_.DeltaBytes += delta.size();
    ++summary_.Shipped;
    ship = false;
    return true;
  }

  bool ExtractMember(const Member& member, const std::string& utf8, bool directory, MemberState& now,
                     std::string& error) {
    if (!new_.Extract(staging_, member.Index)) {
      error = "cannot extract \"" + utf8 + "\" of \"" + name_ + "\"";
      return false;
    }
    if (!directory) {
      now.Digest = FileDigest(PathOfArchiveName(staging_, member.Name));
      if (now.Digest.empty()) {
        error = "cannot read the extracted \"" + utf8 + "\" of \"" + name_ + "\"";
        return false;
      }
      summary_.Bytes += member.Record.UnpackedSize;
    }
    ++summary_.Shipped;
    return true;
  }

  const std::string& name_;
  const fs::path& staging_;
  const bool with_times_, allow_long_names_, keep_deleted_, deltas_;
  const RebuildWay rebuild_;
  DeltaDigests& delta_digests_;
  ArchiveSummary& summary_;
  MergedArchive& merged_;
  std::string base_utf8_, base_;  // the base name n of n.dat, in UTF-8 and in the code page
  ArchiveReader old_, new_;
  std::set<std::string> new_names_;
  uint64_t total_ = 0;
};

}  // namespace

Staged StageDataArchive(const std::string& name, const fs::path& old_path, const fs::path& new_path,
                        const fs::path& staging, bool with_times, bool allow_long_names, bool keep_deleted,
                        bool deltas, RebuildWay rebuild, DeltaDigests& delta_digests, const Tick& tick,
                        ArchiveSummary& summary, MergedArchive& merged, std::string& error) {
  ArchiveMerger merger(name, staging, with_times, allow_long_names, keep_deleted, deltas, rebuild, delta_digests,
                       summary, merged);
  const Staged opened = merger.Open(old_path, new_path, error);
  if (opened != Staged::Members) return opened;
  if (!merger.CheckNewMembers(error) || !merger.NoteDeletedMembers(error) || !merger.StageMembers(tick, error) ||
      !merger.CheckKeptForm(error)) {
    return Staged::Failed;
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

namespace {

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The extension of a name's last part ("js" of "web\\app.min.js"), lower case; empty
// for none.
std::string ExtensionOf(const std::string& name) {
  const size_t slash = name.rfind('\\');
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
  return Lower(name.substr(dot + 1));
}

// A name in lower case without the parts that look like content hashes ("app.3f9a1c2e.js"
// and "app.77b01d4a.js" both become "app..js"): parts between separators of 8 or more
// letters and digits that hold digits, or 6 or more hexadecimal digits with a digit.
std::string WithoutHashes(const std::string& name) {
  const std::string lower = Lower(name);
  std::string out;
  size_t start = 0;
  while (start <= lower.size()) {
    size_t end = lower.find_first_of(".-_\\ ", start);
    if (end == std::string::npos) end = lower.size();
    const std::string part = lower.substr(start, end - start);
    bool digit = false, hex = true, alnum = true;
    for (char c : part) {
      digit = digit || (c >= '0' && c <= '9');
      hex = hex && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
      alnum = alnum && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'));
    }
    const bool hash = digit && ((alnum && part.size() >= 8) || (hex && part.size() >= 6));
    if (!hash) out += part;
    if (end < lower.size()) out += lower[end];
    start = end + 1;
  }
  return out;
}

// How alike two names are: the bytes of their common beginning and common end.
size_t Likeness(const std::string& a, const std::string& b) {
  const size_t most = std::min(a.size(), b.size());
  size_t prefix = 0, suffix = 0;
  while (prefix < most && a[prefix] == b[prefix]) ++prefix;
  while (suffix < most - prefix && a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix]) ++suffix;
  return prefix + suffix;
}

// The most alike names whose contents are compared, and of those the most alike contents
// for which a delta is made, so the build stays fast.
constexpr size_t kBasePool = 8;
constexpr size_t kBaseTries = 3;
// Smaller files code smaller whole than with a delta's header.
constexpr uint64_t kBaseSmallest = 512;

// The old files an added file may be made from, the most alike first: files of the same
// extension, within a factor of 4 in size, outside the updater's own names, whose names
// (without hash-like parts) are alike beyond their extension; the same folder and the
// nearest size break ties.
std::vector<std::string> BaseCandidates(const std::string& name, uint64_t size,
                                        const std::map<std::string, TreeFile>& old_files) {
  if (size < kBaseSmallest) return {};
  const std::string extension = ExtensionOf(name);
  const std::string plain = WithoutHashes(name);
  const size_t slash = name.rfind('\\');
  const std::string folder = slash == std::string::npos ? std::string() : Lower(name.substr(0, slash));
  struct Candidate {
    size_t Likeness;
    bool SameFolder;
    uint64_t Distance;  // between the sizes
    std::string Name;
  };
  std::vector<Candidate> found;
  for (const auto& [old_name, old_file] : old_files) {
    if (old_file.Directory || old_file.Size < kBaseSmallest || old_file.Size > 4 * size || size > 4 * old_file.Size) {
      continue;
    }
    if (ExtensionOf(old_name) != extension || old_name.size() > kDeltaMaxBaseName) continue;
    // Never below the staging directory's or the work directory's names.
    const std::string first = Lower(old_name.substr(0, old_name.find('\\')));
    if (first.compare(0, 3, "___") == 0 || first == "tmp" || ArchiveText(old_name).empty()) continue;
    const size_t likeness = Likeness(plain, WithoutHashes(old_name));
    if (likeness <= extension.size() + 1) continue;
    const size_t old_slash = old_name.rfind('\\');
    const std::string old_folder = old_slash == std::string::npos ? std::string() : Lower(old_name.substr(0, old_slash));
    found.push_back({likeness, old_folder == folder, old_file.Size > size ? old_file.Size - size : size - old_file.Size,
                     old_name});
  }
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    if (a.Likeness != b.Likeness) return a.Likeness > b.Likeness;
    if (a.SameFolder != b.SameFolder) return a.SameFolder;
    if (a.Distance != b.Distance) return a.Distance < b.Distance;
    return a.Name < b.Name;
  });
  std::vector<std::string> names;
  for (size_t i = 0; i < found.size() && i < kBasePool; ++i) names.push_back(found[i].Name);
  return names;
}

// Content fingerprints: the hashes of the 32-byte windows whose mixed hash falls in one
// of 32 buckets, chosen by the content itself so that text moved to another offset gives
// the same ones; sorted, each once.
std::vector<uint32_t> Fingerprints(const std::vector<uint8_t>& bytes) {
  constexpr size_t kWindow = 32;
  constexpr uint32_t kBase = 0x01000193u;
  uint32_t out_factor = 1;  // kBase to the power of the window, mod 2^32
  for (size_t i = 0; i < kWindow; ++i) out_factor *= kBase;
  std::vector<uint32_t> prints;
  uint32_t hash = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    hash = hash * kBase + bytes[i] + 1;
    if (i >= kWindow) hash -= out_factor * (bytes[i - kWindow] + 1u);
    if (i + 1 >= kWindow && ((hash * 0x9E3779B1u) >> 27) == 0) prints.push_back(hash);
  }
  std::sort(prints.begin(), prints.end());
  prints.erase(std::unique(prints.begin(), prints.end()), prints.end());
  return prints;
}

// How many fingerprints of the new content the old one shares.
size_t SharedPrints(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  size_t shared = 0;
  for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
    if (a[i] < b[j]) {
      ++i;
    } else if (b[j] < a[i]) {
      ++j;
    } else {
      ++shared, ++i, ++j;
    }
  }
  return shared;
}

// The comparison of the two trees, file by file.
class TreeStager {
 public:
  TreeStager(const StageSettings& settings, const std::map<std::string, TreeFile>& old_files,
             PayloadRecords& records, StagedPatch& staged, PatchSummary& summary, uint64_t compare_total)
      : settings_(settings), old_files_(old_files), records_(records), staged_(staged), summary_(summary),
        compare_total_(compare_total) {}

  // One file of the new tree; `compared` counts the bytes compared before it.
  bool StageFile(const std::string& name, const TreeFile& file, uint64_t compared, std::string& error) {
    const fs::path new_path = settings_.NewRoot / FromUtf8(name);
    auto old = old_files_.find(name);
    const TreeFile* before = old == old_files_.end() ? nullptr : &old->second;
    std::string whole_reason;
    if (before != nullptr) {
      bool same = false;
      if (!SameBytes(settings_.OldRoot / FromUtf8(name), new_path, same)) {
        error = "cannot compare \"" + name + "\"";
        return false;
      }
      if (same && (before->Attributes & 1) == (file.Attributes & 1)) {
        // Only the time may differ: set by a time stamp when asked for, else left alone.
        if (before->WriteTime != file.WriteTime) {
          ++summary_.LooseTimeOnly;
          if (settings_.WithTimes) records_.Times.push_back({name, file.WriteTime});
        }
        return true;
      }
      if (EndsWithDat(name)) {
        const Staged staged = StageChangedArchive(name, file, new_path, compared, whole_reason, error);
        if (staged != Staged::Whole) return staged == Staged::Members;
      }
    }
    return StageLooseFile(name, file, new_path, before, whole_reason, error);
  }

 private:
  // A changed data archive: its members merged into the installed one, or Whole (with the
  // reason) when it must be shipped whole like any other file.
  Staged StageChangedArchive(const std::string& name, const TreeFile& file, const fs::path& new_path,
                             uint64_t compared, std::string& whole_reason, std::string& error) {
    ArchiveSummary archive;
    archive.Name = name;
    MergedArchive expected;
    const uint64_t base = compared, size = file.Size, compare_total = compare_total_;
    const auto& progress = settings_.Progress;
    const Tick tick = [&progress, base, size, compare_total](uint64_t done, uint64_t total) {
      progress("comparing", base + (total == 0 ? 0 : size * done / total), compare_total);
    };
    const Staged staged = StageDataArchive(name, settings_.OldRoot / FromUtf8(name), new_path,
                                           settings_.Stage / "___", settings_.WithTimes, settings_.AllowLongNames,
                                           settings_.KeepDeleted, settings_.Deltas, settings_.Rebuild,
                                           staged_.Digests, tick, archive, expected, error);
    if (staged == Staged::Failed) return staged;
    if (staged == Staged::Members) {
      summary_.MembersTimeOnly += archive.TimeOnly;
      if (archive.Shipped > 0 || !expected.Deleted.empty()) {
        if (name == records_.NewCheckFile || name == records_.OldCheckFile) {
          error = "the check file \"" + name +
                  "\" is a data archive that the updater rebuilds; its digest after the update cannot be known";
          return Staged::Failed;
        }
        ++summary_.DataArchives;
        summary_.Members += archive.Shipped;
        records_.Times.push_back({name, file.WriteTime});
        records_.Deletions.insert(records_.Deletions.end(), expected.Deleted.begin(), expected.Deleted.end());
        staged_.Merged.push_back(std::move(expected));
      }
      summary_.Archives.push_back(archive);
      return staged;
    }
    // Shipped whole like any other file.
    archive.ShippedWhole = true;
    archive.Bytes = file.Size;
    summary_.Archives.push_back(archive);
    whole_reason = archive.WholeReason;
    return staged;
  }

  // A new or changed file the patch carries whole or as a delta.
  bool StageLooseFile(const std::string& name, const TreeFile& file, const fs::path& new_path,
                      const TreeFile* before, const std::string& whole_reason, std::string& error) {
    const std::string archive_name = ArchiveText(name);
    if (archive_name.empty()) {
      error = "\"" + name + "\" has no form in the code page of the entry names";
      return false;
    }
    bool as_delta = false;
    if (before != nullptr && settings_.Deltas && !StageLooseDelta(name, file, *before, new_path, archive_name,
                                                                  as_delta, error)) {
      return false;
    }
    if (before == nullptr && settings_.Deltas && !StageRenamedDelta(name, file, new_path, archive_name, as_delta, error)) {
      return false;
    }
    if (!as_delta && !CopyWithTimes(new_path, PathOfArchiveName(settings_.Stage, archive_name), file, error)) {
      return false;
    }
    ++summary_.LooseFiles;
    if (whole_reason.empty()) {
      ++(before == nullptr ? summary_.LooseAdded : summary_.LooseReplaced);
      if (!as_delta) summary_.LooseBytes += file.Size;
    }
    records_.Times.push_back({name, file.WriteTime});
    staged_.Loose[FoldNameCase(name)] = {name, new_path, (file.Attributes & 1) != 0};
    return true;
  }

  // A changed file (a data archive shipped whole too) may go as a delta.
  bool StageLooseDelta(const std::string& name, const TreeFile& file, const TreeFile& before,
                       const fs::path& new_path, const std::string& archive_name, bool& as_delta,
                       std::string& error) {
    if (file.Size + before.Size > kDeltaLimit) {
      ++summary_.TooLargeForDelta;
      return true;
    }
    std::vector<char> old_chars, new_chars;
    if (!ReadWhole(settings_.OldRoot / FromUtf8(name), old_chars) || !ReadWhole(new_path, new_chars)) {
      error = "cannot read \"" + name + "\"";
      return false;
    }
    const std::vector<uint8_t> old_bytes(old_chars.begin(), old_chars.end()), new_bytes(new_chars.begin(), new_chars.end());
    std::vector<uint8_t> delta;
    const std::string old_digest = DigestOf(old_bytes);
    if (!ChooseDelta(old_bytes, new_bytes, old_digest, delta)) return true;
    if (!WriteStaged(PathOfArchiveName(settings_.Stage / "___delta", archive_name), delta, file.WriteTime,
                     file.Attributes, error)) {
      return false;
    }
    staged_.Digests[name] = {old_digest, std::string()};
    as_delta = true;
    ++summary_.LooseDeltas;
    summary_.LooseDeltaBytes += delta.size();
    return true;
  }

  // An added file may go as a delta from an old file of another name (a renamed file, a
  // bundle split off another): the few most alike old files are tried, and the smallest
  // delta that codes smaller than the whole file is shipped.
  bool StageRenamedDelta(const std::string& name, const TreeFile& file, const fs::path& new_path,
                         const std::string& archive_name, bool& as_delta, std::string& error) {
    std::vector<std::string> bases = BaseCandidates(name, file.Size, old_files_);
    if (bases.empty()) return true;
    std::vector<char> new_chars;
    if (!ReadWhole(new_path, new_chars)) {
      error = "cannot read \"" + name + "\"";
      return false;
    }
    const std::vector<uint8_t> new_bytes(new_chars.begin(), new_chars.end());
    // The alike names in order of the content they share with the new file (names that
    // tie in likeness say little: "app.render.js" is as near "app.min.js" as the file
    // it was split off).
    const std::vector<uint32_t> new_prints = Fingerprints(new_bytes);
    std::vector<std::pair<size_t, size_t>> order;  // shared prints, place in the name order
    for (size_t i = 0; i < bases.size(); ++i) {
      std::vector<char> old_chars;
      if (!ReadWhole(settings_.OldRoot / FromUtf8(bases[i]), old_chars)) {
        error = "cannot read \"" + bases[i] + "\"";
        return false;
      }
      const size_t shared = SharedPrints(new_prints, Fingerprints(std::vector<uint8_t>(old_chars.begin(), old_chars.end())));
      if (shared > 0 || new_prints.empty()) order.push_back({shared, i});
    }
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::string> tried;
    for (size_t i = 0; i < order.size() && i < kBaseTries; ++i) tried.push_back(bases[order[i].second]);
    bases.swap(tried);
    std::vector<uint8_t> best, delta;
    std::string best_base, best_digest;
    uint64_t best_coded = 0;
    for (const std::string& base : bases) {
      std::vector<char> old_chars;
      if (!ReadWhole(settings_.OldRoot / FromUtf8(base), old_chars)) {
        error = "cannot read \"" + base + "\"";
        return false;
      }
      const std::vector<uint8_t> old_bytes(old_chars.begin(), old_chars.end());
      const std::string old_digest = DigestOf(old_bytes);
      uint64_t coded = 0;
      if (!ChooseDelta(old_bytes, new_bytes, old_digest, delta, ArchiveText(base), &coded)) continue;
      if (best.empty() || coded < best_coded) {
        best_coded = coded;
        best.swap(delta);
        best_base = base;
        best_digest = old_digest;
      }
    }
    if (best.empty()) return true;
    if (!WriteStaged(PathOfArchiveName(settings_.Stage / "___delta", archive_name), best, file.WriteTime,
                     file.Attributes, error)) {
      return false;
    }
    staged_.Digests[name] = {best_digest, best_base};
    as_delta = true;
    ++summary_.LooseDeltas;
    ++summary_.LooseFromOther;
    summary_.LooseDeltaBytes += best.size();
    return true;
  }

  const StageSettings& settings_;
  const std::map<std::string, TreeFile>& old_files_;
  PayloadRecords& records_;
  StagedPatch& staged_;
  PatchSummary& summary_;
  const uint64_t compare_total_;
};

}  // namespace

bool StageTrees(const StageSettings& settings, const std::map<std::string, TreeFile>& old_files,
                const std::map<std::string, TreeFile>& new_files, PayloadRecords& records, StagedPatch& staged,
                PatchSummary& summary, std::string& error) {
  uint64_t compared = 0, compare_total = 0;
  for (const auto& [name, file] : new_files) compare_total += file.Size;
  settings.Progress("comparing", 0, compare_total);
  TreeStager stager(settings, old_files, records, staged, summary, compare_total);
  for (const auto& [name, file] : new_files) {
    if (file.Directory) continue;
    if (!stager.StageFile(name, file, compared, error)) return false;
    compared += file.Size;
    settings.Progress("comparing", compared, compare_total);
  }
  std::map<std::string, uint64_t> member_times;
  for (const MergedArchive& archive : staged.Merged) {
    member_times.insert(archive.DirectoryTimes.begin(), archive.DirectoryTimes.end());
  }
  SetStagedDirectoryTimes(settings.Stage, std::string(), new_files, member_times);
  return true;
}

}  // namespace builder
