#include "archive/archive_builder.h"

#include <cstdint>

#include "archive/package_archive.h"
#include "platform/platform.h"

namespace {

void putUint32(std::string* out, uint32_t value) {
  unsigned char bytes[4];
  putArchiveUint32(bytes, value);
  out->append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void setUint32(std::string* out, size_t at, uint32_t value) {
  putArchiveUint32(reinterpret_cast<unsigned char*>(&(*out)[at]), value);
}

}  // namespace

std::string buildArchiveBytes(const std::vector<ArchiveBuilderEntry>& entries) {
  std::string bytes(kArchiveMagic, sizeof kArchiveMagic);
  bytes += "SORELUNE\0\0";  // bytes 6 to 15 are free for a writer of new archives
  bytes.resize(kArchiveHeaderSize, '\0');
  std::string index;
  for (const ArchiveBuilderEntry& entry : entries) {
    uint32_t nameOffset = static_cast<uint32_t>(bytes.size());
    bytes += entry.name;
    bytes.push_back('\0');
    uint32_t dataOffset = static_cast<uint32_t>(bytes.size());
    bytes += entry.content;
    putUint32(&index, nameOffset);
    putUint32(&index, static_cast<uint32_t>(entry.name.size() + 1));
    putUint32(&index, dataOffset);
    putUint32(&index, static_cast<uint32_t>(entry.content.size()));
    putUint32(&index, 0);
  }
  setUint32(&bytes, 16, static_cast<uint32_t>(bytes.size()));
  setUint32(&bytes, 20, static_cast<uint32_t>(index.size()));
  bytes += index;
  return bytes;
}

bool writeArchiveFile(const char* path, const std::vector<ArchiveBuilderEntry>& entries) {
  std::string bytes = buildArchiveBytes(entries);
  plat::File file;
  if (!file.open(path, plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways)) return false;
  return file.writeExactly(bytes.data(), static_cast<uint32_t>(bytes.size()));
}
