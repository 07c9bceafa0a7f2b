// The apply-pass operations on loose files in the install folder ("C" and
// "R"), the retry-or-cancel file-error prompt, and the existence test of
// the verification passes.
#pragma once

#include <cstdint>
#include <string>

#include "archive/archive_update.h"
#include "platform/platform.h"
#include "run/verification.h"

// The install folder text that the run read from its dialog at the start.
extern char runInstallFolder[kRunPathSize];

// True when the path (wildcards allowed) matches at least one existing file
// that is not a folder.
bool fileExists(const char* path);

// What the decision of a loose entry reads, in the order it needs it and
// only as far as it needs it; reading writes nothing. On disk by default: a
// dry run that knows what earlier entries would have written overrides the
// target's part.
class LooseEntryProbe {
 public:
  enum class TargetState { Absent, Present, Unusable };
  enum class Comparison { Identical, Different, Failed };

  // `target` is the joined target path; the source comes from `package`
  // when it holds `sourceName`, else from the loose file.
  LooseEntryProbe(const char* target, PackageArchive* package, const char* sourceName)
      : targetPath_(target), package_(package), sourceName_(sourceName) {}
  virtual ~LooseEntryProbe() = default;
  LooseEntryProbe(const LooseEntryProbe&) = delete;
  LooseEntryProbe& operator=(const LooseEntryProbe&) = delete;

  // Opens the target for reading with its size. Absent: it did not open,
  // for whatever reason; Unusable: its size could not be had, or it is
  // 4 GiB or more (a content's size is 32-bit).
  virtual TargetState readTarget();
  // The target's size when present.
  virtual uint32_t targetSize() const { return targetSize_; }
  SourceOrigin readSource();
  // The target against the source, read piece by piece; closes the target.
  virtual Comparison compare();

  Content& source() { return source_; }
  SourceOrigin origin() const { return origin_; }

 protected:
  const char* targetPath_;

 private:
  PackageArchive* package_;
  const char* sourceName_;
  plat::File targetFile_;
  bool targetPresent_ = false;
  uint32_t targetSize_ = 0;
  Content source_;
  SourceOrigin origin_ = SourceOrigin::None;
};

// The rule for "C" (`mustExist` false) and "R" (true): Create or Replace
// when the source differs from the target (an absent one is empty),
// Identical when it does not, Fails with the reason and the last error.
EntryDecision decideLooseEntry(bool mustExist, LooseEntryProbe& probe);

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
