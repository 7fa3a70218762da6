#include "app/update_messages.h"

#include <windows.h>

#include "app/app_globals.h"
#include "app/update_log.h"
#include "platform/text.h"

const char kFinishedText[] = "finished renewal of patch complete.";
const char kSuccessMessage[] = "                        Success                        ";
const char kFailedText[] = "Update process failed.";
const char kFailedMessage[] = "Update process failed.\nPlease update it after installing the game again.";

const char kAnotherCopyMessage[] =
    "An update of this game is already running. Wait until it has finished; this copy of the patch ends now.";
const char kDamagedPatchMessage[] = "This patch file is damaged. Download it again.";

namespace {

UpdateFailure g_failure;

const char kPutBack[] = "The game was left as it was.";

}  // namespace

bool IsInUseError(uint32_t error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION; }

FailureKind KindOfError(uint32_t error) {
  if (IsInUseError(error)) return FailureKind::kInUse;
  if (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT) return FailureKind::kAccessDenied;
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) return FailureKind::kDiskFull;
  return FailureKind::kOperation;
}

void ResetFailure() { g_failure = UpdateFailure(); }

void NoteFailure(const UpdateFailure& failure) {
  if (g_failure.Kind == FailureKind::kNone) g_failure = failure;
}

void NoteOperationFailure(const char* operation, const std::string& path, uint32_t error) {
  LogLine(FormatText("failed: %s (error %u) ", operation, static_cast<unsigned>(error)) + path);
  UpdateFailure failure;
  failure.Kind = KindOfError(error);
  failure.Operation = operation;
  failure.Path = path;
  failure.Error = error;
  NoteFailure(failure);
}

void NoteFailureKind(FailureKind kind, const std::string& path) {
  LogLine(FormatText("failure of kind %d ", static_cast<int>(kind)) + path);
  UpdateFailure failure;
  failure.Kind = kind;
  failure.Path = path;
  NoteFailure(failure);
}

const UpdateFailure& CurrentFailure() { return g_failure; }

std::string DisplayName(const std::string& path) {
  const std::string base = InstallPath.empty() || InstallPath.back() == '\\' ? InstallPath : InstallPath + "\\";
  if (!base.empty() && path.size() > base.size()) {
    bool inside = true;
    for (size_t i = 0; i < base.size() && inside; ++i) {
      char a = path[i], b = base[i];
      if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
      if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
      inside = a == b;
    }
    if (inside) return path.substr(base.size());
  }
  return path;
}

std::string Megabytes(uint64_t bytes, bool round_up) {
  // Below 10 MB the figure is given in KB, so that a small one does not read as 0.
  const bool small = bytes < 10ull * 1024 * 1024;
  const uint64_t unit = small ? 1024 : 1024 * 1024;
  uint64_t amount = bytes / unit;
  if (round_up && bytes % unit != 0) ++amount;
  std::string digits = std::to_string(amount), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out + (small ? " KB" : " MB");
}

std::string FailureMessage(const UpdateFailure& f) {
  const std::string name = DisplayName(f.Path);
  switch (f.Kind) {
    case FailureKind::kInUse:
      return name + " is in use by another program. Close the game and any program using it, then run this patch "
                    "again.";
    case FailureKind::kAccessDenied:
      return "The update was not allowed to change " + name + " (access denied). " + kPutBack +
             "\nMake sure the file is not read-only and that you may change the game's folder (you may need to run "
             "this patch as an administrator), then run this patch again.";
    case FailureKind::kDiskFull:
      if (f.Needed != 0) {
        return "There is not enough free space on " + f.Drive + " for this update: it needs " +
               Megabytes(f.Needed, true) + " and " + Megabytes(f.Free, false) +
               " are free. Nothing was changed.\nFree some space on " + f.Drive + ", then run this patch again.";
      }
      return "The disk became full while the update wrote " + name + ". " + kPutBack +
             "\nFree some space, then run this patch again.";
    case FailureKind::kDamagedPatch:
      return kDamagedPatchMessage;
    case FailureKind::kAnotherCopy:
      return kAnotherCopyMessage;
    case FailureKind::kWorkFolder:
      return "The update found a folder \"" + name + "\" of the game's own where it keeps its work files and has no "
             "other place to work in. Nothing was changed.";
    case FailureKind::kPathTooLong:
      return "The game's folder path is too long for this patch by " + std::to_string(f.Needed) +
             " characters. Nothing was changed.\nMove the game to a folder with a shorter path, then run this patch "
             "again.";
    case FailureKind::kUnfinished:
      return "The update could not be finished and the game is not yet back as it was: " + name +
             " is in use by another program.\nDo not start the game. Close the program using it, then run this "
             "patch again: it finishes putting the game back.";
    case FailureKind::kChangedFile:
      return "The game's file " + name +
             " is not the one this patch updates: it was changed or is damaged. Nothing was changed.\nRestore the "
             "game's original file, then run this patch again.";
    case FailureKind::kOperation:
      return FormatText("The update could not %s %s (error %u). ", f.Operation.c_str(), name.c_str(),
                        static_cast<unsigned>(f.Error)) +
             kPutBack + "\nRun this patch again.";
    case FailureKind::kNone:
    case FailureKind::kDamagedInstall:
    case FailureKind::kNotRestored:
      break;
  }
  return kFailedMessage;
}

std::string CheckFileUnreadableMessage(const std::string& path, uint32_t error) {
  return FormatText("The game's file %s cannot be read (error %u). Close the game and any program using it, then "
                    "run this patch again.",
                    path.c_str(), static_cast<unsigned>(error));
}
