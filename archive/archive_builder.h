// Writes a package archive from scratch, for tests, sample data and the
// publisher tool. The updater itself never creates an archive.
#pragma once

#include <string>
#include <vector>

struct ArchiveBuilderEntry {
  std::string name;     // CP932, without the NUL
  std::string content;  // raw bytes
};

// Header "QRV001", ten filler bytes, then each name with its NUL and its
// content, then the index of 20-byte records.
std::string buildArchiveBytes(const std::vector<ArchiveBuilderEntry>& entries);

bool writeArchiveFile(const char* path, const std::vector<ArchiveBuilderEntry>& entries);
