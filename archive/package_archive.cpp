// Placeholder until the archive reader lands.
#include "archive/package_archive.h"

#include <cstring>

PackageArchive::PackageArchive(const char* path) {
  std::strncpy(path_, path, kArchivePathSize - 1);
  path_[kArchivePathSize - 1] = '\0';
}
PackageArchive::~PackageArchive() = default;
bool PackageArchive::readEntry(const char*, Content*) { return false; }
