// "apply": the updater's own run on the real disk, from a console, for a
// publisher's tests and automated checks. The command is the confirmation;
// each file-error prompt is printed and answered with Retry as often as
// asked, then with Cancel.
#pragma once

#include <string>
#include <vector>

#include "tools/tool_common.h"

int runApply(const std::vector<std::string>& arguments, ToolOutput* output);

// What a run ends with: its message (CP932) read as the tool's exit code:
// fine for the two messages of a run that reached its end, problems for
// every abort.
int exitForMessage(const std::string& message);
