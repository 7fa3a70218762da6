// Start-up: loads the payload, finds the installation and decides by the check file's
// digest whether the patch applies. The system calls that a test cannot repeat (COM,
// message boxes, the main window) go through StartupHost.
#pragma once
#include <string>

#include "app/app_globals.h"

class StartupHost {
 public:
  virtual ~StartupHost() = default;
  // OleInitialize(nullptr); the system's result.
  virtual long InitializeCom() = 0;
  // A modal message box owned by no window.
  virtual void ShowMessage(const std::string& text, const std::string& caption, unsigned style) = 0;
  // Shows the main window and runs the message loop until the program ends.
  virtual int RunMainWindow() = 0;
};

// The messages of the early ends.
extern const char kOleInitializeError[];
extern const char kFileDamaged[];
extern const char kInstallationNotFound[];
extern const char kAlreadyUpdated[];
extern const char kNoGameInstalled[];

// The message for a folder whose name the archive code cannot be given.
std::string PlainFolderMessage(const std::string& folder);

bool NewVersionInstalled();
bool OldVersionInstalled();

// The entry point's work; the process exit code, 0 on every path.
int RunStartup(StartupHost& host);
