// Shared pieces of the publisher tool: where its output goes, how CP932
// names are shown, and the few file-tree walks that its commands need.
#pragma once

#include "platform/cp932.h"

#include <cstdint>
#include <string>
#include <vector>

#include "archive/content.h"

// Exit codes a script can rely on.
constexpr int kExitFine = 0;
constexpr int kExitProblems = 1;
constexpr int kExitUsage = 2;

// Everything a command prints: `out` for its report, `err` for usage and
// I/O errors. The entry point writes both; tests read them.
struct ToolOutput {
  bool json = false;
  std::string out;
  std::string err;
};

// The tool's whole command line, without the program name, as UTF-8.
int runTool(const std::vector<std::string>& arguments, ToolOutput* output);

// A CP932 name as UTF-8 for the terminal; bytes that are not CP932 are
// shown as \xNN so that nothing is hidden.
std::string shown(const std::string& cp932);
// A UTF-8 text as a quoted JSON string.
std::string jsonText(const std::string& utf8);
// A CP932 name as a quoted JSON string (through shown()).
std::string jsonName(const std::string& cp932);

// A path typed on the command line (UTF-8, either slash) as the CP932 path
// with backslashes that the platform layer takes. False when the text has
// no CP932 form.
bool argumentPath(const std::string& utf8, std::string* cp932);
// The path with exactly one backslash at its end.
std::string asFolder(const std::string& path);
// An absolute form of a path, against the current folder.
bool absolutePath(const std::string& path, std::string* absolute);

// The folder part of a relative CP932 path ("" when it has none), found
// without mistaking a 0x5C trail byte for a separator.
std::string parentFolder(const std::string& relative);
// Splits a CP932 path at backslashes and slashes, trail bytes respected.
std::vector<std::string> pathParts(const std::string& path);
// Why a path in a list or an archive would leave the folder it is meant to
// stay in: "..", a drive or stream colon, a leading backslash. Empty when it
// stays inside.
std::string pathEscape(const std::string& path);
// True when any byte is list white space (the list cannot hold the name).
bool holdsListWhiteSpace(const std::string& text);

// ASCII case folding, the archive's name rule.
std::string foldedName(const std::string& name);

enum class PathKind { Missing, File, Folder };
PathKind pathKind(const std::string& path);
bool isReadOnlyFile(const std::string& path);

// Every file below `folder` (which ends with a backslash), as relative
// CP932 paths with backslashes, sorted by bytes. False when the folder
// cannot be searched.
bool listFilesBelow(const std::string& folder, std::vector<std::string>* files);
// Creates the folder and any missing parents.
bool makeFolders(const std::string& folder);
bool writeWholeFile(const std::string& path, const char* bytes, uint32_t size);
// The platform's text for the last error, for I/O error reports.
std::string lastErrorText();
