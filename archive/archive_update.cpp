#include "archive/archive_update.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "archive/content.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/run_state.h"

namespace {

// The held file's end, where the file is now positioned, when `growth`
// more bytes keep every position within reach of the format.
bool endForGrowth(plat::File& file, uint64_t growth, uint32_t* end) {
  uint64_t size = 0;
  if (!file.seek(0, plat::SeekOrigin::End, &size)) return false;
  if (!archiveGrowthFits(size, growth)) {
    plat::setLastError(plat::kErrorFileTooLarge);
    return false;
  }
  *end = static_cast<uint32_t>(size);
  return true;
}

// After a failure: the bytes appended since the file was `size` bytes long
// go again, keeping the failure's own last error.
void cutBack(PackageArchive& target, uint32_t size) {
  uint32_t error = plat::lastError();
  target.cutBackTo(size);
  plat::setLastError(error);
}

bool replaceEntry(PackageArchive& target, const char* entryName, const Content& content) {
  plat::File& file = *target.writableFile();
  uint32_t start = 0;
  if (!endForGrowth(file, content.size, &start)) return false;
  // The content reaches the disk before the record that points at it.
  if (!writeContent(file, content) || !file.flush() || !target.relocateEntry(entryName, start, content.size)) {
    cutBack(target, start);
    return false;
  }
  return true;
}

bool addEntry(PackageArchive& target, const char* entryName, const Content& content) {
  plat::File& file = *target.writableFile();
  uint32_t nameLength = static_cast<uint32_t>(std::strlen(entryName)) + 1;
  uint32_t end = 0;
  if (!endForGrowth(file, addedEntryGrowth(nameLength - 1, content.size, target.loadedEntryCount()), &end))
    return false;
  // The new index is flushed with them before the header is rewritten.
  if (!file.writeExactly(entryName, nameLength) || !writeContent(file, content) ||
      !target.appendEntry(end, nameLength, end + nameLength, content.size)) {
    cutBack(target, end);
    return false;
  }
  return true;
}

// The target archive of the last insertion, held until the run moves on.
struct HeldTarget {
  std::unique_ptr<PackageArchive> archive;
  std::string relativePath;
  // Why it is held for reading only (0: held for writing), and whether it
  // has a second name: either refuses a change.
  uint32_t writeRefusal = 0;
  bool secondName = false;
};
HeldTarget held;

// Opens the target for writing with writers shut out; one that does not
// open so is opened for reading alone, in case it needs no change.
bool openTarget(const char* relativePath) {
  FileSpot spot;
  if (!runState.targetFolders.reach(relativePath, false, &spot)) return false;
  std::string path = spot.folder->path() + spot.name;
  plat::File file;
  uint32_t writeRefusal = 0;
  if (!file.openIn(*spot.folder, spot.name, plat::kGenericRead | plat::kGenericWrite, plat::kShareRead,
                   plat::kOpenExisting)) {
    writeRefusal = plat::lastError();
    if (!file.openIn(*spot.folder, spot.name, plat::kGenericRead, plat::kShareRead | plat::kShareWrite,
                     plat::kOpenExisting)) {
      plat::setLastError(writeRefusal);
      return false;
    }
  }
  uint32_t names = 1;
  bool readOnly = false;
  if (!file.describe(&names, &readOnly)) return false;
  held.archive.reset(new (std::nothrow) PackageArchive(path.c_str(), std::move(file), writeRefusal == 0));
  if (!held.archive) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return false;
  }
  held.relativePath = relativePath;
  held.writeRefusal = writeRefusal;
  held.secondName = names != 1;
  return true;
}

bool insertInto(PackageArchive& target, const char* sourceName, const char* entryName);

}  // namespace

void releaseTargetArchive() { held = HeldTarget(); }

bool insertIntoArchive(const char* relativePath, const char* sourceName, const char* entryName) {
  if (!held.archive || held.relativePath != relativePath) {
    releaseTargetArchive();
    if (!openTarget(relativePath)) return false;
  }
  bool inserted = insertInto(*held.archive, sourceName, entryName);
  // A failure, a target that could only be read, and one with a record
  // past its end (which the bytes appended may have reached) are opened and
  // judged afresh next time.
  if (!inserted || held.writeRefusal != 0 || !held.archive->layoutSettled()) releaseTargetArchive();
  return inserted;
}

InsertionFacts gatherInsertionFacts(PackageArchive& target, PackageArchive* package, HeldFolders& updateFolder,
                                    const char* sourceName, const char* entryName, const ContentLimits& limits,
                                    Content* existing,
                                    Content* incoming) {
  InsertionFacts facts;
  facts.entryRead = target.readEntry(entryName, existing, limits);
  facts.loadError = plat::lastError();
  facts.state = target.indexState();
  facts.indexUnreadable = target.indexUnreadable();
  // An entry that is listed but whose content cannot be read is replaced:
  // the new content is written whatever the old one was.
  facts.entryHeld = facts.entryRead || (!facts.indexUnreadable && target.holdsEntry(entryName));
  facts.layoutAllowsChanges = target.layoutAllowsChanges();
  facts.source = readSourceContent(package, updateFolder, sourceName, incoming, limits);
  facts.sourceError = plat::lastError();
  facts.sourceSize = incoming->size;
  if (!facts.entryRead) return facts;
  // Located contents are read here for the first time: an old content that
  // cannot be read is replaced, a source that cannot be read fails.
  switch (matchContent(*existing, *incoming)) {
    case ContentMatch::Same: facts.sameContent = true; break;
    case ContentMatch::Different: break;
    case ContentMatch::FirstUnreadable: facts.entryRead = false; break;
    case ContentMatch::SecondUnreadable:
      facts.source = SourceOrigin::Unreadable;
      facts.sourceError = plat::lastError();
      break;
  }
  return facts;
}

namespace {

EntryDecision fails(FailReason reason, uint32_t error) { return EntryDecision{EntryAction::Fails, reason, error}; }

}  // namespace

EntryDecision decideInsertion(const InsertionFacts& facts) {
  // An index that could not be read says nothing about the entry (adding
  // one would hide a copy that is there), and a source that is there but
  // cannot be read says nothing about the new content. The failed read's
  // own code; an index that lies outside the file or cannot be held says
  // "invalid data".
  if (facts.indexUnreadable)
    return fails(FailReason::IndexUnreadable,
                 facts.state == PackageArchive::IndexState::Malformed || facts.loadError == 0 ? kErrorInvalidData
                                                                                              : facts.loadError);
  if (facts.source == SourceOrigin::Unreadable) return fails(FailReason::SourceUnreadable, facts.sourceError);

  if (facts.entryHeld) {
    if (facts.sameContent) return EntryDecision{EntryAction::Identical};
    // Nothing to put in place of a stored content: the archive stays as it
    // is and the run offers its retry.
    if (facts.source == SourceOrigin::None) return fails(FailReason::SourceMissing, facts.sourceError);
    // A record whose name or content lies where the change writes would
    // see its name or content change with it: such an archive is refused.
    if (!facts.layoutAllowsChanges) return fails(FailReason::LayoutRefused, kErrorInvalidData);
    return EntryDecision{EntryAction::ReplaceEntry};
  }
  // An absent entry counts as empty: an empty or missing source adds nothing.
  if (facts.sourceSize == 0) return EntryDecision{EntryAction::Identical};
  // No index to extend, or none that could be read: nothing is appended
  // that could never be reached.
  if (facts.state == PackageArchive::IndexState::NoHeader)
    return fails(FailReason::NoIndex, plat::kErrorHandleEof);
  if (facts.state == PackageArchive::IndexState::NotOpened) return fails(FailReason::NoIndex, facts.loadError);
  if (!facts.layoutAllowsChanges) return fails(FailReason::LayoutRefused, kErrorInvalidData);
  return EntryDecision{EntryAction::AddEntry};
}

namespace {

bool insertInto(PackageArchive& target, const char* sourceName, const char* entryName) {
  Content existing;
  Content incoming;
  InsertionFacts facts = gatherInsertionFacts(target, runState.currentPackage.get(), runState.updateFolder, sourceName,
                                              entryName, runState.contentLimits, &existing, &incoming);
  EntryDecision decision = decideInsertion(facts);
  bool changes = decision.action == EntryAction::ReplaceEntry || decision.action == EntryAction::AddEntry;
  // A target that could only be read says why it cannot be written, when
  // it needs a change or has no index to extend.
  if ((changes || decision.reason == FailReason::NoIndex) && held.writeRefusal != 0) {
    plat::setLastError(held.writeRefusal);
    return false;
  }
  if (changes && held.secondName) {
    plat::setLastError(plat::kErrorCantAccessFile);
    return false;
  }
  switch (decision.action) {
    case EntryAction::Identical: return true;
    case EntryAction::ReplaceEntry:
      if (!replaceEntry(target, entryName, incoming)) return false;
      break;
    case EntryAction::AddEntry:
      if (!addEntry(target, entryName, incoming)) return false;
      break;
    default:
      plat::setLastError(decision.error);
      return false;
  }
  runState.changedFileCount += 1;
  return true;
}

}  // namespace
