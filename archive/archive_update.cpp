#include "archive/archive_update.h"

#include <cstring>

#include "archive/content.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/run_state.h"

namespace {

// Appends bytes at the end of an open file: *start receives the end before
// the write. True only when the file position advanced by exactly `count`,
// so that a recorded size is never that of truncated content.
bool appendAtEnd(plat::File& file, const char* bytes, uint32_t count, uint32_t* start) {
  uint32_t end = file.seek(0, plat::SeekOrigin::End);
  if (end == plat::kInvalidPosition) return false;
  if (static_cast<uint64_t>(end) + count > kArchiveMaxPosition) {
    plat::setLastError(kErrorFileTooLarge);
    return false;
  }
  uint32_t put = 0;
  if (count > 0 && !file.write(bytes, count, &put)) return false;
  uint32_t after = file.seek(0, plat::SeekOrigin::Current);
  if (after == plat::kInvalidPosition) return false;
  if (after - end != count) {
    plat::setLastError(plat::kErrorWriteFault);
    return false;
  }
  *start = end;
  return true;
}

bool openTargetForWriting(const char* targetPath, plat::File* file) {
  return file->open(targetPath, plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting);
}

enum class SourceOutcome { Read, Missing, Unreadable };

// Reads a loose source file whole. Unlike a copy that takes what a read
// delivers, content that arrives shorter than the file is refused: it would
// be stored as the entry's new content and reported as done.
SourceOutcome readLooseSource(const char* path, Content* content) {
  plat::File file;
  if (!file.open(path, plat::kGenericRead, plat::kShareRead, plat::kOpenExisting)) return SourceOutcome::Missing;
  uint32_t size = file.size();
  if (size == plat::kInvalidSize || size > kArchiveMaxPosition) return SourceOutcome::Unreadable;
  std::unique_ptr<char[]> bytes = allocateContent(size);
  if (!bytes) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return SourceOutcome::Unreadable;
  }
  uint32_t got = 0;
  if (!file.read(bytes.get(), size, &got)) return SourceOutcome::Unreadable;
  if (got != size) {
    plat::setLastError(plat::kErrorHandleEof);
    return SourceOutcome::Unreadable;
  }
  bytes[size] = '\0';
  content->bytes = std::move(bytes);
  content->size = size;
  return SourceOutcome::Read;
}

// The new content: the current package's entry of that name first, else the
// loose file. A package that lists the name but cannot deliver it does not
// fall back to a loose file, which may hold something else.
SourceOutcome readNewContent(const char* sourceName, Content* content) {
  PackageArchive* package = runState.currentPackage.get();
  if (package) {
    if (package->readEntry(sourceName, content)) return SourceOutcome::Read;
    if (package->indexUnreadable() || package->holdsEntry(sourceName)) return SourceOutcome::Unreadable;
  }
  return readLooseSource(sourceName, content);
}

bool replaceEntry(PackageArchive& target, const char* targetPath, const char* entryName, const Content& content) {
  uint32_t start = 0;
  {
    plat::File file;
    if (!openTargetForWriting(targetPath, &file)) return false;
    if (!appendAtEnd(file, content.bytes.get(), content.size, &start)) return false;
  }
  return target.relocateEntry(entryName, start, content.size);
}

bool addEntry(PackageArchive& target, const char* targetPath, const char* entryName, const Content& content) {
  uint32_t nameLength = static_cast<uint32_t>(std::strlen(entryName)) + 1;
  uint32_t nameOffset = 0;
  uint32_t dataOffset = 0;
  {
    plat::File file;
    if (!openTargetForWriting(targetPath, &file)) return false;
    if (!appendAtEnd(file, entryName, nameLength, &nameOffset)) return false;
    if (!appendAtEnd(file, content.bytes.get(), content.size, &dataOffset)) return false;
  }
  return target.appendEntry(nameOffset, nameLength, dataOffset, content.size);
}

}  // namespace

bool insertIntoArchive(const char* targetPath, const char* sourceName, const char* entryName) {
  PackageArchive target(targetPath);
  Content existing;
  bool existingRead = target.readEntry(entryName, &existing);
  PackageArchive::IndexState state = target.indexState();
  bool unreadable = target.indexUnreadable();
  // An entry that is listed but whose content cannot be read is replaced:
  // the new content is written whatever the old one was.
  bool entryHeld = existingRead || (!unreadable && target.holdsEntry(entryName));

  Content incoming;
  SourceOutcome source = readNewContent(sourceName, &incoming);
  uint32_t sourceError = plat::lastError();

  // An index that could not be read says nothing about the entry (adding
  // one would hide a copy that is there), and a source that is there but
  // cannot be read says nothing about the new content.
  if (unreadable) return false;
  if (source == SourceOutcome::Unreadable) {
    plat::setLastError(sourceError);
    return false;
  }

  if (entryHeld) {
    if (existingRead && sameContent(existing, incoming)) return true;
    // Nothing to put in place of a stored content: the archive stays as it
    // is and the run offers its retry.
    if (source == SourceOutcome::Missing) {
      plat::setLastError(sourceError);
      return false;
    }
    if (!replaceEntry(target, targetPath, entryName, incoming)) return false;
  } else {
    // An absent entry counts as empty: an empty or missing source adds nothing.
    if (incoming.size == 0) return true;
    if (state == PackageArchive::IndexState::NoHeader) {
      // No index to extend: nothing is appended that could never be reached.
      plat::File probe;
      if (!openTargetForWriting(targetPath, &probe)) return false;
      plat::setLastError(plat::kErrorHandleEof);
      return false;
    }
    if (!addEntry(target, targetPath, entryName, incoming)) return false;
  }
  runState.changedFileCount += 1;
  return true;
}
