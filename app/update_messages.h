// What went wrong in a run, and the message that tells the player. A run notes the
// first failure that decides its outcome (later ones are its consequences); the worker
// turns it into the final message. The messages say what happened and what to do, and
// send the player to reinstall only where the installation itself is damaged or could
// not be put back.
#pragma once
#include <cstdint>
#include <string>

enum class FailureKind {
  kNone,
  kOperation,      // a file operation failed for another reason; the game was put back
  kInUse,          // a file is held open by another program; the game was put back
  kAccessDenied,   // the system refused a change; the game was put back
  kDiskFull,       // too little free space; nothing was changed
  kDamagedPatch,   // the patch archive fails its checks; nothing was written
  kDamagedInstall, // a data archive is missing or fails its checks
  kAnotherCopy,    // another copy updates this installation
  kWorkFolder,     // no work directory of the update's own can be made
  kPathTooLong,    // the installation's path leaves too little room; nothing was changed
  kUnfinished,     // the game could not be put back yet: a file is in use
  kNotRestored,    // the game could not be put back
  kChangedFile,    // a file a delta is made from is not the one the patch expects; nothing was changed
};

struct UpdateFailure {
  FailureKind Kind = FailureKind::kNone;
  std::string Operation;  // what failed ("move", "delete", ...), for the log
  std::string Path;       // the file concerned (UTF-8, full path), where there is one
  uint32_t Error = 0;     // the system's error code
  uint64_t Needed = 0;    // bytes, for kDiskFull; characters too many, for kPathTooLong
  uint64_t Free = 0;      // bytes, for kDiskFull
  std::string Drive;      // the volume, for kDiskFull
};

// The kind a system error code stands for, for an operation on the game's files.
FailureKind KindOfError(uint32_t error);
// True for the errors of a file that another program holds open or locked.
bool IsInUseError(uint32_t error);

// The current run's failure. NoteFailure keeps the first one; ResetFailure starts anew.
void ResetFailure();
void NoteFailure(const UpdateFailure& failure);
// A failure of an operation on a path, from the system's error code.
void NoteOperationFailure(const char* operation, const std::string& path, uint32_t error);
void NoteFailureKind(FailureKind kind, const std::string& path = std::string());
const UpdateFailure& CurrentFailure();

// The final message of a failed run (UTF-8).
std::string FailureMessage(const UpdateFailure& failure);
// A name for the player: relative to the installation when it lies inside it.
std::string DisplayName(const std::string& path);
// A size in megabytes (in kilobytes below 10 MB) with thousands separators ("2,157 MB").
std::string Megabytes(uint64_t bytes, bool round_up);

// The final texts of a run: the progress window's line and the message box.
extern const char kFinishedText[];
extern const char kSuccessMessage[];
extern const char kFailedText[];
extern const char kFailedMessage[];

// The new messages.
extern const char kAnotherCopyMessage[];
extern const char kDamagedPatchMessage[];
// Start-up: the check file exists but cannot be read.
std::string CheckFileUnreadableMessage(const std::string& path, uint32_t error);
