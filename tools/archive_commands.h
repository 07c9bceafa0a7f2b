// "archive create | list | extract | verify": package archives made and
// looked into through the updater's own reader (PackageArchive) and writer.
#pragma once

#include <string>
#include <vector>

#include "tools/tool_common.h"

// True when the file is an archive that the updater can change entry by
// entry: the magic and every record inside the file.
bool isSoundArchive(const std::string& path);

int runArchiveCommand(const std::vector<std::string>& arguments, ToolOutput* output);
