// The publisher's patch builder: compares an old and a new game tree and writes a patch
// executable, the updater's image followed by the payload records and the patch archive.
#pragma once
#include <cstdint>
#include <string>

#include "app/payload_format.h"
#include "tools/patch_signer.h"
#include "tools/patch_summary.h"

#include <functional>
#include <vector>

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
  // Also ship what differs only in its write time: data-archive members whose bytes and
  // attributes are unchanged, and time stamps for loose files with unchanged bytes.
  bool WithTimes = false;
  // Leave what the new version deleted in the players' installations (listed as kept).
  bool KeepDeleted = false;
  // Ship every changed file and member whole, as patches without deltas.
  bool NoDelta = false;
  // How the updater rebuilds the data archives it merges into: "unpack" (the default),
  // "stream" or "keep".
  RebuildWay Rebuild = RebuildWay::kUnpack;
  // Also names that leave the installation directory fewer than 100 characters of path.
  bool AllowLongNames = false;
  SignOptions Sign;          // signs the finished patch when it names an identity
  // Progress of the long stages ("comparing", "packing", "checking"), when set.
  std::function<void(const char* stage, uint64_t done, uint64_t total)> Progress;
  // Test seam: called with the written patch before it is read back.
  std::function<void(const std::string& patch)> AfterWrite;
};

// Paths are UTF-8. Returns false with a message when the trees cannot be expressed as a
// patch (a file that became a directory, a text longer than 31 bytes, a name Windows cannot
// hold, ...), a file fails, the written patch does not read back as the new version, or
// the signing fails. The patch is written and signed in a fresh work directory next to
// the output and moved to the output only when complete and checked, so a failed build
// leaves no new output and an earlier output as it was.
bool BuildPatch(const PatchOptions& options, PatchSummary& summary, std::string& error);

// Whether entry names can be converted to this code page here (0: the system's).
bool CheckPatchCodePage(int code_page, std::string& error);
