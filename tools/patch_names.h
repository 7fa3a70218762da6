// Names the patch builder must refuse before a player's updater meets them: names that
// Windows cannot hold or that it changes on the way, names that two files would share on
// a file system that ignores letter case, and names the updater keeps for itself. All
// names are UTF-8, relative, backslash-separated.
#pragma once
#include <string>
#include <vector>

#include "app/entry_names.h"

// Why Windows cannot hold the name, or empty when it can: a reserved device name in any
// component (with or without an extension), one of < > : " | ? * / or a byte below 0x20,
// a component ending in a dot or a space, an empty component.
std::string WindowsNameProblem(const std::string& name);

// Why the updater cannot place a file of this name, or empty: its work directory "tmp"
// (in any letter case) as the first component, or a name beginning with "___", which the
// updater takes for a data-archive member.
std::string UpdaterNameProblem(const std::string& name);

// Two names that the file system would take for one file or directory although they
// differ: the first pair of paths (or path prefixes, i.e. directories) that are equal
// after FoldNameCase. False when there is none.
bool FindCaseClash(const std::vector<std::string>& names, std::string& first, std::string& second);
