// The one rule for every path that a list names: the targets of C and R,
// the archive of I (below the install folder), the sources of C, R and I,
// and the package of P (below the update folder). A path must name a file
// below its folder, by the name Windows gives it. The updater refuses a list
// that breaks the rule, and the publisher tool reports and never writes one.
// Entry names inside archives are names, not paths: the rule is not theirs.
#pragma once

#include <string>

enum class ListPathFault {
  None,
  LeadingSeparator,    // the root of a drive
  EmptyPart,           // two separators in a row, or one at the end
  ParentFolder,        // ".." leaves the folder
  Colon,               // a drive ("C:") or a stream ("a.txt:hidden")
  DeviceName,          // CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$
  TrailingDotOrSpace,  // Windows drops it, and the name means another file
  Wildcard,            // "*" or "?"
  ReservedByte,        // below 0x20, or < > " |
};

struct ListPathCheck {
  ListPathFault fault = ListPathFault::None;
  std::string part;  // the part of the path that breaks the rule
  bool ok() const { return fault == ListPathFault::None; }
};

// Parts are split at backslashes and slashes the code-page-932 way, so a
// trail byte 0x5C or 0x7C (ソ, ポ) is neither a separator nor a "|".
ListPathCheck checkListPath(const std::string& path);
