#include "archive/source_rule.h"

#include <new>

#include "archive/package_archive.h"
#include "platform/held_folders.h"
#include "platform/platform.h"

SourceOrigin readPackageSource(PackageArchive* package, const char* name, Content* content,
                               const ContentLimits& limits) {
  content->release();
  if (!package) return SourceOrigin::None;
  if (package->readEntry(name, content, limits) && content->present()) return SourceOrigin::Package;
  content->release();
  uint32_t readError = plat::lastError();
  if (!package->holdsEntry(name)) return SourceOrigin::None;
  plat::setLastError(readError == 0 ? kErrorInvalidData : readError);
  return SourceOrigin::Unreadable;
}

SourceOrigin readSourceContent(PackageArchive* package, HeldFolders& updateFolder, const char* name,
                               Content* content, const ContentLimits& limits) {
  SourceOrigin fromPackage = readPackageSource(package, name, content, limits);
  if (fromPackage != SourceOrigin::None) return fromPackage;
  FileSpot spot;
  bool opened = false;
  if (updateFolder.reach(name, false, &spot) && readFileContentIn(*spot.folder, spot.name, content, limits, &opened))
    return SourceOrigin::LooseFile;
  return opened ? SourceOrigin::Unreadable : SourceOrigin::None;
}

std::unique_ptr<PackageArchive> openSourcePackage(HeldFolders& updateFolder, const std::string& path) {
  FileSpot spot;
  plat::File file;
  if (!path.empty() && updateFolder.reach(path, false, &spot))
    file.openIn(*spot.folder, spot.name, plat::kGenericRead, plat::kShareRead | plat::kShareWrite, plat::kOpenExisting);
  return std::unique_ptr<PackageArchive>(new (std::nothrow) PackageArchive(path.c_str(), std::move(file), false));
}
