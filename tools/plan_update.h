// "plan": a dry run of an update folder against an install folder. It is
// the updater's own run over an overlay that keeps every write aside, and
// tells, entry by entry, what the apply pass changed, changing nothing on
// disk.
#pragma once

#include <string>
#include <vector>

#include "tools/tool_common.h"

int runPlan(const std::vector<std::string>& arguments, ToolOutput* output);
