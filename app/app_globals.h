// Process-wide values of the updater, written by start-up on the main thread before the
// worker thread can run, and only read afterwards.
#pragma once
#include <string>

// Payload values (filled by the payload readers).
extern std::string Title;         // empty at start
extern std::string OldVersion;    // "0.0.0" at start
extern std::string NewVersion;    // "9.9.9" at start
extern std::string OldCheckFile;
extern std::string NewCheckFile;
extern std::string OldCheckHash;
extern std::string NewCheckHash;

// The installation directory: the base directory first, then the registry value.
extern std::string InstallPath;
// Caption of the windows and of the final message boxes.
extern std::string WindowTitle;
