#include "tools/make_update.h"

#include <map>
#include <set>

#include "archive/archive_writer.h"
#include "archive/package_archive.h"
#include "list/update_list.h"
#include "platform/platform.h"
#include "run/setup_log.h"
#include "tools/archive_commands.h"
#include "tools/progress.h"

namespace {

// A list line keeps its fields and its LF within one 255-byte piece.
constexpr size_t kLongestListLine = kListLineBufferSize - 2;

constexpr char kUpdaterName[] = "SoreluneUpdate.exe";

// The updater holds a loose file's content whole, counted in 32 bits.
constexpr uint64_t kLargestLooseFile = 0xFFFFFFFEull;

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
  int64_t oldBytes = -1;
  bool inPackage = false;
};

struct MakeState {
  std::string oldFolder, newFolder, outFolder, packageName;
  std::string updater;  // CP932 path of the updater to copy, or empty
  bool skipUnnameable = false;
  bool unnameableLeft = false;  // NEW_DIR holds a file the update cannot carry and nobody said to skip it
  std::vector<PlannedEntry> loose;   // C and R, in file order
  std::vector<PlannedEntry> entries; // I, in archive and entry order
  std::vector<std::string> problems; // UTF-8
  std::vector<std::string> notes;    // UTF-8
  std::vector<std::string> skipped;  // UTF-8: files left out because CP932 cannot name them
  std::set<std::string> sourceNames; // folded: package entries and loose files share one namespace
};

// What the written update holds.
struct WrittenUpdate {
  std::string listText;
  int packageEntries = 0;
  uint64_t packageBytes = 0;
  int looseFiles = 0;
};

std::string q(const std::string& cp932) { return "\"" + shown(cp932) + "\""; }

std::string fileNameOf(const std::string& path) {
  std::vector<std::string> parts = cp932PathParts(path);
  return parts.back();
}

void ioError(ToolOutput* output, const char* doing, const std::string& path) {
  output->err += std::string("updtool: cannot ") + doing + " " + q(path) + ": " + lastErrorText() + "\n";
}

// Whether two contents hold the same bytes, compared piece by piece; false
// when one cannot be read, *failedPath naming it.
bool sameBytes(const Content& first, const std::string& firstPath, Content& second, const std::string& secondPath,
               const ContentProgress& progress, bool* same, std::string* failedPath) {
  ContentMatch match = matchContent(first, second, progress);
  *same = match == ContentMatch::Same;
  if (match == ContentMatch::FirstUnreadable) *failedPath = firstPath;
  if (match == ContentMatch::SecondUnreadable) *failedPath = secondPath;
  return failedPath->empty();
}

bool sameFiles(const std::string& first, const std::string& second, Progress* progress, bool* same,
               std::string* failedPath) {
  Content a, b;
  if (!readFileContent(first.c_str(), &a, ContentLimits())) return *failedPath = first, false;
  if (!readFileContent(second.c_str(), &b, ContentLimits())) return *failedPath = second, false;
  return sameBytes(a, first, b, second, progress->pieces(), same, failedPath);
}

bool sameEntries(PackageArchive& first, int32_t firstRecord, PackageArchive& second, int32_t secondRecord, bool* same,
                 std::string* failedPath) {
  Content a, b;
  if (!first.readEntryAt(firstRecord, &a)) return *failedPath = first.path(), false;
  if (!second.readEntryAt(secondRecord, &b)) return *failedPath = second.path(), false;
  return sameBytes(a, first.path(), b, second.path(), {}, same, failedPath);
}

// A source name for an archive entry: the archive's path and the entry's
// name, or a numbered name when that is taken or too long for the line.
std::string entrySourceName(MakeState* state, const std::string& archive, const std::string& entry) {
  std::string name = archive + "\\" + entry;
  size_t lineLength = 1 + 1 + archive.size() + 1 + name.size() + 1 + entry.size();
  for (int serial = 1; state->sourceNames.count(archiveFoldedName(name)) || lineLength > kLongestListLine ||
                       !listPathProblem(name).empty();
       ++serial) {
    name = "entry" + std::to_string(serial);
    lineLength = 1 + 1 + archive.size() + 1 + name.size() + 1 + entry.size();
    if (serial > 100000) break;
  }
  return name;
}

void planLoose(MakeState* state, char command, const std::string& path, const std::string& from, uint64_t newBytes,
               int64_t oldBytes) {
  if (2 + path.size() > kLongestListLine) {
    state->problems.push_back(q(path) + ": the path is too long for a line of the list");
    return;
  }
  if (state->sourceNames.count(archiveFoldedName(path))) {
    state->problems.push_back(q(path) + ": another source of the update folder already has this name");
    return;
  }
  state->sourceNames.insert(archiveFoldedName(path));
  PlannedEntry entry;
  entry.command = command;
  entry.path = path;
  entry.sourceName = path;
  entry.from = from;
  entry.newBytes = newBytes;
  entry.oldBytes = oldBytes;
  state->loose.push_back(std::move(entry));
}

// Entry by entry, by the archive's own name matching. False when the
// archive cannot be expressed entry by entry and goes whole instead; an
// I/O error sets *failedPath.
bool planArchive(MakeState* state, const std::string& path, std::string* why, std::string* failedPath) {
  std::string oldPath = state->oldFolder + path, newPath = state->newFolder + path;
  PackageArchive oldArchive(oldPath.c_str());
  PackageArchive newArchive(newPath.c_str());
  std::vector<PlannedEntry> planned;
  std::set<std::string> seen;
  int32_t count = newArchive.loadedEntryCount();
  for (int32_t i = 0; i < count; ++i) {
    const ArchiveEntryInfo* info = newArchive.loadedEntry(i);
    std::string name = info && info->name ? info->name : "";
    if (seen.count(archiveFoldedName(name))) {
      state->notes.push_back(q(path) + ": entry " + std::to_string(i + 1) + " " + q(name) +
                             " repeats an earlier name and is never read; it is left out");
      continue;
    }
    seen.insert(archiveFoldedName(name));
    if (name.empty() || holdsListWhiteSpace(name)) {
      *why = "the entry name " + q(name) + " cannot be written in a list";
      return false;
    }
    PlannedEntry entry;
    entry.command = 'I';
    entry.path = path;
    entry.entryName = name;
    entry.from = newPath;
    entry.wholeFile = false;
    entry.offset = info->dataOffset;
    entry.newBytes = info->dataSize;
    // The first record of a name is the one the updater reads.
    int32_t stored = oldArchive.findLoadedEntry(name.c_str());
    if (stored >= 0) {
      const ArchiveEntryInfo* before = oldArchive.loadedEntry(stored);
      bool same = false;
      if (before->dataSize == info->dataSize && !sameEntries(oldArchive, stored, newArchive, i, &same, failedPath))
        return false;
      if (same) continue;
      entry.oldBytes = before->dataSize;
    } else if (info->dataSize == 0) {
      *why = "the new entry " + q(name) + " is empty, and the updater adds no empty entry";
      return false;
    }
    planned.push_back(std::move(entry));
  }
  int32_t oldCount = oldArchive.loadedEntryCount();
  for (int32_t i = 0; i < oldCount; ++i) {
    const ArchiveEntryInfo* info = oldArchive.loadedEntry(i);
    std::string name = info && info->name ? info->name : "";
    if (!seen.count(archiveFoldedName(name)))
      state->problems.push_back(q(path) + ": the entry " + q(name) +
                                " is gone from the new archive, but the updater cannot remove entries; it stays");
  }
  for (PlannedEntry& entry : planned) {
    entry.sourceName = entrySourceName(state, path, entry.entryName);
    size_t lineLength = 3 + entry.path.size() + entry.sourceName.size() + 1 + entry.entryName.size();
    if (lineLength > kLongestListLine) {
      state->problems.push_back(q(path) + ": the entry " + q(entry.entryName) + " makes a line too long for the list");
      continue;
    }
    state->sourceNames.insert(archiveFoldedName(entry.sourceName));
    state->entries.push_back(std::move(entry));
  }
  return true;
}

// The two trees as listed, with the sizes of NEW_DIR's files.
struct Trees {
  std::vector<std::string> oldFiles, newFiles;
  std::vector<uint64_t> newSizes;
  uint64_t newBytes = 0;
  std::map<std::string, std::string> oldByFolded;
  std::map<std::string, std::string> reshapedNotes;  // by CP932 path: said only when the file is sent
};

bool listTrees(MakeState* state, Trees* trees, ToolOutput* output) {
  std::vector<OddName> oldUnnameable, newUnnameable, reshaped;
  if (!listFilesBelow(state->oldFolder, &trees->oldFiles, &oldUnnameable)) {
    ioError(output, "read OLD_DIR", state->oldFolder);
    return false;
  }
  if (!listFilesBelow(state->newFolder, &trees->newFiles, &newUnnameable, &reshaped)) {
    ioError(output, "read NEW_DIR", state->newFolder);
    return false;
  }
  for (const OddName& name : reshaped)
    trees->reshapedNotes[name.path] = "\"" + name.utf8 + "\" will be named \"" + shown(name.path) + "\" on Windows (" +
                                      reshapedCharacters(name) + "): code page 932 has one character for both";
  for (const OddName& file : newUnnameable) {
    std::string text = "\"" + file.utf8 + "\": code page 932 cannot write this name, so the updater cannot name it";
    if (state->skipUnnameable) state->skipped.push_back(text + "; left out (--skip-unnameable)");
    else state->problems.push_back(text + "; rename it, or leave it out with --skip-unnameable");
    state->unnameableLeft = state->unnameableLeft || !state->skipUnnameable;
  }
  for (const std::string& file : trees->oldFiles) trees->oldByFolded[archiveFoldedName(file)] = file;
  // Sizes first: the total for the progress line, and most changes show there.
  trees->newSizes.resize(trees->newFiles.size());
  for (size_t i = 0; i < trees->newFiles.size(); ++i) {
    if (!fileSizeOf(state->newFolder + trees->newFiles[i], &trees->newSizes[i])) {
      ioError(output, "read", state->newFolder + trees->newFiles[i]);
      return false;
    }
    trees->newBytes += trees->newSizes[i];
  }
  return true;
}

// What the update does with one file of NEW_DIR: nothing, or an entry
// planned, or a problem said. False after an I/O error is reported.
bool planFile(MakeState* state, const Trees& trees, size_t i, Progress* progress, ToolOutput* output) {
  const std::string& file = trees.newFiles[i];
  uint64_t size = trees.newSizes[i];
  if (archiveFoldedName(file) == archiveFoldedName(kSetupLogName)) {
    state->notes.push_back(q(file) + " is left alone: the updater keeps it itself");
    return true;
  }
  auto old = trees.oldByFolded.find(archiveFoldedName(file));
  bool present = old != trees.oldByFolded.end();
  std::string oldPath = present ? state->oldFolder + old->second : "", newPath = state->newFolder + file;
  uint64_t oldSize = 0;
  if (present && !fileSizeOf(oldPath, &oldSize)) {
    ioError(output, "read", oldPath);
    return false;
  }
  std::string failedPath;
  bool same = false;
  if (present && oldSize == size && !sameFiles(oldPath, newPath, progress, &same, &failedPath)) {
    ioError(output, "read", failedPath);
    return false;
  }
  if (same) return true;
  std::string refused = listPathProblem(present ? old->second : file);
  if (!refused.empty()) {
    state->problems.push_back(q(file) + ": the updater refuses this path (" + refused + "); left out");
  } else if (holdsListWhiteSpace(file)) {
    state->problems.push_back(q(file) + ": a path with white space cannot be written in a list; left out");
  } else if (size > kLargestLooseFile) {
    state->problems.push_back(q(file) + ": the updater refuses files of 4 GiB or more; left out");
  } else if (present) {
    std::string why;
    if (isSoundArchive(oldPath) && isSoundArchive(newPath)) {
      if (planArchive(state, old->second, &why, &failedPath)) return true;
      if (!failedPath.empty()) {
        ioError(output, "read", failedPath);
        return false;
      }
      state->notes.push_back(q(file) + " goes whole: " + why);
    }
    planLoose(state, 'R', old->second, newPath, size, static_cast<int64_t>(oldSize));
  } else if (size == 0) {
    state->problems.push_back(q(file) + ": the updater does not create an empty file; left out");
  } else {
    planLoose(state, 'C', file, newPath, size, -1);
  }
  return true;
}

bool compareTrees(MakeState* state, ToolOutput* output) {
  Trees trees;
  if (!listTrees(state, &trees, output)) return false;
  Progress progress(output);
  progress.start("comparing", trees.newFiles.size(), trees.newBytes);
  std::set<std::string> newFolded;
  for (size_t i = 0; i < trees.newFiles.size(); ++i) {
    progress.nextFile(trees.newFiles[i]);
    newFolded.insert(archiveFoldedName(trees.newFiles[i]));
    if (!planFile(state, trees, i, &progress, output)) return false;
    progress.fileDone(trees.newSizes[i]);
  }
  progress.finish();
  // A file the update creates gets the name the code page gives it.
  for (const PlannedEntry& entry : state->loose) {
    auto note = trees.reshapedNotes.find(entry.path);
    if (entry.command == 'C' && note != trees.reshapedNotes.end()) state->notes.push_back(note->second);
  }
  for (const std::string& file : trees.oldFiles)
    if (!newFolded.count(archiveFoldedName(file)) && archiveFoldedName(file) != archiveFoldedName(kSetupLogName))
      state->problems.push_back(q(file) + " is gone from NEW_DIR, but the updater cannot remove files; it stays");
  return true;
}

// Sources of R and I go into the package; C sources stay loose, so that
// the copy fallback of "C" (which takes the loose file) finds them, and so
// does anything that would carry the package past 2 GiB.
void choosePackageEntries(MakeState* state, WrittenUpdate* update) {
  uint64_t packageSize = kArchiveHeaderSize;
  auto intoPackage = [&](PlannedEntry* entry) {
    uint64_t size = entry->sourceName.size() + 1 + entry->newBytes + kArchiveRecordSize;
    if (!archiveGrowthFits(packageSize, size)) return;
    packageSize += size;
    entry->inPackage = true;
    ++update->packageEntries;
    update->packageBytes += entry->newBytes;
  };
  for (PlannedEntry& entry : state->loose)
    if (entry.command == 'R') intoPackage(&entry);
  for (PlannedEntry& entry : state->entries) intoPackage(&entry);
}

// A planned entry's new bytes, through *file for an archive entry.
bool readNewBytes(const PlannedEntry& entry, plat::File* file, Content* content) {
  if (entry.wholeFile) return readFileContent(entry.from.c_str(), content, ContentLimits());
  return file->open(entry.from.c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting) &&
         readFilePart(*file, entry.offset, static_cast<uint32_t>(entry.newBytes), ContentLimits(), content);
}

bool writeLooseFiles(MakeState* state, WrittenUpdate* update, Progress* progress, ToolOutput* output) {
  for (const std::vector<PlannedEntry>* group : {&state->loose, &state->entries})
    for (const PlannedEntry& entry : *group) {
      if (entry.inPackage) continue;
      progress->nextFile(entry.sourceName);
      std::string target = state->outFolder + entry.sourceName;
      if (!makeFolders(state->outFolder + parentFolder(entry.sourceName))) {
        ioError(output, "make the folder of", target);
        return false;
      }
      plat::File file;
      Content content;
      bool readFailed = true;
      if (!readNewBytes(entry, &file, &content) || !writeContentFile(target, content, progress->pieces(), &readFailed)) {
        ioError(output, readFailed ? "read" : "write", readFailed ? entry.from : target);
        return false;
      }
      ++update->looseFiles;
    }
  return true;
}

bool writePackage(MakeState* state, WrittenUpdate* update, Progress* progress, ToolOutput* output) {
  if (update->packageEntries == 0) return true;
  std::string packagePath = state->outFolder + state->packageName;
  ArchiveWriter package;
  if (!package.create(packagePath.c_str())) {
    ioError(output, "write", packagePath);
    return false;
  }
  for (const std::vector<PlannedEntry>* group : {&state->loose, &state->entries})
    for (const PlannedEntry& entry : *group) {
      if (!entry.inPackage) continue;
      progress->nextFile(entry.sourceName);
      plat::File file;
      Content content;
      bool readFailed = true;
      if (!readNewBytes(entry, &file, &content) ||
          !package.add(entry.sourceName, content, progress->pieces(), &readFailed)) {
        ioError(output, readFailed ? "read" : "write", readFailed ? entry.from : packagePath);
        return false;
      }
    }
  if (!package.finish()) {
    ioError(output, "write", packagePath);
    return false;
  }
  update->listText += "P\t" + state->packageName + "\r\n";
  return true;
}

bool copyUpdater(MakeState* state, Progress* progress, ToolOutput* output) {
  if (state->updater.empty()) return true;
  std::string target = state->outFolder + fileNameOf(state->updater);
  progress->nextFile(target);
  Content content;
  bool readFailed = true;
  if (!readFileContent(state->updater.c_str(), &content, ContentLimits()) ||
      !writeContentFile(target, content, {}, &readFailed)) {
    ioError(output, readFailed ? "read" : "write", readFailed ? state->updater : target);
    return false;
  }
  return true;
}

bool writeUpdate(MakeState* state, WrittenUpdate* update, ToolOutput* output) {
  choosePackageEntries(state, update);
  if (!makeFolders(state->outFolder)) {
    ioError(output, "make OUT_DIR", state->outFolder);
    return false;
  }
  uint64_t total = 0;
  size_t files = 0;
  for (const std::vector<PlannedEntry>* group : {&state->loose, &state->entries})
    for (const PlannedEntry& entry : *group) {
      total += entry.newBytes;
      ++files;
    }
  Progress progress(output);
  progress.start("writing", files, total);
  if (!writeLooseFiles(state, update, &progress, output) || !writePackage(state, update, &progress, output) ||
      !copyUpdater(state, &progress, output))
    return false;
  progress.finish();
  for (const PlannedEntry& entry : state->loose)
    update->listText += std::string(1, entry.command) + "\t" + entry.path + "\r\n";
  for (const PlannedEntry& entry : state->entries)
    update->listText += "I\t" + entry.path + "\t" + entry.sourceName + "\t" + entry.entryName + "\r\n";
  std::string listPath = state->outFolder + "UpDate.lst";
  if (!writeWholeFile(listPath, update->listText.data(), static_cast<uint32_t>(update->listText.size()))) {
    ioError(output, "write", listPath);
    return false;
  }
  return true;
}

std::string plannedText(const PlannedEntry& entry) {
  std::string text(1, entry.command);
  text += " " + shown(entry.path);
  if (entry.command == 'I') text += " " + shown(entry.sourceName) + " " + shown(entry.entryName);
  text += "  (" + (entry.oldBytes >= 0 ? std::to_string(entry.oldBytes) + " -> " : std::string("new, ")) +
          std::to_string(entry.newBytes) + " bytes, " + (entry.inPackage ? "in the package" : "loose") + ")";
  return text;
}

const char kMakeUsage[] =
    "usage: updtool make [--package NAME] [--updater PATH] [--skip-unnameable] OLD_DIR NEW_DIR OUT_DIR\n";

// The updater that goes into the folder: the one named, else the one
// beside this tool, else none (and a note says so).
bool chooseUpdater(const std::string& named, MakeState* state, ToolOutput* output) {
  if (!named.empty()) return fileOperand("--updater", named, &state->updater, output);
  std::string beside = output->programFolder.empty() ? "" : asFolder(output->programFolder) + kUpdaterName;
  if (!beside.empty() && pathKind(beside) == PathKind::File) {
    state->updater = beside;
  } else {
    state->notes.push_back(std::string("no ") + kUpdaterName +
                           " beside updtool: the folder lacks the updater; copy it in, or name it with --updater");
  }
  return true;
}

// The command line into the state; false after a usage error is written.
bool readMakeArguments(const std::vector<std::string>& arguments, MakeState* state, std::string* outText,
                       ToolOutput* output) {
  std::vector<std::string> operands;
  std::string packageText = "UpDate.pak", updaterText;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--package" && i + 1 < arguments.size()) {
      packageText = arguments[++i];
    } else if (argument == "--updater" && i + 1 < arguments.size()) {
      updaterText = arguments[++i];
    } else if (argument == "--skip-unnameable") {
      state->skipUnnameable = true;
    } else if (argument.rfind("--", 0) == 0) {
      output->err += "updtool: make has no option " + argument + "\n" + kMakeUsage;
      return false;
    } else {
      operands.push_back(argument);
    }
  }
  if (operands.size() != 3) {
    output->err += kMakeUsage;
    return false;
  }
  *outText = operands[2];
  if (!folderOperand("OLD_DIR", operands[0], &state->oldFolder, output) ||
      !folderOperand("NEW_DIR", operands[1], &state->newFolder, output) ||
      !newPathOperand("OUT_DIR", operands[2], &state->outFolder, output) ||
      !newPathOperand("--package", packageText, &state->packageName, output))
    return false;
  if (holdsListWhiteSpace(state->packageName) || cp932PathParts(state->packageName).size() != 1 ||
      archiveFoldedName(state->packageName) == "update.lst") {
    output->err += "updtool: --package must be a plain file name without white space\n";
    return false;
  }
  state->oldFolder = asFolder(state->oldFolder);
  state->newFolder = asFolder(state->newFolder);
  state->outFolder = asFolder(state->outFolder);
  std::vector<std::string> existing;
  PathKind outKind = pathKind(state->outFolder);
  if (outKind == PathKind::File ||
      (outKind == PathKind::Folder && (!listFilesBelow(state->outFolder, &existing) || !existing.empty()))) {
    output->err += "updtool: OUT_DIR \"" + operands[2] + "\" must be a new or empty folder\n";
    return false;
  }
  if (!chooseUpdater(updaterText, state, output)) return false;
  // The list, the package and the updater lie beside the sources: no source may take their names.
  state->sourceNames.insert("update.lst");
  state->sourceNames.insert(archiveFoldedName(state->packageName));
  if (!state->updater.empty()) {
    std::string updaterName = archiveFoldedName(fileNameOf(state->updater));
    if (updaterName == "update.lst" || updaterName == archiveFoldedName(state->packageName)) {
      output->err += "updtool: the updater cannot take the name of the list or the package\n";
      return false;
    }
    state->sourceNames.insert(updaterName);
  }
  return true;
}

void printMake(const MakeState& state, const std::string& outText, bool written, const WrittenUpdate& update,
               ToolOutput* output) {
  bool withUpdater = written && !state.updater.empty();
  std::string& out = output->out;
  if (output->json) {
    JsonWriter json(&out);
    json.object().text("out", outText).flag("written", written).array("entries");
    for (const std::vector<PlannedEntry>* group : {&state.loose, &state.entries})
      for (const PlannedEntry& entry : *group)
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
    if (update.packageEntries > 0) json.name("package", state.packageName);
    else json.null("package");
    json.number("packageEntries", update.packageEntries).number("looseFiles", update.looseFiles);
    if (withUpdater) json.name("updater", fileNameOf(state.updater));
    else json.null("updater");
    json.texts("problems", state.problems).texts("skipped", state.skipped).texts("notes", state.notes).end();
    return;
  }
  for (const std::vector<PlannedEntry>* group : {&state.loose, &state.entries})
    for (const PlannedEntry& entry : *group) out += "  " + plannedText(entry) + "\n";
  for (const std::string& note : state.notes) out += "note: " + note + "\n";
  for (const std::string& skipped : state.skipped) out += "skipped: " + skipped + "\n";
  for (const std::string& problem : state.problems) out += "problem: " + problem + "\n";
  std::string problems = std::to_string(state.problems.size()) + (state.problems.size() == 1 ? " problem" : " problems") +
                         (state.skipped.empty() ? "" : ", " + std::to_string(state.skipped.size()) + " files left out");
  int listEntries = static_cast<int>(state.loose.size() + state.entries.size()) + (update.packageEntries > 0 ? 1 : 0);
  if (written)
    out += outText + ": UpDate.lst with " + std::to_string(listEntries) + " entries" +
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

  int entryCount = static_cast<int>(state.loose.size() + state.entries.size());
  if (entryCount == 0) {
    state.problems.push_back("nothing to update: no file or entry of NEW_DIR differs from OLD_DIR, so no list is written");
  } else if (entryCount + 1 > kUpdateListCapacity) {
    state.problems.push_back("the update needs " + std::to_string(entryCount + 1) +
                             " entries, more than the 512 a list can hold; nothing is written");
  }
  // Files that the update would silently lack stop it, unless the publisher
  // asked to leave them out.
  if (state.unnameableLeft) state.problems.push_back("nothing is written: NEW_DIR holds files the update could not carry");
  bool written = entryCount > 0 && entryCount + 1 <= kUpdateListCapacity && !state.unnameableLeft;
  WrittenUpdate update;
  if (written && !writeUpdate(&state, &update, output)) return kExitUsage;
  printMake(state, outText, written, update, output);
  return state.problems.empty() ? kExitFine : kExitProblems;
}
