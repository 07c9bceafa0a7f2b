#include "run/loose_file.h"

#include <cstdio>
#include <cstring>
#include <functional>
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

constexpr uint32_t kComparePieceSize = 256 * 1024;

}  // namespace

LooseEntryProbe::TargetState LooseEntryProbe::readTarget() {
  targetPresent_ = targetFile_.open(targetPath_, plat::kGenericRead, plat::kShareRead, plat::kOpenExisting);
  if (!targetPresent_) return TargetState::Absent;
  uint64_t size = 0;
  if (!targetFile_.size(&size)) return TargetState::Unusable;
  if (size > 0xFFFFFFFEu) {
    plat::setLastError(plat::kErrorFileTooLarge);
    return TargetState::Unusable;
  }
  targetSize_ = static_cast<uint32_t>(size);
  return TargetState::Present;
}

SourceOrigin LooseEntryProbe::readSource() {
  origin_ = readSourceContent(package_, sourceName_, &source_);
  return origin_;
}

// Identical: the same size and the same bytes; an absent target is empty.
// The target is read piece by piece against the source, itself held whole
// or read piece by piece, and a difference stops the reading. A read that
// fails fails the attempt: nothing could be compared, and the target is no
// new file either.
LooseEntryProbe::Comparison LooseEntryProbe::compare() {
  plat::File file(std::move(targetFile_));
  uint32_t size = targetPresent_ ? targetSize_ : 0;
  if (size != source_.size) return Comparison::Different;
  if (size == 0) return Comparison::Identical;
  uint32_t pieceSize = size < kComparePieceSize ? size : kComparePieceSize;
  // One buffer for every comparison of the thread: a run compares a
  // thousand small files as often as one large one.
  thread_local std::unique_ptr<char[]> piece;
  if (!piece) piece.reset(new (std::nothrow) char[kComparePieceSize]);
  if (!piece) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return Comparison::Failed;
  }
  ContentReader source(source_);
  const char* sourceBytes = nullptr;
  uint32_t sourceLeft = 0;
  uint32_t compared = 0;
  while (compared < size) {
    if (sourceLeft == 0 && (!source.next(&sourceBytes, &sourceLeft) || sourceLeft == 0)) return Comparison::Failed;
    uint32_t wanted = size - compared < pieceSize ? size - compared : pieceSize;
    if (wanted > sourceLeft) wanted = sourceLeft;
    // A target that shrank meanwhile differs.
    if (!file.readExactly(piece.get(), wanted))
      return plat::lastError() == plat::kErrorHandleEof ? Comparison::Different : Comparison::Failed;
    if (std::memcmp(piece.get(), sourceBytes, wanted) != 0) return Comparison::Different;
    sourceBytes += wanted;
    sourceLeft -= wanted;
    compared += wanted;
  }
  return source.finish() ? Comparison::Identical : Comparison::Failed;
}

namespace {

EntryDecision fails(FailReason reason) { return EntryDecision{EntryAction::Fails, reason, plat::lastError()}; }

}  // namespace

EntryDecision decideLooseEntry(bool mustExist, LooseEntryProbe& probe) {
  LooseEntryProbe::TargetState target = probe.readTarget();
  if (target == LooseEntryProbe::TargetState::Unusable) return fails(FailReason::TargetUnusable);
  if (mustExist && target == LooseEntryProbe::TargetState::Absent) return fails(FailReason::TargetMissing);
  SourceOrigin origin = probe.readSource();
  if (origin == SourceOrigin::None) return fails(FailReason::SourceMissing);
  if (origin == SourceOrigin::Unreadable) return fails(FailReason::SourceUnreadable);
  switch (probe.compare()) {
    case LooseEntryProbe::Comparison::Failed: return fails(FailReason::CompareFailed);
    case LooseEntryProbe::Comparison::Identical: return EntryDecision{EntryAction::Identical};
    case LooseEntryProbe::Comparison::Different: break;
  }
  return EntryDecision{target == LooseEntryProbe::TargetState::Present ? EntryAction::Replace : EntryAction::Create};
}

namespace {

// New content reaches a target through a temporary file beside it, which
// is complete and flushed before it replaces the target in one step: a
// failed, cancelled or killed attempt leaves the target as it was, absent
// or with its old bytes. The name is fixed per target, so the next attempt
// on that target removes what a killed one left. Four bytes keep a joined
// path of 255 bytes within the system's path limit.
constexpr char kTemporarySuffix[] = ".~up";

std::string temporaryPathFor(const char* target) { return std::string(target) + kTemporarySuffix; }

// Removes a temporary file that an earlier attempt left behind, if any,
// without disturbing the last error.
void removeStaleTemporary(const std::string& temporary) {
  uint32_t saved = plat::lastError();
  plat::FileSearch search;
  plat::FoundFile found;
  if (search.first(temporary.c_str(), &found)) {
    search.close();
    plat::deleteFile(temporary.c_str());
  }
  plat::setLastError(saved);
}

// The temporary file of one write, removed on every way out unless it has
// become the target; removing it never changes the last error, which the
// prompt shows.
class TemporaryFile {
 public:
  explicit TemporaryFile(const char* target) : path_(temporaryPathFor(target)) {}
  ~TemporaryFile() {
    if (!owned_) return;
    uint32_t saved = plat::lastError();
    plat::deleteFile(path_.c_str());
    plat::setLastError(saved);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const char* path() const { return path_.c_str(); }
  // The file exists from now on, until it replaces the target.
  void own() { owned_ = true; }
  void replacedTarget() { owned_ = false; }

 private:
  std::string path_;
  bool owned_ = false;
};

enum class WriteOutcome { NotOpened, Failed, Written };

// Whether the target could be opened for writing, as writing it in place
// would open it: a target held open by the game or a read-only one is
// refused here with the code that open gives, before any work. An absent
// target passes: it is created by the replace.
bool targetWritable(const char* path) {
  plat::File probe;
  if (probe.open(path, plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting)) return true;
  return plat::lastError() == plat::kErrorFileNotFound;
}

// Writes the whole content to the temporary file, piece by piece, and
// flushes it.
bool writeTemporary(TemporaryFile& temporary, const Content& content) {
  plat::File file;
  if (!file.open(temporary.path(), plat::kGenericWrite, plat::kShareNone, plat::kCreateAlways)) return false;
  temporary.own();
  return writeContent(file, content) && file.flush();
}

// Puts the complete temporary file in place of the target. A file that the
// attempt creates is logged first (`logCreated`), so that it never appears
// without its line: a log that exists but does not take the line fails the
// attempt.
bool replaceTarget(const char* target, TemporaryFile& temporary, const std::function<bool()>& logCreated) {
  if (logCreated && !logCreated()) return false;
  if (!plat::replaceFile(target, temporary.path())) return false;
  temporary.replacedTarget();
  return true;
}

// Writes the whole content over the target through the temporary file.
WriteOutcome writeTarget(const char* path, const Content& content, const std::function<bool()>& logCreated) {
  if (!targetWritable(path)) return WriteOutcome::NotOpened;
  TemporaryFile temporary(path);
  if (!writeTemporary(temporary, content)) return WriteOutcome::Failed;
  return replaceTarget(path, temporary, logCreated) ? WriteOutcome::Written : WriteOutcome::Failed;
}

// The copy fallback, for a target that did not open for writing: the loose
// source copied whole beside the target, then put in its place as a write
// would be, once the target lets itself be written after all. Until then
// nothing is logged: the target is still not this run's.
bool copyOverTarget(const char* source, const char* target, const std::function<bool()>& logCreated) {
  TemporaryFile temporary(target);
  temporary.own();
  if (!plat::copyFile(source, temporary.path(), false) || !targetWritable(target)) return false;
  {
    // The copy's bytes reach the disk before its name does. A copy that
    // took the source's read-only attribute cannot be opened to flush;
    // it goes in as the copy left it.
    plat::File copy;
    if (copy.open(temporary.path(), plat::kGenericWrite, plat::kShareNone, plat::kOpenExisting) && !copy.flush())
      return false;
  }
  return replaceTarget(target, temporary, logCreated);
}

// The prompt shows the path the attempt failed on even when it is too long
// to have been built.
std::string shownTargetPath(const std::string& relative) { return std::string(runInstallFolder) + relative; }

// The first steps of every attempt: clear the last error, build the target
// path (never cut: a path that does not fit fails the attempt) and remove
// what a killed attempt left beside the target. False when the attempt has
// failed.
bool beginAttempt(const std::string& relative, char (&target)[kRunPathSize]) {
  plat::setLastError(0);
  if (!joinTargetPath(runInstallFolder, relative.c_str(), target)) {
    plat::setLastError(plat::kErrorFilenameTooLong);
    return false;
  }
  removeStaleTemporary(temporaryPathFor(target));
  return true;
}

// One attempt of "C". `loggedByEntry` survives retries: a file that an
// earlier attempt logged and then failed to put in place is not logged again.
bool attemptCopy(const std::string& relative, bool* loggedByEntry) {
  char target[kRunPathSize];
  if (!beginAttempt(relative, target)) return false;
  LooseEntryProbe probe(target, runState.currentPackage.get(), relative.c_str());
  EntryDecision decision = decideLooseEntry(false, probe);
  if (decision.action == EntryAction::Fails) return false;
  if (decision.action == EntryAction::Identical) return true;

  std::function<bool()> logCreated;
  if (decision.action == EntryAction::Create && !*loggedByEntry) {
    logCreated = [&] {
      bool lineMissing = false;
      registerCreatedFile(target, runInstallFolder, &lineMissing);
      *loggedByEntry = !lineMissing;
      return !lineMissing;
    };
  }
  WriteOutcome outcome = writeTarget(target, probe.source(), logCreated);
  if (outcome == WriteOutcome::Failed) return false;
  if (outcome == WriteOutcome::NotOpened) {
    // The copy can only stand in for the write when it copies the very
    // bytes chosen: the loose file. A package source has no file to copy.
    if (probe.origin() != SourceOrigin::LooseFile) return false;
    probe.source().release();
    if (!copyOverTarget(relative.c_str(), target, logCreated)) return false;
  }
  ++runState.changedFileCount;
  return true;
}

// One attempt of "R": the target must open for reading; nothing is created.
bool attemptReplace(const std::string& relative) {
  char target[kRunPathSize];
  if (!beginAttempt(relative, target)) return false;
  LooseEntryProbe probe(target, runState.currentPackage.get(), relative.c_str());
  EntryDecision decision = decideLooseEntry(true, probe);
  if (decision.action == EntryAction::Fails) return false;
  if (decision.action == EntryAction::Identical) return true;
  if (writeTarget(target, probe.source(), nullptr) != WriteOutcome::Written) return false;
  ++runState.changedFileCount;
  return true;
}

}  // namespace

bool copyLooseFile(int entryIndex) {
  const std::string& relative = updateList.paths[entryIndex];
  bool loggedByEntry = false;
  while (!attemptCopy(relative, &loggedByEntry)) {
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
