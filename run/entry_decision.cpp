#include "run/entry_decision.h"

#include "archive/package_archive.h"
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

SourceOrigin readSourceContent(PackageArchive* package, const char* name, Content* content,
                               const ContentLimits& limits) {
  SourceOrigin fromPackage = readPackageSource(package, name, content, limits);
  if (fromPackage != SourceOrigin::None) return fromPackage;
  bool opened = false;
  if (readFileContent(name, content, limits, &opened)) return SourceOrigin::LooseFile;
  return opened ? SourceOrigin::Unreadable : SourceOrigin::None;
}
