// The update procedure: stages the patch in the work directory inside the installation,
// rebuilds the affected data archives, swaps them in, places the loose files, cleans up
// and restores the listed file times. Every user-visible effect goes through UpdateUi.
#pragma once
#include <cstdint>
#include <string>

#include "app/update_journal.h"
#include "app/update_messages.h"
#include "app/update_ui.h"

namespace gca {
class GcaArchive;
}

// True when every step did what it reports.
bool RunUpdate();
// The worker thread's job: runs the update, reports the outcome, ends the main window.
void UpdateWorker(void* unused);
// The archive builder's progress: sets the item counters and repaints; returns 1.
int32_t ProgressCallback(int64_t done, int64_t total, gca::GcaArchive* archive);
