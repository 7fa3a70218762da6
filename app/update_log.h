// A short plain-text log of each run for support: one UTF-8 line per phase and per
// failing operation (the system's error code, the path and what the run did about it).
// It is named after the patch program and written beside it, or in the user's
// temporary folder when that cannot be written or when the program lies inside the
// installation: nothing of it goes into the game. Writing it never decides anything.
#pragma once
#include <string>

// Starts the run's log (a new file); start-up calls it once the payload is read, and the
// first line of a run that has none starts it too.
void StartUpdateLog();
void LogLine(const std::string& text);
// Where the log is, or empty when none could be written.
std::string UpdateLogPath();
