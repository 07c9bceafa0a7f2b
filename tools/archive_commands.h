// "archive create | list | extract | verify": package archives made and
// looked into through the updater's own reader (PackageArchive) and writer.
#pragma once

#include <string>
#include <vector>

#include "tools/tool_common.h"

class PackageArchive;

// True when the file is an archive that the updater can change entry by
// entry: the magic and every record inside the file. *readFailed: the file
// could not be read to tell.
bool isSoundArchive(const std::string& path, bool* readFailed);
// Loads the index: true when a read failed, which would hide entries.
// Call it first: a later load tries a failed one again.
bool indexReadFailed(PackageArchive& archive);

int runArchiveCommand(const std::vector<std::string>& arguments, ToolOutput* output);
