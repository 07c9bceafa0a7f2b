#include "archive/package_archive.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "platform/platform.h"

namespace {

uint32_t getUint32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

void putUint32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

// A region [offset, offset + length) that can be sought to and read whole
// from a file of fileSize bytes.
bool regionInFile(uint32_t offset, uint64_t length, uint32_t fileSize) {
  return offset <= kArchiveMaxPosition && static_cast<uint64_t>(offset) + length <= fileSize;
}

std::unique_ptr<unsigned char[]> allocateBytes(size_t size) {
  return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size == 0 ? 1 : size]);
}

// One seek and one read of exactly `count` bytes; a read that delivers
// fewer bytes than asked is a failure, never stale buffer bytes.
bool readAt(plat::File& file, uint32_t offset, void* buffer, uint32_t count) {
  if (offset > kArchiveMaxPosition || file.seek(static_cast<int32_t>(offset), plat::SeekOrigin::Begin) != offset)
    return false;
  uint32_t got = 0;
  if (!file.read(buffer, count, &got)) return false;
  if (got != count) {
    plat::setLastError(plat::kErrorHandleEof);
    return false;
  }
  return true;
}

// One seek and one write of exactly `count` bytes; a write that moves the
// file position less than asked is a failure.
bool writeAt(plat::File& file, uint32_t offset, const void* buffer, uint32_t count) {
  if (offset > kArchiveMaxPosition || file.seek(static_cast<int32_t>(offset), plat::SeekOrigin::Begin) != offset)
    return false;
  uint32_t put = 0;
  if (!file.write(buffer, count, &put)) return false;
  if (put != count) {
    plat::setLastError(plat::kErrorWriteFault);
    return false;
  }
  return true;
}

bool readHeader(plat::File& file, unsigned char* header) {
  uint32_t got = 0;
  return file.seek(0, plat::SeekOrigin::Begin) == 0 && file.read(header, kArchiveHeaderSize, &got) &&
         got == kArchiveHeaderSize;
}

unsigned char foldAscii(unsigned char byte) { return byte >= 0x41 && byte <= 0x5A ? byte + 0x20 : byte; }

// Names are read in runs: fields closer together than this are read with
// the bytes between them rather than with a call each.
constexpr uint32_t kNameGapBridged = 4096;
constexpr uint32_t kNameRunLimit = 1u << 20;

struct NameField {
  uint32_t record;
  uint32_t offset;
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

PackageArchive::PackageArchive(const char* path) {
  std::strncpy(path_, path, kArchivePathSize - 1);
  path_[kArchivePathSize - 1] = '\0';
}

PackageArchive::~PackageArchive() { releaseIndex(); }

void PackageArchive::releaseIndex() {
  entries_.reset();
  names_.reset();
  nameLengths_.reset();
  entriesLength_ = 0;
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
  plat::File file;
  if (!file.open(path_, plat::kGenericRead, plat::kShareRead, plat::kOpenExisting)) return;
  indexState_ = IndexState::ReadFault;
  uint32_t fileSize = file.size();
  if (fileSize == plat::kInvalidSize) return;
  if (fileSize < kArchiveHeaderSize) {
    indexState_ = IndexState::NoHeader;
    return;
  }
  unsigned char header[kArchiveHeaderSize];
  if (!readHeader(file, header)) return;

  uint32_t indexOffset = getUint32(header + 16);
  uint32_t indexSize = getUint32(header + 20);
  uint32_t count = indexSize / kArchiveRecordSize;
  // Only whole records are read; a trailing partial record belongs to no
  // entry. An index that does not lie in the file gives no entries.
  uint32_t recordBytes = count * static_cast<uint32_t>(kArchiveRecordSize);
  if (!regionInFile(indexOffset, recordBytes, fileSize)) {
    plat::setLastError(plat::kErrorHandleEof);
    indexState_ = IndexState::Malformed;
    return;
  }
  std::unique_ptr<unsigned char[]> index = allocateBytes(recordBytes);
  std::unique_ptr<ArchiveEntryInfo[]> entries(new (std::nothrow) ArchiveEntryInfo[count == 0 ? 1 : count]);
  std::unique_ptr<uint32_t[]> nameLengths(new (std::nothrow) uint32_t[count == 0 ? 1 : count]);
  if (!index || !entries || !nameLengths) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return;
  }
  if (recordBytes > 0 && !readAt(file, indexOffset, index.get(), recordBytes)) return;

  // A record has a name when its field is not empty and lies in the file;
  // a record without one keeps its place but matches no lookup.
  std::vector<NameField> fields;
  fields.reserve(count);
  bool inOrder = true;
  for (uint32_t i = 0; i < count; ++i) {
    const unsigned char* record = index.get() + static_cast<size_t>(i) * kArchiveRecordSize;
    entries[i].dataOffset = getUint32(record + 8);
    entries[i].dataSize = getUint32(record + 12);
    uint32_t nameOffset = getUint32(record);
    uint32_t nameLength = getUint32(record + 4);
    if (nameLength == 0 || !regionInFile(nameOffset, nameLength, fileSize)) continue;
    if (!fields.empty() && nameOffset < fields.back().offset) inOrder = false;
    fields.push_back(NameField{i, nameOffset, nameLength});
  }
  if (!inOrder)
    std::sort(fields.begin(), fields.end(),
              [](const NameField& a, const NameField& b) { return a.offset < b.offset; });

  // The names together never take more memory than the file holds, however
  // many records share the same name bytes.
  uint64_t nameBudget = fileSize;
  uint64_t fieldBytes = 0;
  for (const NameField& field : fields) fieldBytes += static_cast<uint64_t>(field.length) + 1;
  size_t storeCapacity = static_cast<size_t>(std::min<uint64_t>(fieldBytes, fileSize));
  std::unique_ptr<char[]> names(new (std::nothrow) char[storeCapacity == 0 ? 1 : storeCapacity]);
  if (!names) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return;
  }
  size_t storeUsed = 0;
  std::unique_ptr<unsigned char[]> run;
  uint32_t runCapacity = 0;
  size_t first = 0;
  while (first < fields.size()) {
    uint32_t runStart = fields[first].offset;
    uint64_t runEnd = static_cast<uint64_t>(runStart) + fields[first].length;
    size_t last = first + 1;
    while (last < fields.size()) {
      uint64_t fieldEnd = static_cast<uint64_t>(fields[last].offset) + fields[last].length;
      if (fields[last].offset > runEnd + kNameGapBridged) break;
      if (std::max(runEnd, fieldEnd) - runStart > kNameRunLimit) break;
      runEnd = std::max(runEnd, fieldEnd);
      ++last;
    }
    uint32_t runLength = static_cast<uint32_t>(runEnd - runStart);
    if (runLength > runCapacity) {
      run = allocateBytes(runLength);
      runCapacity = runLength;
      if (!run) {
        plat::setLastError(plat::kErrorNotEnoughMemory);
        return;
      }
    }
    if (!readAt(file, runStart, run.get(), runLength)) return;
    for (size_t f = first; f < last; ++f) {
      const char* field = reinterpret_cast<const char*>(run.get() + (fields[f].offset - runStart));
      // The name is the bytes before the first NUL, or the whole field when
      // it holds none.
      const void* nul = std::memchr(field, 0, fields[f].length);
      size_t length = nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : fields[f].length;
      if (length + 1 > nameBudget) {
        plat::setLastError(plat::kErrorNotEnoughMemory);
        indexState_ = IndexState::Malformed;
        return;
      }
      nameBudget -= length + 1;
      char* name = names.get() + storeUsed;
      std::memcpy(name, field, length);
      name[length] = '\0';
      storeUsed += length + 1;
      entries[fields[f].record].name = name;
      nameLengths[fields[f].record] = static_cast<uint32_t>(length);
    }
    first = last;
  }

  entries_ = std::move(entries);
  names_ = std::move(names);
  nameLengths_ = std::move(nameLengths);
  entriesLength_ = count;
  entryCount_ = static_cast<int32_t>(count);
  loadedIndexOffset_ = indexOffset;
  loadedIndexSize_ = indexSize;
  indexState_ = IndexState::Loaded;
}

int32_t PackageArchive::findEntry(const char* name) const {
  if (entryCount_ <= 0 || !entries_) return -1;
  size_t length = std::strlen(name);
  const unsigned char* wanted = reinterpret_cast<const unsigned char*>(name);
  for (int32_t i = 0; i < entryCount_ && static_cast<size_t>(i) < entriesLength_; ++i) {
    if (!entries_[i].name || nameLengths_[i] != length) continue;
    // Equal lengths: the names are equal when every folded byte agrees.
    // Names of one archive mostly differ near their ends, so the
    // comparison starts there.
    const unsigned char* stored = reinterpret_cast<const unsigned char*>(entries_[i].name);
    size_t at = length;
    while (at > 0 && foldAscii(stored[at - 1]) == foldAscii(wanted[at - 1])) --at;
    if (at == 0) return i;
  }
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
  plat::File file;
  if (!file.open(path_, plat::kGenericRead, plat::kShareRead, plat::kOpenExisting)) return false;
  uint32_t fileSize = file.size();
  if (fileSize == plat::kInvalidSize) return false;
  // Checked against the file before anything is allocated: the buffer is
  // never larger than the file.
  if (!regionInFile(entry.dataOffset, entry.dataSize, fileSize)) {
    plat::setLastError(plat::kErrorHandleEof);
    return false;
  }
  std::unique_ptr<char[]> bytes = allocateContent(entry.dataSize);
  if (!bytes) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return false;
  }
  if (entry.dataSize > 0 && !readAt(file, entry.dataOffset, bytes.get(), entry.dataSize)) return false;
  bytes[entry.dataSize] = '\0';
  content->bytes = std::move(bytes);
  content->size = entry.dataSize;
  return true;
}

bool PackageArchive::relocateEntry(const char* name, uint32_t dataOffset, uint32_t dataSize) {
  ensureLoaded();
  int32_t position = findEntry(name);
  if (position < 0) return false;
  plat::File file;
  if (!file.open(path_, plat::kGenericRead | plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting))
    return false;
  unsigned char header[kArchiveHeaderSize];
  if (!readHeader(file, header)) return false;
  uint32_t indexOffset = getUint32(header + 16);
  uint32_t indexSize = getUint32(header + 20);
  entryCount_ = static_cast<int32_t>(indexSize / kArchiveRecordSize);
  uint32_t fileSize = file.size();
  // The cache position is used as the record position, so the index must
  // still be the one the cache was read from, and the new content must be
  // in the file.
  if (fileSize == plat::kInvalidSize || indexOffset != loadedIndexOffset_ || indexSize != loadedIndexSize_ ||
      !regionInFile(dataOffset, dataSize, fileSize)) {
    plat::setLastError(plat::kErrorInvalidParameter);
    return false;
  }
  uint32_t recordOffset = indexOffset + static_cast<uint32_t>(position) * static_cast<uint32_t>(kArchiveRecordSize);
  if (!regionInFile(recordOffset, kArchiveRecordSize, fileSize)) return false;
  unsigned char record[kArchiveRecordSize];
  if (!readAt(file, recordOffset, record, kArchiveRecordSize)) return false;
  ArchiveEntryInfo& entry = entries_[position];
  if (getUint32(record + 8) != entry.dataOffset || getUint32(record + 12) != entry.dataSize) {
    plat::setLastError(plat::kErrorInvalidParameter);
    return false;
  }
  // Only bytes 8 to 15 of the record change; every other byte of the index
  // would be written back as read, so it is not written at all.
  unsigned char changed[8];
  putUint32(changed, dataOffset);
  putUint32(changed + 4, dataSize);
  if (!writeAt(file, recordOffset + 8, changed, sizeof changed)) {
    // A torn record would point at neither content: put the old bytes back.
    uint32_t error = plat::lastError();
    writeAt(file, recordOffset + 8, record + 8, 8);
    plat::setLastError(error);
    return false;
  }
  entry.dataOffset = dataOffset;
  entry.dataSize = dataSize;
  return true;
}

bool PackageArchive::appendEntry(uint32_t nameOffset, uint32_t nameLength, uint32_t dataOffset, uint32_t dataSize) {
  bool result = writeNewIndex(nameOffset, nameLength, dataOffset, dataSize);
  indexLoaded_ = false;
  indexState_ = IndexState::Unloaded;
  return result;
}

bool PackageArchive::writeNewIndex(uint32_t nameOffset, uint32_t nameLength, uint32_t dataOffset,
                                   uint32_t dataSize) {
  plat::File file;
  if (!file.open(path_, plat::kGenericRead | plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting))
    return false;
  unsigned char header[kArchiveHeaderSize];
  if (!readHeader(file, header)) {
    plat::setLastError(plat::kErrorHandleEof);
    return false;
  }
  uint32_t fileSize = file.size();
  if (fileSize == plat::kInvalidSize) return false;
  uint32_t indexOffset = getUint32(header + 16);
  uint32_t n = getUint32(header + 20) / kArchiveRecordSize;
  entryCount_ = static_cast<int32_t>(n);
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
    plat::setLastError(kErrorFileTooLarge);
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
  if (oldBytes > 0 && !readAt(file, indexOffset, index.get(), oldBytes)) return false;
  unsigned char* record = index.get() + oldBytes;
  putUint32(record, nameOffset);
  putUint32(record + 4, nameLength);
  putUint32(record + 8, dataOffset);
  putUint32(record + 12, dataSize);
  putUint32(record + 16, 0);
  entryCount_ = static_cast<int32_t>(n + 1);

  if (file.seek(0, plat::SeekOrigin::End) != end) return false;
  // A short index leaves the header pointing at the old index.
  if (!writeAt(file, end, index.get(), static_cast<uint32_t>(newBytes))) return false;

  unsigned char newHeader[kArchiveHeaderSize];
  std::memcpy(newHeader, header, kArchiveHeaderSize);
  putUint32(newHeader + 16, end);
  putUint32(newHeader + 20, static_cast<uint32_t>(newBytes));
  if (!writeAt(file, 0, newHeader, kArchiveHeaderSize)) {
    // A torn header would point at neither index: put the old one back.
    uint32_t error = plat::lastError();
    writeAt(file, 0, header, kArchiveHeaderSize);
    plat::setLastError(error);
    return false;
  }
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
