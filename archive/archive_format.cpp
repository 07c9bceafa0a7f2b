#include "archive/archive_format.h"

#include <algorithm>
#include <cstring>

namespace {

uint32_t getUint32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

void putUint32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

ArchiveHeader decodeArchiveHeader(const unsigned char* bytes) {
  ArchiveHeader header;
  std::memcpy(header.kept, bytes, sizeof header.kept);
  header.indexOffset = getUint32(bytes + 16);
  header.indexSize = getUint32(bytes + 20);
  return header;
}

void encodeArchiveHeader(const ArchiveHeader& header, unsigned char* bytes) {
  std::memcpy(bytes, header.kept, sizeof header.kept);
  putUint32(bytes + 16, header.indexOffset);
  putUint32(bytes + 20, header.indexSize);
}

ArchiveHeader newArchiveHeader() {
  ArchiveHeader header;
  std::memcpy(header.kept, kArchiveMagic, sizeof kArchiveMagic);
  std::memcpy(header.kept + sizeof kArchiveMagic, kNewArchiveFiller, sizeof kNewArchiveFiller);
  return header;
}

bool startsWithArchiveMagic(const unsigned char* bytes) {
  return std::memcmp(bytes, kArchiveMagic, sizeof kArchiveMagic) == 0;
}

void encodeArchiveRecord(const ArchiveRecord& record, unsigned char* bytes) {
  putUint32(bytes, record.nameOffset);
  putUint32(bytes + 4, record.nameLength);
  putUint32(bytes + 8, record.dataOffset);
  putUint32(bytes + 12, record.dataSize);
  putUint32(bytes + 16, record.reserved);
}

bool archiveGrowthFits(uint64_t size, uint64_t growth) {
  return size <= kArchiveMaxPosition && growth <= kArchiveMaxPosition - size;
}

uint64_t addedEntryGrowth(size_t nameLength, uint32_t contentSize, uint32_t records) {
  return nameLength + 1 + static_cast<uint64_t>(contentSize) + (static_cast<uint64_t>(records) + 1) * kArchiveRecordSize;
}

unsigned char archiveFoldedByte(unsigned char byte) { return byte >= 'A' && byte <= 'Z' ? byte + 0x20 : byte; }

bool archiveNamesEqual(const char* a, const char* b) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
  for (;; ++x, ++y) {
    if (archiveFoldedByte(*x) != archiveFoldedByte(*y)) return false;
    if (*x == 0) return true;
  }
}

std::string archiveFoldedName(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) c = static_cast<char>(archiveFoldedByte(static_cast<unsigned char>(c)));
  return folded;
}

