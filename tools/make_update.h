// "make": an update folder (UpDate.lst, a source package and the loose
// files that stay loose) that brings a copy of each OLD_DIR to NEW_DIR,
// proven for each by the updater's own run over an overlay of it.
#pragma once

#include <string>
#include <vector>

#include "tools/tool_common.h"

// Beside the tool's own exit codes: written, but without what the updater
// cannot do (each listed); and written, but a proof found a difference that
// no limit of the updater explains.
constexpr int kExitMadeWithOmissions = 3;
constexpr int kExitMakeFault = 4;

int runMake(const std::vector<std::string>& arguments, ToolOutput* output);
