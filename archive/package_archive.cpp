#include "archive/package_archive.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace {

// A region [offset, offset + length) that can be sought to and read whole
// from a file of fileSize bytes.
bool regionInFile(uint32_t offset, uint64_t length, uint32_t fileSize) {
  return offset <= kArchiveMaxPosition && static_cast<uint64_t>(offset) + length <= fileSize;
}

// The file's size as the 32-bit fields of an archive see it: every size
// beyond their reach is the same to them.
bool archiveFileSize(plat::File& file, uint32_t* size) {
  uint64_t bytes = 0;
  if (!file.size(&bytes)) return false;
  *size = bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes);
  return true;
}

// One read of exactly `count` bytes at a position; a read that delivers
// fewer bytes than asked is a failure, never stale buffer bytes.
bool readAt(plat::File& file, uint32_t offset, void* buffer, uint32_t count) {
  return offset <= kArchiveMaxPosition && file.readExactlyAt(offset, buffer, count);
}

// One seek and one write of exactly `count` bytes.
bool writeAt(plat::File& file, uint32_t offset, const void* buffer, uint32_t count) {
  return offset <= kArchiveMaxPosition && file.seek(offset, plat::SeekOrigin::Begin) &&
         file.writeExactly(buffer, count);
}

bool readHeader(plat::File& file, ArchiveHeader* header) {
  unsigned char bytes[kArchiveHeaderSize];
  if (!readAt(file, 0, bytes, kArchiveHeaderSize)) return false;
  *header = decodeArchiveHeader(bytes);
  return true;
}

bool writeHeader(plat::File& file, const ArchiveHeader& header) {
  unsigned char bytes[kArchiveHeaderSize];
  encodeArchiveHeader(header, bytes);
  return writeAt(file, 0, bytes, kArchiveHeaderSize);
}

bool sameHeader(const ArchiveHeader& a, const ArchiveHeader& b) {
  return std::memcmp(a.kept, b.kept, sizeof a.kept) == 0 && a.indexOffset == b.indexOffset &&
         a.indexSize == b.indexSize;
}

// The span of the file mapped at a time to read names from.
constexpr uint32_t kNameWindow = 8u << 20;

bool fieldBefore(const NameField& a, const NameField& b) {
  return a.offset < b.offset || (a.offset == b.offset && a.length < b.length);
}
bool sameField(const NameField& a, const NameField& b) { return a.offset == b.offset && a.length == b.length; }

// The fields of one view of the file: [first, last) spanning [start, end),
// `fieldBytes` of them distinct. A dense one is copied whole, with a NUL
// after it, its names used where they lie; a sparse one field by field,
// each with a NUL after it. A field larger than a window is a sparse
// window of its own.
struct NameWindow {
  size_t first, last;
  uint64_t start, end, fieldBytes;
  bool dense() const { return end - start <= 2 * fieldBytes; }
  uint64_t storeBytes() const { return dense() ? end - start + 1 : fieldBytes + (last - first); }
};

std::vector<NameWindow> nameWindows(const std::vector<NameField>& fields) {
  std::vector<NameWindow> windows;
  for (size_t first = 0; first < fields.size();) {
    NameWindow window{first, first, fields[first].offset, fields[first].offset, 0};
    for (size_t& f = window.last; f < fields.size(); ++f) {
      uint64_t fieldEnd = fields[f].offset + static_cast<uint64_t>(fields[f].length);
      if (fieldEnd - window.start > kNameWindow && f > first) break;
      window.end = std::max(window.end, fieldEnd);
      if (f == first || !sameField(fields[f - 1], fields[f])) window.fieldBytes += fields[f].length;
    }
    windows.push_back(window);
    first = window.last;
  }
  return windows;
}

// The length of the name in a field: up to its first NUL, or all of it.
size_t nameLengthIn(const char* field, uint32_t length) {
  const void* nul = std::memchr(field, 0, length);
  return nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : length;
}

// Copies a window's names to *store (moving it on), and gives each field's
// record its name and the name's hash. The window is read through a view
// of the file, so that names spread between contents cost neither a call
// each nor a copy of the contents between them; where the file cannot be
// viewed safely, a dense window is read whole and a sparse one field by
// field.
bool copyWindow(plat::File& file, const std::vector<NameField>& fields, const NameWindow& window, char** store,
                ArchiveEntryInfo* entries, uint32_t* hashes, std::vector<std::unique_ptr<char[]>>* ownNames) {
  plat::FileView view;
  uint32_t span = static_cast<uint32_t>(window.end - window.start);
  bool viewed = window.storeBytes() < kNameWindow && view.map(file, window.start, span);
  if (!viewed && window.storeBytes() < kNameWindow && plat::lastError() != plat::kErrorNotSupported) return false;
  char* base = *store;
  if (window.dense()) {
    if (viewed)
      std::memcpy(base, view.bytes(), span);
    else if (!readAt(file, static_cast<uint32_t>(window.start), base, span))
      return false;
    base[span] = '\0';
    *store += span + 1;
  }
  const char* name = nullptr;
  uint32_t hash = 0;
  for (size_t f = window.first; f < window.last; ++f) {
    const NameField& field = fields[f];
    if (f == window.first || !sameField(fields[f - 1], field)) {
      const char* viewedField = viewed ? view.bytes() + (field.offset - window.start) : nullptr;
      char* at = window.dense() ? base + (field.offset - window.start) : *store;
      if (!window.dense()) {
        if (viewed)
          std::memcpy(at, viewedField, field.length);
        else if (!readAt(file, field.offset, at, field.length))
          return false;
        at[field.length] = '\0';
        *store += field.length + 1;
      }
      // A field just copied alone is read where the view has it: its copy
      // may still be on its way to memory.
      const char* bytes = viewed && !window.dense() ? viewedField : at;
      size_t length = nameLengthIn(bytes, field.length);
      name = at;
      if (window.dense() && length == field.length) {
        // No NUL in the field: the name needs one of its own.
        std::unique_ptr<char[]> copy(new (std::nothrow) char[length + 1]);
        if (!copy) {
          plat::setLastError(plat::kErrorNotEnoughMemory);
          return false;
        }
        std::memcpy(copy.get(), bytes, length);
        copy[length] = '\0';
        name = copy.get();
        ownNames->push_back(std::move(copy));
      }
      hash = static_cast<uint32_t>(archiveNameHash(bytes, length));
    }
    entries[field.record].name = name;
    hashes[field.record] = hash;
  }
  return true;
}

}  // namespace

PackageArchive::PackageArchive(const char* path) {
  std::strncpy(path_, path, kArchivePathSize - 1);
  path_[kArchivePathSize - 1] = '\0';
}

PackageArchive::PackageArchive(const char* path, plat::File file, bool writable) : PackageArchive(path) {
  // A file that did not open lists nothing.
  file_ = std::move(file);
  writable_ = writable && file_.isOpen();
  givenFile_ = true;
  openTried_ = true;
}

PackageArchive::~PackageArchive() = default;

void PackageArchive::releaseIndex() {
  index_.clear();
  entries_.clear();
  names_.reset();
  ownNames_.clear();
  nameTable_.clear();
  layoutAllowsChanges_ = false;
  layoutSettled_ = false;
}

// A file that did not open stays unopened: its lookups find nothing, until
// a change opens it for writing.
bool PackageArchive::openForReading() {
  if (file_.isOpen()) return true;
  if (openTried_) {
    plat::setLastError(plat::kErrorFileNotFound);
    return false;
  }
  openTried_ = true;
  return file_.open(path_, plat::kGenericRead, plat::kShareRead | plat::kShareWrite, plat::kOpenExisting);
}

// A package that is to be changed is opened again for writing, with
// writers shut out, and its index is read afresh through that file. A
// target that its caller opened for reading only is never opened again by
// its path, which could lead elsewhere.
bool PackageArchive::holdForWriting() {
  if (writable_) return true;
  if (givenFile_) {
    plat::setLastError(plat::kErrorAccessDenied);
    return false;
  }
  file_.close();
  if (!file_.open(path_, plat::kGenericRead | plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting)) return false;
  writable_ = true;
  openTried_ = true;
  indexLoaded_ = false;
  indexState_ = IndexState::Unloaded;
  return true;
}

void PackageArchive::ensureLoaded() {
  // A failed load stands, except one cut short by a failing read, which
  // says nothing about the file.
  if (indexLoaded_ && indexState_ != IndexState::ReadFault) return;
  loadIndex();
  indexLoaded_ = true;
}

void PackageArchive::loadIndex() {
  releaseIndex();
  indexState_ = IndexState::NotOpened;
  if (!openForReading()) return;
  plat::File& file = file_;
  indexState_ = IndexState::ReadFault;
  uint32_t fileSize = 0;
  if (!archiveFileSize(file, &fileSize)) return;
  if (fileSize < kArchiveHeaderSize) {
    indexState_ = IndexState::NoHeader;
    return;
  }
  ArchiveHeader header;
  if (!readHeader(file, &header)) return;
  // Only whole records are read; a trailing partial record belongs to no
  // entry. An index that does not lie in the file gives no entries.
  uint32_t count = archiveRecordCount(header.indexSize);
  uint32_t recordBytes = count * kArchiveRecordSize;
  if (!regionInFile(header.indexOffset, recordBytes, fileSize)) {
    plat::setLastError(kErrorInvalidData);
    indexState_ = IndexState::Malformed;
    return;
  }
  index_.resize(recordBytes);
  if (recordBytes > 0 && !readAt(file, header.indexOffset, index_.data(), recordBytes)) {
    releaseIndex();
    return;
  }
  loadedHeader_ = header;
  std::vector<NameField> fields = readRecords(fileSize);
  if (!readNames(file, fileSize, &fields)) {
    releaseIndex();
    return;
  }
  fileSize_ = fileSize;
  indexState_ = IndexState::Loaded;
}

ArchiveRecord PackageArchive::recordAt(size_t position) const {
  return decodeArchiveRecord(&index_[position * kArchiveRecordSize]);
}

// Fills the cache from the index's records, and judges whether a change
// may be made without touching another entry: a name or content in the
// header or the index would change when they are rewritten, a name past
// the end may take in appended bytes, and so may a content past the end
// (then the layout is judged afresh after a change). The name fields that
// lie in the file come back, in record order.
std::vector<NameField> PackageArchive::readRecords(uint32_t fileSize) {
  std::vector<NameField> fields;
  size_t count = index_.size() / kArchiveRecordSize;
  entries_.resize(count);
  fields.reserve(count);
  uint64_t indexStart = loadedHeader_.indexOffset, indexEnd = indexStart + index_.size();
  auto overlapsIndex = [&](uint32_t offset, uint32_t length) {
    return length != 0 && offset < indexEnd && static_cast<uint64_t>(offset) + length > indexStart;
  };
  bool allowsChanges = true;
  bool inFile = true;
  for (size_t i = 0; i < count; ++i) {
    ArchiveRecord record = recordAt(i);
    entries_[i].dataOffset = record.dataOffset;
    entries_[i].dataSize = record.dataSize;
    if (record.dataSize != 0) {
      if (!regionInFile(record.dataOffset, record.dataSize, fileSize))
        inFile = false;
      else if (overlapsIndex(record.dataOffset, record.dataSize) || record.dataOffset < kArchiveHeaderSize)
        allowsChanges = false;
    }
    if (record.nameLength == 0) continue;
    bool named = regionInFile(record.nameOffset, record.nameLength, fileSize);
    if (named) fields.push_back(NameField{static_cast<uint32_t>(i), record.nameOffset, record.nameLength});
    if (!named || record.nameOffset < kArchiveHeaderSize || overlapsIndex(record.nameOffset, record.nameLength))
      allowsChanges = false;
  }
  layoutAllowsChanges_ = allowsChanges;
  layoutSettled_ = allowsChanges && inFile;
  return fields;
}

// Gives every record with a name field in the file its name. False when a
// read fails, or when the distinct fields together would be larger than
// the file (then the state says so).
bool PackageArchive::readNames(plat::File& file, uint32_t fileSize, std::vector<NameField>* named) {
  // In the order of the file, so that the views move forward; records that
  // share a field come together.
  std::vector<NameField>& fields = *named;
  if (!std::is_sorted(fields.begin(), fields.end(), fieldBefore))
    std::stable_sort(fields.begin(), fields.end(), fieldBefore);
  std::vector<NameWindow> windows = nameWindows(fields);
  uint64_t nameBytes = 0, storeBytes = 1;
  for (const NameWindow& window : windows) {
    nameBytes += window.fieldBytes;
    storeBytes += window.storeBytes();
  }
  if (nameBytes > fileSize) {
    plat::setLastError(kErrorInvalidData);
    indexState_ = IndexState::Malformed;
    return false;
  }
  std::unique_ptr<char[]> store(new (std::nothrow) char[static_cast<size_t>(storeBytes)]);
  if (!store) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return false;
  }
  std::vector<uint32_t> hashes(entries_.size());
  char* free = store.get();
  for (const NameWindow& window : windows)
    if (!copyWindow(file, fields, window, &free, entries_.data(), hashes.data(), &ownNames_)) return false;
  names_ = std::move(store);
  // In record order: the first record of a name comes first along its
  // probe sequence. Apart from the copying, so that the table's cache
  // misses overlap.
  sizeLookup();
  for (size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].name) addToLookup(static_cast<int32_t>(i), hashes[i]);
  return true;
}

// Room for every record, at most half full.
void PackageArchive::sizeLookup() {
  size_t slots = 16;
  while (slots < 2 * entries_.size()) slots *= 2;
  nameTable_.assign(slots, -1);
}

void PackageArchive::addToLookup(int32_t record, uint32_t hash) {
  size_t mask = nameTable_.size() - 1;
  size_t slot = hash & mask;
  while (nameTable_[slot] >= 0) slot = (slot + 1) & mask;
  nameTable_[slot] = record;
}

int32_t PackageArchive::findLoadedEntry(const char* name) {
  ensureLoaded();
  // Only a loaded index has a table.
  if (nameTable_.empty()) return -1;
  size_t mask = nameTable_.size() - 1;
  uint32_t hash = static_cast<uint32_t>(archiveNameHash(name, std::strlen(name)));
  for (size_t slot = hash & mask; nameTable_[slot] >= 0; slot = (slot + 1) & mask)
    if (archiveNamesEqual(entries_[nameTable_[slot]].name, name)) return nameTable_[slot];
  return -1;
}

bool PackageArchive::readEntry(const char* name, Content* content, const ContentLimits& limits) {
  int32_t position = findLoadedEntry(name);
  return position >= 0 && readEntryAt(position, content, limits);
}

bool PackageArchive::readEntryAt(int32_t position, Content* content, const ContentLimits& limits) {
  const ArchiveEntryInfo* entry = loadedEntry(position);
  if (entry == nullptr) return false;
  // Checked against the file's size before anything is allocated: the
  // buffer is never larger than the file. A file that shrank since reads
  // short, which fails the read.
  if (!regionInFile(entry->dataOffset, entry->dataSize, fileSize_)) {
    plat::setLastError(plat::kErrorHandleEof);
    return false;
  }
  Content read;
  if (!readFilePart(file_, entry->dataOffset, entry->dataSize, limits, &read)) return false;
  *content = std::move(read);
  return true;
}

// The index that a change rewrites is the one in the cache: the file is
// held for writing from before its load, and nobody else writes it.
bool PackageArchive::relocateEntry(const char* name, uint32_t dataOffset, uint32_t dataSize) {
  if (!holdForWriting()) return false;
  int32_t position = findLoadedEntry(name);
  if (position < 0) return false;
  plat::File& file = file_;
  uint32_t fileSize = 0;
  if (!archiveFileSize(file, &fileSize)) return false;
  // The new content must be in the file.
  if (!regionInFile(dataOffset, dataSize, fileSize)) {
    plat::setLastError(plat::kErrorInvalidParameter);
    return false;
  }
  uint32_t fieldsAt = loadedHeader_.indexOffset + static_cast<uint32_t>(position) * kArchiveRecordSize +
                      kRecordContentFieldsAt;
  unsigned char* cached = &index_[static_cast<size_t>(position) * kArchiveRecordSize];
  ArchiveRecord changed = recordAt(position);
  changed.dataOffset = dataOffset;
  changed.dataSize = dataSize;
  // Only the content fields of the record change; every other byte of the
  // index would be written back as read, so it is not written at all.
  unsigned char now[kArchiveRecordSize];
  encodeArchiveRecord(changed, now);
  if (!writeAt(file, fieldsAt, now + kRecordContentFieldsAt, kRecordContentFieldsSize)) {
    // A torn record would point at neither content: put the old bytes back.
    uint32_t error = plat::lastError();
    writeAt(file, fieldsAt, cached + kRecordContentFieldsAt, kRecordContentFieldsSize);
    plat::setLastError(error);
    return false;
  }
  std::memcpy(cached, now, kArchiveRecordSize);
  entries_[position].dataOffset = dataOffset;
  entries_[position].dataSize = dataSize;
  fileSize_ = std::max(fileSize_, fileSize);
  return true;
}

bool PackageArchive::appendEntry(uint32_t nameOffset, uint32_t nameLength, uint32_t dataOffset, uint32_t dataSize) {
  if (!holdForWriting()) return false;
  ensureLoaded();
  // The index as loaded; without a loaded index, the file's as it stands.
  bool fromCache = indexState_ == IndexState::Loaded;
  plat::File& file = file_;
  ArchiveHeader header = loadedHeader_;
  if (!fromCache && !readHeader(file, &header)) {
    plat::setLastError(plat::kErrorHandleEof);
    return false;
  }
  uint32_t fileSize = 0;
  if (!archiveFileSize(file, &fileSize)) return false;
  uint32_t n = fromCache ? static_cast<uint32_t>(entries_.size()) : archiveRecordCount(header.indexSize);
  uint32_t oldBytes = n * kArchiveRecordSize;
  if (!regionInFile(header.indexOffset, oldBytes, fileSize)) {
    plat::setLastError(plat::kErrorHandleEof);
    return false;
  }
  // The new index goes at the end, and the new record must describe bytes
  // that are already in the file.
  uint32_t end = fileSize;
  if (!archiveGrowthFits(end, static_cast<uint64_t>(oldBytes) + kArchiveRecordSize)) {
    plat::setLastError(plat::kErrorFileTooLarge);
    return false;
  }
  uint32_t newBytes = oldBytes + kArchiveRecordSize;
  if (!regionInFile(nameOffset, nameLength, end) || !regionInFile(dataOffset, dataSize, end)) {
    plat::setLastError(plat::kErrorInvalidParameter);
    return false;
  }
  // The cache's own index grows in place, and shrinks back on a failure.
  std::vector<unsigned char> read;
  std::vector<unsigned char>& index = fromCache ? index_ : read;
  if (!fromCache) read.resize(oldBytes);
  if (!fromCache && oldBytes > 0 && !readAt(file, header.indexOffset, index.data(), oldBytes)) return false;
  ArchiveRecord added;
  added.nameOffset = nameOffset;
  added.nameLength = nameLength;
  added.dataOffset = dataOffset;
  added.dataSize = dataSize;
  index.resize(newBytes);
  encodeArchiveRecord(added, &index[oldBytes]);

  // A short index leaves the header pointing at the old index. The name,
  // content and index reach the disk before the header that points at
  // them, so that after a power cut the archive reads through its old
  // index or its new one.
  if (!writeAt(file, end, index.data(), newBytes) || !file.flush()) {
    index.resize(oldBytes);
    return false;
  }
  ArchiveHeader newHeader = header;
  newHeader.indexOffset = end;
  newHeader.indexSize = newBytes;
  if (!writeHeader(file, newHeader)) {
    // A torn header would point at neither index: put the old one back.
    uint32_t error = plat::lastError();
    writeHeader(file, header);
    plat::setLastError(error);
    index.resize(oldBytes);
    return false;
  }
  fileSize_ = end + newBytes;
  if (!fromCache || !addEntryToCache(added, end)) {
    indexLoaded_ = false;
    indexState_ = IndexState::Unloaded;
  }
  return true;
}

// The cache as a load of the file just written would fill it: one more
// record, last, and the header that points at the new index.
bool PackageArchive::addEntryToCache(const ArchiveRecord& added, uint32_t newIndexOffset) {
  // The name as the file holds it, read back: the bytes before its NUL.
  std::unique_ptr<char[]> name(new (std::nothrow) char[added.nameLength + 1]);
  if (!name || !readAt(file_, added.nameOffset, name.get(), added.nameLength)) return false;
  name[added.nameLength] = '\0';
  ArchiveEntryInfo entry;
  entry.dataOffset = added.dataOffset;
  entry.dataSize = added.dataSize;
  entry.name = name.get();
  ownNames_.push_back(std::move(name));
  entries_.push_back(entry);
  bool grows = 2 * entries_.size() > nameTable_.size();
  if (grows) sizeLookup();
  for (size_t i = grows ? 0 : entries_.size() - 1; i < entries_.size(); ++i)
    if (entries_[i].name)
      addToLookup(static_cast<int32_t>(i), static_cast<uint32_t>(archiveNameHash(entries_[i].name, std::strlen(entries_[i].name))));
  loadedHeader_.indexOffset = newIndexOffset;
  loadedHeader_.indexSize = static_cast<uint32_t>(index_.size());
  return true;
}

int32_t PackageArchive::loadedEntryCount() {
  ensureLoaded();
  return static_cast<int32_t>(entries_.size());
}

const ArchiveEntryInfo* PackageArchive::loadedEntry(int32_t index) {
  ensureLoaded();
  if (index < 0 || static_cast<size_t>(index) >= entries_.size()) return nullptr;
  return &entries_[index];
}

void PackageArchive::cutBackTo(uint32_t size) {
  if (!writable_ || indexState_ != IndexState::Loaded) return;
  plat::File& file = file_;
  ArchiveHeader header;
  if (!readHeader(file, &header) || !sameHeader(header, loadedHeader_)) return;
  if (static_cast<uint64_t>(header.indexOffset) + index_.size() > size) return;
  std::vector<unsigned char> index(index_.size());
  if ((!index.empty() && !readAt(file, header.indexOffset, index.data(), static_cast<uint32_t>(index.size()))) ||
      index != index_)
    return;
  fileSize_ = std::min(fileSize_, size);
  if (file.seek(size, plat::SeekOrigin::Begin)) file.truncateHere();
}
