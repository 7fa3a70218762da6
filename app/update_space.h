// The disk space an update needs at its peak, and the space the installation's volume
// has. At the peak, before the swap, the work directory holds for every affected data
// archive its unpacked members (those the patch does not replace), the patch's members
// and the rebuilt archive (stored, so as large as its members), and the patch's loose
// files; the old archives then become the backups by a rename and take nothing more.
// A member made by a delta counts at the size of the new member (from the delta's
// header), and its old copy is unpacked too until the delta is applied, through a work
// file as large as the new member: the largest such work file counts once.
// When the rebuilt archive is written from the installed one (stream, keep), the
// members that go over unchanged are never unpacked and the patch's members go from the
// patch into it: the staging tree holds only the members deltas make, their old copies
// and the directories. Keep writes the
// rebuilt archive in the installed one's form: a member that goes over unchanged takes
// its packed size (its unpacked size where the archive is solid and it is coded anew),
// a patch member at most its unpacked size and the frame heads of its blocks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/payload_format.h"

struct SpaceMember {
  std::string Name;  // inside its data archive, as the archive names it
  uint64_t Size = 0;
  bool Directory = false;
  bool Delta = false;  // a patch member made by a delta from the installed one
  uint64_t Packed = 0;  // an installed member: its bytes as the archive stores them
};

struct SpaceArchive {
  std::vector<SpaceMember> Installed;  // the members of the installed data archive
  std::vector<SpaceMember> Patch;      // the patch's members of it (names inside the archive)
  RebuildWay Way = RebuildWay::kUnpack;
  bool Solid = false;  // the installed archive is solid: keep codes every member anew
};

// The peak extra bytes of an update, each file rounded up to whole clusters and every
// directory counted as one cluster: never below what the file system takes.
uint64_t PeakSpaceEstimate(const std::vector<SpaceArchive>& archives, const std::vector<SpaceMember>& loose_files,
                           uint64_t cluster);

struct VolumeSpace {
  bool Known = false;
  uint64_t Free = 0;      // bytes this user may still write
  uint64_t Cluster = 0;   // bytes per cluster (4096 when the system does not say)
  std::string Drive;      // "drive C:" or the share's root, for the message
};

// The free space of the volume a directory lies on (GetDiskFreeSpaceExW or ...ExA where
// the system has them, GetDiskFreeSpaceA otherwise).
VolumeSpace QueryVolumeSpace(const std::string& directory);

// The estimate of the last run that got as far as counting (for tests and the log).
extern uint64_t LastPeakEstimate;

// Tests make the volume look smaller: the free bytes reported, or -1 for the system's.
extern int64_t FreeSpaceOverride;
