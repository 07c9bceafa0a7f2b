#include "tools/plan_update.h"
int runPlan(const std::vector<std::string>&, ToolOutput*) { return kExitUsage; }
