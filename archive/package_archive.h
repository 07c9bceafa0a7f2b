// Access to one package archive file by path: the lazily loaded index,
// lookup by name under ASCII case folding, whole-entry reads, and the two
// index rewrites that follow appended content.
//
// Layout: a 24-byte header ("QRV001", 10 bytes kept as they are,
// indexOffset, indexSize), then names, contents and an index of 20-byte
// records { nameOffset, nameLength, dataOffset, dataSize, reserved }, all
// little-endian 32-bit values.
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
// - an index not wholly inside the file, or name fields without a NUL that
//   together would need own copies larger than the file: the archive has
//   no entries. Records may share name bytes: a name is kept where it lies,
//   so that costs nothing.
// A read that delivers fewer bytes than asked fails the operation.
//
// An archive is changed only when the change cannot alter any entry but
// the one it is for: no name may lie in the header, in the index or past
// the end of the file, and no content in the index or in the header's
// index fields, since rewriting a record or the header, or appending bytes,
// would change those.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/content.h"
#include "platform/platform.h"

constexpr size_t kArchiveHeaderSize = 24;
constexpr size_t kArchiveRecordSize = 20;
constexpr size_t kArchivePathSize = 1000;
constexpr char kArchiveMagic[6] = {'Q', 'R', 'V', '0', '0', '1'};
// Positions are handed to the file services as signed 32-bit distances.
constexpr uint32_t kArchiveMaxPosition = 0x7FFFFFFFu;
// ERROR_INVALID_DATA: the last error when an index cannot be read, or its
// layout does not allow a change that leaves the other entries as they are.
constexpr uint32_t kErrorInvalidData = 13;

// The format's integers: 32-bit, little-endian.
inline uint32_t archiveUint32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}
inline void putArchiveUint32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

struct ArchiveEntryInfo {
  uint32_t dataOffset = 0;
  uint32_t dataSize = 0;
  // The name with its NUL, or none for a record whose name cannot be read.
  // It lies in the archive object's name store, mostly where it was read,
  // and lives as long as the cache.
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
  // (through the held file) when it is larger than contentHeldWholeLimit.
  // On false the outputs are left untouched.
  bool readEntry(const char* name, Content* content);
  // Points the entry's record at content the caller appended.
  bool relocateEntry(const char* name, uint32_t dataOffset, uint32_t dataSize);
  // Writes a new index with one more record at the end of the file and
  // points the header at it.
  bool appendEntry(uint32_t nameOffset, uint32_t nameLength, uint32_t dataOffset, uint32_t dataSize);

  // Read access to the index for tools: loads it lazily like a lookup.
  int32_t loadedEntryCount();
  const ArchiveEntryInfo* loadedEntry(int32_t index);

  const char* path() const { return path_; }

  // What the last index load found, so that a caller can tell an entry that
  // is absent from an archive whose index could not be read.
  enum class IndexState : uint8_t {
    Unloaded,    // not read yet
    Loaded,      // the cache holds entryCount entries
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
  bool holdsEntry(const char* name);

  // Loaded, and the layout lets an entry be replaced or added without
  // touching any other entry's name or content (see the top of this file).
  bool layoutAllowsChanges() const { return indexState_ == IndexState::Loaded && layoutAllowsChanges_; }
  // That, and every content lies wholly in the file, so that the file's
  // growth cannot put a record over bytes appended to it: the layout stays
  // as it was judged after this object's own changes.
  bool layoutSettled() const { return layoutAllowsChanges() && layoutSettled_; }

  // The file held for writing, through which the caller appends; none for
  // a package read by its path until a change opens it for writing.
  plat::File* writableFile() { return writable_ ? file_.get() : nullptr; }
  // Cuts the file back to `size` bytes after a failed change, only when it
  // still reads through the index the cache holds (the header and every
  // whole record as loaded), so that no record points at what goes.
  void cutBackTo(uint32_t size);

 private:
  bool openForReading();
  bool holdForWriting();
  void loadIndex();
  void ensureLoaded();
  int32_t findEntry(const char* name) const;
  void buildKeyTable();
  void addToKeyTable(int32_t record);
  void releaseIndex();
  bool readNames(plat::File& file, const unsigned char* index, uint32_t count, uint32_t indexOffset,
                 uint32_t fileSize);
  bool extendCache(uint32_t nameOffset, uint32_t nameLength, uint32_t dataOffset, uint32_t dataSize,
                   uint32_t newIndexOffset, std::unique_ptr<unsigned char[]> newIndex);

  std::unique_ptr<plat::File> file_;
  bool writable_ = false;
  bool givenFile_ = false;
  bool openTried_ = false;
  std::unique_ptr<ArchiveEntryInfo[]> entries_;
  // The name bytes as read, in runs: a name that ends with a NUL inside its
  // field is used where it lies.
  std::unique_ptr<char[]> names_;
  // Names that need a store of their own: fields without a NUL, and the
  // names of records added to the cache.
  std::vector<std::unique_ptr<char[]>> ownNames_;
  // Beside the cache, one word per record: the name's length and a digest
  // of its last eight bytes folded (none for a record without a name), so
  // that a lookup passes over other names without reading them.
  std::unique_ptr<uint64_t[]> nameKeys_;
  // The record positions by key, open addressing with linear probing, at
  // most half full; none when it could not be had (every key is then read).
  std::unique_ptr<int32_t[]> keyTable_;
  size_t keyTableMask_ = 0;
  size_t entriesLength_ = 0;
  size_t entriesCapacity_ = 0;
  char path_[kArchivePathSize];
  bool indexLoaded_ = false;
  int32_t entryCount_ = 0;
  IndexState indexState_ = IndexState::Unloaded;
  // The header as loaded, or as this object last wrote it, and the whole
  // records of the index the cache was built from, kept in step with this
  // object's own rewrites.
  unsigned char loadedHeader_[kArchiveHeaderSize] = {};
  // The file's size as loaded, or as this object's own changes left it.
  uint32_t fileSize_ = 0;
  std::unique_ptr<unsigned char[]> indexBytes_;
  // No name lies in the header, in the index or past the end, and no
  // content in the index or the header's index fields.
  bool layoutAllowsChanges_ = false;
  bool layoutSettled_ = false;
};

// The archive's name matching: bytes 'A'-'Z' fold to 'a'-'z', every other
// byte must match exactly; double-byte characters are not recognised.
bool archiveNamesEqual(const char* a, const char* b);

// A name as that matching sees it, 'A'-'Z' folded to 'a'-'z': two names are
// equal exactly when their folded forms are, so the form can key a map.
std::string archiveFoldedName(const std::string& name);
