#include "app/startup.h"

#include <windows.h>
// Shell types used by the file-system declarations.
#include "platform/wide_api.h"

#include "app/instance_lock.h"
#include "app/payload.h"
#include "app/update_journal.h"
#include "app/update_log.h"
#include "app/update_messages.h"
#include "codec/sha512.h"
#include "platform/file_stream.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/utf8_wrappers.h"

std::string InstallPath;
std::string WindowTitle = "MarloUpdater";

const char kOleInitializeError[] = "OLE initialize error.";
const char kFileDamaged[] = "This file is damaged.";
const char kInstallationNotFound[] = "installation destination is not found.";
const char kAlreadyUpdated[] = "already attached even version.";
const char kNoGameInstalled[] = "No game requiring an update is installed on this computer.";

namespace {
const char kErrorCaption[] = "Error";

// The installation directory as the system reads the registry's text, the way the
// shell takes a typed path. A directory whose name really ends in a dot or a space is
// reached through its short name, which every entry point reads as it stands.
std::string SettledInstallPath(const std::string& registered) {
  std::string path = CanonicalDirectoryPath(registered);
  if (path.empty()) return registered;
  if (HasTrailingDotOrSpace(path)) {
    const std::string short_path = ShortPathName(path);
    if (!short_path.empty() && !HasTrailingDotOrSpace(short_path)) path = short_path;
  }
  return path;
}

// The folder that the archive code, which works in the system code page, cannot be
// given: the program's or the installation's, when its name has characters outside the
// code page and no short form without them; empty when both can be given.
std::string FolderWithoutAnsiName() {
  const std::string program = ProgramFilePath();
  if (!program.empty() && AnsiPathOf(program).empty()) return ParentDirectory(program);
  if (HasTrailingDotOrSpace(InstallPath) || AnsiPathOf(InstallPath).empty()) return InstallPath;
  return std::string();
}

// Tells the update worker of this copy that start-up holds the installation's lock.
struct StartupLockScope {
  StartupLockScope() { StartupHoldsInstallLock = true; }
  ~StartupLockScope() { StartupHoldsInstallLock = false; }
};

// The system's error when a file that is there cannot be read whole; 0 when it is
// missing or reads.
uint32_t ReadError(const std::string& path) {
  const uint32_t attributes = GetPathAttributes(path);
  if (attributes == 0xFFFFFFFFu || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
  FileStream file;
  if (!file.Open(path, FileStream::kRead)) {
    const uint32_t error = GetLastError();
    return error != 0 ? error : ERROR_READ_FAULT;
  }
  char buffer[4096];
  for (;;) {
    const uint32_t n = file.Read(buffer, sizeof(buffer));
    if (n == 0) break;
  }
  const uint64_t size = file.Size(), at = file.Tell();
  const uint32_t error = at == size ? 0 : (GetLastError() != 0 ? GetLastError() : ERROR_READ_FAULT);
  file.Close();
  return error;
}
}  // namespace

std::string PlainFolderMessage(const std::string& folder) {
  return "The folder \"" + folder +
         "\" has a name that this system cannot pass to the patch.\nMove the patch or the game to a folder "
         "with plain names, then run this patch again.";
}

bool NewVersionInstalled() {
  const std::string digest = FileSha512Hex(JoinPath(InstallPath, NewCheckFile));
  return !digest.empty() && digest == NewCheckHash;
}

bool OldVersionInstalled() { return FileSha512Hex(JoinPath(InstallPath, OldCheckFile)) == OldCheckHash; }

int RunStartup(StartupHost& host) {
  if (host.InitializeCom() != 0) {
    host.ShowMessage(kOleInitializeError, kErrorCaption, kMessageError);
    return 0;
  }
  // The program takes no arguments; the command line is fetched and not used.
  const std::string command_line = WideToUtf8(GetCommandLineW());
  (void)command_line;

  BaseDirectory = GetCurrentDirectoryUtf8();
  InstallPath = GetBaseDirectory();

  if (!ReadTitle() || !ReadVersions() || !ReadOldCheck() || !ReadNewCheck()) {
    host.ShowMessage(kFileDamaged, kErrorCaption, kMessageError);
    return 0;
  }

  const std::string key = FormatText("Software\\ORVANE\\%s", Title.c_str());
  std::string path;
  if (RegistryKeyExists(HKEY_LOCAL_MACHINE, key)) {
    RegistryKey registry;
    if (registry.CreateKey(HKEY_LOCAL_MACHINE, key)) path = registry.GetString("PATH", std::string());
    registry.Close();
    InstallPath = SettledInstallPath(path);
  }
  if (path.empty()) {
    host.ShowMessage(kInstallationNotFound, kErrorCaption, kMessageError);
    return 0;
  }

  StartUpdateLog();
  LogLine("start: " + ProgramFilePath() + " (" + Title + " " + OldVersion + " >> " + NewVersion +
          ") for the installation " + InstallPath);
  // One copy at a time per installation, from before the recovery until the program
  // ends: a second copy changes nothing and says why.
  InstallLock lock;
  if (!lock.Acquire(InstallPath)) {
    LogLine("another copy updates this installation: this copy ends");
    host.ShowMessage(kAnotherCopyMessage, Title + " Update Patch ver. " + NewVersion, kMessageInformation);
    return 0;
  }
  StartupLockScope scope;

  // An update that was cut off is undone or finished before the check file is looked
  // at: its check file may be aside at this moment.
  RecoverInterruptedUpdate();

  if (NewVersionInstalled()) {
    LogLine("the new version is installed already");
    host.ShowMessage(kAlreadyUpdated, std::string(), kMessagePlain);
    return 0;
  }
  if (!OldVersionInstalled()) {
    const std::string check = JoinPath(InstallPath, OldCheckFile);
    const uint32_t error = ReadError(check);
    if (error != 0) {
      LogLine(FormatText("the check file cannot be read: error %u, ", static_cast<unsigned>(error)) + check);
      host.ShowMessage(CheckFileUnreadableMessage(check, error), kErrorCaption, kMessageError);
      return 0;
    }
    LogLine("the check file is not the old version's: " + JoinPath(InstallPath, OldCheckFile));
    host.ShowMessage(kNoGameInstalled, kErrorCaption, kMessageError);
    return 0;
  }

  const std::string folder = FolderWithoutAnsiName();
  if (!folder.empty()) {
    LogLine("no name in the system code page, and no short name, for the folder " + folder);
    host.ShowMessage(PlainFolderMessage(folder), kErrorCaption, kMessageError);
    return 0;
  }

  WindowTitle = Title + " Update Patch ver. " + NewVersion;
  LogLine("the old version is installed: the main window opens");
  host.RunMainWindow();
  return 0;
}
