#include "tools/patch_summary.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/delta_format.h"
#include "app/payload_format.h"
#include "archive/gca_archive.h"
#include "tools/archive_access.h"
#include "tools/host_files.h"
#include "tools/patch_signer.h"

using namespace builder;

namespace {

std::string FormatBytes(uint64_t bytes) {
  char text[32];
  if (bytes >= 10000000ull) {
    std::snprintf(text, sizeof text, "%llu MB", static_cast<unsigned long long>((bytes + 500000) / 1000000));
  } else if (bytes >= 10000ull) {
    std::snprintf(text, sizeof text, "%llu KB", static_cast<unsigned long long>((bytes + 500) / 1000));
  } else {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  }
  return text;
}

}  // namespace

std::string SummaryText(const PatchSummary& s) {
  std::ostringstream out;
  for (const ArchiveSummary& a : s.Archives) {
    if (a.ShippedWhole) out << a.Name << ": " << a.WholeReason << ", shipped whole, " << FormatBytes(a.Bytes) << "\n";
    if (!a.KeptOptions.empty()) out << a.Name << ": rebuilt with its own options (" << a.KeptOptions << ")\n";
  }
  if (s.MembersTimeOnly > 0) {
    out << s.MembersTimeOnly << (s.MembersTimeOnly == 1 ? " member differs" : " members differ")
        << " only in time: " << (s.WithTimes ? "shipped (--with-times)" : "not shipped") << "\n";
  }
  if (s.LooseTimeOnly > 0) {
    out << s.LooseTimeOnly << (s.LooseTimeOnly == 1 ? " loose file differs" : " loose files differ")
        << " only in time: " << (s.WithTimes ? "time stamp only (--with-times)" : "not shipped, no time stamp")
        << "\n";
  }
  int members = 0;
  uint64_t member_bytes = 0;
  for (const ArchiveSummary& a : s.Archives) {
    members += s.KeepDeleted ? a.Kept : a.Deleted;
    member_bytes += s.KeepDeleted ? a.KeptBytes : a.DeletedBytes;
  }
  if (s.KeepDeleted && (s.LooseKept > 0 || members > 0)) {
    out << "kept (--keep-deleted): " << s.LooseKept << " loose file(s) of " << FormatBytes(s.LooseKeptBytes) << ", "
        << members << " member(s) of " << FormatBytes(member_bytes) << " stay in the players' installations\n";
  } else if (s.LooseDeleted > 0 || members > 0 || s.DirectoriesDeleted > 0) {
    out << "deleted: " << s.LooseDeleted << " loose file(s) of " << FormatBytes(s.LooseDeletedBytes) << " ("
        << s.DataArchivesDeleted << " data archive(s)), " << members << " member(s) of " << FormatBytes(member_bytes)
        << ", " << s.DirectoriesDeleted << " directory(ies) when left empty\n";
  }
  if (!s.DeltasEnabled) out << "deltas: off (--no-delta), changed files shipped whole\n";
  if (s.Rebuild != RebuildWay::kUnpack) out << "data archives rebuilt: " << RebuildWayName(s.Rebuild) << "\n";
  if (s.LooseFromOther > 0) {
    out << s.LooseFromOther << " added loose file(s) shipped as deltas from another file (a renamed one)\n";
  }
  if (s.TooLargeForDelta > 0) out << s.TooLargeForDelta << " changed file(s) too large for a delta: shipped whole\n";
  char line[256];
  std::snprintf(line, sizeof line, "%-28s %7s %9s %10s %10s %12s %8s %7s %12s\n", "", "added", "replaced",
                "unchanged", "time only", "whole bytes", s.KeepDeleted ? "kept" : "deleted", "deltas", "delta bytes");
  out << line;
  std::snprintf(line, sizeof line, "%-28s %7d %9d %10s %10d %12s %8d %7d %12s\n", "loose files", s.LooseAdded,
                s.LooseReplaced, "-", s.LooseTimeOnly, FormatBytes(s.LooseBytes).c_str(),
                s.KeepDeleted ? s.LooseKept : s.LooseDeleted, s.LooseDeltas, FormatBytes(s.LooseDeltaBytes).c_str());
  out << line;
  for (const ArchiveSummary& a : s.Archives) {
    const std::string name = a.Name.size() > 28 ? a.Name.substr(0, 25) + "..." : a.Name;
    if (a.ShippedWhole) {
      std::snprintf(line, sizeof line, "%-28s %-40s %12s\n", name.c_str(), "  shipped whole", FormatBytes(a.Bytes).c_str());
    } else {
      std::snprintf(line, sizeof line, "%-28s %7d %9d %10d %10d %12s %8d %7d %12s\n", name.c_str(), a.Added,
                    a.Replaced, a.Unchanged, a.TimeOnly, FormatBytes(a.Bytes).c_str(),
                    s.KeepDeleted ? a.Kept : a.Deleted, a.Deltas, FormatBytes(a.DeltaBytes).c_str());
    }
    out << line;
  }
  out << s.TimeStamps << " time stamp(s); patch " << FormatBytes(s.PatchSize) << " (" << s.PatchSize
      << " bytes: image " << s.ImageEnd << ", records " << s.RecordsSize << ", archive " << s.ArchiveSize;
  if (s.SignatureSize != 0) out << ", signature table " << s.SignatureSize;
  out << ")\n";
  if (s.SignatureSize != 0) out << "signed: certificate table " << s.SignatureSize << " bytes behind the archive\n";
  return out.str();
}

namespace {

// The payload records, read as the updater reads them.
void DescribeRecords(HostPayloadFile& file, std::ostringstream& s) {
  auto show = [&](const char* label, bool present, const std::string& value) {
    s << label << ": " << (present ? "\"" + value + "\"" : std::string("(missing)")) << "\n";
  };
  const struct {
    const char* label;
    const char* short_name;
    bool digest;
  } fields[] = {{"title", TitleName, false},
                {"old version", VersionOldName, false},
                {"new version", VersionNewName, false},
                {"old check file", CheckFileOldName, false},
                {"old check digest", CheckOldHashName, true},
                {"new check file", CheckFileNewName, false},
                {"new check digest", CheckNewHashName, true}};
  for (const auto& field : fields) {
    std::string value;
    const bool ok = field.digest ? ReadDigestRecordIn(file, field.short_name, value)
                                 : ReadTextRecordIn(file, field.short_name, value);
    show(field.label, ok, value);
  }
  std::vector<TimeStamp> stamps;
  bool complete = false;
  const bool listed = ReadTimeStampsIn(file, stamps, complete);
  s << "time stamps: " << (listed ? std::to_string(stamps.size()) : std::string("(missing)"))
    << (listed && !complete ? " (list cut short)" : "") << "\n";
  for (const TimeStamp& stamp : stamps) s << "  " << stamp.WriteTime << "  " << stamp.Name << "\n";
  RebuildWay way = RebuildWay::kUnpack;
  s << "data archives rebuilt: " << (ReadRebuildWayIn(file, way) ? RebuildWayName(way) : "(damaged record)") << "\n";
  {
    std::vector<Deletion> deletions;
    bool whole = false;
    if (ReadDeletionsIn(file, deletions, whole)) {
      s << "deletions: " << deletions.size() << (whole ? "" : " (list cut short)") << "\n";
      for (const Deletion& deletion : deletions) {
        s << "  " << (deletion.Directory ? "dir  " : "file ") << deletion.Name << "\n";
      }
    }
  }
}

// The archive's entries; false when it does not open.
bool DescribeEntries(const std::string& path, int32_t archive_tag, std::ostringstream& s) {
  bool opened = false;
  {
    gca::ArchiveHandle handle;
    handle.Create();
    NoticeLog log;
    if (handle.PrepareBuffers()) {
      handle.SetArchivePath(ArchivePath(fs::u8path(path)));
      handle.SetStartOffset(archive_tag + 16);
      InstallToolNotices(handle.Archive(), &log);
      if (handle.Open()) {
        opened = true;
        const int32_t count = handle.EntryCount();
        s << "entries: " << count << "\n";
        for (int32_t i = 0; i < count; ++i) {
          const gca::EntryRecord record = handle.Archive()->EntryInfo(i);
          const std::string name = Utf8OfArchiveName(handle.EntryName(i));
          s << "  " << ((record.Attributes & 0x10) ? "dir " : "    ") << record.UnpackedSize << "  " << name;
          if (IsDeltaName(name) && !(record.Attributes & 0x10)) {
            // A delta from a file of another name says which (its header, at the entry's start).
            HeadDigestStream head;
            DeltaHeader header;
            const bool read = handle.Archive()->DecodeEntry(head, i, std::string()) &&
                              ParseDeltaHeader(head.head.data(), head.head.size(), header);
            s << "  (delta of " << name.substr(kDeltaPrefixSize)
              << (read && !header.Base.empty() ? ", from another file: " + Utf8OfArchiveName(header.Base) : "") << ")";
          }
          s << "\n";
        }
      } else {
        s << "entries: (the archive does not open)\n";
      }
      handle.Close();
      handle.ReleaseBuffers();
    }
    handle.Destroy();
  }
  return opened;
}

}  // namespace

bool DescribePatch(const std::string& path, std::string& text, std::string& error) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  if (!in) {
    error = "cannot read \"" + path + "\"";
    return false;
  }
  std::vector<uint8_t> head(4096);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(in.gcount()));
  in.close();
  // Read as the updater reads it.
  HostPayloadFile file(fs::u8path(path));
  const int32_t archive_tag = FindRecordIn(file, ArchiveTag());
  if (archive_tag < 0) {
    error = "not a patch: no ARCHIVE_DATA record in the first 1,048,576 bytes of \"" + path + "\"";
    return false;
  }
  std::ostringstream s;
  DescribeRecords(file, s);
  {
    uint64_t offset = 0, length = 0;
    if (PeCertificateTable(head.data(), head.size(), offset, length) && length != 0) {
      s << "signature: certificate table of " << length << " bytes at offset " << offset << "\n";
    } else {
      s << "signature: none\n";
    }
  }
  s << "archive at offset " << archive_tag + 16 << "\n";
  const bool opened = DescribeEntries(path, archive_tag, s);
  text = s.str();
  if (!opened) {
    error = "damaged patch: the archive behind the ARCHIVE_DATA record does not open";
    return false;
  }
  return true;
}
