// Access to one package archive file by path: the lazily loaded index,
// lookup by name under the format's name rule, whole-entry reads, and the
// two index rewrites that follow appended content. The layout is
// archive_format.h.
//
// Every position and length taken from a file is checked against the
// file's size before anything is allocated or read, and no position past
// kArchiveMaxPosition is sought. Records that no writer of this system
// makes are read this way:
// - a name field without a NUL: the whole field is the name;
// - a nameLength of 0, or a name field not wholly inside the file: the
//   record keeps its place (and its record position) but has no name and
//   matches no lookup;
// - content not wholly inside the file: the record is found by a lookup,
//   but reading it fails;
// - an index not wholly inside the file, or distinct name fields that
//   together are larger than the file: the archive has no entries. Records
//   may share a name field: it is kept once.
// A read that delivers fewer bytes than asked fails the operation.
//
// An archive is changed only when the change cannot alter any entry but
// the one it is for: no name may lie in the header, in the index or past
// the end of the file, and no content in the index or in the header's
// index fields, since rewriting a record or the header, or appending bytes,
// would change those.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive/content.h"
#include "platform/platform.h"

constexpr size_t kArchivePathSize = 1000;

// Where a record's name lies.
struct NameField {
  uint32_t record;
  uint32_t offset;
  uint32_t length;
};

// One element of the cache: where a record's content lies, and its name.
struct ArchiveEntryInfo {
  uint32_t dataOffset = 0;
  uint32_t dataSize = 0;
  // The name with its NUL, or none for a record whose name cannot be read.
  // It lives as long as the cache.
  const char* name = nullptr;
};

class PackageArchive {
 public:
  // A package read by its path (at most 999 bytes). Its file is opened on
  // the first lookup and held, shared with other readers and writers,
  // until the object goes.
  explicit PackageArchive(const char* path);
  // An archive whose file the caller opened (a source package, or a
  // target archive): `writable`, for reading and writing with writers shut
  // out, so that nothing but this object changes the file while it is held
  // and the index it loads stays the file's own, never read again. Every
  // read and change goes through that file; a change of one opened for
  // reading alone is refused, and a file that did not open lists nothing.
  PackageArchive(const char* path, plat::File file, bool writable);
  ~PackageArchive();
  PackageArchive(const PackageArchive&) = delete;
  PackageArchive& operator=(const PackageArchive&) = delete;

  // The content of the first entry of that name: held whole, or located
  // (through the held file) when it is larger than limits.piece. On false
  // the outputs are left untouched.
  bool readEntry(const char* name, Content* content, const ContentLimits& limits = ContentLimits());
  // The same for the record at `position` of the index.
  bool readEntryAt(int32_t position, Content* content, const ContentLimits& limits = ContentLimits());
  // Points the entry's record at content the caller appended.
  bool relocateEntry(const char* name, uint32_t dataOffset, uint32_t dataSize);
  // Writes a new index with one more record at the end of the file and
  // points the header at it.
  bool appendEntry(uint32_t nameOffset, uint32_t nameLength, uint32_t dataOffset, uint32_t dataSize);

  // Read access to the index for tools: loads it lazily like a lookup.
  int32_t loadedEntryCount();
  const ArchiveEntryInfo* loadedEntry(int32_t index);
  // The position of the first record of that name, or -1.
  int32_t findLoadedEntry(const char* name);

  const char* path() const { return path_; }

  // What the last index load found, so that a caller can tell an entry that
  // is absent from an archive whose index could not be read.
  enum class IndexState : uint8_t {
    Unloaded,    // not read yet
    Loaded,      // the cache holds the index's entries
    NotOpened,   // the file did not open for reading
    NoHeader,    // shorter than the header: no entries
    Malformed,   // the index lies outside the file, or its names would not fit in memory
    ReadFault,   // a read failed or fell short; the next lookup loads again
  };
  IndexState indexState() const { return indexState_; }
  // The index could not be read at all: nothing is known about any entry.
  bool indexUnreadable() const {
    return indexState_ == IndexState::Malformed || indexState_ == IndexState::ReadFault;
  }
  // Loads lazily; true when a lookup of that name finds a record, whether
  // or not its content can be read.
  bool holdsEntry(const char* name) { return findLoadedEntry(name) >= 0; }

  // Loaded, and the layout lets an entry be replaced or added without
  // touching any other entry's name or content (see the top of this file).
  bool layoutAllowsChanges() const { return indexState_ == IndexState::Loaded && layoutAllowsChanges_; }
  // That, and every content lies wholly in the file, so that the file's
  // growth cannot put a record over bytes appended to it: the layout stays
  // as it was judged after this object's own changes.
  bool layoutSettled() const { return layoutAllowsChanges() && layoutSettled_; }

  // The file held for writing, through which the caller appends; none for
  // a package read by its path until a change opens it for writing.
  plat::File* writableFile() { return writable_ ? &file_ : nullptr; }
  // Cuts the file back to `size` bytes after a failed change, only when it
  // still reads through the index the cache holds (the header and every
  // whole record as loaded), so that no record points at what goes.
  void cutBackTo(uint32_t size);

 private:
  bool openForReading();
  bool holdForWriting();
  void loadIndex();
  void ensureLoaded();
  void releaseIndex();
  ArchiveRecord recordAt(size_t position) const;
  std::vector<NameField> readRecords(uint32_t fileSize);
  bool readNames(plat::File& file, uint32_t fileSize, std::vector<NameField>* fields);
  // The cache after an addition, whose record index_ already holds.
  bool addEntryToCache(const ArchiveRecord& record, uint32_t newIndexOffset);
  void sizeLookup();
  void addToLookup(int32_t record, uint32_t hash);

  plat::File file_;
  bool writable_ = false;
  bool givenFile_ = false;
  bool openTried_ = false;
  char path_[kArchivePathSize];
  bool indexLoaded_ = false;
  IndexState indexState_ = IndexState::Unloaded;
  // The whole records of the index as loaded, kept in step with this
  // object's own rewrites, and the cache built from them.
  std::vector<unsigned char> index_;
  std::vector<ArchiveEntryInfo> entries_;
  // The name fields as read, and copies of names that need a NUL of their
  // own: those of fields without one, and those of records added.
  std::unique_ptr<char[]> names_;
  std::vector<std::unique_ptr<char[]>> ownNames_;
  // The named records by their names' hashes: open addressing with linear
  // probing, at least twice as many slots as records, -1 for a free one.
  // Records go in in their order, so the first of a name that a lookup
  // meets along its probe sequence is the first record.
  std::vector<int32_t> nameTable_;
  // The header as loaded, or as this object last wrote it.
  ArchiveHeader loadedHeader_;
  // The file's size as loaded, or as this object's own changes left it.
  uint32_t fileSize_ = 0;
  // No name lies in the header, in the index or past the end, and no
  // content in the index or the header's index fields.
  bool layoutAllowsChanges_ = false;
  bool layoutSettled_ = false;
};
