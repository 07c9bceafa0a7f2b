// "list check": every line of an update list that the updater skips or
// reads otherwise than it looks, found through the updater's own loader.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "list/update_list.h"
#include "tools/tool_common.h"

struct ListReport {
  std::unique_ptr<UpdateList> list = std::make_unique<UpdateList>();
  std::vector<int> entryLines;   // the line of each stored entry
  int lineCount = 0;
  std::vector<Finding> findings;  // by line; a note: a line meant to be skipped

  int problemCount() const { return ::problemCount(findings); }
};

// False when the file cannot be opened (the last error says why).
bool checkUpdateList(const char* fileName, ListReport* report);

// One-line description of an entry, for reports: letter and fields.
std::string describeEntry(const UpdateList& list, int index);

int runListCheck(const std::vector<std::string>& arguments, ToolOutput* output);
