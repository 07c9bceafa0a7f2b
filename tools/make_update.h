// "make": an update folder (UpDate.lst, a source package and the loose
// files that stay loose) that brings a copy of OLD_DIR to NEW_DIR.
#pragma once

#include <string>
#include <vector>

#include "tools/tool_common.h"

int runMake(const std::vector<std::string>& arguments, ToolOutput* output);
