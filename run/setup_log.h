// Records files that a run created in the game's setup log, "Setup.log" in
// the install folder, when that log exists.
#pragma once

constexpr const char kSetupLogName[] = "Setup.log";

// Appends "F\t<createdPath>\n" (CR LF on disk) to <installFolder>Setup.log.
// True when the log exists (opened for reading); nothing is created when it
// does not. A failed append is silent. A log whose last line is already
// that line is left as it is.
bool registerCreatedFile(const char* createdPath, const char* installFolder);
