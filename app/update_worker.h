// The update procedure: stages the patch in the work directory inside the installation,
// rebuilds the affected data archives, swaps them in, places the loose files, cleans up
// and restores the listed file times. Every user-visible effect goes through UpdateUi.
#pragma once
#include <cstdint>
#include <string>

#include "app/update_ui.h"

namespace gca {
class GcaArchive;
}

// Names of the work directory inside the installation and of its staging directory.
extern const char TempDirName[];
extern const char StagingDirName[];
// Set at the beginning of every run.
extern std::string TempDirectory;
extern std::string StagingDirectory;

// The final messages of a run.
extern const char kFinishedText[];
extern const char kSuccessMessage[];
extern const char kFailedText[];
extern const char kFailedMessage[];

// True when every step did what it reports.
bool RunUpdate();
// The worker thread's job: runs the update, reports the outcome, ends the main window.
void UpdateWorker(void* unused);
// The archive builder's progress: sets the item counters and repaints; returns 1.
int32_t ProgressCallback(int64_t done, int64_t total, gca::GcaArchive* archive);
