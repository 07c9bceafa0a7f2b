// Any file as a package archive, then a sequence of insertions into it as
// the run makes them: replacements and additions, identical, empty and
// missing sources, from loose files or a source package (a good one, or the
// input itself), with the kept index used or dropped, and with one read or
// write spoiled. After every step:
// - a failed insertion left a code and the file byte for byte as it was;
// - a successful one either changed nothing, or kept every other record's
//   name and (readable) content, and the entry now reads back the source's
//   content; the count moved by one exactly when the file changed.
//
// The input is the archive followed by the steps: its last byte gives the
// number of step bytes before it (two per step); 0 runs a replacement of
// the first named entry and an addition.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive_builder.h"
#include "archive/archive_update.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/run_state.h"

#ifdef _WIN32
#include <process.h>
#define currentProcessId _getpid
#else
#include <unistd.h>
#define currentProcessId getpid
#endif

namespace {

// Files of this process's own, so that runs side by side do not meet;
// rewritten for every input and removed when the process ends.
struct ScratchFiles {
  std::string stem = "fuzz_archive_" + std::to_string(currentProcessId());
  std::string archive = stem + ".qrv";
  std::string source = stem + ".src";
  std::string goodPackage = stem + "_good.pak";
  std::string inputPackage = stem + "_input.pak";
  ~ScratchFiles() {
    for (const std::string* path : {&archive, &source, &goodPackage, &inputPackage}) plat::deleteFile(path->c_str());
  }
};
ScratchFiles scratch;

void require(bool condition) {
  if (!condition) std::abort();
}

bool writeWhole(const std::string& path, const std::string& bytes) {
  plat::File file;
  if (!file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways)) return false;
  uint32_t written = 0;
  return file.write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written) && written == bytes.size();
}

std::string readWhole(const std::string& path) {
  Content content;
  require(readWholeFile(path.c_str(), &content));
  return std::string(content.bytes.get(), content.size);
}

// One read or write of a step spoiled: it fails, or moves fewer bytes.
class SpoilOneCall : public plat::IoFaultHook {
 public:
  SpoilOneCall(int k, int kind) : k_(k), kind_(kind) { plat::setIoFaultHook(this); }
  ~SpoilOneCall() override { plat::setIoFaultHook(nullptr); }
  bool beforeRead(uint32_t* count) override { return spoil(count); }
  bool beforeWrite(uint32_t* count) override { return spoil(count); }

 private:
  bool spoil(uint32_t* count) {
    if (++calls_ != k_) return true;
    if (kind_ == 0) return false;
    *count = kind_ == 1 ? *count / 2 : (*count > 0 ? *count - 1 : 0);
    return true;
  }
  int k_;
  int kind_;
  int calls_ = 0;
};

// What a fresh load of the archive shows, record by record.
struct Snapshot {
  std::string bytes;
  PackageArchive::IndexState state = PackageArchive::IndexState::Unloaded;
  bool layoutAllowsChanges = false;
  std::vector<const char*> names;
  std::vector<std::string> nameText;
  std::vector<bool> readable;
  std::vector<std::string> contents;
  std::unique_ptr<PackageArchive> archive;

  explicit Snapshot(const std::string& path) : bytes(readWhole(path)), archive(new PackageArchive(path.c_str())) {
    int32_t count = archive->loadedEntryCount();
    state = archive->indexState();
    layoutAllowsChanges = archive->layoutAllowsChanges();
    require(count >= 0 && static_cast<uint64_t>(count) <= bytes.size() / kArchiveRecordSize);
    for (int32_t i = 0; i < count; ++i) {
      const ArchiveEntryInfo* entry = archive->loadedEntry(i);
      require(entry != nullptr);
      names.push_back(entry->name);
      nameText.push_back(entry->name ? entry->name : "");
      // A record's content straight from the file, as readEntry would take it.
      uint64_t end = static_cast<uint64_t>(entry->dataOffset) + entry->dataSize;
      readable.push_back(entry->dataOffset <= kArchiveMaxPosition && end <= bytes.size());
      contents.push_back(readable.back() ? bytes.substr(entry->dataOffset, entry->dataSize) : std::string());
    }
  }
  size_t count() const { return names.size(); }
  // The record a lookup of that name finds, or count() for none.
  size_t find(const std::string& name) const {
    for (size_t i = 0; i < count(); ++i)
      if (names[i] && archiveNamesEqual(names[i], name.c_str())) return i;
    return count();
  }
};

std::string firstNamed(const Snapshot& snapshot, unsigned choice) {
  std::vector<size_t> named;
  for (size_t i = 0; i < snapshot.count(); ++i)
    if (snapshot.names[i] && snapshot.nameText[i].size() < 200) named.push_back(i);
  if (named.empty()) return "a";
  return snapshot.nameText[named[choice % named.size()]];
}

// One insertion and the property after it.
void step(int number, uint8_t op, uint8_t arg) {
  const std::string& target = scratch.archive;
  Snapshot before(target);

  std::string entryName;
  std::string sourceName = scratch.source;
  std::string content = std::string(arg % 29, static_cast<char>('a' + number)) + std::to_string(number);
  switch (op % 8) {
    case 0: entryName = firstNamed(before, arg); break;
    case 1: entryName = "new" + std::to_string(arg % 4); break;
    case 2: {  // the content it already holds
      entryName = firstNamed(before, arg);
      size_t at = before.find(entryName);
      if (at < before.count() && before.readable[at]) content = before.contents[at];
      break;
    }
    case 3:  // a source package: none, a good one, or the input itself
      runState.currentPackage.reset();
      if (arg % 3 == 1) runState.currentPackage.reset(new PackageArchive(scratch.goodPackage.c_str()));
      if (arg % 3 == 2) runState.currentPackage.reset(new PackageArchive(scratch.inputPackage.c_str()));
      return;
    case 4: forgetTargetArchives(); return;
    case 5: entryName = arg & 1 ? "new0" : firstNamed(before, arg >> 1); content.clear(); break;
    case 6: entryName = arg & 1 ? "new1" : firstNamed(before, arg >> 1); sourceName = "missing source"; break;
    case 7: entryName = arg & 1 ? "new2" : firstNamed(before, arg >> 1); break;
  }
  // Package entries "s0" to "s3" hold the good package's contents; other
  // names come from the loose file.
  if (runState.currentPackage && (arg & 0x10) && op % 8 != 6) sourceName = "s" + std::to_string(arg % 4);
  require(writeWhole(scratch.source, content));

  // The source's content by the run's own rule, from objects of its own.
  Content expected;
  SourceOrigin origin;
  {
    std::unique_ptr<PackageArchive> package;
    if (runState.currentPackage) package.reset(new PackageArchive(runState.currentPackage->path()));
    origin = readSourceContent(package.get(), sourceName.c_str(), &expected);
  }

  int countBefore = runState.changedFileCount;
  plat::setLastError(0);
  bool result;
  if (op % 8 == 7) {
    SpoilOneCall spoil(1 + (arg >> 2) % 12, (arg >> 6) % 3);
    result = insertIntoArchive(target.c_str(), sourceName.c_str(), entryName.c_str());
  } else {
    result = insertIntoArchive(target.c_str(), sourceName.c_str(), entryName.c_str());
  }
  uint32_t error = plat::lastError();
  int counted = runState.changedFileCount - countBefore;
  std::string bytesAfter = readWhole(target);

  if (!result) {
    require(error != 0);
    require(counted == 0);
    require(bytesAfter == before.bytes);
    return;
  }
  if (bytesAfter == before.bytes) {
    require(counted == 0);
    return;
  }
  // Something was written: only into an archive whose layout allows it,
  // and only for a source that delivered content.
  require(counted == 1);
  require(before.state == PackageArchive::IndexState::Loaded && before.layoutAllowsChanges);
  require(origin == SourceOrigin::Package || origin == SourceOrigin::LooseFile);
  std::string incoming(expected.bytes.get(), expected.size);

  Snapshot after(target);
  require(after.state == PackageArchive::IndexState::Loaded);
  size_t changed = before.find(entryName);
  bool added = changed == before.count();
  require(after.count() == before.count() + (added ? 1 : 0));
  for (size_t i = 0; i < before.count(); ++i) {
    if (i == changed) continue;
    require((before.names[i] == nullptr) == (after.names[i] == nullptr));
    require(before.nameText[i] == after.nameText[i]);
    if (before.readable[i]) require(after.readable[i] && after.contents[i] == before.contents[i]);
  }
  if (!added) require(after.nameText[changed] == before.nameText[changed]);
  size_t found = after.find(entryName);
  require(found == (added ? before.count() : changed));
  require(after.readable[found] && after.contents[found] == incoming);
  Content read;
  require(after.archive->readEntry(entryName.c_str(), &read));
  require(std::string(read.bytes.get(), read.size) == incoming);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  size_t stepBytes = size > 0 ? data[size - 1] : 0;
  if (size == 0 || stepBytes > size - 1) stepBytes = 0;
  size_t archiveSize = size == 0 ? 0 : size - 1 - stepBytes;
  // The default, for inputs without steps: a replacement, then an addition.
  std::vector<uint8_t> steps = {0, 0, 1, 0};
  if (stepBytes >= 2) steps.assign(data + archiveSize, data + archiveSize + (stepBytes & ~size_t{1}));
  if (steps.size() > 16) steps.resize(16);

  // Every input starts afresh: no index kept, no package, the count at 0.
  forgetTargetArchives();
  runState.currentPackage.reset();
  runState.changedFileCount = 0;
  std::string archive(reinterpret_cast<const char*>(data), archiveSize);
  require(writeWhole(scratch.archive, archive));
  require(writeWhole(scratch.inputPackage, archive));
  static bool packageWritten = false;
  if (!packageWritten) {
    require(writeArchiveFile(scratch.goodPackage.c_str(),
                             {{"s0", "zero"}, {"s1", ""}, {"S2", "from the package"}, {"s3", std::string(300, 'p')}}));
    packageWritten = true;
  }
  for (size_t i = 0; i + 1 < steps.size(); i += 2) step(static_cast<int>(i / 2), steps[i], steps[i + 1]);
  forgetTargetArchives();
  runState.currentPackage.reset();
  return 0;
}
