#include "app/update_space.h"

#include <windows.h>

#include <algorithm>
#include <map>
#include <set>

#include "platform/text.h"
#include "platform/wide_api.h"

int64_t FreeSpaceOverride = -1;
uint64_t LastPeakEstimate = 0;

namespace {

constexpr uint64_t kDefaultCluster = 4096;
// A stored archive: the 16-byte front record, the 32-byte directory head; per entry a
// 32-byte record and a 2-byte name length before the name.
constexpr uint64_t kArchiveFixed = 16 + 32;
constexpr uint64_t kEntryFixed = 32 + 2;
// The run's record: its fixed part and, per name, the length word and flags or time.
constexpr uint64_t kRecordFixed = 8 + 5 * 4;
constexpr uint64_t kRecordPerName = 4 + 4 + 8 + 4;
// What the file system keeps for each file or directory made beside its data (a file
// record, directory index entries), and a share of the whole for allocation tables and
// extent blocks: the data alone is not all that a volume gives up.
constexpr uint64_t kPerFileMetadata = 1024;
// A coded member takes at most its bytes and, per block of 1 MiB, a frame head.
constexpr uint64_t kBlock = 1u << 20;
constexpr uint64_t kFrameHead = 32;
uint64_t CodedBound(uint64_t size) { return size + (size / kBlock + 1) * kFrameHead; }
constexpr uint64_t kMarginDivisor = 100;

uint64_t Clusters(uint64_t bytes, uint64_t cluster) { return (bytes + cluster - 1) / cluster * cluster; }

std::string Fold(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// Every directory above the named files, by folded name.
void AddParents(const std::string& name, std::set<std::string>& directories) {
  for (size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\', at + 1)) {
    directories.insert(Fold(name.substr(0, at)));
  }
}

std::string VolumeRoot(const std::string& directory) {
  if (directory.size() >= 2 && directory[1] == ':') return directory.substr(0, 2) + "\\";
  if (directory.size() > 2 && directory[0] == '\\' && directory[1] == '\\') {
    // \\server\share\ : the root ends after the share's name.
    const size_t server_end = directory.find('\\', 2);
    if (server_end != std::string::npos) {
      const size_t share_end = directory.find('\\', server_end + 1);
      return (share_end == std::string::npos ? directory : directory.substr(0, share_end)) + "\\";
    }
  }
  return directory;
}

using ExW = BOOL(WINAPI*)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
using ExA = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);

}  // namespace

uint64_t PeakSpaceEstimate(const std::vector<SpaceArchive>& archives, const std::vector<SpaceMember>& loose_files,
                           uint64_t cluster) {
  if (cluster == 0) cluster = kDefaultCluster;
  uint64_t total = 0;
  uint64_t names = 0;
  uint64_t files = 0;
  uint64_t work_file = 0;  // the largest member made by a delta, written beside its old copy
  for (const SpaceArchive& archive : archives) {
    // What the rebuilt archive holds: the installed members with the patch's laid over.
    const bool unpack = archive.Way == RebuildWay::kUnpack;
    const bool keep = archive.Way == RebuildWay::kKeep;
    std::map<std::string, SpaceMember> final_members;
    std::set<std::string> from_patch;
    std::set<std::string> directories;
    for (const SpaceMember& m : archive.Installed) final_members[Fold(m.Name)] = m;
    std::set<std::string> replaced, made_by_delta;
    for (const SpaceMember& m : archive.Patch) {
      final_members[Fold(m.Name)] = m;
      from_patch.insert(Fold(m.Name));
      if (m.Directory) continue;
      // The old copy of a delta's member is unpacked for the delta to read.
      if (m.Delta) {
        work_file = std::max(work_file, m.Size);
        made_by_delta.insert(Fold(m.Name));
      } else {
        replaced.insert(Fold(m.Name));
      }
    }
    // The unpacked content: members the patch does not replace (only the old copies of
    // the deltas' members when the rebuilt archive is written from the installed one),
    // and the patch's own.
    for (const SpaceMember& m : archive.Installed) {
      const std::string folded = Fold(m.Name);
      if (m.Directory) directories.insert(folded);
      else if (unpack ? replaced.count(folded) == 0 : made_by_delta.count(folded) != 0) total += Clusters(m.Size, cluster);
      AddParents(m.Name, directories);
    }
    // The patch's members are extracted when unpacking; otherwise they go from the patch
    // into the rebuilt archive, and only those deltas make are staged.
    for (const SpaceMember& m : archive.Patch) {
      if (m.Directory) directories.insert(Fold(m.Name));
      else if (unpack || m.Delta) total += Clusters(m.Size, cluster);
      AddParents(m.Name, directories);
    }
    total += (directories.size() + 1) * cluster;
    files += (unpack ? archive.Installed.size() + archive.Patch.size() : 2 * made_by_delta.size()) + directories.size() + 2;
    uint64_t rebuilt = kArchiveFixed;
    for (const auto& [folded, m] : final_members) {
      uint64_t data = m.Size;
      if (keep && !m.Directory) {
        data = from_patch.count(folded) != 0 || archive.Solid ? CodedBound(m.Size) : m.Packed;
      }
      rebuilt += kEntryFixed + m.Name.size() + data;
    }
    // Directories that only the unpacked tree names are entries of the rebuilt archive too.
    for (const std::string& d : directories) rebuilt += kEntryFixed + d.size();
    total += Clusters(rebuilt, cluster);
    names += final_members.size();
  }
  if (work_file > 0) {
    total += Clusters(work_file, cluster);
    files += 1;
  }
  std::set<std::string> loose_directories;
  for (const SpaceMember& m : loose_files) {
    total += Clusters(m.Size, cluster);
    AddParents(m.Name, loose_directories);
    names += 1;
  }
  // The work directory, its staging and aside directories, the loose files' directories
  // (in the work tree and those made in the installation), and the run's record.
  total += (3 + 2 * loose_directories.size()) * cluster;
  uint64_t record = kRecordFixed;
  for (const SpaceMember& m : loose_files) record += kRecordPerName + 2 * m.Name.size();
  total += Clusters(record + names * kRecordPerName, cluster);
  files += loose_files.size() + 2 * loose_directories.size() + 4;
  total += files * kPerFileMetadata;
  return total + total / kMarginDivisor;
}

VolumeSpace QueryVolumeSpace(const std::string& directory) {
  VolumeSpace space;
  const std::string root = VolumeRoot(directory);
  space.Drive = root.size() == 3 && root[1] == ':' ? "drive " + root.substr(0, 2) : root;
  std::string dir = directory;
  if (dir.empty() || dir.back() != '\\') dir += '\\';
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  ULARGE_INTEGER available, total, free_total;
  if (kernel != nullptr) {
    auto ex_w = reinterpret_cast<ExW>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetDiskFreeSpaceExW")));
    auto ex_a = reinterpret_cast<ExA>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetDiskFreeSpaceExA")));
    if (IsWideSystem() && ex_w != nullptr && ex_w(Utf8ToWide(dir).c_str(), &available, &total, &free_total)) {
      space.Known = true;
    } else if (ex_a != nullptr && ex_a(Utf8ToAnsi(dir).c_str(), &available, &total, &free_total)) {
      space.Known = true;
    }
    if (space.Known) space.Free = available.QuadPart;
  }
  DWORD sectors = 0, bytes = 0, free_clusters = 0, clusters = 0;
  if (GetDiskFreeSpaceA(Utf8ToAnsi(root).c_str(), &sectors, &bytes, &free_clusters, &clusters)) {
    space.Cluster = static_cast<uint64_t>(sectors) * bytes;
    if (!space.Known) {
      // The old call counts at most 2 GB on some systems: the figure is then low, never high.
      space.Free = static_cast<uint64_t>(free_clusters) * sectors * bytes;
      space.Known = true;
    }
  }
  if (space.Cluster == 0) space.Cluster = kDefaultCluster;
  if (FreeSpaceOverride >= 0) {
    space.Free = static_cast<uint64_t>(FreeSpaceOverride);
    space.Known = true;
  }
  return space;
}
