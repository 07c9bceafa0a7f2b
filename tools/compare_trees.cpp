#include "tools/compare_trees.h"

#include <map>

#include "archive/archive_format.h"
#include "archive/content.h"
#include "archive/package_archive.h"
#include "run/setup_log.h"
#include "tools/archive_commands.h"

namespace {

const char kCompareUsage[] = "usage: updtool compare [--with-setup-log] DIR REFERENCE_DIR\n";

bool sameFiles(const std::string& first, const std::string& second, bool* same, std::string* failedPath) {
  uint64_t firstSize = 0, secondSize = 0;
  if (!fileSizeOf(first, &firstSize)) return *failedPath = first, false;
  if (!fileSizeOf(second, &secondSize)) return *failedPath = second, false;
  *same = false;
  if (firstSize != secondSize) return true;
  Content a, b;
  if (!readFileContent(first.c_str(), &a, kContentsCompared)) return *failedPath = first, false;
  if (!readFileContent(second.c_str(), &b, kContentsCompared)) return *failedPath = second, false;
  return sameBytes(a, first, b, first, {}, same, failedPath);  // a content that fails names the first file
}

// The first record of each name, by folded name.
std::map<std::string, int32_t> firstRecords(PackageArchive& archive) {
  std::map<std::string, int32_t> records;
  for (int32_t i = 0; i < archive.loadedEntryCount(); ++i) {
    const ArchiveEntryInfo* entry = archive.loadedEntry(i);
    if (entry != nullptr && entry->name != nullptr) records.emplace(archiveFoldedName(entry->name), i);
  }
  return records;
}

bool compareArchives(const std::string& dir, const std::string& reference, const std::string& path,
                     std::vector<TreeDifference>* differences, std::string* failedPath) {
  PackageArchive mine((dir + path).c_str()), theirs((reference + path).c_str());
  if (indexReadFailed(mine)) return *failedPath = dir + path, false;
  if (indexReadFailed(theirs)) return *failedPath = reference + path, false;
  std::map<std::string, int32_t> mineByName = firstRecords(mine), theirsByName = firstRecords(theirs);
  for (const auto& [folded, record] : theirsByName) {
    std::string name = theirs.loadedEntry(record)->name;
    auto found = mineByName.find(folded);
    if (found == mineByName.end()) {
      differences->push_back({TreeDifference::MissingEntry, path, name});
      continue;
    }
    // Whichever entry fails, the archive of DIR is named.
    Content a, b;
    bool same = false;
    if (!mine.readEntryAt(found->second, &a, kContentsCompared) || !theirs.readEntryAt(record, &b, kContentsCompared))
      return *failedPath = dir + path, false;
    if (!sameBytes(a, dir + path, b, dir + path, {}, &same, failedPath)) return false;
    if (!same) differences->push_back({TreeDifference::DifferentEntry, path, name});
  }
  for (const auto& [folded, record] : mineByName)
    if (!theirsByName.count(folded))
      differences->push_back({TreeDifference::ExtraEntry, path, mine.loadedEntry(record)->name});
  return true;
}

}  // namespace

bool sameBytes(const Content& first, const std::string& firstPath, Content& second, const std::string& secondPath,
               const ContentProgress& progress, bool* same, std::string* failedPath) {
  ContentMatch match = matchContent(first, second, progress);
  *same = match == ContentMatch::Same;
  if (match == ContentMatch::FirstUnreadable) return *failedPath = firstPath, false;
  if (match == ContentMatch::SecondUnreadable) return *failedPath = secondPath, false;
  return true;
}

const char* differenceCode(TreeDifference::Kind kind) {
  static const char* const kCodes[] = {"missing", "extra", "different", "missing-entry", "extra-entry", "different-entry"};
  return kCodes[kind];
}

std::string differenceText(const TreeDifference& difference) {
  std::string code = differenceCode(difference.kind);
  if (difference.entry.empty() && difference.kind <= TreeDifference::Different)
    return code + " " + shown(difference.path);
  return code.substr(0, code.find('-')) + " entry \"" + shown(difference.entry) + "\" of " + shown(difference.path);
}

bool compareFolders(const std::string& dir, const std::string& reference, bool withSetupLog,
                    std::vector<TreeDifference>* differences, std::string* failedPath) {
  std::vector<std::string> mine, theirs;
  if (!listFilesBelow(dir, &mine)) return *failedPath = dir, false;
  if (!listFilesBelow(reference, &theirs)) return *failedPath = reference, false;
  std::map<std::string, std::string> mineByName, theirsByName;
  for (const std::string& file : mine) mineByName.emplace(windowsFoldedName(file), file);
  for (const std::string& file : theirs) theirsByName.emplace(windowsFoldedName(file), file);
  if (!withSetupLog)
    for (auto* byName : {&mineByName, &theirsByName}) byName->erase(windowsFoldedName(kSetupLogName));
  for (const auto& [folded, path] : theirsByName) {
    auto found = mineByName.find(folded);
    if (found == mineByName.end()) {
      differences->push_back({TreeDifference::Missing, path, ""});
      continue;
    }
    bool mineFailed = false, theirsFailed = false;
    bool archives = isSoundArchive(dir + found->second, &mineFailed) && isSoundArchive(reference + path, &theirsFailed);
    if (mineFailed || theirsFailed) return *failedPath = mineFailed ? dir + found->second : reference + path, false;
    if (archives) {
      if (!compareArchives(dir, reference, path, differences, failedPath)) return false;
      continue;
    }
    bool same = false;
    if (!sameFiles(dir + found->second, reference + path, &same, failedPath)) return false;
    if (!same) differences->push_back({TreeDifference::Different, path, ""});
  }
  for (const auto& [folded, path] : mineByName)
    if (!theirsByName.count(folded))
      differences->push_back({TreeDifference::Extra, path, ""});
  return true;
}

int runCompare(const std::vector<std::string>& arguments, ToolOutput* output) {
  std::vector<std::string> operands;
  bool withSetupLog = false;
  for (const std::string& argument : arguments) {
    if (argument == "--with-setup-log") withSetupLog = true;
    else if (argument.rfind("--", 0) == 0) return output->err += kCompareUsage, kExitUsage;
    else operands.push_back(argument);
  }
  std::string dir, reference, failedPath;
  if (operands.size() != 2) return output->err += kCompareUsage, kExitUsage;
  if (!existingOperand("DIR", operands[0], PathKind::Folder, &dir, output) ||
      !existingOperand("REFERENCE_DIR", operands[1], PathKind::Folder, &reference, output))
    return kExitUsage;
  std::vector<TreeDifference> differences;
  if (!compareFolders(asFolder(dir), asFolder(reference), withSetupLog, &differences, &failedPath)) {
    output->err += "updtool: cannot read \"" + shown(failedPath) + "\": " + lastErrorText() + "\n";
    return kExitUsage;
  }
  if (output->json) {
    JsonWriter json(&output->out);
    json.object().text("dir", operands[0]).text("reference", operands[1]).array("differences");
    for (const TreeDifference& difference : differences) {
      json.object().text("code", differenceCode(difference.kind)).name("path", difference.path);
      if (!difference.entry.empty()) json.name("entry", difference.entry);
      json.end();
    }
    json.end().number("count", static_cast<int64_t>(differences.size())).end();
  } else {
    for (const TreeDifference& difference : differences) output->out += differenceText(difference) + "\n";
    output->out += operands[0] + (differences.empty() ? " is equal to " : " differs from ") + operands[1] + ": " +
                   std::to_string(differences.size()) + (differences.size() == 1 ? " difference\n" : " differences\n");
  }
  return differences.empty() ? kExitFine : kExitProblems;
}
