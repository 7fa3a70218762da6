#include "tools/tree_compare.h"

#include <algorithm>
#include <system_error>
#include <vector>

#include "tools/host_files.h"
#include "tools/patch_names.h"

namespace builder {

bool EndsWithDat(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return tail == ".dat" && name.find('\\') == std::string::npos;
}

bool ListTree(const fs::path& root, std::map<std::string, TreeFile>& files, std::string& error) {
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    error = "\"" + root.u8string() + "\" is not a directory";
    return false;
  }
  fs::recursive_directory_iterator it(root, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    TreeFile file;
    file.Directory = it->is_directory(ec);
    if (!file.Directory && !it->is_regular_file(ec)) continue;
    // A backslash inside a name would become a separator on Windows.
    if (it->path().filename().u8string().find('\\') != std::string::npos) {
      error = "\"" + it->path().u8string() + "\" contains a backslash, which Windows takes for a separator";
      return false;
    }
    if (!GetTime(it->path(), file.WriteTime)) {
      error = "cannot read the time of \"" + it->path().u8string() + "\"";
      return false;
    }
    file.Attributes = GetAttributes(it->path());
    if (!file.Directory) file.Size = it->file_size(ec);
    files[RelativeName(fs::relative(it->path(), root))] = file;
  }
  if (ec) {
    error = "cannot list \"" + root.u8string() + "\": " + ec.message();
    return false;
  }
  return true;
}

bool LeavesRoom(const std::string& archive_name, bool member, const std::string& shown, std::string& error) {
  const int room = InstallDirectoryRoom(archive_name, member);
  if (room >= kLeastInstallDirectoryRoom) return true;
  error = (member ? shown : "\"" + shown + "\"") + " is " + std::to_string(archive_name.size()) +
          " characters long and leaves " + std::to_string(room < 0 ? 0 : room) +
          " for the players' game folder path (at least " + std::to_string(kLeastInstallDirectoryRoom) +
          " are needed); rename it, or allow it with --allow-long-names";
  return false;
}

std::string NameProblem(const std::string& name) {
  std::string problem = WindowsNameProblem(name);
  if (!problem.empty()) return "Windows cannot hold it: " + problem;
  problem = UpdaterNameProblem(name);
  if (!problem.empty()) return problem;
  if (!IsSafeRelativeName(name)) return "it is not a relative name below the game directory";
  return std::string();
}

bool ListDeletions(const std::map<std::string, TreeFile>& old_files, const std::map<std::string, TreeFile>& new_files,
                   PayloadRecords& records, bool keep, PatchSummary& summary, std::string& error) {
  std::vector<std::string> directories;
  for (const auto& [name, file] : old_files) {
    auto found = new_files.find(name);
    if (found != new_files.end()) {
      if (found->second.Directory != file.Directory) {
        error = "\"" + name + "\" is a " + (file.Directory ? "directory" : "file") + " in the old version and a " +
                (file.Directory ? "file" : "directory") + " in the new one; a patch cannot change one into the other";
        return false;
      }
      continue;
    }
    const std::string folded = FoldNameCase(name);
    if (folded == FoldNameCase(records.OldCheckFile) || folded == FoldNameCase(records.NewCheckFile)) continue;
    if (!NameProblem(name).empty()) {
      error = "\"" + name + "\" was deleted in the new version but cannot be named in a patch: " + NameProblem(name);
      return false;
    }
    if (file.Directory) {
      if (!keep) directories.push_back(name);
      continue;
    }
    if (keep) {
      ++summary.LooseKept;
      summary.LooseKeptBytes += file.Size;
      continue;
    }
    ++summary.LooseDeleted;
    summary.LooseDeletedBytes += file.Size;
    if (EndsWithDat(name)) ++summary.DataArchivesDeleted;
    records.Deletions.push_back({name, false});
  }
  // Deeper first: a directory goes only after the directories inside it.
  std::stable_sort(directories.begin(), directories.end(), [](const std::string& a, const std::string& b) {
    return std::count(a.begin(), a.end(), '\\') > std::count(b.begin(), b.end(), '\\');
  });
  for (const std::string& name : directories) records.Deletions.push_back({name, true});
  summary.DirectoriesDeleted = static_cast<int>(directories.size());
  return true;
}

bool CheckNewNames(const std::map<std::string, TreeFile>& new_files, bool allow_long_names, std::string& error) {
  std::vector<std::string> names;
  for (const auto& [name, file] : new_files) {
    const std::string problem = NameProblem(name);
    if (!problem.empty()) {
      error = "\"" + name + "\" cannot be named in a patch: " + problem;
      return false;
    }
    if (!file.Directory && !allow_long_names && !LeavesRoom(ArchiveText(name), false, name, error)) {
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
  return true;
}

bool ReadCheckDigests(const fs::path& old_root, const fs::path& new_root, PayloadRecords& records,
                      std::string& error) {
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
  return true;
}

}  // namespace builder
