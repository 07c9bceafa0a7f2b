#include "tools/make_update.h"
int runMake(const std::vector<std::string>&, ToolOutput*) { return kExitUsage; }
