#include "run/verification.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>

#include "archive/archive_update.h"
#include "archive/package_archive.h"
#include "platform/held_folders.h"
#include "platform/platform.h"
#include "run/run_messages.h"

bool sourceExists(PackageArchive* package, HeldFolders& updateFolder, const char* name) {
  // The apply pass's own rule: a package that lists the name and cannot
  // deliver it fails here already rather than in the middle of the run.
  Content content;
  SourceOrigin origin = readPackageSource(package, name, &content);
  if (origin != SourceOrigin::None) return origin == SourceOrigin::Package;
  return heldFileExists(updateFolder, name);
}

namespace {

// True when the path names an existing file that is not a folder. The
// paths of a list hold no wildcards (the list's path rule refuses them), so
// the path's attributes tell, without a search through its folder.
bool fileExists(const char* path) {
  uint32_t attributes = 0;
  return plat::pathAttributes(path, &attributes) && !(attributes & plat::kAttributeDirectory);
}

VerificationResult stopAt(VerificationStop stop, int pass, int entryIndex, const std::string& path) {
  VerificationResult result;
  result.stop = stop;
  result.pass = pass;
  result.entryIndex = entryIndex;
  result.path = path;
  return result;
}

bool fitsPathBuffer(const std::string& path) { return path.size() < kRunPathSize; }

// Pass 1: every source is in the package selected so far, or a loose file.
VerificationResult verifySources(const UpdateList& list, HeldFolders& updateFolder) {
  std::unique_ptr<PackageArchive> package;
  for (int i = 0; i < list.count; ++i) {
    UpdateEntry entry = updateEntry(list, i);
    if (entry.command == 'P') {
      package.reset();
      if (!fitsPathBuffer(entry.path)) return stopAt(VerificationStop::SourcePathTooLong, 1, i, entry.path);
      // A bare P ends the package.
      if (!entry.path.empty()) package = openSourcePackage(updateFolder, entry.path);
      continue;
    }
    const std::string* source = nullptr;
    if (entry.command == 'C' || entry.command == 'R') source = &entry.path;
    if (entry.command == 'I') source = &entry.sourceName;
    if (source == nullptr) continue;
    if (!fitsPathBuffer(*source)) return stopAt(VerificationStop::SourcePathTooLong, 1, i, *source);
    if (!sourceExists(package.get(), updateFolder, source->c_str()))
      return stopAt(VerificationStop::SourceMissing, 1, i, *source);
  }
  return VerificationResult();
}

bool namesTarget(char command) { return command == 'C' || command == 'R' || command == 'I'; }

// A path that a pass has already found good, so that a target named by
// many entries (an archive, mostly) is looked at once per pass. Nothing is
// written during the passes.
class PathsFound {
 public:
  bool contains(const char* path) const { return paths_.count(path) != 0; }
  void add(const char* path) { paths_.insert(path); }

 private:
  std::unordered_set<std::string> paths_;
};

// Pass 2: every target path can be built, and the targets that must exist do.
VerificationResult verifyTargetsExist(const UpdateList& list, const char* installFolder) {
  PathsFound existing;
  bool verifyTargets = true;
  for (int i = 0; i < list.count; ++i) {
    UpdateEntry entry = updateEntry(list, i);
    if (entry.command == 'E') verifyTargets = true;
    if (entry.command == 'N') verifyTargets = false;
    if (!namesTarget(entry.command)) continue;
    char target[kRunPathSize];
    if (!joinTargetPath(installFolder, entry.path.c_str(), target))
      return stopAt(VerificationStop::TargetPathTooLong, 2, i, std::string(installFolder) + entry.path);
    if (!verifyTargets || entry.command == 'C' || existing.contains(target)) continue;
    if (!fileExists(target)) return stopAt(VerificationStop::TargetMissing, 2, i, target);
    existing.add(target);
  }
  return VerificationResult();
}

bool beginsWithArchiveMagic(const char* path) {
  char magic[sizeof kArchiveMagic] = {};
  plat::File file;
  if (!file.open(path, plat::kGenericRead, plat::kShareRead, plat::kOpenExisting)) return false;
  return file.readExactly(magic, sizeof magic) && std::memcmp(magic, kArchiveMagic, sizeof magic) == 0;
}

// Pass 3: every target archive begins with the archive magic.
VerificationResult verifyArchiveMagic(const UpdateList& list, const char* installFolder) {
  PathsFound archives;
  bool verifyTargets = true;
  for (int i = 0; i < list.count; ++i) {
    UpdateEntry entry = updateEntry(list, i);
    if (entry.command == 'E') verifyTargets = true;
    if (entry.command == 'N') verifyTargets = false;
    if (entry.command != 'I' || !verifyTargets) continue;
    char target[kRunPathSize];
    if (!joinTargetPath(installFolder, entry.path.c_str(), target))
      return stopAt(VerificationStop::TargetPathTooLong, 3, i, std::string(installFolder) + entry.path);
    if (archives.contains(target)) continue;
    if (!beginsWithArchiveMagic(target)) return stopAt(VerificationStop::TargetDamaged, 3, i, target);
    archives.add(target);
  }
  return VerificationResult();
}

}  // namespace

VerificationResult verifyUpdateList(const UpdateList& list, const char* installFolder, HeldFolders& updateFolder) {
  VerificationResult result = verifySources(list, updateFolder);
  if (result.stop == VerificationStop::None) result = verifyTargetsExist(list, installFolder);
  if (result.stop == VerificationStop::None) result = verifyArchiveMagic(list, installFolder);
  return result;
}

const char* verificationMessage(VerificationStop stop) {
  switch (stop) {
    case VerificationStop::None: return nullptr;
    case VerificationStop::SourceMissing:
    case VerificationStop::SourcePathTooLong: return kMessageSourceMissing;
    case VerificationStop::TargetMissing:
    case VerificationStop::TargetPathTooLong: return kMessageTargetMissing;
    case VerificationStop::TargetDamaged: return kMessageTargetDamaged;
  }
  return nullptr;
}
