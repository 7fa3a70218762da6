// The payload readers: the program's own file, the record search over its first 1 MiB,
// and the readers that load the fixed-size records into the payload values.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/app_globals.h"
#include "app/payload_format.h"

// Full path of the program's own file (UTF-8, the shell's long form), or empty.
std::string ProgramFilePath();
// Tests read the payload of a built patch instead of the running program: a non-empty
// path replaces the module's file name; empty restores it.
void SetProgramFilePathOverride(const std::string& path);

// Byte offset of the tag in the file's first 1 MiB, or -1.
int32_t FindRecord(const std::string& path, const std::string& tag);
// The time-stamp list of the patch file at `path`, read by the same rules as mkpatch's
// read-back checks it (up to the first short read); empty when there is none.
std::vector<TimeStamp> ReadTimeStamps(const std::string& path);

// The deletion list of the patch file at `path`: false when the list is there but cut
// short (the patch is damaged); an absent list is an empty one.
bool ReadDeletions(const std::string& path, std::vector<Deletion>& deletions);

// The rebuild way of the patch file at `path` (kUnpack when it names none); false when the
// record is damaged or names a way this updater does not know.
bool ReadRebuildWay(const std::string& path, RebuildWay& way);

bool ReadTitle();
bool ReadVersions();
bool ReadOldCheck();
bool ReadNewCheck();
