#include "archive/archive_update.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "archive/content.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/run_state.h"

namespace {

// Appends bytes at the end of an open file, whole or not at all: *start
// receives the end before the write, so that a recorded size is never that
// of truncated content.
bool appendAtEnd(plat::File& file, const char* bytes, uint32_t count, uint32_t* start) {
  uint64_t end = 0;
  if (!file.seek(0, plat::SeekOrigin::End, &end)) return false;
  if (end + count > kArchiveMaxPosition) {
    plat::setLastError(plat::kErrorFileTooLarge);
    return false;
  }
  if (count > 0 && !file.writeExactly(bytes, count)) return false;
  *start = static_cast<uint32_t>(end);
  return true;
}

// appendAtEnd for a content, which a located one reaches piece by piece.
bool appendContent(plat::File& file, const Content& content, uint32_t* start) {
  if (!content.located) return appendAtEnd(file, content.bytes.get(), content.size, start);
  uint64_t end = 0;
  if (!file.seek(0, plat::SeekOrigin::End, &end)) return false;
  if (end + content.size > kArchiveMaxPosition) {
    plat::setLastError(plat::kErrorFileTooLarge);
    return false;
  }
  // *start is set first: a failure midway cuts back to it.
  *start = static_cast<uint32_t>(end);
  return writeContent(file, content);
}

bool openTargetForWriting(const char* targetPath, plat::File* file) {
  return file->open(targetPath, plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting);
}

// Opens the target for appending `growth` bytes: *end receives its size.
// An archive of 2 GiB or more, or one that the change would carry past the
// positions the format can seek to, is refused before anything is written.
bool openForAppending(const char* targetPath, uint64_t growth, plat::File* file, uint32_t* end) {
  if (!openTargetForWriting(targetPath, file)) return false;
  uint64_t size = 0;
  if (!file->seek(0, plat::SeekOrigin::End, &size)) return false;
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

bool replaceEntry(PackageArchive& target, const char* targetPath, const char* entryName, const Content& content) {
  uint32_t start = 0;
  {
    plat::File file;
    if (!openForAppending(targetPath, content.size, &file, &start)) return false;
    // The content reaches the disk before the record that points at it.
    if (!appendContent(file, content, &start) || !file.flush()) {
      file.close();
      cutBack(target, start);
      return false;
    }
  }
  if (target.relocateEntry(entryName, start, content.size)) return true;
  cutBack(target, start);
  return false;
}

bool addEntry(PackageArchive& target, const char* targetPath, const char* entryName, const Content& content) {
  uint32_t nameLength = static_cast<uint32_t>(std::strlen(entryName)) + 1;
  uint32_t end = 0;
  uint32_t nameOffset = 0;
  uint32_t dataOffset = 0;
  {
    plat::File file;
    uint64_t growth = addedEntryGrowth(nameLength - 1, content.size, target.loadedEntryCount());
    if (!openForAppending(targetPath, growth, &file, &end)) return false;
    // The new index is flushed with them before the header is rewritten.
    if (!appendAtEnd(file, entryName, nameLength, &nameOffset) ||
        !appendContent(file, content, &dataOffset)) {
      file.close();
      cutBack(target, end);
      return false;
    }
  }
  if (target.appendNamedEntry(entryName, nameOffset, nameLength, dataOffset, content.size)) return true;
  cutBack(target, end);
  return false;
}

// Target archives whose loaded index the next insertion may use again, the
// most recently used first. A run rarely changes more than one or two.
constexpr int kKeptTargets = 2;
std::unique_ptr<PackageArchive> keptTargets[kKeptTargets];

// The kept object for that path when the file is still the one its cache
// describes; none otherwise. A check that matches has made the same calls
// as the start of the load it stands in for; one that fails leaves the last
// error as it found it, for the fresh load that follows.
std::unique_ptr<PackageArchive> takeKeptTarget(const char* targetPath) {
  for (std::unique_ptr<PackageArchive>& kept : keptTargets) {
    if (!kept || std::strcmp(kept->path(), targetPath) != 0) continue;
    std::unique_ptr<PackageArchive> target = std::move(kept);
    uint32_t error = plat::lastError();
    if (target->fileMatchesCache()) return target;
    plat::setLastError(error);
    return nullptr;
  }
  return nullptr;
}

// Puts the object first; the least recently used one goes when every place
// is taken.
void keepTarget(std::unique_ptr<PackageArchive> target) {
  for (std::unique_ptr<PackageArchive>& kept : keptTargets) {
    if (!target) break;
    std::swap(kept, target);
  }
}

bool insertInto(PackageArchive& target, const char* targetPath, const char* sourceName, const char* entryName);

}  // namespace

SourceOrigin readPackageSource(PackageArchive* package, const char* name, Content* content) {
  content->release();
  if (!package) return SourceOrigin::None;
  if (package->readEntry(name, content) && content->present()) return SourceOrigin::Package;
  content->release();
  uint32_t readError = plat::lastError();
  if (!package->holdsEntry(name)) return SourceOrigin::None;
  plat::setLastError(readError == 0 ? kErrorInvalidData : readError);
  return SourceOrigin::Unreadable;
}

SourceOrigin readSourceContent(PackageArchive* package, const char* name, Content* content) {
  SourceOrigin fromPackage = readPackageSource(package, name, content);
  if (fromPackage != SourceOrigin::None) return fromPackage;
  bool opened = false;
  if (readFileContent(name, content, &opened)) return SourceOrigin::LooseFile;
  return opened ? SourceOrigin::Unreadable : SourceOrigin::None;
}

void forgetTargetArchives() {
  for (std::unique_ptr<PackageArchive>& kept : keptTargets) kept.reset();
}

bool insertIntoArchive(const char* targetPath, const char* sourceName, const char* entryName) {
  std::unique_ptr<PackageArchive> target = takeKeptTarget(targetPath);
  if (!target) target.reset(new (std::nothrow) PackageArchive(targetPath));
  if (!target) {
    PackageArchive local(targetPath);
    return insertInto(local, targetPath, sourceName, entryName);
  }
  bool result = insertInto(*target, targetPath, sourceName, entryName);
  // Whatever failed, the next call loads afresh.
  if (result && target->cacheInStep() && std::strcmp(target->path(), targetPath) == 0)
    keepTarget(std::move(target));
  return result;
}

bool archiveGrowthFits(uint64_t size, uint64_t growth) {
  return size <= kArchiveMaxPosition && size + growth <= kArchiveMaxPosition;
}

uint64_t addedEntryGrowth(size_t nameLength, uint32_t contentSize, int32_t records) {
  return nameLength + 1 + static_cast<uint64_t>(contentSize) + (static_cast<uint64_t>(records) + 1) * kArchiveRecordSize;
}

InsertionFacts gatherInsertionFacts(PackageArchive& target, PackageArchive* package, const char* sourceName,
                                    const char* entryName, Content* existing, Content* incoming) {
  InsertionFacts facts;
  facts.entryRead = target.readEntry(entryName, existing);
  facts.loadError = plat::lastError();
  facts.state = target.indexState();
  facts.indexUnreadable = target.indexUnreadable();
  // An entry that is listed but whose content cannot be read is replaced:
  // the new content is written whatever the old one was.
  facts.entryHeld = facts.entryRead || (!facts.indexUnreadable && target.holdsEntry(entryName));
  facts.layoutAllowsChanges = target.layoutAllowsChanges();
  facts.source = readSourceContent(package, sourceName, incoming);
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

bool insertInto(PackageArchive& target, const char* targetPath, const char* sourceName, const char* entryName) {
  Content existing;
  Content incoming;
  InsertionFacts facts =
      gatherInsertionFacts(target, runState.currentPackage.get(), sourceName, entryName, &existing, &incoming);
  // The checked file stays open through the decision only: a write opens
  // the archive afresh.
  target.releaseFile();
  EntryDecision decision = decideInsertion(facts);
  switch (decision.action) {
    case EntryAction::Identical: return true;
    case EntryAction::ReplaceEntry:
      if (!replaceEntry(target, targetPath, entryName, incoming)) return false;
      break;
    case EntryAction::AddEntry:
      if (!addEntry(target, targetPath, entryName, incoming)) return false;
      break;
    default: {
      // A target without an index that cannot be written says so.
      plat::File probe;
      if (decision.reason == FailReason::NoIndex && !openTargetForWriting(targetPath, &probe)) return false;
      plat::setLastError(decision.error);
      return false;
    }
  }
  runState.changedFileCount += 1;
  return true;
}

}  // namespace
