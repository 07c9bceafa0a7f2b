#include "tools/make_update.h"

#include <map>
#include <set>

#include "archive/archive_builder.h"
#include "archive/content.h"
#include "archive/package_archive.h"
#include "list/update_list.h"
#include "platform/platform.h"
#include "run/setup_log.h"
#include "tools/archive_commands.h"

namespace {

// A list line keeps its fields and its LF within one 255-byte piece.
constexpr size_t kLongestListLine = kListLineBufferSize - 2;

struct PlannedEntry {
  char command = 0;
  std::string path;        // target, relative to the install folder
  std::string sourceName;  // what the list names as the source
  std::string entryName;   // for I
  std::string content;
  int64_t oldBytes = -1;
  bool inPackage = false;
};

struct MakeState {
  std::string oldFolder, newFolder, outFolder, packageName;
  std::vector<PlannedEntry> loose;   // C and R, in file order
  std::vector<PlannedEntry> entries; // I, in archive and entry order
  std::vector<std::string> problems; // UTF-8
  std::vector<std::string> notes;    // UTF-8
  std::set<std::string> sourceNames; // folded: package entries and loose files share one namespace
};

std::string q(const std::string& cp932) { return "\"" + shown(cp932) + "\""; }

bool readBytes(const std::string& path, std::string* bytes) {
  Content content;
  if (!readWholeFile(path.c_str(), &content)) return false;
  bytes->assign(content.bytes.get(), content.size);
  return true;
}

// A source name for an archive entry: the archive's path and the entry's
// name, or a numbered name when that is taken or too long for the line.
std::string entrySourceName(MakeState* state, const std::string& archive, const std::string& entry) {
  std::string name = archive + "\\" + entry;
  size_t lineLength = 1 + 1 + archive.size() + 1 + name.size() + 1 + entry.size();
  for (int serial = 1; state->sourceNames.count(foldedName(name)) || lineLength > kLongestListLine; ++serial) {
    name = "entry" + std::to_string(serial);
    lineLength = 1 + 1 + archive.size() + 1 + name.size() + 1 + entry.size();
    if (serial > 100000) break;
  }
  return name;
}

void planLoose(MakeState* state, char command, const std::string& path, std::string content, int64_t oldBytes) {
  if (2 + path.size() > kLongestListLine) {
    state->problems.push_back(q(path) + ": the path is too long for a line of the list");
    return;
  }
  if (state->sourceNames.count(foldedName(path))) {
    state->problems.push_back(q(path) + ": another source already has this name under the archive's case folding");
    return;
  }
  state->sourceNames.insert(foldedName(path));
  PlannedEntry entry;
  entry.command = command;
  entry.path = path;
  entry.sourceName = path;
  entry.content = std::move(content);
  entry.oldBytes = oldBytes;
  state->loose.push_back(std::move(entry));
}

// Entry by entry, by the archive's own name matching. False when the
// archive cannot be expressed entry by entry and goes whole instead.
bool planArchive(MakeState* state, const std::string& path, std::string* why) {
  PackageArchive oldArchive((state->oldFolder + path).c_str());
  PackageArchive newArchive((state->newFolder + path).c_str());
  std::vector<PlannedEntry> planned;
  std::set<std::string> seen;
  int32_t count = newArchive.loadedEntryCount();
  for (int32_t i = 0; i < count; ++i) {
    const ArchiveEntryInfo* info = newArchive.loadedEntry(i);
    std::string name = info && info->name ? info->name : "";
    if (seen.count(foldedName(name))) {
      state->notes.push_back(q(path) + ": entry " + std::to_string(i + 1) + " " + q(name) +
                             " repeats an earlier name and is never read; it is left out");
      continue;
    }
    seen.insert(foldedName(name));
    if (name.empty() || holdsListWhiteSpace(name)) {
      *why = "the entry name " + q(name) + " cannot be written in a list";
      return false;
    }
    Content fresh;
    if (!newArchive.readEntry(name.c_str(), &fresh)) {
      *why = "the entry " + q(name) + " cannot be read";
      return false;
    }
    Content stored;
    bool held = oldArchive.readEntry(name.c_str(), &stored);
    if (held && sameContent(stored, fresh)) continue;
    if (!held && fresh.size == 0) {
      *why = "the new entry " + q(name) + " is empty, and the updater adds no empty entry";
      return false;
    }
    PlannedEntry entry;
    entry.command = 'I';
    entry.path = path;
    entry.entryName = name;
    entry.content.assign(fresh.bytes.get(), fresh.size);
    entry.oldBytes = held ? static_cast<int64_t>(stored.size) : -1;
    planned.push_back(std::move(entry));
  }
  int32_t oldCount = oldArchive.loadedEntryCount();
  for (int32_t i = 0; i < oldCount; ++i) {
    const ArchiveEntryInfo* info = oldArchive.loadedEntry(i);
    std::string name = info && info->name ? info->name : "";
    if (!newArchive.holdsEntry(name.c_str()))
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
    state->sourceNames.insert(foldedName(entry.sourceName));
    state->entries.push_back(std::move(entry));
  }
  return true;
}

bool compareTrees(MakeState* state, ToolOutput* output) {
  std::vector<std::string> oldFiles, newFiles;
  if (!listFilesBelow(state->oldFolder, &oldFiles) || !listFilesBelow(state->newFolder, &newFiles)) {
    output->err += "updtool: cannot read OLD_DIR or NEW_DIR: " + lastErrorText() + "\n";
    return false;
  }
  std::map<std::string, std::string> oldByFolded;
  for (const std::string& file : oldFiles) oldByFolded[foldedName(file)] = file;
  std::set<std::string> newFolded;
  for (const std::string& file : newFiles) {
    newFolded.insert(foldedName(file));
    if (foldedName(file) == foldedName(kSetupLogName)) {
      state->notes.push_back(q(file) + " is left alone: the updater keeps it itself");
      continue;
    }
    std::string fresh, stored;
    if (!readBytes(state->newFolder + file, &fresh)) {
      output->err += "updtool: cannot read " + q(state->newFolder + file) + ": " + lastErrorText() + "\n";
      return false;
    }
    auto old = oldByFolded.find(foldedName(file));
    bool present = old != oldByFolded.end();
    if (present && !readBytes(state->oldFolder + old->second, &stored)) {
      output->err += "updtool: cannot read " + q(state->oldFolder + old->second) + ": " + lastErrorText() + "\n";
      return false;
    }
    if (present && fresh == stored) continue;
    if (holdsListWhiteSpace(file)) {
      state->problems.push_back(q(file) + ": a path with white space cannot be written in a list; left out");
      continue;
    }
    if (present) {
      std::string why;
      if (isSoundArchive(state->oldFolder + old->second) && isSoundArchive(state->newFolder + file)) {
        if (planArchive(state, old->second, &why)) continue;
        state->notes.push_back(q(file) + " goes whole: " + why);
      }
      planLoose(state, 'R', old->second, std::move(fresh), static_cast<int64_t>(stored.size()));
      continue;
    }
    if (fresh.empty()) {
      state->problems.push_back(q(file) + ": the updater does not create an empty file; left out");
      continue;
    }
    std::string folder = parentFolder(file);
    if (!folder.empty() && pathKind(state->oldFolder + folder) != PathKind::Folder) {
      state->problems.push_back(q(file) + ": its folder " + q(folder) + " is new, and the updater makes no folders; left out");
      continue;
    }
    planLoose(state, 'C', file, std::move(fresh), -1);
  }
  for (const std::string& file : oldFiles)
    if (!newFolded.count(foldedName(file)) && foldedName(file) != foldedName(kSetupLogName))
      state->problems.push_back(q(file) + " is gone from NEW_DIR, but the updater cannot remove files; it stays");
  return true;
}

// Sources of R and I go into the package; C sources stay loose, so that
// the copy fallback of "C" (which takes the loose file) finds them, and so
// does anything that would carry the package past 2 GiB.
bool writeUpdate(MakeState* state, std::string* listText, std::vector<ArchiveBuilderEntry>* package, int* looseCount,
                 ToolOutput* output) {
  uint64_t packageSize = kArchiveHeaderSize;
  auto intoPackage = [&](PlannedEntry* entry) {
    uint64_t size = entry->sourceName.size() + 1 + entry->content.size() + kArchiveRecordSize;
    if (packageSize + size > kArchiveMaxPosition) return;
    packageSize += size;
    entry->inPackage = true;
    package->push_back(ArchiveBuilderEntry{entry->sourceName, entry->content});
  };
  for (PlannedEntry& entry : state->loose)
    if (entry.command == 'R') intoPackage(&entry);
  for (PlannedEntry& entry : state->entries) intoPackage(&entry);

  if (!makeFolders(state->outFolder)) {
    output->err += "updtool: cannot make " + q(state->outFolder) + ": " + lastErrorText() + "\n";
    return false;
  }
  auto writeLoose = [&](const PlannedEntry& entry) {
    if (entry.inPackage) return true;
    std::string target = state->outFolder + entry.sourceName;
    if (!makeFolders(state->outFolder + parentFolder(entry.sourceName)) ||
        !writeWholeFile(target, entry.content.data(), static_cast<uint32_t>(entry.content.size()))) {
      output->err += "updtool: cannot write " + q(target) + ": " + lastErrorText() + "\n";
      return false;
    }
    ++*looseCount;
    return true;
  };
  for (const PlannedEntry& entry : state->loose)
    if (!writeLoose(entry)) return false;
  for (const PlannedEntry& entry : state->entries)
    if (!writeLoose(entry)) return false;
  if (!package->empty()) {
    if (!writeArchiveFile((state->outFolder + state->packageName).c_str(), *package)) {
      output->err += "updtool: cannot write the package: " + lastErrorText() + "\n";
      return false;
    }
    *listText += "P\t" + state->packageName + "\r\n";
  }
  for (const PlannedEntry& entry : state->loose) *listText += std::string(1, entry.command) + "\t" + entry.path + "\r\n";
  for (const PlannedEntry& entry : state->entries)
    *listText += "I\t" + entry.path + "\t" + entry.sourceName + "\t" + entry.entryName + "\r\n";
  std::string listPath = state->outFolder + "UpDate.lst";
  if (!writeWholeFile(listPath, listText->data(), static_cast<uint32_t>(listText->size()))) {
    output->err += "updtool: cannot write " + q(listPath) + ": " + lastErrorText() + "\n";
    return false;
  }
  return true;
}

std::string plannedText(const PlannedEntry& entry) {
  std::string text(1, entry.command);
  text += " " + shown(entry.path);
  if (entry.command == 'I') text += " " + shown(entry.sourceName) + " " + shown(entry.entryName);
  text += "  (" + (entry.oldBytes >= 0 ? std::to_string(entry.oldBytes) + " -> " : std::string("new, ")) +
          std::to_string(entry.content.size()) + " bytes, " + (entry.inPackage ? "in the package" : "loose") + ")";
  return text;
}

const char kMakeUsage[] = "usage: updtool make [--package NAME] OLD_DIR NEW_DIR OUT_DIR\n";

}  // namespace

int runMake(const std::vector<std::string>& arguments, ToolOutput* output) {
  std::vector<std::string> operands;
  std::string packageText = "UpDate.pak";
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "--package" && i + 1 < arguments.size()) packageText = arguments[++i];
    else operands.push_back(arguments[i]);
  }
  MakeState state;
  if (operands.size() != 3) {
    output->err += kMakeUsage;
    return kExitUsage;
  }
  if (!argumentPath(operands[0], &state.oldFolder) || !argumentPath(operands[1], &state.newFolder) ||
      !argumentPath(operands[2], &state.outFolder) || !argumentPath(packageText, &state.packageName)) {
    output->err += "updtool: a path has no CP932 form\n";
    return kExitUsage;
  }
  if (state.packageName.empty() || holdsListWhiteSpace(state.packageName) || pathParts(state.packageName).size() != 1 ||
      foldedName(state.packageName) == "update.lst") {
    output->err += "updtool: the package name must be a plain file name without white space\n";
    return kExitUsage;
  }
  state.oldFolder = asFolder(state.oldFolder);
  state.newFolder = asFolder(state.newFolder);
  state.outFolder = asFolder(state.outFolder);
  std::vector<std::string> existing;
  if (pathKind(state.outFolder) == PathKind::File ||
      (pathKind(state.outFolder) == PathKind::Folder && (!listFilesBelow(state.outFolder, &existing) || !existing.empty()))) {
    output->err += "updtool: OUT_DIR " + operands[2] + " must be a new or empty folder\n";
    return kExitUsage;
  }
  // The list and the package lie beside the sources: no source may take their names.
  state.sourceNames.insert("update.lst");
  state.sourceNames.insert(foldedName(state.packageName));
  if (!compareTrees(&state, output)) return kExitUsage;

  int entryCount = static_cast<int>(state.loose.size() + state.entries.size());
  if (entryCount == 0) {
    state.problems.push_back("nothing to update: no file or entry of NEW_DIR differs from OLD_DIR, so no list is written");
  } else if (entryCount + 1 > kUpdateListCapacity) {
    state.problems.push_back("the update needs " + std::to_string(entryCount + 1) +
                             " entries, more than the 512 a list can hold; nothing is written");
  }
  std::string listText;
  std::vector<ArchiveBuilderEntry> package;
  int looseCount = 0;
  bool written = entryCount > 0 && entryCount + 1 <= kUpdateListCapacity;
  if (written && !writeUpdate(&state, &listText, &package, &looseCount, output)) return kExitUsage;

  uint64_t packageBytes = 0;
  for (const ArchiveBuilderEntry& entry : package) packageBytes += entry.content.size();
  std::string& out = output->out;
  if (output->json) {
    out += "{\"out\":" + jsonText(operands[2]) + ",\"written\":" + (written ? "true" : "false") + ",\"entries\":[";
    bool first = true;
    for (const std::vector<PlannedEntry>* group : {&state.loose, &state.entries})
      for (const PlannedEntry& entry : *group) {
        out += std::string(first ? "" : ",") + "{\"command\":\"" + entry.command + "\",\"path\":" + jsonName(entry.path) +
               ",\"source\":" + jsonName(entry.sourceName) + ",\"entryName\":" + jsonName(entry.entryName) +
               ",\"oldBytes\":" + std::to_string(entry.oldBytes) + ",\"newBytes\":" + std::to_string(entry.content.size()) +
               ",\"inPackage\":" + (entry.inPackage ? "true" : "false") + "}";
        first = false;
      }
    out += "],\"package\":" + (package.empty() ? std::string("null") : jsonName(state.packageName)) +
           ",\"packageEntries\":" + std::to_string(package.size()) + ",\"looseFiles\":" + std::to_string(looseCount) +
           ",\"problems\":[";
    for (size_t i = 0; i < state.problems.size(); ++i) out += (i ? "," : "") + jsonText(state.problems[i]);
    out += "],\"notes\":[";
    for (size_t i = 0; i < state.notes.size(); ++i) out += (i ? "," : "") + jsonText(state.notes[i]);
    out += "]}\n";
  } else {
    for (const std::vector<PlannedEntry>* group : {&state.loose, &state.entries})
      for (const PlannedEntry& entry : *group) out += "  " + plannedText(entry) + "\n";
    for (const std::string& note : state.notes) out += "note: " + note + "\n";
    for (const std::string& problem : state.problems) out += "problem: " + problem + "\n";
    if (written)
      out += operands[2] + ": UpDate.lst with " + std::to_string(entryCount + (package.empty() ? 0 : 1)) + " entries" +
             (package.empty() ? std::string() : ", package " + shown(state.packageName) + " (" + std::to_string(package.size()) +
                                                    " entries, " + std::to_string(packageBytes) + " bytes)") +
             ", " + std::to_string(looseCount) + " loose files; " + std::to_string(state.problems.size()) +
             (state.problems.size() == 1 ? " problem\n" : " problems\n");
    else
      out += operands[2] + ": nothing written; " + std::to_string(state.problems.size()) +
             (state.problems.size() == 1 ? " problem\n" : " problems\n");
  }
  return state.problems.empty() ? kExitFine : kExitProblems;
}
