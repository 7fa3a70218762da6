// The answers that a caller of the archive object gives to its notices, one table per
// policy, and what each policy counts as a failure of its work. The updater and the patch
// builder's read-back check share the updater's policy, so the builder reads a patch
// exactly as the players' updater will.
#pragma once
#include <cstdint>

namespace gca {

class GcaArchive;

struct NoticeOutcome {
  bool Failed = false;              // the step's work failed: a damaged entry, a failed write or source
  bool Damaged = false;             // the archive's own bytes failed their checks
  bool ScrambledDirectory = false;  // the directory was scrambled (the tools' policy reads it)
};

enum class NoticePolicy {
  // Every question answered no: a solid archive's index is not built and a scrambled
  // directory is not read (the updater merges only into plain archives).
  kUpdater,
  // Every readable archive read: a solid archive gets its index, a scrambled directory
  // is decrypted and noted.
  kTool,
  // The updater on a patch that keeps each data archive's own form: the installed
  // archive and the rebuilt one are read whatever their form (a solid archive gets its
  // index, a scrambled directory is decrypted); failures count as the updater's do.
  kKeep,
};

// The answer to one notice under a policy, noting in the outcome what it means.
int32_t AnswerNotice(NoticePolicy policy, uint32_t code, NoticeOutcome& outcome);

// Installs the policy on an archive object; the outcome must outlive its use.
void InstallNoticePolicy(GcaArchive* archive, NoticePolicy policy, NoticeOutcome* outcome);

}  // namespace gca
