// The apply-pass operations on loose files in the install folder ("C" and
// "R"), the retry-or-cancel file-error prompt, and the existence test of
// the verification passes.
#pragma once

#include <cstdint>
#include <string>

#include "run/verification.h"

// The install folder text that the run read from its dialog at the start.
extern char runInstallFolder[kRunPathSize];

// True when the path (wildcards allowed) matches at least one existing file
// that is not a folder.
bool fileExists(const char* path);

// Command "C" for entry `entryIndex` of updateList: make the target equal to
// its source, creating it when absent (and recording it in the setup log).
// True once the entry succeeded, false when the user cancelled the prompt.
bool copyLooseFile(int entryIndex);

// Command "R": as copyLooseFile, but the target must exist; never creates.
bool replaceLooseFile(int entryIndex);

enum class FileErrorAnswer { Retry, Cancel };

// The prompt text for a failed attempt on `path` with system code `code`,
// cut at a character boundary to fit kFileErrorTextSize - 1 bytes.
std::string fileErrorText(const char* path, uint32_t code);

// Shows the prompt for the last error, unowned, through runState.dialog.
// Must follow the failed attempt directly: it reads the last-error value.
FileErrorAnswer reportFileError(const char* path, const char* caption);
