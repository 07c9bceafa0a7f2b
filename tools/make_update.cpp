#include "tools/make_update.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "archive/archive_writer.h"
#include "archive/package_archive.h"
#include "list/update_list.h"
#include "platform/overlay.h"
#include "platform/platform.h"
#include "run/setup_log.h"
#include "tools/apply_update.h"
#include "tools/archive_commands.h"
#include "tools/compare_trees.h"
#include "tools/progress.h"

namespace {

// A list line keeps its fields and its LF within one 255-byte piece.
constexpr size_t kLongestListLine = kListLineBufferSize - 2;

constexpr char kUpdaterName[] = "SoreluneUpdate.exe";

// The updater holds a loose file's content whole, counted in 32 bits.
constexpr uint64_t kLargestLooseFile = 0xFFFFFFFEull;

// What a proof's overlay keeps in memory before its scratch file.
constexpr uint64_t kProofMemory = 8u << 20;

// Identical contents are looked for among this many earlier ones of a size.
constexpr size_t kSharingCandidates = 8;

struct PlannedEntry {
  char command = 0;
  std::string path;        // target, relative to the install folder
  std::string sourceName;  // what the list names as the source
  std::string entryName;   // for I
  // Where the new bytes lie in NEW_DIR: the whole file `from`, or (an
  // archive entry) `newBytes` bytes at `offset` of the archive `from`.
  std::string from;
  bool wholeFile = true;
  uint32_t offset = 0;
  uint64_t newBytes = 0;
  int64_t oldBytes = -1;  // in the first old tree that holds it otherwise
  bool inPackage = false;
};

// Something the update leaves out or cannot do, with a stable code.
struct Problem {
  std::string code;
  std::string message;  // UTF-8
};

// The difference a limit of the updater leaves after the run: the key of a
// TreeDifference, and why.
std::string differenceKey(TreeDifference::Kind kind, const std::string& path, const std::string& entry = "") {
  return std::string(differenceCode(kind)) + "|" + windowsFoldedName(path) + "|" + archiveFoldedName(entry);
}

// One old tree the update is for.
struct OldTree {
  std::string operand;  // as typed
  std::string folder;   // CP932, ending with a backslash
  std::vector<std::string> files;
  std::map<std::string, std::string> byFolded;
  std::vector<Problem> limits;              // what the updater cannot do on this tree
  std::map<std::string, std::string> left;  // the differences they leave, by key: why
  std::vector<std::string> proof;           // UTF-8: what the proof found
  bool fault = false;                       // a difference no limit explains
};

// An archive that every old tree holds: its entries that differ in any of
// them, and what each way of sending it costs.
struct ArchivePlan {
  std::string path;
  std::vector<PlannedEntry> entries;
  uint64_t wholeBytes = 0;   // the archive sent whole
  uint64_t download = 0;     // the entries' contents
  uint64_t growth = 0;       // what the entries add to the archive, on the old tree it grows most on
  std::vector<std::pair<size_t, std::string>> removed;  // old tree, entry gone from NEW_DIR
  std::string mustGoWhole;   // why entries cannot carry it; empty when either way may
  bool whole = false;
  int64_t oldBytes = -1;
};

struct MakeState {
  std::vector<OldTree> olds;
  std::string newFolder, outFolder, packageName;
  std::string updater;  // CP932 path of the updater to copy, or empty
  bool skipUnnameable = false;
  bool unnameableLeft = false;  // NEW_DIR holds a file the update cannot carry and nobody said to skip it
  bool wholeArchives = false, entriesOnly = false;
  // C and R in file order (whole archives last), then I in archive and
  // entry order.
  std::vector<PlannedEntry> entries;
  std::vector<ArchivePlan> archives;
  std::vector<Problem> problems;      // for every old tree
  std::map<std::string, std::string> leftEverywhere;  // differences every old tree keeps, by key: why
  std::vector<std::string> notes;     // UTF-8
  std::vector<std::string> skipped;   // UTF-8: files left out because CP932 cannot name them
  std::vector<std::string> choices;   // UTF-8: whole or entries, for each archive
  std::set<std::string> sourceNames;  // folded: package entries and loose files share one namespace
};

// What the written update holds.
struct WrittenUpdate {
  int packageEntries = 0;
  int sharedEntries = 0;  // entries whose content another entry already holds
  uint64_t packageBytes = 0;
  int looseFiles = 0;
};

std::string fileNameOf(const std::string& path) { return cp932PathParts(path).back(); }

// A file, or an entry of the archive `path`, that the update leaves out: a
// problem for every old tree, each of which keeps it missing or different.
// (No entry with an empty name gets here: its archive goes whole.)
void leftOut(MakeState* state, const char* code, const std::string& why, const std::string& path,
             const std::string& entry = "") {
  std::string message = quoted(path) + ": " + why;
  state->problems.push_back({code, message});
  bool inArchive = !entry.empty();
  for (TreeDifference::Kind kind : {inArchive ? TreeDifference::MissingEntry : TreeDifference::Missing,
                                    inArchive ? TreeDifference::DifferentEntry : TreeDifference::Different})
    state->leftEverywhere[differenceKey(kind, path, entry)] = message;
}

void leftOn(OldTree* old, const char* code, const std::string& message, TreeDifference::Kind kind,
            const std::string& path, const std::string& entry = "") {
  old->limits.push_back({code, message});
  old->left[differenceKey(kind, path, entry)] = message;
}

bool sameFiles(const std::string& first, const std::string& second, Progress* progress, bool* same,
               std::string* failedPath) {
  Content a, b;
  if (!readFileContent(first.c_str(), &a, kContentsCompared)) return *failedPath = first, false;
  if (!readFileContent(second.c_str(), &b, kContentsCompared)) return *failedPath = second, false;
  return sameBytes(a, first, b, second, progress->pieces(), same, failedPath);
}

bool sameEntries(PackageArchive& first, int32_t firstRecord, PackageArchive& second, int32_t secondRecord, bool* same,
                 std::string* failedPath) {
  Content a, b;
  if (!first.readEntryAt(firstRecord, &a, kContentsCompared)) return *failedPath = first.path(), false;
  if (!second.readEntryAt(secondRecord, &b, kContentsCompared)) return *failedPath = second.path(), false;
  return sameBytes(a, first.path(), b, second.path(), {}, same, failedPath);
}

// A source name for an archive entry, taken from the names still free: the
// archive's path and the entry's name, or a numbered name when that is
// taken or too long for the line; empty when even a numbered name makes the
// line too long.
std::string entrySourceName(MakeState* state, const std::string& archive, const std::string& entry) {
  size_t otherFields = 4 + archive.size() + entry.size();  // "I", three tabs, the archive and the entry
  std::string name = archive + "\\" + entry;
  for (int serial = 1; otherFields + name.size() > kLongestListLine ||
                       state->sourceNames.count(archiveFoldedName(name)) || !listPathProblem(name).empty();
       ++serial) {
    name = "entry" + std::to_string(serial);
    if (otherFields + name.size() > kLongestListLine) return "";  // the next ones are no shorter
  }
  state->sourceNames.insert(archiveFoldedName(name));
  return name;
}

void planLoose(MakeState* state, char command, const std::string& path, const std::string& from, uint64_t newBytes,
               int64_t oldBytes) {
  if (2 + path.size() > kLongestListLine)
    return leftOut(state, "line-too-long", "the path is too long for a line of the list", path);
  if (!state->sourceNames.insert(archiveFoldedName(path)).second)
    return leftOut(state, "name-taken", "another source of the update folder already has this name", path);
  PlannedEntry entry;
  entry.command = command;
  entry.path = path;
  entry.sourceName = path;
  entry.from = from;
  entry.newBytes = newBytes;
  entry.oldBytes = oldBytes;
  state->entries.push_back(std::move(entry));
}

// Entry by entry, by the archive's own name matching, against every old
// tree (each holds a sound archive at `path`). False after an I/O error
// (*failedPath names the file).
bool planArchive(MakeState* state, const std::string& path, uint64_t wholeBytes, int64_t oldBytes,
                 std::string* failedPath) {
  ArchivePlan plan;
  plan.path = path;
  plan.wholeBytes = wholeBytes;
  plan.oldBytes = oldBytes;
  std::string newPath = state->newFolder + path;
  PackageArchive newArchive(newPath.c_str());
  std::vector<std::unique_ptr<PackageArchive>> olds;
  std::vector<uint64_t> growth(state->olds.size(), 0);
  std::vector<uint32_t> records(state->olds.size(), 0);
  if (indexReadFailed(newArchive)) return *failedPath = newPath, false;
  for (size_t j = 0; j < state->olds.size(); ++j) {
    olds.emplace_back(new PackageArchive((state->olds[j].folder + path).c_str()));
    if (indexReadFailed(*olds[j])) return *failedPath = olds[j]->path(), false;
    records[j] = static_cast<uint32_t>(olds[j]->loadedEntryCount());
  }
  std::set<std::string> seen;
  for (int32_t i = 0; i < newArchive.loadedEntryCount(); ++i) {
    const ArchiveEntryInfo* info = newArchive.loadedEntry(i);
    std::string name = info && info->name ? info->name : "";
    if (!seen.insert(archiveFoldedName(name)).second) {
      state->notes.push_back(quoted(path) + ": entry " + std::to_string(i + 1) + " " + quoted(name) +
                             " repeats an earlier name and is never read; it is left out");
      continue;
    }
    PlannedEntry entry;
    entry.command = 'I';
    entry.path = path;
    entry.entryName = name;
    entry.from = newPath;
    entry.wholeFile = false;
    entry.offset = info->dataOffset;
    entry.newBytes = info->dataSize;
    bool differs = false;
    for (size_t j = 0; j < olds.size(); ++j) {
      // The first record of a name is the one the updater reads.
      int32_t stored = olds[j]->findLoadedEntry(name.c_str());
      const ArchiveEntryInfo* before = stored >= 0 ? olds[j]->loadedEntry(stored) : nullptr;
      bool same = false;
      if (before != nullptr && before->dataSize == info->dataSize &&
          !sameEntries(*olds[j], stored, newArchive, i, &same, failedPath))
        return false;
      if (same) continue;
      differs = true;
      if (before != nullptr && entry.oldBytes < 0) entry.oldBytes = before->dataSize;
      if (before == nullptr && info->dataSize == 0 && plan.mustGoWhole.empty())
        plan.mustGoWhole = "the new entry " + quoted(name) + " is empty, and the updater adds no empty entry";
      growth[j] += before != nullptr ? info->dataSize : addedEntryGrowth(name.size(), info->dataSize, records[j]++);
    }
    if (!differs) continue;
    if ((name.empty() || holdsListWhiteSpace(name)) && plan.mustGoWhole.empty())
      plan.mustGoWhole = "the entry name " + quoted(name) + " cannot be written in a list";
    plan.download += entry.newBytes;
    plan.entries.push_back(std::move(entry));
  }
  for (size_t j = 0; j < olds.size(); ++j) {
    plan.growth = std::max(plan.growth, growth[j]);
    for (int32_t i = 0; i < olds[j]->loadedEntryCount(); ++i) {
      const ArchiveEntryInfo* info = olds[j]->loadedEntry(i);
      std::string name = info && info->name ? info->name : "";
      if (!seen.count(archiveFoldedName(name))) plan.removed.emplace_back(j, name);
    }
  }
  if (!plan.entries.empty() || !plan.removed.empty()) state->archives.push_back(std::move(plan));
  return true;
}

// The trees as listed, with the sizes of NEW_DIR's files.
struct Trees {
  std::vector<std::string> newFiles;
  std::vector<uint64_t> newSizes;
  uint64_t newBytes = 0;
  std::map<std::string, std::string> reshapedNotes;  // by CP932 path: said only when the file is sent
};

bool listTrees(MakeState* state, Trees* trees, ToolOutput* output) {
  std::vector<OddName> newUnnameable, reshaped;
  for (OldTree& old : state->olds) {
    if (!listFilesBelow(old.folder, &old.files)) return ioError(output, "read OLD_DIR", old.folder);
    for (const std::string& file : old.files) old.byFolded[archiveFoldedName(file)] = file;
  }
  if (!listFilesBelow(state->newFolder, &trees->newFiles, &newUnnameable, &reshaped))
      return ioError(output, "read NEW_DIR", state->newFolder);
  for (const OddName& name : reshaped)
    trees->reshapedNotes[name.path] = "\"" + name.utf8 + "\" will be named \"" + shown(name.path) + "\" on Windows (" +
                                      reshapedCharacters(name) + "): code page 932 has one character for both";
  for (const OddName& file : newUnnameable) {
    std::string text = "\"" + file.utf8 + "\": code page 932 cannot write this name, so the updater cannot name it";
    if (state->skipUnnameable) state->skipped.push_back(text + "; left out (--skip-unnameable)");
    else state->problems.push_back({"unnameable", text + "; rename it, or leave it out with --skip-unnameable"});
    state->unnameableLeft = state->unnameableLeft || !state->skipUnnameable;
  }
  // Sizes first: the total for the progress line, and most changes show there.
  trees->newSizes.resize(trees->newFiles.size());
  for (size_t i = 0; i < trees->newFiles.size(); ++i) {
    if (!fileSizeOf(state->newFolder + trees->newFiles[i], &trees->newSizes[i]))
        return ioError(output, "read", state->newFolder + trees->newFiles[i]);
    trees->newBytes += trees->newSizes[i];
  }
  return true;
}

// What the update does with one file of NEW_DIR: nothing, or an entry or an
// archive planned, or a problem said. False after an I/O error is reported.
bool planFile(MakeState* state, const Trees& trees, size_t i, Progress* progress, ToolOutput* output) {
  const std::string& file = trees.newFiles[i];
  uint64_t size = trees.newSizes[i];
  if (archiveFoldedName(file) == archiveFoldedName(kSetupLogName)) {
    state->notes.push_back(quoted(file) + " is left alone: the updater keeps it itself");
    return true;
  }
  std::string newPath = state->newFolder + file, failedPath;
  bool readFailed = false;
  bool newArchive = isSoundArchive(newPath, &readFailed);
  if (readFailed) return ioError(output, "read", newPath);
  std::vector<std::string> oldPaths(state->olds.size());  // as each old tree spells it; empty where it lacks the file
  bool everywhere = true, sameEverywhere = true, archiveEverywhere = newArchive;
  int64_t oldBytes = -1;  // in the first old tree that holds other bytes
  for (size_t j = 0; j < oldPaths.size(); ++j) {
    auto found = state->olds[j].byFolded.find(archiveFoldedName(file));
    if (found == state->olds[j].byFolded.end()) {
      everywhere = sameEverywhere = archiveEverywhere = false;
      continue;
    }
    oldPaths[j] = found->second;
    std::string oldFile = state->olds[j].folder + oldPaths[j];
    uint64_t oldSize = 0;
    bool same = false;
    if (!fileSizeOf(oldFile, &oldSize)) return ioError(output, "read", oldFile);
    if (oldSize == size && !sameFiles(oldFile, newPath, progress, &same, &failedPath))
        return ioError(output, "read", failedPath);
    if (oldBytes < 0 && !same) oldBytes = static_cast<int64_t>(oldSize);
    sameEverywhere = sameEverywhere && same;
    archiveEverywhere = archiveEverywhere && (same || isSoundArchive(oldFile, &readFailed));
    if (readFailed) return ioError(output, "read", oldFile);
  }
  if (sameEverywhere) return true;
  // One spelling of the path for the list: the old trees' where they all
  // hold it alike, else the new one.
  std::string path = file;
  if (everywhere && std::adjacent_find(oldPaths.begin(), oldPaths.end(), std::not_equal_to<>()) == oldPaths.end())
    path = oldPaths[0];
  std::string refused = listPathProblem(path);
  if (!refused.empty())
    return leftOut(state, "path-refused", "the updater refuses this path (" + refused + "); left out", file), true;
  if (holdsListWhiteSpace(file))
    return leftOut(state, "white-space", "a path with white space cannot be written in a list; left out", file), true;
  if (size > kLargestLooseFile)
    return leftOut(state, "too-large", "the updater refuses files of 4 GiB or more; left out", file), true;
  if (everywhere && archiveEverywhere)
    return planArchive(state, path, size, oldBytes, &failedPath) || ioError(output, "read", failedPath);
  if (size == 0) {
    for (size_t j = 0; j < oldPaths.size(); ++j)
      if (oldPaths[j].empty())
        leftOn(&state->olds[j], "empty-file", quoted(file) + ": the updater does not create an empty file; left out",
               TreeDifference::Missing, file);
    if (oldBytes < 0) return true;  // no old tree holds other bytes to empty
  }
  if (newArchive && everywhere) state->notes.push_back(quoted(file) + " goes whole: one of the old trees holds no archive of it");
  planLoose(state, everywhere ? 'R' : 'C', path, newPath, size, oldBytes);
  return true;
}

bool compareTrees(MakeState* state, ToolOutput* output) {
  Trees trees;
  if (!listTrees(state, &trees, output)) return false;
  Progress progress(output);
  progress.start("comparing", trees.newFiles.size(), trees.newBytes);
  std::set<std::string> newFolded = {archiveFoldedName(kSetupLogName)};  // the updater keeps Setup.log itself
  for (size_t i = 0; i < trees.newFiles.size(); ++i) {
    progress.nextFile(trees.newFiles[i]);
    newFolded.insert(archiveFoldedName(trees.newFiles[i]));
    if (!planFile(state, trees, i, &progress, output)) return false;
    progress.fileDone(trees.newSizes[i]);
  }
  progress.finish();
  // A file the update creates gets the name the code page gives it.
  for (const PlannedEntry& entry : state->entries) {
    auto note = trees.reshapedNotes.find(entry.path);
    if (entry.command == 'C' && note != trees.reshapedNotes.end()) state->notes.push_back(note->second);
  }
  for (OldTree& old : state->olds)
    for (const std::string& file : old.files)
      if (!newFolded.count(archiveFoldedName(file)))
        leftOn(&old, "file-removed", quoted(file) + " is gone from NEW_DIR, but the updater cannot remove files; it stays",
               TreeDifference::Extra, file);
  return true;
}

// The list's entries with each archive sent as chosen (the planned
// entries are the loose files yet).
size_t listEntries(const MakeState& state) {
  size_t count = state.entries.size() + 1;  // and the package's P
  for (const ArchivePlan& plan : state.archives) count += plan.whole ? 1 : plan.entries.size();
  return count;
}

// For each archive: its entries when what the player downloads for them
// and what the archive grows by on the player's disk (on the old tree it
// grows most on) come to less than the archive whole, else the archive
// whole; then archives go whole, those with the most entries first, until
// the list fits 512 entries. False when it cannot fit (said as a problem).
bool chooseArchiveForms(MakeState* state) {
  for (ArchivePlan& plan : state->archives) {
    std::string figures = quoted(plan.path) + ": " + std::to_string(plan.entries.size()) + " entries differ; " +
                          counted(plan.download, "byte") + " to download and " + counted(plan.growth, "byte") +
                          " of growth, against " + counted(plan.wholeBytes, "byte") + " whole: ";
    plan.whole = !plan.mustGoWhole.empty() || state->wholeArchives ||
                 (!state->entriesOnly && plan.download + plan.growth >= plan.wholeBytes);
    std::string why = !plan.mustGoWhole.empty() ? ", as " + plan.mustGoWhole
                      : state->wholeArchives    ? " (--whole-archives)"
                      : state->entriesOnly      ? " (--entries-only)"
                                                : "";
    state->choices.push_back(figures + (plan.whole ? "whole" : "entries") + why);
  }
  while (listEntries(*state) > static_cast<size_t>(kUpdateListCapacity) && !state->entriesOnly) {
    ArchivePlan* largest = nullptr;
    for (ArchivePlan& plan : state->archives)
      if (!plan.whole && (largest == nullptr || plan.entries.size() > largest->entries.size())) largest = &plan;
    if (largest == nullptr || largest->entries.size() <= 1) break;
    largest->whole = true;
    state->choices.push_back(quoted(largest->path) + ": whole after all, so that the list fits 512 entries");
  }
  size_t needed = listEntries(*state);
  if (needed <= static_cast<size_t>(kUpdateListCapacity)) return true;
  state->problems.push_back({"over-capacity", "the update needs " + std::to_string(needed) + " entries, " +
                                                  std::to_string(needed - kUpdateListCapacity) +
                                                  " more than the 512 a list can hold; nothing is written"});
  return false;
}

// Each archive becomes its I lines, or one R line that sends it whole.
void placeArchives(MakeState* state) {
  for (ArchivePlan& plan : state->archives) {
    if (plan.whole) {
      planLoose(state, 'R', plan.path, state->newFolder + plan.path, plan.wholeBytes, plan.oldBytes);
      continue;
    }
    for (const auto& [tree, name] : plan.removed)
      leftOn(&state->olds[tree], "entry-removed",
             quoted(plan.path) + ": the entry " + quoted(name) + " is gone from the new archive, but the updater cannot remove "
                                                       "entries; it stays",
             TreeDifference::ExtraEntry, plan.path, name);
    for (PlannedEntry& entry : plan.entries) {
      entry.sourceName = entrySourceName(state, plan.path, entry.entryName);
      if (!entry.sourceName.empty())
        state->entries.push_back(std::move(entry));
      else
        leftOut(state, "line-too-long", "the entry " + quoted(entry.entryName) + " makes a line too long for the list",
                plan.path, entry.entryName);
    }
  }
  // Whole files before the entries, each in the order planned.
  std::stable_partition(state->entries.begin(), state->entries.end(),
                        [](const PlannedEntry& entry) { return entry.command != 'I'; });
}

// Sources of R and I go into the package; C sources stay loose files of
// the update folder, and so does anything that would carry the package
// past 2 GiB.
void choosePackageEntries(MakeState* state, WrittenUpdate* update) {
  uint64_t packageSize = kArchiveHeaderSize;
  for (PlannedEntry& entry : state->entries) {
    uint64_t size = entry.sourceName.size() + 1 + entry.newBytes + kArchiveRecordSize;
    if (entry.command == 'C' || !archiveGrowthFits(packageSize, size)) continue;
    packageSize += size;
    entry.inPackage = true;
    ++update->packageEntries;
  }
}

// A planned entry's new bytes, through *file for an archive entry.
bool readNewBytes(const PlannedEntry& entry, plat::File* file, Content* content,
                  const ContentLimits& limits = ContentLimits()) {
  if (entry.wholeFile) return readFileContent(entry.from.c_str(), content, limits);
  return file->open(entry.from.c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting) &&
         readFilePart(*file, entry.offset, static_cast<uint32_t>(entry.newBytes), limits, content);
}

bool writeLooseFiles(MakeState* state, WrittenUpdate* update, Progress* progress, ToolOutput* output) {
  for (const PlannedEntry& entry : state->entries) {
    if (entry.inPackage) continue;
    progress->nextFile(entry.sourceName);
    std::string target = state->outFolder + entry.sourceName;
    if (!makeFolders(state->outFolder + parentFolder(entry.sourceName)))
        return ioError(output, "make the folder of", target);
    plat::File file;
    Content content;
    bool readFailed = true;
    if (!readNewBytes(entry, &file, &content) || !writeContentFile(target, content, progress->pieces(), &readFailed))
        return ioError(output, readFailed ? "read" : "write", readFailed ? entry.from : target);
    ++update->looseFiles;
  }
  return true;
}

// An earlier entry of the package with the same bytes as `entry`, among
// the first few of its size; -1 when there is none. False on a read error.
bool sharedContent(const std::vector<const PlannedEntry*>& written, const PlannedEntry& entry,
                   const std::multimap<uint64_t, size_t>& bySize, int64_t* record, std::string* failedPath) {
  *record = -1;
  auto range = bySize.equal_range(entry.newBytes);
  size_t looked = 0;
  for (auto it = range.first; it != range.second && looked++ < kSharingCandidates; ++it) {
    plat::File mineFile, theirsFile;
    Content mine, theirs;
    const PlannedEntry& earlier = *written[it->second];
    if (!readNewBytes(entry, &mineFile, &mine, kContentsCompared)) return *failedPath = entry.from, false;
    if (!readNewBytes(earlier, &theirsFile, &theirs, kContentsCompared)) return *failedPath = earlier.from, false;
    bool same = false;
    if (!sameBytes(mine, entry.from, theirs, earlier.from, {}, &same, failedPath)) return false;
    if (same) return *record = static_cast<int64_t>(it->second), true;
  }
  return true;
}

// The package, each distinct content stored once however many lines name it.
bool writePackage(MakeState* state, WrittenUpdate* update, Progress* progress, ToolOutput* output) {
  if (update->packageEntries == 0) return true;
  std::string packagePath = state->outFolder + state->packageName;
  ArchiveWriter package;
  if (!package.create(packagePath.c_str())) return ioError(output, "write", packagePath);
  std::vector<const PlannedEntry*> written;
  std::multimap<uint64_t, size_t> bySize;
  for (const PlannedEntry& entry : state->entries) {
    if (!entry.inPackage) continue;
    progress->nextFile(entry.sourceName);
    plat::File file;
    Content content;
    bool readFailed = true;
    int64_t shared = -1;
    std::string failedPath;
    if (!sharedContent(written, entry, bySize, &shared, &failedPath)) return ioError(output, "read", failedPath);
    if (shared >= 0) {
      if (!package.addSharing(entry.sourceName, static_cast<size_t>(shared)))
          return ioError(output, "write", packagePath);
      ++update->sharedEntries;
    } else if (!readNewBytes(entry, &file, &content) ||
               !package.add(entry.sourceName, content, progress->pieces(), &readFailed)) {
      return ioError(output, readFailed ? "read" : "write", readFailed ? entry.from : packagePath);
    } else {
      update->packageBytes += entry.newBytes;
    }
    bySize.emplace(entry.newBytes, written.size());
    written.push_back(&entry);
  }
  return package.finish() || ioError(output, "write", packagePath);
}

bool copyUpdater(MakeState* state, Progress* progress, ToolOutput* output) {
  if (state->updater.empty()) return true;
  std::string target = state->outFolder + fileNameOf(state->updater);
  progress->nextFile(target);
  Content content;
  bool readFailed = true;
  return (readFileContent(state->updater.c_str(), &content, ContentLimits()) &&
          writeContentFile(target, content, {}, &readFailed)) ||
         ioError(output, readFailed ? "read" : "write", readFailed ? state->updater : target);
}

bool writeUpdate(MakeState* state, WrittenUpdate* update, ToolOutput* output) {
  choosePackageEntries(state, update);
  if (!makeFolders(state->outFolder)) return ioError(output, "make OUT_DIR", state->outFolder);
  uint64_t total = 0;
  for (const PlannedEntry& entry : state->entries) total += entry.newBytes;
  Progress progress(output);
  progress.start("writing", state->entries.size(), total);
  if (!writeLooseFiles(state, update, &progress, output) || !writePackage(state, update, &progress, output) ||
      !copyUpdater(state, &progress, output))
    return false;
  progress.finish();
  std::string list = update->packageEntries > 0 ? "P\t" + state->packageName + "\r\n" : "";
  for (const PlannedEntry& entry : state->entries)
    list += std::string(1, entry.command) + "\t" + entry.path +
            (entry.command == 'I' ? "\t" + entry.sourceName + "\t" + entry.entryName : "") + "\r\n";
  std::string listPath = state->outFolder + kUpdateListName;
  return writeWholeFile(listPath, list.data(), static_cast<uint32_t>(list.size())) ||
         ioError(output, "write", listPath);
}

// The proof of one old tree: the updater's own run from the folder just
// written into an overlay of the tree, which then must hold what NEW_DIR
// holds, but for what the updater's limits leave, which make named. Each
// proof of a tree starts afresh.
bool prove(const MakeState& state, OldTree* old, Progress* progress, ToolOutput* output) {
  old->proof.clear();
  old->fault = false;
  std::string install, scratch;
  if (!absolutePath(old->folder, &install) || !overlayScratchPath("proof", &scratch))
      return ioError(output, "prove the update on", old->folder);
  install = asFolder(install);
  plat::OverlayFiles overlay(plat::files(), scratch, kProofMemory);
  plat::FileSystemInUse inUse(overlay);
  RecordingHost host(install, 0);
  progress->nextFile(old->folder);
  {
    FolderVisit visit;
    if (!visit.enter(state.outFolder)) return ioError(output, "enter", state.outFolder);
    runTheUpdater(host);
  }
  // A run that stops proves nothing of the tree (a file of it that the
  // updater refuses, a second name, a read-only file): said, and counted.
  for (const RecordingHost::Prompt& prompt : host.prompts)
    old->proof.push_back("the run stopped at the prompt \"" + shown(prompt.text) + "\": the update is not proven here");
  if (exitForMessage(host.message) != kExitFine) {
    old->proof.push_back("the run ended with \"" + shown(host.message) + "\"");
    old->fault = true;
  }
  std::vector<TreeDifference> differences;
  std::string failedPath;
  if (!compareFolders(install, state.newFolder, false, &differences, &failedPath))
      return ioError(output, "read", failedPath);
  for (const TreeDifference& difference : differences) {
    std::string key = differenceKey(difference.kind, difference.path, difference.entry);
    const std::string* why = old->left.count(key)             ? &old->left.at(key)
                             : state.leftEverywhere.count(key) ? &state.leftEverywhere.at(key)
                                                               : nullptr;
    old->fault = old->fault || why == nullptr;
    old->proof.push_back(differenceText(difference) + ": " + (why ? *why : "a fault of make"));
  }
  return true;
}

std::string plannedText(const PlannedEntry& entry) {
  std::string text = std::string(1, entry.command) + " " + shown(entry.path);
  if (entry.command == 'I') text += " " + shown(entry.sourceName) + " " + shown(entry.entryName);
  text += "  (" + (entry.oldBytes >= 0 ? std::to_string(entry.oldBytes) + " -> " : std::string("new, ")) +
          std::to_string(entry.newBytes) + " bytes, " + (entry.inPackage ? "in the package" : "loose") + ")";
  return text;
}

const char kMakeUsage[] =
    "usage: updtool make [--package NAME] [--updater PATH] [--skip-unnameable] [--whole-archives | --entries-only]\n"
    "                    OLD_DIR... NEW_DIR OUT_DIR\n";

// The updater that goes into the folder: the one named, else the one
// beside this tool, else none (and a note says so).
bool chooseUpdater(const std::string& named, MakeState* state, ToolOutput* output) {
  if (!named.empty()) return existingOperand("--updater", named, PathKind::File, &state->updater, output);
  std::string beside = output->programFolder.empty() ? "" : asFolder(output->programFolder) + kUpdaterName;
  if (!beside.empty() && pathKind(beside) == PathKind::File)
    state->updater = beside;
  else
    state->notes.push_back(std::string("no ") + kUpdaterName +
                           " beside updtool: the folder lacks the updater; copy it in, or name it with --updater");
  return true;
}

// A usage error on output->err. False, so that the reader returns it.
bool usageError(ToolOutput* output, const std::string& text) {
  output->err += text;
  return false;
}

// The command line into the state; false after a usage error is written.
bool readMakeArguments(const std::vector<std::string>& arguments, MakeState* state, std::string* outText,
                       ToolOutput* output) {
  std::vector<std::string> operands;
  std::string packageText = "UpDate.pak", updaterText;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--package" && i + 1 < arguments.size()) packageText = arguments[++i];
    else if (argument == "--updater" && i + 1 < arguments.size()) updaterText = arguments[++i];
    else if (argument == "--skip-unnameable") state->skipUnnameable = true;
    else if (argument == "--whole-archives") state->wholeArchives = true;
    else if (argument == "--entries-only") state->entriesOnly = true;
    else if (argument.rfind("--", 0) == 0)
      return usageError(output, "updtool: make has no option " + argument + "\n" + kMakeUsage);
    else operands.push_back(argument);
  }
  if (operands.size() < 3 || (state->wholeArchives && state->entriesOnly)) return usageError(output, kMakeUsage);
  *outText = operands.back();
  for (size_t j = 0; j + 2 < operands.size(); ++j) {
    OldTree& old = state->olds.emplace_back();
    old.operand = operands[j];
    if (!existingOperand("OLD_DIR", operands[j], PathKind::Folder, &old.folder, output)) return false;
    old.folder = asFolder(old.folder);
  }
  if (!existingOperand("NEW_DIR", operands[operands.size() - 2], PathKind::Folder, &state->newFolder, output) ||
      !newPathOperand("OUT_DIR", operands.back(), &state->outFolder, output) ||
      !newPathOperand("--package", packageText, &state->packageName, output))
    return false;
  if (holdsListWhiteSpace(state->packageName) || cp932PathParts(state->packageName).size() != 1 ||
      archiveFoldedName(state->packageName) == "update.lst")
    return usageError(output, "updtool: --package must be a plain file name without white space\n");
  state->newFolder = asFolder(state->newFolder);
  state->outFolder = asFolder(state->outFolder);
  std::vector<std::string> existing;
  PathKind outKind = pathKind(state->outFolder);
  if (outKind == PathKind::File ||
      (outKind == PathKind::Folder && (!listFilesBelow(state->outFolder, &existing) || !existing.empty())))
    return usageError(output, "updtool: OUT_DIR \"" + operands.back() + "\" must be a new or empty folder\n");
  if (!chooseUpdater(updaterText, state, output)) return false;
  // The list, the package and the updater lie beside the sources: no source may take their names.
  state->sourceNames = {"update.lst", archiveFoldedName(state->packageName)};
  if (!state->updater.empty() && !state->sourceNames.insert(archiveFoldedName(fileNameOf(state->updater))).second)
    return usageError(output, "updtool: the updater cannot take the name of the list or the package\n");
  return true;
}

void problemsJson(JsonWriter& json, const char* key, const std::vector<Problem>& problems) {
  json.array(key);
  for (const Problem& problem : problems) json.object().text("code", problem.code).text("message", problem.message).end();
  json.end();
}

void printMake(const MakeState& state, const std::string& outText, bool written, const WrittenUpdate& update,
               ToolOutput* output) {
  bool withUpdater = written && !state.updater.empty();
  std::string& out = output->out;
  if (output->json) {
    JsonWriter json(&out);
    json.object().text("out", outText).flag("written", written).array("entries");
    for (const PlannedEntry& entry : state.entries)
      json.object()
          .text("command", std::string(1, entry.command))
          .name("path", entry.path)
          .name("source", entry.sourceName)
          .name("entryName", entry.entryName)
          .number("oldBytes", entry.oldBytes)
          .number("newBytes", static_cast<int64_t>(entry.newBytes))
          .flag("inPackage", entry.inPackage)
          .end();
    json.end();
    json.textOrNull("package", update.packageEntries > 0 ? shown(state.packageName) : "");
    json.number("packageEntries", update.packageEntries).number("sharedEntries", update.sharedEntries);
    json.number("looseFiles", update.looseFiles);
    json.textOrNull("updater", withUpdater ? shown(fileNameOf(state.updater)) : "");
    json.texts("choices", state.choices);
    problemsJson(json, "problems", state.problems);
    json.texts("skipped", state.skipped).texts("notes", state.notes).array("olds");
    for (const OldTree& old : state.olds) {
      json.object().text("dir", old.operand);
      problemsJson(json, "limits", old.limits);
      json.texts("proof", old.proof).flag("fault", old.fault).end();
    }
    json.end().end();
    return;
  }
  for (const PlannedEntry& entry : state.entries) out += "  " + plannedText(entry) + "\n";
  for (const std::string& choice : state.choices) out += "archive " + choice + "\n";
  for (const std::string& note : state.notes) out += "note: " + note + "\n";
  for (const std::string& skipped : state.skipped) out += "skipped: " + skipped + "\n";
  size_t problemCount = state.problems.size();
  for (const Problem& problem : state.problems) out += "problem: " + problem.message + "\n";
  bool several = state.olds.size() > 1;
  for (const OldTree& old : state.olds) {
    problemCount += old.limits.size();
    for (const Problem& limit : old.limits) out += "problem" + (several ? " for " + old.operand : "") + ": " + limit.message + "\n";
  }
  if (written)
    for (const OldTree& old : state.olds) {
      if (old.proof.empty()) out += "proof: " + old.operand + " ends equal to NEW_DIR\n";
      for (const std::string& line : old.proof) out += "proof: " + old.operand + ": " + line + "\n";
    }
  std::string problems = std::to_string(problemCount) + (problemCount == 1 ? " problem" : " problems") +
                         (state.skipped.empty() ? "" : ", " + std::to_string(state.skipped.size()) + " files left out");
  if (written)
    out += outText + ": UpDate.lst with " +
           std::to_string(state.entries.size() + (update.packageEntries > 0 ? 1 : 0)) + " entries" +
           (update.packageEntries == 0 ? std::string()
                                       : ", package " + shown(state.packageName) + " (" +
                                             std::to_string(update.packageEntries) + " entries, " +
                                             std::to_string(update.packageBytes) + " bytes)") +
           ", " + std::to_string(update.looseFiles) + " loose files" +
           (withUpdater ? ", the updater " + shown(fileNameOf(state.updater)) : std::string()) + "; " + problems + "\n";
  else
    out += outText + ": nothing written; " + problems + "\n";
}

}  // namespace

int runMake(const std::vector<std::string>& arguments, ToolOutput* output) {
  MakeState state;
  std::string outText;
  if (!readMakeArguments(arguments, &state, &outText, output) || !compareTrees(&state, output)) return kExitUsage;
  bool fits = chooseArchiveForms(&state);
  if (fits) placeArchives(&state);
  if (fits && state.entries.empty())
    state.problems.push_back({"nothing-to-update", "nothing to update: no file or entry of NEW_DIR differs from the "
                                                   "old trees, so no list is written"});
  // Files that the update would silently lack stop it, unless the publisher
  // asked to leave them out.
  if (state.unnameableLeft)
    state.problems.push_back({"unnameable-left", "nothing is written: NEW_DIR holds files the update could not carry"});
  bool written = fits && !state.entries.empty() && !state.unnameableLeft;
  WrittenUpdate update;
  if (written && !writeUpdate(&state, &update, output)) return kExitUsage;
  if (written) {
    Progress progress(output);
    progress.start("proving", state.olds.size(), 0);
    for (OldTree& old : state.olds) {
      // A fault of make fails the proof again; a read that failed once and
      // stopped the run does not.
      if (!prove(state, &old, &progress, output) || (old.fault && !prove(state, &old, &progress, output)))
        return kExitUsage;
    }
  }
  printMake(state, outText, written, update, output);
  if (!written) return kExitProblems;
  if (std::any_of(state.olds.begin(), state.olds.end(), [](const OldTree& old) { return old.fault; }))
    return kExitMakeFault;
  bool omissions = !state.problems.empty() || !state.skipped.empty() ||
                   std::any_of(state.olds.begin(), state.olds.end(), [](const OldTree& old) { return !old.limits.empty(); });
  return omissions ? kExitMadeWithOmissions : kExitFine;
}
