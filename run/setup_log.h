// Records files that a run created in the game's setup log, "Setup.log" in
// the install folder, when that log exists.
#pragma once

class HeldFolders;

constexpr const char kSetupLogName[] = "Setup.log";

// Appends "F\t<createdPath>\n" (CR LF on disk) to the log that lies in the
// install folder of `folders`, when the log exists: nothing is created
// when it does not. The log is extended in place, so it must be a plain
// file with one name, not reached through a link: one that is not, and one
// that does not take the line (held by another program, read-only, a full
// disk), is left as it is, silently, and the run goes on. A log whose last
// line is already that line (a run stopped between logging a file and
// making it) is left as it is too.
void registerCreatedFile(const char* createdPath, HeldFolders& folders);
