#include "run/loose_file.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "archive/archive_update.h"
#include "archive/content.h"
#include "archive/package_archive.h"
#include "list/update_list.h"
#include "platform/cp932.h"
#include "platform/platform.h"
#include "run/run_host.h"
#include "run/run_messages.h"
#include "run/run_state.h"
#include "run/setup_log.h"

char runInstallFolder[kRunPathSize];

bool fileExists(const char* path) {
  plat::FileSearch search;
  plat::FoundFile found;
  if (!search.first(path, &found)) return false;
  do {
    // A name that CP932 cannot write is no file the run could ever open.
    if (found.nameable && !(found.attributes & plat::kAttributeDirectory)) return true;
  } while (search.next(&found));
  return false;
}

namespace {

// The target as an attempt finds it: open for reading with its size, or
// absent (it did not open for reading, for whatever reason).
struct Target {
  plat::File file;
  bool present = false;
  uint32_t size = 0;
};

// False when the target opened but its size could not be had.
bool openTarget(const char* path, Target* target) {
  target->present = target->file.open(path, plat::kGenericRead, plat::kShareRead, plat::kOpenExisting);
  if (!target->present) return true;
  uint64_t size = 0;
  if (!target->file.size(&size)) return false;
  if (size > 0xFFFFFFFEu) {
    plat::setLastError(plat::kErrorFileTooLarge);
    return false;
  }
  target->size = static_cast<uint32_t>(size);
  return true;
}

enum class Comparison { Identical, Different, Failed };

constexpr uint32_t kComparePieceSize = 256 * 1024;

// Identical: the same size and the same bytes; an absent target is empty.
// The target is read piece by piece against the whole source, so only the
// source is ever held whole, and a difference stops the reading. A read
// that fails fails the attempt: nothing could be compared, and the target
// is no new file either.
Comparison compareWithTarget(Target* target, const Content& source) {
  uint32_t targetSize = target->present ? target->size : 0;
  if (targetSize != source.size) return Comparison::Different;
  if (targetSize == 0) return Comparison::Identical;
  std::unique_ptr<char[]> piece(new (std::nothrow) char[kComparePieceSize]);
  if (!piece) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return Comparison::Failed;
  }
  uint32_t compared = 0;
  while (compared < targetSize) {
    uint32_t wanted = targetSize - compared < kComparePieceSize ? targetSize - compared : kComparePieceSize;
    uint32_t got = 0;
    if (!target->file.read(piece.get(), wanted, &got)) return Comparison::Failed;
    if (got == 0) return Comparison::Different;  // it shrank meanwhile
    if (std::memcmp(piece.get(), source.bytes.get() + compared, got) != 0) return Comparison::Different;
    compared += got;
  }
  return Comparison::Identical;
}

// Writes the whole content over the target (CREATE_ALWAYS). A write that
// fails or falls short fails the attempt.
enum class WriteOutcome { NotOpened, Failed, Written };

WriteOutcome writeTarget(const char* path, const Content& content) {
  plat::File file;
  if (!file.open(path, plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways)) return WriteOutcome::NotOpened;
  uint32_t written = 0;
  const char* bytes = content.bytes ? content.bytes.get() : "";
  if (!file.write(bytes, content.size, &written)) return WriteOutcome::Failed;
  if (written != content.size) {
    plat::setLastError(plat::kErrorWriteFault);
    return WriteOutcome::Failed;
  }
  return WriteOutcome::Written;
}

// The prompt shows the path the attempt failed on even when it is too long
// to have been built.
std::string shownTargetPath(const std::string& relative) { return std::string(runInstallFolder) + relative; }

// The first steps of every attempt: clear the last error, build the target
// path (never cut: a path that does not fit fails the attempt) and open the
// target for reading. False when the attempt has failed.
bool beginAttempt(const std::string& relative, char (&target)[kRunPathSize], Target* existing) {
  plat::setLastError(0);
  if (!joinTargetPath(runInstallFolder, relative.c_str(), target)) {
    plat::setLastError(plat::kErrorFilenameTooLong);
    return false;
  }
  return openTarget(target, existing);
}

// Gets the source and compares the target with it; the target is closed
// afterwards, before anything writes it. No source fails the attempt.
Comparison sourceAgainstTarget(const std::string& relative, Target* existing, Content* source, SourceOrigin* origin) {
  *origin = readSourceContent(runState.currentPackage.get(), relative.c_str(), source);
  if (*origin == SourceOrigin::None || *origin == SourceOrigin::Unreadable) return Comparison::Failed;
  Comparison comparison = compareWithTarget(existing, *source);
  existing->file.close();
  return comparison;
}

// One attempt of "C". `createdByEntry` survives retries: a failed attempt
// that created the target still makes the file this run's own creation.
bool attemptCopy(const std::string& relative, bool* createdByEntry) {
  char target[kRunPathSize];
  Target existing;
  if (!beginAttempt(relative, target, &existing)) return false;
  bool targetAbsent = !existing.present;

  Content source;
  SourceOrigin origin;
  Comparison comparison = sourceAgainstTarget(relative, &existing, &source, &origin);
  if (comparison == Comparison::Failed) return false;
  if (comparison == Comparison::Identical) return true;

  bool created = targetAbsent || *createdByEntry;
  WriteOutcome outcome = writeTarget(target, source);
  if (outcome != WriteOutcome::NotOpened && targetAbsent) *createdByEntry = true;
  if (outcome == WriteOutcome::Failed) return false;
  if (outcome == WriteOutcome::NotOpened) {
    // The copy can only stand in for the write when it copies the very
    // bytes chosen: the loose file. A package source has no file to copy.
    if (origin != SourceOrigin::LooseFile) return false;
    source.release();
    if (!plat::copyFile(relative.c_str(), target, false)) return false;
  }
  ++runState.changedFileCount;
  if (created) registerCreatedFile(target, runInstallFolder);
  return true;
}

// One attempt of "R": the target must open for reading; nothing is created.
bool attemptReplace(const std::string& relative) {
  char target[kRunPathSize];
  Target existing;
  if (!beginAttempt(relative, target, &existing) || !existing.present) return false;
  Content source;
  SourceOrigin origin;
  Comparison comparison = sourceAgainstTarget(relative, &existing, &source, &origin);
  if (comparison == Comparison::Failed) return false;
  if (comparison == Comparison::Identical) return true;
  if (writeTarget(target, source) != WriteOutcome::Written) return false;
  ++runState.changedFileCount;
  return true;
}

}  // namespace

bool copyLooseFile(int entryIndex) {
  const std::string& relative = updateList.paths[entryIndex];
  bool createdByEntry = false;
  while (!attemptCopy(relative, &createdByEntry)) {
    if (reportFileError(shownTargetPath(relative).c_str(), kCaptionCopyError) == FileErrorAnswer::Cancel)
      return false;
  }
  return true;
}

bool replaceLooseFile(int entryIndex) {
  const std::string& relative = updateList.paths[entryIndex];
  while (!attemptReplace(relative)) {
    if (reportFileError(shownTargetPath(relative).c_str(), kCaptionCopyError) == FileErrorAnswer::Cancel)
      return false;
  }
  return true;
}

std::string fileErrorText(const char* path, uint32_t code) {
  std::string systemText;
  if (!plat::systemMessage(code, &systemText)) systemText.clear();
  int length = std::snprintf(nullptr, 0, kFileErrorFormat, path, code, systemText.c_str());
  if (length < 0) return std::string();
  std::vector<char> formatted(static_cast<size_t>(length) + 1);
  std::snprintf(formatted.data(), formatted.size(), kFileErrorFormat, path, code, systemText.c_str());

  // Cut to the prompt buffer, never through a double-byte character.
  size_t kept = cp932PrefixLength(formatted.data(), static_cast<size_t>(length), kFileErrorTextSize - 1);
  return std::string(formatted.data(), kept);
}

FileErrorAnswer reportFileError(const char* path, const char* caption) {
  uint32_t code = plat::lastError();
  std::string text = fileErrorText(path, code);
  RunHost* host = runState.dialog;
  if (host == nullptr) return FileErrorAnswer::Cancel;
  int answer = host->showMessage(nullptr, text.c_str(), caption, kStyleFileError);
  return answer == kIdCancel ? FileErrorAnswer::Cancel : FileErrorAnswer::Retry;
}
