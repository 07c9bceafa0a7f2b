// "compare": two trees as the updater sees them. Loose files byte for byte;
// archives entry by entry (the first record of each name, under the
// archive's own name rule); names matched as Windows matches them, in code
// page 932, so that U+301C and U+FF5E are one name.
#pragma once

#include <string>
#include <vector>

#include "tools/tool_common.h"

struct TreeDifference {
  enum Kind { Missing, Extra, Different, MissingEntry, ExtraEntry, DifferentEntry };
  Kind kind;
  std::string path;   // CP932, relative
  std::string entry;  // CP932, for an entry of an archive
};

// The code a script reads for a kind ("missing", "extra-entry", ...).
const char* differenceCode(TreeDifference::Kind kind);
// "missing data\a.txt", "different entry e of data.qrv", UTF-8.
std::string differenceText(const TreeDifference& difference);

// Whether two contents hold the same bytes, compared piece by piece; false
// when one cannot be read, *failedPath naming it.
bool sameBytes(const Content& first, const std::string& firstPath, Content& second, const std::string& secondPath,
               const ContentProgress& progress, bool* same, std::string* failedPath);

// What DIR lacks, has more of, or holds otherwise than REFERENCE (both
// ending with a backslash), in path order. "Setup.log" is left out unless
// `withSetupLog`. False after an I/O error (*failedPath names the file).
bool compareFolders(const std::string& dir, const std::string& reference, bool withSetupLog,
                    std::vector<TreeDifference>* differences, std::string* failedPath);

int runCompare(const std::vector<std::string>& arguments, ToolOutput* output);
