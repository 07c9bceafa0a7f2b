// Any file as a package archive, then a sequence of insertions into it as
// the run makes them: replacements and additions, identical, empty and
// missing sources, from loose files or a source package (a good one, or the
// input itself), with the held target kept or let go, and with one read or
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
#include <memory>
#include <string>
#include <vector>

#include "archive/archive_update.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/run_state.h"
#include "tests/support/fault_plan.h"
#include "tests/support/test_files.h"

namespace {

// Rewritten for every input; removed with the folder when the process ends.
const TempFolder scratch;
const std::string kTarget = scratch / "target.qrv", kSourceName = "source", kSource = scratch / kSourceName;
const std::string kGoodPackage = scratch / "good.pak", kInputPackage = scratch / "input.pak";

void require(bool condition) {
  if (!condition) std::abort();
}

struct Record {
  bool named, readable;
  std::string name, content;  // the content straight from the file, as readEntry takes it
};

// What a fresh load of the archive shows, record by record.
struct Snapshot {
  std::string bytes;
  PackageArchive archive;
  std::vector<Record> records;

  explicit Snapshot(const std::string& path) : bytes(readFileOrEmpty(path)), archive(path.c_str()) {
    int32_t count = archive.loadedEntryCount();
    require(count >= 0 && static_cast<uint64_t>(count) <= bytes.size() / kArchiveRecordSize);
    for (int32_t i = 0; i < count; ++i) {
      const ArchiveEntryInfo* entry = archive.loadedEntry(i);
      require(entry != nullptr);
      bool readable = entry->dataOffset <= kArchiveMaxPosition &&
                      static_cast<uint64_t>(entry->dataOffset) + entry->dataSize <= bytes.size();
      records.push_back({entry->name != nullptr, readable, entry->name ? entry->name : "",
                         readable ? bytes.substr(entry->dataOffset, entry->dataSize) : ""});
    }
  }
  // The record a lookup of that name finds, or records.size() for none.
  size_t find(const std::string& name) const {
    for (size_t i = 0; i < records.size(); ++i)
      if (records[i].named && archiveNamesEqual(records[i].name.c_str(), name.c_str())) return i;
    return records.size();
  }
  // A held name, picked by `choice`.
  std::string pick(unsigned choice) const {
    std::vector<const Record*> named;
    for (const Record& record : records)
      if (record.named && record.name.size() < 200) named.push_back(&record);
    return named.empty() ? "a" : named[choice % named.size()]->name;
  }
};

// One insertion and the property after it.
void step(int number, uint8_t op, uint8_t arg) {
  Snapshot before(kTarget);
  unsigned kind = op % 8;
  std::string entryName = before.pick(kind >= 5 ? arg >> 1 : arg);
  std::string sourceName = kSourceName;
  std::string content = std::string(arg % 29, static_cast<char>('a' + number)) + std::to_string(number);
  if (kind == 1) entryName = "new" + std::to_string(arg % 4);
  if (kind >= 5 && (arg & 1)) entryName = "new" + std::to_string(kind - 5);
  if (kind == 2) {  // the content it already holds
    size_t at = before.find(entryName);
    if (at < before.records.size() && before.records[at].readable) content = before.records[at].content;
  }
  if (kind == 3) {  // a source package: none, a good one, or the input itself
    const std::string* paths[] = {nullptr, &kGoodPackage, &kInputPackage};
    const std::string* path = paths[arg % 3];
    runState.currentPackage.reset(path ? new PackageArchive(path->c_str()) : nullptr);
    return;
  }
  if (kind == 4) return releaseTargetArchive();
  if (kind == 5) content.clear();
  if (kind == 6) sourceName = "missing source";
  // Package entries "s0" to "s3" hold the good package's contents; other
  // names come from the loose file.
  if (runState.currentPackage && (arg & 0x10) && kind != 6) sourceName = "s" + std::to_string(arg % 4);
  require(writeFile(kSource, content));

  // The source's content by the run's own rule, from objects of its own.
  Content expected;
  std::unique_ptr<PackageArchive> package(runState.currentPackage ? new PackageArchive(runState.currentPackage->path())
                                                                  : nullptr);
  SourceOrigin origin =
      readSourceContent(package.get(), runState.updateFolder, sourceName.c_str(), &expected, kContentsHeldWhole);

  int countBefore = runState.changedFileCount;
  plat::setLastError(0);
  bool result;
  {
    // Steps of kind 7 spoil one read or write (k = 0 spoils nothing).
    const FaultPlan::Spoil spoils[] = {FaultPlan::Spoil::Fail, FaultPlan::Spoil::Half, FaultPlan::Spoil::OneShort};
    FaultPlan plan(FaultPlan::kReads | FaultPlan::kWrites, kind == 7 ? 1 + (arg >> 2) % 12 : 0,
                   spoils[(arg >> 6) % 3]);
    result = insertIntoArchive("target.qrv", sourceName.c_str(), entryName.c_str());
  }
  uint32_t error = plat::lastError();
  int counted = runState.changedFileCount - countBefore;
  std::string bytesAfter = readFileOrEmpty(kTarget);

  if (!result) require(error != 0);
  if (!result || bytesAfter == before.bytes) {
    require(counted == 0 && bytesAfter == before.bytes);
    return;
  }
  // Something was written: only into an archive whose layout allows it,
  // and only for a source that delivered content.
  require(counted == 1 && before.archive.layoutAllowsChanges());
  require(origin == SourceOrigin::Package || origin == SourceOrigin::LooseFile);

  Snapshot after(kTarget);
  require(after.archive.indexState() == PackageArchive::IndexState::Loaded);
  size_t changed = before.find(entryName);
  bool added = changed == before.records.size();
  require(after.records.size() == before.records.size() + (added ? 1 : 0));
  for (size_t i = 0; i < before.records.size(); ++i) {
    const Record &was = before.records[i], &is = after.records[i];
    require(was.named == is.named && was.name == is.name);
    if (was.readable && i != changed) require(is.readable && is.content == was.content);
  }
  size_t found = after.find(entryName);
  require(found == (added ? before.records.size() : changed) && after.records[found].readable);
  require(after.records[found].content == std::string(expected.bytes.get(), expected.size));
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

  // Every input starts afresh: no target held, no package, the count at 0.
  // Loose sources lie in the update folder, the current one.
  static CurrentDirectory inScratch(scratch.path());
  runState.targetFolders.reset(scratch.path());
  runState.updateFolder.holdCurrentFolder();
  releaseTargetArchive();
  runState.currentPackage.reset();
  runState.changedFileCount = 0;
  std::string archive(reinterpret_cast<const char*>(data), archiveSize);
  require(writeFile(kTarget, archive) && writeFile(kInputPackage, archive));
  static const bool packageWritten = writeArchiveFile(
      kGoodPackage, {{"s0", "zero"}, {"s1", ""}, {"S2", "from the package"}, {"s3", std::string(300, 'p')}});
  require(packageWritten);
  for (size_t i = 0; i + 1 < steps.size(); i += 2) step(static_cast<int>(i / 2), steps[i], steps[i + 1]);
  releaseTargetArchive();
  runState.currentPackage.reset();
  return 0;
}
