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


LooseEntryProbe::TargetState LooseEntryProbe::readTarget() {
  targetPresent_ = false;
  if (spot_.folder == nullptr) {
    plat::setLastError(plat::kErrorPathNotFound);
    return TargetState::Absent;
  }
  targetRefusal_ = 0;
  targetPresent_ =
      targetFile_.openIn(*spot_.folder, spot_.name, plat::kGenericRead, plat::kShareRead, plat::kOpenExisting);
  if (!targetPresent_) {
    uint32_t error = plat::lastError();
    if (error == plat::kErrorCantAccessFile) return TargetState::Unusable;
    if (error != plat::kErrorFileNotFound && error != plat::kErrorPathNotFound) targetRefusal_ = error;
    return TargetState::Absent;
  }
  if (!targetFile_.size(&targetSize_)) return TargetState::Unusable;
  return TargetState::Present;
}

SourceOrigin LooseEntryProbe::readSource() {
  origin_ = readSourceContent(package_, updateFolder_, sourceName_, &source_, limits_);
  return origin_;
}

// Identical: the same size and the same bytes; an absent target is empty.
// The target is read piece by piece against the source, and a difference
// stops the reading. A target that changed its size meanwhile differs; a
// read that fails fails the attempt: nothing could be compared, and the
// target is no new file either.
LooseEntryProbe::Comparison LooseEntryProbe::compare() {
  uint64_t size = targetPresent_ ? targetSize_ : 0;
  std::unique_ptr<plat::File> file(new (std::nothrow) plat::File(std::move(targetFile_)));
  if (size != source_.size) return Comparison::Different;
  if (size == 0) return Comparison::Identical;
  Content target;
  if (!locateWholeFile(std::move(file), source_.size, limits_, &target)) return Comparison::Failed;
  switch (matchContent(target, source_)) {
    case ContentMatch::Same: return Comparison::Identical;
    case ContentMatch::Different: return Comparison::Different;
    case ContentMatch::FirstUnreadable:
      return plat::lastError() == kErrorInvalidData ? Comparison::Different : Comparison::Failed;
    case ContentMatch::SecondUnreadable: break;
  }
  return Comparison::Failed;
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
// or with its old bytes. The name is fixed per target, so the next write
// of that target removes what a killed one left.
constexpr char kTemporarySuffix[] = ".~up";
constexpr uint32_t kSharedByAll = plat::kShareRead | plat::kShareWrite | plat::kShareDelete;

// The temporary file of one write: made new, never through a link, and
// removed through a handle on it on every way out, unless it has become
// the target or holds the only copy of the new bytes. Removing it never
// changes the last error, which the prompt shows.
class TemporaryFile {
 public:
  TemporaryFile(const plat::Folder& folder, const std::string& targetName)
      : folder_(folder), target_(targetName), name_(targetName + kTemporarySuffix) {}
  ~TemporaryFile() { discard(); }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // A stale file of the name, left by a killed write, goes first when it
  // is a regular file (its read-only attribute cleared); a folder, a link,
  // or a file that will not go leaves the name taken.
  bool create() {
    constexpr uint32_t kAccess = plat::kGenericWrite | plat::kDeleteAccess;
    if (!file_.openIn(folder_, name_, kAccess, plat::kShareNone, plat::kCreateNew) &&
        (plat::lastError() != plat::kErrorFileExists || !removeStale() ||
         !file_.openIn(folder_, name_, kAccess, plat::kShareNone, plat::kCreateNew)))
      return false;
    owned_ = true;
    return true;
  }
  plat::File& file() { return file_; }
  // Takes the target's name through its own handle, in one step: false
  // leaves both as they were.
  bool putInPlace() {
    if (!file_.putInPlace(folder_, target_)) return false;
    owned_ = false;
    file_.close();
    return true;
  }

  void discard() {
    if (!owned_) return;
    owned_ = false;
    uint32_t saved = plat::lastError();
    if (file_.isOpen() || file_.openIn(folder_, name_, plat::kDeleteAccess, kSharedByAll, plat::kOpenExisting))
      file_.removeName();
    file_.close();
    plat::setLastError(saved);
  }

 private:
  bool removeStale() {
    uint32_t taken = plat::lastError();
    plat::File stale;
    uint32_t names = 0;
    bool readOnly = false;
    bool removed = stale.openIn(folder_, name_, plat::kDeleteAccess | plat::kWriteAttributes, kSharedByAll,
                                plat::kOpenExisting) &&
                   stale.describe(&names, &readOnly) && (!readOnly || stale.clearReadOnly()) && stale.removeName();
    if (!removed) plat::setLastError(taken);
    return removed;
  }

  const plat::Folder& folder_;
  std::string target_;
  std::string name_;
  plat::File file_;
  bool owned_ = false;
};

// Writing in place, where no temporary file can be had: only into a plain
// file with one name (a second name's file would change too), or a file
// made new. A new file that does not get its bytes goes again.
bool writeInPlace(const FileSpot& spot, bool present, const Content& content) {
  plat::File file;
  if (present) {
    uint32_t names = 0;
    bool readOnly = false;
    if (!file.openIn(*spot.folder, spot.name, plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting) ||
        !file.describe(&names, &readOnly))
      return false;
    if (names != 1) {
      plat::setLastError(plat::kErrorCantAccessFile);
      return false;
    }
    return writeContent(file, content) && file.truncateHere() && file.flush();
  }
  if (!file.openIn(*spot.folder, spot.name, plat::kGenericWrite | plat::kDeleteAccess, plat::kShareRead,
                   plat::kCreateNew))
    return false;
  if (writeContent(file, content) && file.flush()) return true;
  uint32_t error = plat::lastError();
  file.removeName();
  plat::setLastError(error);
  return false;
}

// Writes the decided content over the target at `spot` (one that `exists`
// or not) through the temporary file, which takes the target's name and
// its traits, or in place where the temporary file cannot be made, or
// cannot replace a target that writing in place can change (one that
// another program holds open sharing writing but not deletion). A full
// disk never goes in place: it could lose the old content. A file the
// decision takes for new is logged just before it appears (`logCreated`,
// none otherwise).
bool writeLooseTarget(const FileSpot& spot, bool exists, const Content& content,
                      const std::function<void()>& logCreated) {
  // A target that refuses writing (the game holds it, it is read-only)
  // says so with its own code, before any work; one that takes writing
  // but not its replacement is written in place.
  bool replaceable = true;
  plat::FileTraits traits;
  bool takesTraits = false;
  if (exists) {
    plat::File probe;
    if (!probe.openIn(*spot.folder, spot.name, plat::kGenericWrite | plat::kDeleteAccess, plat::kShareRead,
                      plat::kOpenExisting)) {
      if (!probe.openIn(*spot.folder, spot.name, plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting))
        return false;
      replaceable = false;
    }
    takesTraits = probe.traits(&traits);
  }
  const auto log = [&] {
    if (logCreated) logCreated();
  };
  if (!replaceable) {
    log();
    return writeInPlace(spot, exists, content);
  }
  TemporaryFile temporary(*spot.folder, spot.name);
  if (!temporary.create()) {
    if (plat::lastError() == plat::kErrorDiskFull) return false;
    log();
    return writeInPlace(spot, exists, content);
  }
  if (!writeContent(temporary.file(), content) || !temporary.file().flush() ||
      (takesTraits && !temporary.file().adoptTraits(traits)))
    return false;
  log();
  if (temporary.putInPlace()) return true;
  // The rename changes nothing when it fails: the target is as it was.
  if (!exists || plat::lastError() == plat::kErrorDiskFull) return false;
  temporary.discard();
  return writeInPlace(spot, exists, content);
}

// The prompt shows the path the attempt failed on even when it is too long
// to have been built.
std::string shownTargetPath(const std::string& relative) { return std::string(runInstallFolder) + relative; }

// One attempt of "C" (`mustExist` false) or "R" (true).
bool attemptLoose(const std::string& relative, bool mustExist) {
  plat::setLastError(0);
  char target[kRunPathSize];
  if (!joinTargetPath(runInstallFolder, relative.c_str(), target)) {
    plat::setLastError(plat::kErrorFilenameTooLong);
    return false;
  }
  HeldFolders& folders = runState.targetFolders;
  FileSpot spot;
  // A folder missing on the way leaves the target absent; anything else
  // there (a link) fails the attempt.
  if (!folders.reach(relative, false, &spot)) {
    if (plat::lastError() != plat::kErrorPathNotFound) return false;
    spot.folder = nullptr;
  }
  LooseEntryProbe probe(spot, runState.currentPackage.get(), runState.updateFolder, relative.c_str(),
                        runState.contentLimits);
  EntryDecision decision = decideLooseEntry(mustExist, probe);
  if (decision.action == EntryAction::Fails) return false;
  if (decision.action == EntryAction::Identical) return true;
  // "C" makes the folders its new file needs, the outermost first.
  if (spot.folder == nullptr && !folders.reach(relative, true, &spot)) return false;
  bool created = decision.action == EntryAction::Create;
  std::function<void()> logCreated;
  if (created) logCreated = [&] { registerCreatedFile(target, folders); };
  // A target that is there but did not open for reading is taken for new,
  // and written as the file it is: whatever refused the read refuses the
  // write too, with the same code.
  bool exists = !created || probe.targetRefusal() != 0;
  if (!writeLooseTarget(spot, exists, probe.source(), logCreated)) return false;
  ++runState.changedFileCount;
  return true;
}

bool applyLooseEntry(int entryIndex, bool mustExist) {
  const std::string& relative = updateList.paths[entryIndex];
  while (!attemptLoose(relative, mustExist)) {
    if (reportFileError(shownTargetPath(relative).c_str(), kCaptionCopyError) == FileErrorAnswer::Cancel)
      return false;
  }
  return true;
}

}  // namespace

bool copyLooseFile(int entryIndex) { return applyLooseEntry(entryIndex, false); }

bool replaceLooseFile(int entryIndex) { return applyLooseEntry(entryIndex, true); }

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
  runState.targetFolders.release();
  runState.updateFolder.release();
  releaseTargetArchive();
  std::string text = fileErrorText(path, code);
  RunHost* host = runState.dialog;
  if (host == nullptr) return FileErrorAnswer::Cancel;
  int answer = host->showMessage(nullptr, text.c_str(), caption, kStyleFileError);
  return answer == kIdCancel ? FileErrorAnswer::Cancel : FileErrorAnswer::Retry;
}
