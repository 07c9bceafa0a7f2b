// "plan": a dry run of an update folder against an install folder. It runs
// the updater's own verification passes and then tells, entry by entry,
// what the apply pass would do, from the apply pass's own decision of each
// entry, changing nothing.
#pragma once

#include <string>
#include <vector>

#include "tools/tool_common.h"

int runPlan(const std::vector<std::string>& arguments, ToolOutput* output);
