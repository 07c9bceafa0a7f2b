// The package archive format, and the only code that encodes or decodes
// its header and records.
//
// Layout: a 24-byte header ("QRV001", 10 bytes kept as they are,
// indexOffset, indexSize), then names, contents and an index of 20-byte
// records { nameOffset, nameLength, dataOffset, dataSize, reserved }, all
// little-endian 32-bit values and absolute positions. The index holds
// indexSize / 20 records; a trailing partial record belongs to no entry.
// A name is stored with its NUL, counted in nameLength.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

constexpr uint32_t kArchiveHeaderSize = 24;
constexpr uint32_t kArchiveRecordSize = 20;
constexpr char kArchiveMagic[6] = {'Q', 'R', 'V', '0', '0', '1'};
// Header bytes 6 to 15 are written back as read; a new archive gets these.
constexpr char kNewArchiveFiller[10] = {'S', 'O', 'R', 'E', 'L', 'U', 'N', 'E', '\0', '\0'};
// Positions are handed to the file services as signed 32-bit distances.
constexpr uint32_t kArchiveMaxPosition = 0x7FFFFFFFu;

struct ArchiveHeader {
  unsigned char kept[16] = {};  // the magic and the ten bytes after it
  uint32_t indexOffset = 0;
  uint32_t indexSize = 0;
};

struct ArchiveRecord {
  uint32_t nameOffset = 0;
  uint32_t nameLength = 0;
  uint32_t dataOffset = 0;
  uint32_t dataSize = 0;
  uint32_t reserved = 0;  // 0 in every record this system adds, else kept
};

ArchiveHeader decodeArchiveHeader(const unsigned char* bytes);
void encodeArchiveHeader(const ArchiveHeader& header, unsigned char* bytes);
// The header of a new archive: the magic, the filler and an empty index.
ArchiveHeader newArchiveHeader();
// The first six bytes are the magic: all that tells an archive.
bool startsWithArchiveMagic(const unsigned char* bytes);

void encodeArchiveRecord(const ArchiveRecord& record, unsigned char* bytes);
// A replacement rewrites only these bytes of a record: dataOffset, dataSize.
constexpr uint32_t kRecordContentFieldsAt = 8;
constexpr uint32_t kRecordContentFieldsSize = 8;

// The whole records an index of `indexSize` bytes holds.
inline uint32_t archiveRecordCount(uint32_t indexSize) { return indexSize / kArchiveRecordSize; }

// Whether a file of `size` bytes may grow by `growth`: every position must
// stay within what the format can seek to (below 2 GiB).
bool archiveGrowthFits(uint64_t size, uint64_t growth);
// What an added entry appends: its name with the NUL, its content and a
// new index of `records` + 1 records.
uint64_t addedEntryGrowth(size_t nameLength, uint32_t contentSize, uint32_t records);

// The name rule: bytes 'A'-'Z' fold to 'a'-'z', every other byte must match
// exactly; double-byte characters are not recognised, so a trail byte in
// 'A'-'Z' folds like a letter. Two names are equal exactly when their
// folded forms are.
unsigned char archiveFoldedByte(unsigned char byte);
bool archiveNamesEqual(const char* a, const char* b);
std::string archiveFoldedName(const std::string& name);


inline ArchiveRecord decodeArchiveRecord(const unsigned char* bytes) {
  auto getUint32 = [](const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
  };
  ArchiveRecord record;
  record.nameOffset = getUint32(bytes);
  record.nameLength = getUint32(bytes + 4);
  record.dataOffset = getUint32(bytes + 8);
  record.dataSize = getUint32(bytes + 12);
  record.reserved = getUint32(bytes + 16);
  return record;
}


namespace archive_format_detail {

// Eight bytes with bit 0x20 set in each: a capital becomes its small letter,
// so names equal under the rule give equal words. A few other pairs (such
// as '@' and '`') meet as well, which costs only a comparison.
constexpr uint64_t kSmallBits = 0x2020202020202020ull;

inline uint64_t caseBlindWordAt(const char* bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word | kSmallBits;
}

constexpr uint64_t kHashFactor = 0x9E3779B97F4A7C15ull;

}  // namespace archive_format_detail

// A hash of a name of `length` bytes: names that are equal under the rule
// hash alike. Inline: a load hashes every name.
inline uint64_t archiveNameHash(const char* name, size_t length) {
  using namespace archive_format_detail;
  uint64_t hash = length;
  if (length < 8) {
    uint64_t word = 0;
    std::memcpy(&word, name, length);
    hash = (hash ^ (word | kSmallBits)) * kHashFactor;
  } else {
    // Eight bytes at a time, the last eight overlapping the word before.
    for (size_t at = 0; at + 8 < length; at += 8) hash = (hash ^ caseBlindWordAt(name + at)) * kHashFactor;
    hash = (hash ^ caseBlindWordAt(name + length - 8)) * kHashFactor;
  }
  return hash ^ (hash >> 32);
}
