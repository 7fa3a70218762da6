// The publisher's patch builder: compares an old and a new game tree and writes a patch
// executable, the updater's image followed by the payload records and the patch archive.
#pragma once
#include <cstdint>
#include <string>

#include "tools/patch_signer.h"

struct PatchOptions {
  std::string Stub;          // the updater's image
  std::string OldDir;        // the installed version
  std::string NewDir;        // the version after the patch
  std::string Title;
  std::string OldVersion;
  std::string NewVersion;
  std::string CheckFile;     // relative to the trees, backslash- or slash-separated
  std::string NewCheckFile;  // empty: the same as CheckFile
  int CodePage = 0;          // of entry names in the archives; 0: the system's
  std::string Output;
  SignOptions Sign;          // signs the finished patch when it names an identity
};

struct PatchSummary {
  int LooseFiles = 0;
  int DataArchives = 0;
  int Members = 0;
  int TimeStamps = 0;
  uint64_t ImageEnd = 0;
  uint64_t ArchiveSize = 0;
  uint64_t PatchSize = 0;
  uint64_t SignatureSize = 0;  // the certificate table behind the archive; 0: unsigned
};

// Paths are UTF-8. Returns false with a message when the trees cannot be expressed as a
// patch (a deleted file or member, a text longer than 31 bytes, ...), a file fails, or the
// signing fails. The patch is written and signed in the work directory and moved to the
// output only when complete, so a failed build leaves an earlier output as it was.
bool BuildPatch(const PatchOptions& options, PatchSummary& summary, std::string& error);

// The records and archive entries of a patch file as text.
bool DescribePatch(const std::string& path, std::string& text, std::string& error);
