#include "archive/package_archive.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

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

std::unique_ptr<unsigned char[]> allocateBytes(size_t size) {
  return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size == 0 ? 1 : size]);
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

bool readHeader(plat::File& file, unsigned char* header) { return readAt(file, 0, header, kArchiveHeaderSize); }

unsigned char foldAscii(unsigned char byte) { return byte >= 0x41 && byte <= 0x5A ? byte + 0x20 : byte; }

// Folds the ASCII capitals of eight bytes at once, as foldAscii does one.
uint64_t foldWord(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  uint64_t low = word & (0x7F * kOnes);
  uint64_t fromA = low + (0x80 - 'A') * kOnes;     // bit 7 set where a byte is 'A' or above
  uint64_t pastZ = low + (0x80 - 'Z' - 1) * kOnes;  // bit 7 set where it is above 'Z'
  uint64_t capitals = fromA & ~pastZ & ~word & (0x80 * kOnes);
  return word | (capitals >> 2);
}

// A name's lookup key: its length, and its last eight bytes folded (all of
// a shorter one), since names of one archive mostly differ near their ends.
uint64_t nameKey(const char* name, size_t length) {
  uint64_t word = 0;
  if (length >= sizeof word)
    std::memcpy(&word, name + length - sizeof word, sizeof word);
  else
    std::memcpy(&word, name, length);
  word = foldWord(word);
  return static_cast<uint64_t>(length) << 32 | (static_cast<uint32_t>(word) ^ static_cast<uint32_t>(word >> 32));
}

// No name of this length can be looked up.
constexpr uint32_t kNoName = 0xFFFFFFFFu;
constexpr uint64_t kNoNameKey = static_cast<uint64_t>(kNoName) << 32;

// Names are read in runs: a field close to the one before is read with the
// bytes between them rather than with a call of its own, as long as a run
// never reads more than kNameReadFactor times the name bytes it holds, so
// that names between small contents do not make a load read the contents.
constexpr uint32_t kNameGapBridged = 4096;
constexpr uint32_t kNameReadFactor = 4;
constexpr uint32_t kNameRunLimit = 1u << 20;
// The span of the file mapped at a time to read names from.
constexpr uint32_t kNameWindow = 8u << 20;

struct NameField {
  uint32_t record;
  uint32_t offset;
  uint32_t length;
};

struct NameRun {
  size_t firstField;
  size_t endField;
  uint32_t start;
  uint32_t length;
};

}  // namespace

bool archiveNamesEqual(const char* a, const char* b) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
  for (;; ++x, ++y) {
    if (foldAscii(*x) != foldAscii(*y)) return false;
    if (*x == 0) return true;
  }
}

std::string archiveFoldedName(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) c = static_cast<char>(foldAscii(static_cast<unsigned char>(c)));
  return folded;
}

PackageArchive::PackageArchive(const char* path) {
  std::strncpy(path_, path, kArchivePathSize - 1);
  path_[kArchivePathSize - 1] = '\0';
}

PackageArchive::PackageArchive(const char* path, plat::File file, bool writable) : PackageArchive(path) {
  // A file that did not open lists nothing.
  if (file.isOpen()) file_.reset(new (std::nothrow) plat::File(std::move(file)));
  writable_ = writable && file_ != nullptr;
  givenFile_ = true;
  openTried_ = true;
}

PackageArchive::~PackageArchive() { releaseIndex(); }

void PackageArchive::releaseIndex() {
  entries_.reset();
  names_.reset();
  ownNames_.clear();
  nameKeys_.reset();
  keyTable_.reset();
  entriesLength_ = 0;
  entriesCapacity_ = 0;
  indexBytes_.reset();
  layoutAllowsChanges_ = false;
  layoutSettled_ = false;
}

// A file that did not open stays unopened: its lookups find nothing, until
// a change opens it for writing.
bool PackageArchive::openForReading() {
  if (file_) return true;
  if (openTried_) {
    plat::setLastError(plat::kErrorFileNotFound);
    return false;
  }
  openTried_ = true;
  std::unique_ptr<plat::File> file(new (std::nothrow) plat::File);
  if (!file) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return false;
  }
  if (!file->open(path_, plat::kGenericRead, plat::kShareRead | plat::kShareWrite, plat::kOpenExisting)) return false;
  file_ = std::move(file);
  return true;
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
  std::unique_ptr<plat::File> file(new (std::nothrow) plat::File);
  if (!file) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return false;
  }
  file_.reset();
  if (!file->open(path_, plat::kGenericRead | plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting)) return false;
  file_ = std::move(file);
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
  entryCount_ = 0;
  releaseIndex();
  indexState_ = IndexState::NotOpened;
  if (!openForReading()) return;
  plat::File& file = *file_;
  indexState_ = IndexState::ReadFault;
  uint32_t fileSize = 0;
  if (!archiveFileSize(file, &fileSize)) return;
  if (fileSize < kArchiveHeaderSize) {
    indexState_ = IndexState::NoHeader;
    return;
  }
  unsigned char header[kArchiveHeaderSize];
  if (!readHeader(file, header)) return;

  uint32_t indexOffset = archiveUint32(header + 16);
  uint32_t indexSize = archiveUint32(header + 20);
  uint32_t count = indexSize / kArchiveRecordSize;
  // Only whole records are read; a trailing partial record belongs to no
  // entry. An index that does not lie in the file gives no entries.
  uint32_t recordBytes = count * static_cast<uint32_t>(kArchiveRecordSize);
  if (!regionInFile(indexOffset, recordBytes, fileSize)) {
    plat::setLastError(kErrorInvalidData);
    indexState_ = IndexState::Malformed;
    return;
  }
  size_t slots = count == 0 ? 1 : count;
  std::unique_ptr<unsigned char[]> index = allocateBytes(recordBytes);
  entries_.reset(new (std::nothrow) ArchiveEntryInfo[slots]);
  nameKeys_.reset(new (std::nothrow) uint64_t[slots]);
  if (!index || !entries_ || !nameKeys_) {
    releaseIndex();
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return;
  }
  if ((recordBytes > 0 && !readAt(file, indexOffset, index.get(), recordBytes)) ||
      !readNames(file, index.get(), count, indexOffset, fileSize)) {
    releaseIndex();
    return;
  }
  indexBytes_ = std::move(index);
  entriesLength_ = count;
  buildKeyTable();
  entriesCapacity_ = slots;
  entryCount_ = static_cast<int32_t>(count);
  std::memcpy(loadedHeader_, header, kArchiveHeaderSize);
  fileSize_ = fileSize;
  indexState_ = IndexState::Loaded;
}

namespace {

// Gathers name fields, in order of their offsets, into runs.
class NameRuns {
 public:
  void add(uint32_t offset, uint32_t length, size_t cursor) {
    uint64_t fieldEnd = static_cast<uint64_t>(offset) + length;
    if (open_) {
      uint64_t newEnd = std::max(runEnd_, fieldEnd);
      // Bytes of this field that the run does not hold yet.
      uint64_t newNameBytes = nameBytes_ + (newEnd - std::max<uint64_t>(runEnd_, offset));
      // A field that overlaps the run always joins it, so that no byte is
      // read or held twice however many fields share it.
      if (offset < runEnd_ || (offset <= runEnd_ + kNameGapBridged && newEnd - run_.start <= kNameRunLimit &&
                               newEnd - run_.start <= kNameReadFactor * newNameBytes)) {
        runEnd_ = newEnd;
        nameBytes_ = newNameBytes;
        run_.endField = cursor + 1;
        return;
      }
      close();
    }
    open_ = true;
    run_ = NameRun{cursor, cursor + 1, offset, 0};
    runEnd_ = fieldEnd;
    nameBytes_ = length;
  }
  // The runs, which do not overlap and lie in the file; together they are
  // never larger than the file.
  const std::vector<NameRun>& finish() {
    if (open_) close();
    return runs_;
  }
  uint64_t totalBytes() const { return total_; }
  void clear() {
    runs_.clear();
    open_ = false;
    total_ = 0;
  }

 private:
  void close() {
    run_.length = static_cast<uint32_t>(runEnd_ - run_.start);
    total_ += run_.length;
    runs_.push_back(run_);
    open_ = false;
  }
  std::vector<NameRun> runs_;
  NameRun run_{};
  uint64_t runEnd_ = 0;
  uint64_t nameBytes_ = 0;
  uint64_t total_ = 0;
  bool open_ = false;
};

// Fills the store with the runs' bytes, one run after the other. The runs
// are read through views of the file, a window at a time, so that names
// spread between contents cost neither a call each nor a copy of the
// contents between them; memory stays the store and one window. Where the
// file cannot be viewed safely, each run is read.
bool readRuns(plat::File& file, const std::vector<NameRun>& runs, char* store) {
  plat::FileView view;
  for (size_t first = 0; first < runs.size();) {
    uint64_t start = runs[first].start;
    size_t last = first + 1;
    while (last < runs.size() && runs[last].start + static_cast<uint64_t>(runs[last].length) - start <= kNameWindow)
      ++last;
    uint64_t end = runs[last - 1].start + static_cast<uint64_t>(runs[last - 1].length);
    // A single run larger than a window is read whole.
    if (end - start > kNameWindow) {
      if (!readAt(file, runs[first].start, store, runs[first].length)) return false;
      store += runs[first].length;
      first = last;
      continue;
    }
    bool viewed = view.map(file, start, static_cast<uint32_t>(end - start));
    if (!viewed && plat::lastError() != plat::kErrorNotSupported) return false;
    for (size_t r = first; r < last; ++r) {
      if (viewed)
        std::memcpy(store, view.bytes() + (runs[r].start - start), runs[r].length);
      else if (!readAt(file, runs[r].start, store, runs[r].length))
        return false;
      store += runs[r].length;
    }
    first = last;
  }
  return true;
}

}  // namespace

// Fills the cache from the index records: offsets, sizes and names, and
// tells whether the layout allows changes. False when a read fails or the
// names without a NUL would need more memory than the file's size (then
// the state says which).
bool PackageArchive::readNames(plat::File& file, const unsigned char* index, uint32_t count, uint32_t indexOffset,
                               uint32_t fileSize) {
  ArchiveEntryInfo* entries = entries_.get();
  uint64_t* keys = nameKeys_.get();
  uint64_t indexEnd = static_cast<uint64_t>(indexOffset) + static_cast<uint64_t>(count) * kArchiveRecordSize;
  auto overlapsIndex = [&](uint32_t offset, uint32_t length) {
    return length != 0 && offset < indexEnd && static_cast<uint64_t>(offset) + length > indexOffset;
  };
  // A record has a name when its field is not empty and lies in the file;
  // a record without one keeps its place but matches no lookup.
  auto fieldOf = [&](uint32_t i, uint32_t* offset, uint32_t* length) {
    const unsigned char* record = index + static_cast<size_t>(i) * kArchiveRecordSize;
    *offset = archiveUint32(record);
    *length = archiveUint32(record + 4);
    return *length != 0 && regionInFile(*offset, *length, fileSize);
  };
  // Fields mostly come in the order of their offsets: then the runs are
  // gathered on the way, with the records themselves as the cursor.
  NameRuns gathered;
  bool allowsChanges = true;
  bool inFile = true;
  bool inOrder = true;
  uint32_t lastOffset = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const unsigned char* record = index + static_cast<size_t>(i) * kArchiveRecordSize;
    uint32_t dataOffset = archiveUint32(record + 8);
    uint32_t dataSize = archiveUint32(record + 12);
    entries[i].dataOffset = dataOffset;
    entries[i].dataSize = dataSize;
    entries[i].name = nullptr;
    keys[i] = kNoNameKey;
    // A content in the index or the header's index fields would change when
    // they are rewritten; one past the end may take in appended bytes.
    if (dataSize != 0) {
      if (!regionInFile(dataOffset, dataSize, fileSize))
        inFile = false;
      else if (overlapsIndex(dataOffset, dataSize) || dataOffset < kArchiveHeaderSize)
        allowsChanges = false;
    }
    uint32_t offset, length;
    if (!fieldOf(i, &offset, &length)) {
      if (length != 0) allowsChanges = false;  // appended bytes could give it a name
      continue;
    }
    // A name in the header or the index would change when they are rewritten.
    if (offset < kArchiveHeaderSize || overlapsIndex(offset, length)) allowsChanges = false;
    if (offset < lastOffset) inOrder = false;
    lastOffset = offset;
    if (inOrder) gathered.add(offset, length, i);
  }
  std::vector<NameField> sorted;
  if (!inOrder) {
    gathered.clear();
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t offset, length;
      if (fieldOf(i, &offset, &length)) sorted.push_back(NameField{i, offset, length});
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const NameField& a, const NameField& b) { return a.offset < b.offset; });
    for (size_t f = 0; f < sorted.size(); ++f) gathered.add(sorted[f].offset, sorted[f].length, f);
  }
  // The runs do not overlap and lie in the file: the store is never larger
  // than the file, however many records share the same name bytes.
  const std::vector<NameRun>& runs = gathered.finish();
  std::unique_ptr<char[]> store(
      new (std::nothrow) char[gathered.totalBytes() == 0 ? 1 : static_cast<size_t>(gathered.totalBytes())]);
  if (!store) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return false;
  }

  if (!readRuns(file, runs, store.get())) return false;

  // Only a field without a NUL needs a copy of its own, one per distinct
  // field; those copies together may not exceed the file's size.
  uint64_t copyBudget = fileSize;
  std::unordered_map<uint64_t, const char*> copies;
  size_t storeUsed = 0;
  for (const NameRun& run : runs) {
    char* bytes = store.get() + storeUsed;
    storeUsed += run.length;
    for (size_t cursor = run.firstField; cursor < run.endField; ++cursor) {
      uint32_t record, offset, length;
      if (inOrder) {
        record = static_cast<uint32_t>(cursor);
        if (!fieldOf(record, &offset, &length)) continue;
      } else {
        record = sorted[cursor].record;
        offset = sorted[cursor].offset;
        length = sorted[cursor].length;
      }
      const char* name = bytes + (offset - run.start);
      // The name is the bytes before the first NUL, or the whole field when
      // it holds none; then it is copied to put a NUL after it.
      const void* nul = std::memchr(name, 0, length);
      size_t nameLength = nul ? static_cast<size_t>(static_cast<const char*>(nul) - name) : length;
      if (!nul) {
        uint64_t field = static_cast<uint64_t>(offset) << 32 | length;
        auto copied = copies.find(field);
        if (copied != copies.end()) {
          name = copied->second;
        } else {
          if (nameLength + 1 > copyBudget) {
            plat::setLastError(kErrorInvalidData);
            indexState_ = IndexState::Malformed;
            return false;
          }
          copyBudget -= nameLength + 1;
          std::unique_ptr<char[]> own(new (std::nothrow) char[nameLength + 1]);
          if (!own) {
            plat::setLastError(plat::kErrorNotEnoughMemory);
            return false;
          }
          std::memcpy(own.get(), name, nameLength);
          own[nameLength] = '\0';
          name = own.get();
          copies.emplace(field, name);
          ownNames_.push_back(std::move(own));
        }
      }
      entries[record].name = name;
      keys[record] = nameKey(name, nameLength);
    }
  }
  names_ = std::move(store);
  layoutAllowsChanges_ = allowsChanges;
  layoutSettled_ = allowsChanges && inFile;
  return true;
}

namespace {

// A key's home in a table of `mask` + 1 slots.
size_t keySlot(uint64_t key, size_t mask) {
  uint64_t mixed = key * 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(mixed ^ (mixed >> 32)) & mask;
}

// Equal keys: the names are equal when every folded byte agrees.
bool storedNameEquals(const char* stored, const char* wanted, size_t length) {
  const unsigned char* a = reinterpret_cast<const unsigned char*>(stored);
  const unsigned char* b = reinterpret_cast<const unsigned char*>(wanted);
  size_t at = length;
  while (at > 0 && foldAscii(a[at - 1]) == foldAscii(b[at - 1])) --at;
  return at == 0;
}

}  // namespace

void PackageArchive::addToKeyTable(int32_t record) {
  size_t slot = keySlot(nameKeys_[record], keyTableMask_);
  while (keyTable_[slot] >= 0) slot = (slot + 1) & keyTableMask_;
  keyTable_[slot] = record;
}

void PackageArchive::buildKeyTable() {
  keyTable_.reset();
  size_t slots = 16;
  while (slots < 2 * entriesLength_) slots *= 2;
  keyTable_.reset(new (std::nothrow) int32_t[slots]);
  // Without the table, lookups go through every key.
  if (!keyTable_) return;
  keyTableMask_ = slots - 1;
  std::fill(keyTable_.get(), keyTable_.get() + slots, -1);
  for (size_t i = 0; i < entriesLength_; ++i)
    if (nameKeys_[i] != kNoNameKey) addToKeyTable(static_cast<int32_t>(i));
}

int32_t PackageArchive::findEntry(const char* name) const {
  if (entryCount_ <= 0 || !entries_) return -1;
  size_t length = std::strlen(name);
  if (length >= kNoName) return -1;
  uint64_t wantedKey = nameKey(name, length);
  const uint64_t* keys = nameKeys_.get();
  int32_t end = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(entryCount_), entriesLength_));
  if (keyTable_) {
    // The records of one key lie along its probe sequence in the order of
    // their positions, so the first one that matches is the first record.
    for (size_t slot = keySlot(wantedKey, keyTableMask_); keyTable_[slot] >= 0; slot = (slot + 1) & keyTableMask_) {
      int32_t i = keyTable_[slot];
      if (i < end && keys[i] == wantedKey && storedNameEquals(entries_[i].name, name, length)) return i;
    }
    return -1;
  }
  for (int32_t i = 0; i < end; ++i)
    if (keys[i] == wantedKey && storedNameEquals(entries_[i].name, name, length)) return i;
  return -1;
}

bool PackageArchive::holdsEntry(const char* name) {
  ensureLoaded();
  return findEntry(name) >= 0;
}

bool PackageArchive::readEntry(const char* name, Content* content) {
  ensureLoaded();
  int32_t position = findEntry(name);
  if (position < 0) return false;
  const ArchiveEntryInfo& entry = entries_[position];
  plat::File& file = *file_;
  // Checked against the file's size before anything is allocated: the
  // buffer is never larger than the file. A file that shrank since reads
  // short, which fails the read.
  if (!regionInFile(entry.dataOffset, entry.dataSize, fileSize_)) {
    plat::setLastError(plat::kErrorHandleEof);
    return false;
  }
  // A large content is only located: it is read piece by piece where it
  // is compared or written.
  if (entry.dataSize > contentHeldWholeLimit) {
    content->release();
    content->file = &file;
    content->offset = entry.dataOffset;
    content->size = entry.dataSize;
    content->located = true;
    return true;
  }
  std::unique_ptr<char[]> bytes = allocateContent(entry.dataSize);
  if (!bytes) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return false;
  }
  if (entry.dataSize > 0 && !readAt(file, entry.dataOffset, bytes.get(), entry.dataSize)) return false;
  bytes[entry.dataSize] = '\0';
  content->release();
  content->bytes = std::move(bytes);
  content->size = entry.dataSize;
  return true;
}

// The index that a change rewrites is the one in the cache: the file is
// held for writing from before its load, and nobody else writes it.
bool PackageArchive::relocateEntry(const char* name, uint32_t dataOffset, uint32_t dataSize) {
  if (!holdForWriting()) return false;
  ensureLoaded();
  int32_t position = findEntry(name);
  if (position < 0) return false;
  plat::File& file = *file_;
  uint32_t fileSize = 0;
  if (!archiveFileSize(file, &fileSize)) return false;
  // The new content must be in the file.
  if (!regionInFile(dataOffset, dataSize, fileSize)) {
    plat::setLastError(plat::kErrorInvalidParameter);
    return false;
  }
  uint32_t indexOffset = archiveUint32(loadedHeader_ + 16);
  uint32_t recordOffset = indexOffset + static_cast<uint32_t>(position) * static_cast<uint32_t>(kArchiveRecordSize);
  unsigned char* cachedRecord = indexBytes_.get() + static_cast<size_t>(position) * kArchiveRecordSize;
  // Only bytes 8 to 15 of the record change; every other byte of the index
  // would be written back as read, so it is not written at all.
  unsigned char changed[8];
  putArchiveUint32(changed, dataOffset);
  putArchiveUint32(changed + 4, dataSize);
  if (!writeAt(file, recordOffset + 8, changed, sizeof changed)) {
    // A torn record would point at neither content: put the old bytes back.
    uint32_t error = plat::lastError();
    writeAt(file, recordOffset + 8, cachedRecord + 8, 8);
    plat::setLastError(error);
    return false;
  }
  entries_[position].dataOffset = dataOffset;
  entries_[position].dataSize = dataSize;
  std::memcpy(cachedRecord + 8, changed, sizeof changed);
  fileSize_ = std::max(fileSize_, fileSize);
  return true;
}

bool PackageArchive::appendEntry(uint32_t nameOffset, uint32_t nameLength, uint32_t dataOffset, uint32_t dataSize) {
  if (!holdForWriting()) return false;
  ensureLoaded();
  // The index as loaded; without a loaded index, the file's as it stands.
  bool fromCache = indexState_ == IndexState::Loaded;
  plat::File& file = *file_;
  unsigned char header[kArchiveHeaderSize];
  if (fromCache) {
    std::memcpy(header, loadedHeader_, kArchiveHeaderSize);
  } else if (!readHeader(file, header)) {
    plat::setLastError(plat::kErrorHandleEof);
    return false;
  }
  uint32_t fileSize = 0;
  if (!archiveFileSize(file, &fileSize)) return false;
  uint32_t indexOffset = archiveUint32(header + 16);
  uint32_t n = fromCache ? static_cast<uint32_t>(entriesLength_) : archiveUint32(header + 20) / kArchiveRecordSize;
  uint32_t oldBytes = n * static_cast<uint32_t>(kArchiveRecordSize);
  if (!regionInFile(indexOffset, oldBytes, fileSize)) {
    plat::setLastError(plat::kErrorHandleEof);
    return false;
  }
  // The new index goes at the end, and the new record must describe bytes
  // that are already in the file.
  uint32_t end = fileSize;
  uint64_t newBytes = static_cast<uint64_t>(oldBytes) + kArchiveRecordSize;
  if (static_cast<uint64_t>(end) + newBytes > kArchiveMaxPosition) {
    plat::setLastError(plat::kErrorFileTooLarge);
    return false;
  }
  if (!regionInFile(nameOffset, nameLength, end) || !regionInFile(dataOffset, dataSize, end)) {
    plat::setLastError(plat::kErrorInvalidParameter);
    return false;
  }
  std::unique_ptr<unsigned char[]> index = allocateBytes(static_cast<size_t>(newBytes));
  if (!index) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return false;
  }
  if (fromCache && oldBytes > 0) std::memcpy(index.get(), indexBytes_.get(), oldBytes);
  if (!fromCache && oldBytes > 0 && !readAt(file, indexOffset, index.get(), oldBytes)) return false;
  unsigned char* record = index.get() + oldBytes;
  putArchiveUint32(record, nameOffset);
  putArchiveUint32(record + 4, nameLength);
  putArchiveUint32(record + 8, dataOffset);
  putArchiveUint32(record + 12, dataSize);
  putArchiveUint32(record + 16, 0);

  // A short index leaves the header pointing at the old index. The name,
  // content and index reach the disk before the header that points at
  // them, so that after a power cut the archive reads through its old
  // index or its new one.
  if (!writeAt(file, end, index.get(), static_cast<uint32_t>(newBytes)) || !file.flush()) return false;
  unsigned char newHeader[kArchiveHeaderSize];
  std::memcpy(newHeader, header, kArchiveHeaderSize);
  putArchiveUint32(newHeader + 16, end);
  putArchiveUint32(newHeader + 20, static_cast<uint32_t>(newBytes));
  if (!writeAt(file, 0, newHeader, kArchiveHeaderSize)) {
    // A torn header would point at neither index: put the old one back.
    uint32_t error = plat::lastError();
    writeAt(file, 0, header, kArchiveHeaderSize);
    plat::setLastError(error);
    return false;
  }
  fileSize_ = end + static_cast<uint32_t>(newBytes);
  if (!fromCache || !extendCache(nameOffset, nameLength, dataOffset, dataSize, end, std::move(index))) {
    indexLoaded_ = false;
    indexState_ = IndexState::Unloaded;
  }
  return true;
}

// The cache as a load of the file just written would fill it: one more
// record, last, and the header that points at the new index.
bool PackageArchive::extendCache(uint32_t nameOffset, uint32_t nameLength, uint32_t dataOffset, uint32_t dataSize,
                                 uint32_t newIndexOffset, std::unique_ptr<unsigned char[]> newIndex) {
  size_t n = entriesLength_;
  if (n + 1 > entriesCapacity_) {
    size_t capacity = std::max<size_t>(2 * entriesCapacity_, 16);
    std::unique_ptr<ArchiveEntryInfo[]> entries(new (std::nothrow) ArchiveEntryInfo[capacity]);
    std::unique_ptr<uint64_t[]> keys(new (std::nothrow) uint64_t[capacity]);
    if (!entries || !keys) return false;
    std::copy(entries_.get(), entries_.get() + n, entries.get());
    std::copy(nameKeys_.get(), nameKeys_.get() + n, keys.get());
    entries_ = std::move(entries);
    nameKeys_ = std::move(keys);
    entriesCapacity_ = capacity;
  }
  // The name as the file holds it, read back: the bytes before its NUL.
  std::unique_ptr<char[]> own(new (std::nothrow) char[nameLength + 1]);
  if (!own || !readAt(*file_, nameOffset, own.get(), nameLength)) return false;
  own[nameLength] = '\0';
  size_t length = std::strlen(own.get());
  entries_[n].dataOffset = dataOffset;
  entries_[n].dataSize = dataSize;
  entries_[n].name = own.get();
  nameKeys_[n] = nameKey(own.get(), length);
  ownNames_.push_back(std::move(own));
  indexBytes_ = std::move(newIndex);
  entriesLength_ = n + 1;
  entryCount_ = static_cast<int32_t>(n + 1);
  if (!keyTable_ || 2 * entriesLength_ > keyTableMask_ + 1)
    buildKeyTable();
  else
    addToKeyTable(static_cast<int32_t>(n));
  putArchiveUint32(loadedHeader_ + 16, newIndexOffset);
  putArchiveUint32(loadedHeader_ + 20, static_cast<uint32_t>((n + 1) * kArchiveRecordSize));
  return true;
}

int32_t PackageArchive::loadedEntryCount() {
  ensureLoaded();
  return entryCount_;
}

const ArchiveEntryInfo* PackageArchive::loadedEntry(int32_t index) {
  ensureLoaded();
  if (index < 0 || index >= entryCount_ || static_cast<size_t>(index) >= entriesLength_) return nullptr;
  return &entries_[index];
}

void PackageArchive::cutBackTo(uint32_t size) {
  if (!writable_ || indexState_ != IndexState::Loaded) return;
  plat::File& file = *file_;
  unsigned char header[kArchiveHeaderSize];
  if (!readHeader(file, header) || std::memcmp(header, loadedHeader_, kArchiveHeaderSize) != 0) return;
  uint32_t indexOffset = archiveUint32(header + 16);
  size_t recordBytes = entriesLength_ * kArchiveRecordSize;
  if (static_cast<uint64_t>(indexOffset) + recordBytes > size) return;
  std::unique_ptr<unsigned char[]> index = allocateBytes(recordBytes);
  if (!index || (recordBytes > 0 && !readAt(file, indexOffset, index.get(), static_cast<uint32_t>(recordBytes))) ||
      std::memcmp(index.get(), indexBytes_.get(), recordBytes) != 0)
    return;
  fileSize_ = std::min(fileSize_, size);
  if (file.seek(size, plat::SeekOrigin::Begin)) file.truncateHere();
}
