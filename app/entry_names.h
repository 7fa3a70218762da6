// Names of entries as the updater and the patch builder both read them: the names the
// updater keeps for itself below the installation, and one meaning of "the same name",
// as the players' file system compares names. All names are UTF-8.
#pragma once
#include <string>

// The updater's work directory below the installation, and the prefix of the data
// archives' members inside a patch (and of every work file the updater makes there).
extern const char TempDirName[];
extern const char StagingDirName[];

// The name with every letter in upper case, as the players' file system compares names:
// ASCII, Latin-1 and Latin Extended-A/Additional, Greek, Cyrillic, Armenian and the
// fullwidth Latin letters. Bytes that are not valid UTF-8 are kept as they are. Two names
// are the same name when their folded forms are equal.
std::string FoldNameCase(const std::string& name);
