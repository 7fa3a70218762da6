// The update as one transaction. Before it changes anything in the installation, a run
// writes a record of everything it is going to change into the work directory; the
// record is written aside, flushed and renamed into place, so that it is either whole or
// absent. Until the commit point the record is the pending record ("___undo.rec"): every
// change can be undone from what the installation holds (an old data archive waits as
// ".bak", an old loose file in the aside directory). The commit point is one rename of
// the pending record to the committed record ("___done.rec"), after the last change is
// in place; from then on the kept copies are only leftovers. The run ends when its
// record is gone.
//
// A run that was cut off leaves its record behind: the next run, before any check,
// undoes a pending run (the installation is the old one again) or finishes a committed
// one (removes the leftovers and restores the listed times).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/entry_names.h"

struct JournalLooseFile {
  std::string Name;     // relative to the installation (UTF-8)
  bool HadOld = false;  // an old copy was in the installation when the run began
  // The new version has no such file: the old copy is only kept aside, and goes with the
  // other kept copies after the commit point.
  bool Deleted = false;
  // A directory the new version has no more: removed after the commit point when the
  // update has left it empty (a player's file in it keeps it); never touched before.
  bool Directory = false;
};

struct JournalTime {
  std::string Name;        // relative to the installation (UTF-8)
  uint64_t WriteTime = 0;  // FILETIME
  bool ReadOnly = false;   // the file's read-only bit after the update
};

struct UpdateJournal {
  std::vector<std::string> Archives;              // data archive base names, in swap order
  std::vector<JournalLooseFile> LooseFiles;       // in placing order, check files last
  std::vector<std::string> CreatedDirectories;    // relative to the installation, outermost first
  std::vector<JournalTime> Times;                 // the payload's time-stamp list
};

// The work directory inside the installation and its staging directory (TempDirName and
// StagingDirName, app/entry_names.h), set at the beginning of every run.
extern std::string TempDirectory;
extern std::string StagingDirectory;

// Paths of the run's work, from InstallPath, TempDirectory and StagingDirectory.
std::string PendingRecordPath();
std::string CommittedRecordPath();
std::string DataArchivePath(const std::string& name);
std::string BackupPath(const std::string& name);
std::string RebuiltPath(const std::string& name);
std::string StagedPath(const std::string& name);
std::string AsidePath(const std::string& name);
// The work file a delta writes a data-archive member into before it takes the old
// member's place in the staging tree.
std::string DeltaWorkPath();
// The small file through which a run learns which attribute word a search reports for a
// file extracted with a given one, for a name with or without a leading dot.
std::string AttributeProbePath(bool dot_name);

// Sets TempDirectory and StagingDirectory below InstallPath ("tmp", or the name given).
void SetWorkDirectories();
void SetWorkDirectoriesIn(const std::string& name);
// Chooses the run's work directory: one of the update's own that still holds a record,
// else "tmp" when the installation has none, else a directory of the update's own
// beside the game's "tmp". False when neither name is free (TempDirectory is then "tmp").
bool SelectWorkDirectory();
// True when a directory is a work directory of the update (it holds one of its records).
bool IsOwnWorkDirectory(const std::string& path);

// Writes the pending record: aside, flushed, then renamed into place. False when the
// record could not be made whole; no record is then left.
bool WriteJournal(const UpdateJournal& journal);
bool ReadJournal(const std::string& path, UpdateJournal& journal);
// The commit point: the pending record becomes the committed record.
bool CommitJournal();

// Before the commit point: puts every change back, newest first, removes the work files
// and then the record. True when the installation is the old one and the record is gone.
bool RollBack(const UpdateJournal& journal);
// After the commit point: removes the kept copies and the work files, restores the
// listed times, then removes the record and the emptied work directory. True when the
// record is gone.
bool FinishCommitted(const UpdateJournal& journal);

// What a cut-off run left: undone or finished, whichever its record says. Runs at
// start-up before any check and again at the start of every update.
void RecoverInterruptedUpdate();
// The same for the one work directory TempDirectory names.
void RecoverWorkDirectory();

// Deletes every file below a directory and then its emptied directories.
void RemoveTree(const std::string& directory);
// Sets the listed times; a read-only file is made writable for it and read-only again.
// True when every listed file has its time and read-only bit; the worker ignores it.
bool RestoreListedTimes(const std::vector<JournalTime>& times);
