// The apply-pass operations on loose files in the install folder ("C" and
// "R"), and the retry-or-cancel file-error prompt.
#pragma once

#include <cstdint>
#include <string>

#include "archive/content.h"
#include "platform/platform.h"
#include "archive/source_rule.h"
#include "platform/held_folders.h"
#include "run/run_state.h"

class PackageArchive;

// What the decision of a loose entry reads, in the order it needs it and
// only as far as it needs it; reading writes nothing.
class LooseEntryProbe {
 public:
  enum class TargetState { Absent, Present, Unusable };
  enum class Comparison { Identical, Different, Failed };

  // The target is `spot`'s file (no folder: a folder on its way is
  // missing); the source comes from `package` when it holds `sourceName`,
  // else from the loose file of the update folder. Contents are read under
  // `limits`.
  LooseEntryProbe(const FileSpot& spot, PackageArchive* package, HeldFolders& updateFolder, const char* sourceName,
                  const ContentLimits& limits)
      : spot_(spot), package_(package), updateFolder_(updateFolder), sourceName_(sourceName), limits_(limits) {}
  LooseEntryProbe(const LooseEntryProbe&) = delete;
  LooseEntryProbe& operator=(const LooseEntryProbe&) = delete;

  // Opens the target for reading with its size. Absent: it did not open,
  // for whatever reason; Unusable: a link stands where it is, or its size
  // could not be had. One of 4 GiB or more differs from every source.
  TargetState readTarget();
  // Why an Absent target did not open when something is there after all
  // (another program holds it without sharing, it is a folder); 0 when
  // nothing is there.
  uint32_t targetRefusal() const { return targetRefusal_; }
  SourceOrigin readSource();
  // The target against the source, read piece by piece; closes the target.
  Comparison compare();

  Content& source() { return source_; }
  SourceOrigin origin() const { return origin_; }

 private:
  const FileSpot& spot_;
  PackageArchive* package_;
  HeldFolders& updateFolder_;
  const char* sourceName_;
  ContentLimits limits_;
  plat::File targetFile_;
  bool targetPresent_ = false;
  uint32_t targetRefusal_ = 0;
  uint64_t targetSize_ = 0;
  Content source_;
  SourceOrigin origin_ = SourceOrigin::None;
};

// The rule for "C" (`mustExist` false) and "R" (true): Create or Replace
// when the source differs from the target (an absent one is empty),
// Identical when it does not, Fails with the reason and the last error.
EntryDecision decideLooseEntry(bool mustExist, LooseEntryProbe& probe);

// Command "C" for entry `entryIndex` of updateList: make the target equal to
// its source, creating it and the folders it needs when absent (and
// recording it in the setup log). True once the entry succeeded, false when
// the user cancelled the prompt.
bool copyLooseFile(int entryIndex);

// Command "R": as copyLooseFile, but the target must exist; never creates.
bool replaceLooseFile(int entryIndex);

enum class FileErrorAnswer { Retry, Cancel };

// The prompt text for a failed attempt on `path` with system code `code`,
// cut at a character boundary to fit kFileErrorTextSize - 1 bytes.
std::string fileErrorText(const char* path, uint32_t code);

// Shows the prompt for the last error, unowned, through runState.dialog.
// Must follow the failed attempt directly: it reads the last-error value.
// While it is up, the run holds no folder or archive of the game open, and
// no folder of the update below its root, so the player may set right what
// the prompt names.
FileErrorAnswer reportFileError(const char* path, const char* caption);
