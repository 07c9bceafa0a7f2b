#include "tools/archive_commands.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "archive/archive_writer.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "tools/progress.h"

namespace {

bool inFile(uint64_t offset, uint64_t length, uint64_t fileSize) { return offset + length <= fileSize; }

std::string number(uint64_t value) { return std::to_string(value); }

// Where a name, a content or the index lies: "(offset 24, 5 bytes)".
std::string span(uint64_t offset, uint64_t length) { return "(offset " + number(offset) + ", " + number(length) + " bytes)"; }

// The name of the entry at `position`; "" for one whose name cannot be read.
std::string entryName(PackageArchive& archive, int32_t position) {
  const ArchiveEntryInfo* info = archive.loadedEntry(position);
  return info->name ? info->name : "";
}

// The raw header and records, for the bounds checks that the reader leaves
// to its callers. Names and contents always come through PackageArchive.
struct ArchiveLayout {
  uint64_t fileSize = 0;
  bool headerComplete = false;
  bool magicMatches = false;
  ArchiveHeader header;
  std::vector<ArchiveRecord> records;  // the whole records inside the file
};

// False when the file cannot be opened or read.
bool inspectArchiveLayout(const std::string& path, ArchiveLayout* layout) {
  *layout = ArchiveLayout{};
  plat::File file;
  if (!file.open(path.c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting) || !file.size(&layout->fileSize))
    return false;
  unsigned char header[kArchiveHeaderSize];
  uint32_t got = static_cast<uint32_t>(std::min<uint64_t>(layout->fileSize, sizeof header));
  if (!file.readExactly(header, got)) return false;
  if (got < sizeof kArchiveMagic) return true;
  layout->magicMatches = startsWithArchiveMagic(header);
  if (got < kArchiveHeaderSize) return true;
  layout->headerComplete = true;
  layout->header = decodeArchiveHeader(header);
  uint32_t indexOffset = layout->header.indexOffset;
  if (indexOffset > layout->fileSize || indexOffset > kArchiveMaxPosition) return true;
  // Only the part of the index inside the file can be read.
  uint32_t readable = static_cast<uint32_t>(std::min<uint64_t>(layout->header.indexSize, layout->fileSize - indexOffset));
  readable -= readable % kArchiveRecordSize;
  std::vector<unsigned char> index(readable);
  if (readable == 0) return true;
  if (!file.readExactlyAt(indexOffset, index.data(), readable)) return false;
  for (uint32_t at = 0; at < readable; at += kArchiveRecordSize)
    layout->records.push_back(decodeArchiveRecord(&index[at]));
  return true;
}

// Bytes of the file that neither the header, the index, a name nor a
// content covers: left behind by replaced entries and moved indexes.
uint64_t unreferencedBytes(const ArchiveLayout& layout) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  auto cover = [&](uint64_t offset, uint64_t length) {
    uint64_t end = std::min<uint64_t>(offset + length, layout.fileSize);
    if (offset < end) ranges.emplace_back(offset, end);
  };
  cover(0, kArchiveHeaderSize);
  if (layout.headerComplete) cover(layout.header.indexOffset, layout.header.indexSize);
  for (const ArchiveRecord& record : layout.records) {
    cover(record.nameOffset, record.nameLength);
    cover(record.dataOffset, record.dataSize);
  }
  std::sort(ranges.begin(), ranges.end());
  // Sorted by start, each range adds what reaches past those before it;
  // every range ends within the file, so the sum stays within its size.
  uint64_t covered = 0;
  uint64_t reach = 0;
  for (const auto& [start, end] : ranges) {
    if (end <= reach) continue;
    covered += end - std::max(start, reach);
    reach = end;
  }
  return layout.fileSize - covered;
}

// Everything that makes the archive read otherwise than its records say,
// by entry (1-based).
void checkArchive(const ArchiveLayout& layout, PackageArchive* archive, std::vector<Finding>* findings) {
  auto add = [&](int entry, const char* code, const std::string& message, bool problem = true) {
    findings->push_back(Finding{entry, code, problem, message});
  };
  if (!layout.magicMatches)
    add(0, "no-magic", "the file does not begin with \"QRV001\": the updater refuses to change it (message M)");
  if (!layout.headerComplete) {
    add(0, "short-header", "the file is shorter than the 24-byte header: it has no entries");
    return;
  }
  const ArchiveHeader& header = layout.header;
  if (!inFile(header.indexOffset, header.indexSize, layout.fileSize))
    add(0, "index-outside", "the index " + span(header.indexOffset, header.indexSize) +
                                " reaches beyond the end of the file (" + number(layout.fileSize) + " bytes)");
  if (header.indexSize % kArchiveRecordSize != 0)
    add(0, "partial-record", "the index size " + number(header.indexSize) + " is no multiple of 20: the last " +
                                 number(header.indexSize % kArchiveRecordSize) + " bytes belong to no entry");
  if (!archiveGrowthFits(header.indexOffset, header.indexSize))
    add(0, "beyond-2gib", "the index lies beyond 2 GiB, where the updater cannot seek");
  for (size_t i = 0; i < layout.records.size(); ++i) {
    const ArchiveRecord& record = layout.records[i];
    int entry = static_cast<int>(i) + 1;
    if (!inFile(record.nameOffset, record.nameLength, layout.fileSize))
      add(entry, "name-outside", "the name " + span(record.nameOffset, record.nameLength) + " reaches beyond the end of the file");
    if (record.nameLength == 0) add(entry, "empty-name", "the name has no bytes, not even its NUL");
    if (!inFile(record.dataOffset, record.dataSize, layout.fileSize))
      add(entry, "data-outside", "the content " + span(record.dataOffset, record.dataSize) + " reaches beyond the end of the file");
    if (!archiveGrowthFits(record.dataOffset, record.dataSize) || !archiveGrowthFits(record.nameOffset, record.nameLength))
      add(entry, "beyond-2gib", "the record points beyond 2 GiB, where the updater cannot seek");
    if (record.reserved != 0) add(entry, "reserved-set", "the reserved field holds " + number(record.reserved), false);
  }
  // Names as the reader keeps them: the first of a folded name wins.
  for (int32_t i = 0; i < archive->loadedEntryCount(); ++i) {
    const ArchiveEntryInfo* info = archive->loadedEntry(i);
    if (info == nullptr || !info->name) continue;
    std::string name = info->name;
    uint32_t fieldLength = layout.records[i].nameLength;
    if (name.size() + 1 > fieldLength)
      add(i + 1, "unterminated-name", "the name has no NUL within its " + number(fieldLength) + " bytes");
    int32_t first = archive->findLoadedEntry(info->name);
    if (first != i)
      add(i + 1, "duplicate-name", "\"" + shown(name) + "\" is the same name as entry " + number(first + 1) +
                                       " under the archive's case folding: this entry is never read");
  }
  uint64_t unreferenced = unreferencedBytes(layout);
  if (unreferenced > 0)
    add(0, "unreferenced", number(unreferenced) + " bytes are not referenced by the header, the index, a name or a content", false);
}

const char kArchiveUsage[] =
    "usage: updtool archive create [--skip-unnameable] OUT DIR\n"
    "       updtool archive list FILE\n"
    "       updtool archive extract FILE DIR\n"
    "       updtool archive verify FILE\n";

// What "archive create" makes of the files below DIR.
struct ArchivePlan {
  struct Entry {
    std::string name;
    uint64_t size;
  };
  std::vector<Entry> entries;
  std::vector<std::string> problems, warnings, skipped;  // UTF-8
  uint64_t total = kArchiveHeaderSize, contents = 0;
};

// The entries of the files below `folder` but the archive itself; false
// after an I/O error is reported.
bool planArchiveOf(const std::string& folder, const std::string& folderText, const std::string& out,
                   bool skipUnnameable, ArchivePlan* plan, ToolOutput* output) {
  std::vector<std::string> files;
  std::vector<OddName> unnameable, reshaped;
  if (!listFilesBelow(folder, &files, &unnameable, &reshaped)) return cannot(output, "read DIR \"" + folderText + "\"");
  std::string outAbsolute, folderAbsolute;
  absolutePath(out, &outAbsolute);
  absolutePath(folder, &folderAbsolute);
  std::map<std::string, std::string> names;
  for (const std::string& name : files) {
    if (archiveFoldedName(folderAbsolute + name) == archiveFoldedName(outAbsolute)) continue;  // the archive being written
    auto [clash, first] = names.emplace(archiveFoldedName(name), name);
    if (!first) {
      plan->problems.push_back("\"" + shown(name) + "\" and \"" + shown(clash->second) +
                               "\" are one name to the archive (letters fold to lower case); the second could never be read");
      continue;
    }
    uint64_t size = 0;
    if (!fileSizeOf(folder + name, &size)) return ioError(output, "read", folder + name);
    if (holdsListWhiteSpace(name))
      plan->warnings.push_back("\"" + shown(name) + "\" holds white space: no line of an update list can name this entry");
    plan->total += name.size() + 1 + size + kArchiveRecordSize;
    plan->contents += size;
    plan->entries.push_back(ArchivePlan::Entry{name, size});
  }
  for (const OddName& file : unnameable) {
    std::string text = "\"" + file.utf8 + "\": code page 932 cannot write this name, so no archive entry can hold it";
    if (skipUnnameable) plan->skipped.push_back(text + "; left out (--skip-unnameable)");
    else plan->problems.push_back(text + "; rename it, or leave it out with --skip-unnameable");
  }
  for (const OddName& name : reshaped)
    plan->warnings.push_back("\"" + name.utf8 + "\" is stored as \"" + shown(name.path) + "\" (" + reshapedCharacters(name) +
                             "): code page 932 has one character for both");
  if (!archiveGrowthFits(0, plan->total))
    plan->problems.push_back("the archive would be " + number(plan->total) + " bytes, past the 2 GiB that the updater can read");
  return true;
}

// False after an I/O error is reported.
bool writeArchive(const std::string& out, const std::string& outText, const std::string& folder,
                  const ArchivePlan& plan, ToolOutput* output) {
  Progress progress(output);
  progress.start("writing", plan.entries.size(), plan.contents);
  ArchiveWriter writer;
  bool fine = writer.create(out.c_str());
  bool readFailed = false;
  std::string path;
  for (size_t i = 0; fine && i < plan.entries.size(); ++i) {
    progress.nextFile(plan.entries[i].name);
    path = folder + plan.entries[i].name;
    Content content;
    readFailed = !readFileContent(path.c_str(), &content, ContentLimits());
    fine = !readFailed && writer.add(plan.entries[i].name, content, progress.pieces(), &readFailed);
  }
  fine = fine && writer.finish();
  return fine || (readFailed ? ioError(output, "read", path) : cannot(output, "write OUT \"" + outText + "\""));
}

void printCreated(const std::string& outText, bool written, const ArchivePlan& plan, ToolOutput* output) {
  if (output->json) {
    JsonWriter json(&output->out);
    json.object().text("archive", outText).flag("written", written).number("entries", written ? plan.entries.size() : 0);
    json.number("bytes", written ? plan.total : 0).texts("problems", plan.problems).texts("skipped", plan.skipped);
    json.texts("warnings", plan.warnings).end();
    return;
  }
  std::string& out = output->out;
  if (written)
    for (const ArchivePlan::Entry& entry : plan.entries) out += "  " + shown(entry.name) + "  " + number(entry.size) + " bytes\n";
  for (const std::string& warning : plan.warnings) out += "warning: " + warning + "\n";
  for (const std::string& left : plan.skipped) out += "skipped: " + left + "\n";
  for (const std::string& problem : plan.problems) out += "problem: " + problem + "\n";
  out += outText + (written ? ": " + number(plan.entries.size()) + " entries, " + number(plan.total) + " bytes"
                            : ": nothing written; " + counted(plan.problems.size(), "problem"));
  out += plan.warnings.empty() ? "\n" : "; " + counted(plan.warnings.size(), "warning") + "\n";
}

int createArchive(const std::string& outText, const std::string& folderText, bool skipUnnameable, ToolOutput* output) {
  std::string out, folder;
  if (!newPathOperand("OUT", outText, &out, output) ||
      !existingOperand("DIR", folderText, PathKind::Folder, &folder, output))
    return kExitUsage;
  folder = asFolder(folder);
  ArchivePlan plan;
  if (!planArchiveOf(folder, folderText, out, skipUnnameable, &plan, output)) return kExitUsage;
  bool written = plan.problems.empty();
  if (written && !writeArchive(out, outText, folder, plan, output)) return kExitUsage;
  printCreated(outText, written, plan, output);
  return written ? kExitFine : kExitProblems;
}

// Why the updater's reader finds no entries where the file promises some;
// empty for a readable archive.
std::string unreadableArchiveReason(const ArchiveLayout& layout, PackageArchive* archive) {
  if (!layout.magicMatches) return "the file is not a package archive: it does not begin with \"QRV001\"";
  if (!layout.headerComplete) return "the file is shorter than the 24-byte archive header";
  archive->loadedEntryCount();
  if (archive->indexUnreadable()) return "the archive's index cannot be read (see archive verify)";
  return "";
}

bool openForReading(const std::string& text, std::string* path, ArchiveLayout* layout, ToolOutput* output) {
  if (!existingOperand("FILE", text, PathKind::File, path, output)) return false;
  return inspectArchiveLayout(*path, layout) || cannot(output, "read FILE \"" + text + "\"");
}

int listArchive(const std::string& text, ToolOutput* output) {
  std::string path;
  ArchiveLayout layout;
  if (!openForReading(text, &path, &layout, output)) return kExitUsage;
  PackageArchive archive(path.c_str());
  int32_t count = archive.loadedEntryCount();
  uint64_t unreferenced = unreferencedBytes(layout);
  std::string unreadable = unreadableArchiveReason(layout, &archive);
  std::string& out = output->out;
  if (output->json) {
    JsonWriter json(&out);
    json.object().text("archive", text).number("fileSize", layout.fileSize).flag("magic", layout.magicMatches);
    json.textOrNull("problem", unreadable).number("indexOffset", layout.header.indexOffset).number("indexSize", layout.header.indexSize);
    json.flag("indexReadable", !archive.indexUnreadable()).number("unreferencedBytes", unreferenced).array("entries");
    for (int32_t i = 0; i < count; ++i) {
      const ArchiveEntryInfo* info = archive.loadedEntry(i);
      json.object().name("name", entryName(archive, i)).number("dataOffset", info->dataOffset);
      json.number("dataSize", info->dataSize).end();
    }
    json.end().end();
  } else {
    char line[96];
    std::snprintf(line, sizeof line, "%6s %12s %12s  %s\n", "#", "offset", "size", "name");
    out += line;
    uint64_t contents = 0;
    for (int32_t i = 0; i < count; ++i) {
      const ArchiveEntryInfo* info = archive.loadedEntry(i);
      contents += info->dataSize;
      std::snprintf(line, sizeof line, "%6d %12u %12u  ", static_cast<int>(i + 1), info->dataOffset, info->dataSize);
      out += line + shown(entryName(archive, i)) + "\n";
    }
    out += text + ": " + number(count) + " entries, " + number(contents) + " bytes of contents; file " + number(layout.fileSize) +
           " bytes, index at " + number(layout.header.indexOffset) + " (" + number(layout.header.indexSize) + " bytes), " +
           number(unreferenced) + " bytes unreferenced" + (unreadable.empty() ? "" : "; problem: " + unreadable) + "\n";
  }
  return unreadable.empty() ? kExitFine : kExitProblems;
}

int verifyArchive(const std::string& text, ToolOutput* output) {
  std::string path;
  ArchiveLayout layout;
  if (!openForReading(text, &path, &layout, output)) return kExitUsage;
  PackageArchive archive(path.c_str());
  std::vector<Finding> findings;
  checkArchive(layout, &archive, &findings);
  JsonWriter json(&output->out);
  if (output->json)
    json.object().text("archive", text).number("entries", archive.loadedEntryCount()).number("unreferencedBytes", unreferencedBytes(layout));
  return printFindings(json, text, "entry", findings,
                       text + ": " + number(archive.loadedEntryCount()) + " entries; " +
                           counted(problemCount(findings), "problem") + "\n",
                       output);
}

// Why the entry `name` at `position` is not written below the folder, or
// "" when it is; *fileByWindowsName holds the entries written so far.
std::string extractRefusal(PackageArchive& archive, int32_t position, const std::string& name,
                           const std::map<std::string, int32_t>& fileByWindowsName) {
  std::string converted;
  int32_t first = archive.findLoadedEntry(name.c_str());
  auto sameFile = fileByWindowsName.find(windowsFoldedName(name));
  if (name.empty()) return "it has an empty name";
  if (!plat::cp932ToUtf8(name, &converted)) return "its name is not valid CP932";
  if (first != position) return "it has the name of entry " + number(first + 1) + ", which the updater reads instead";
  if (!listPathProblem(name).empty()) return "no file of this name is written below the folder: " + listPathProblem(name);
  if (sameFile != fileByWindowsName.end())
    return "Windows takes its name for that of entry " + number(sameFile->second + 1) + ": both would be one file";
  return "";
}

int extractArchive(const std::string& text, const std::string& folderText, ToolOutput* output) {
  std::string path, folder;
  ArchiveLayout layout;
  if (!openForReading(text, &path, &layout, output) || !newPathOperand("DIR", folderText, &folder, output)) return kExitUsage;
  folder = asFolder(folder);
  if (!makeFolders(folder)) {
    output->err += "updtool: cannot make DIR \"" + folderText + "\": " + lastErrorText() + "\n";
    return kExitUsage;
  }
  PackageArchive archive(path.c_str());
  int32_t count = archive.loadedEntryCount();
  struct Refusal {
    int32_t entry;
    std::string name, why;
  };
  std::vector<Refusal> refused;
  std::vector<std::pair<std::string, uint32_t>> extracted;
  std::string unreadable = unreadableArchiveReason(layout, &archive);
  if (!unreadable.empty()) refused.push_back(Refusal{-1, "", unreadable});
  std::map<std::string, int32_t> fileByWindowsName;  // the entry written to a file of that name
  for (int32_t i = 0; i < count; ++i) {
    std::string name = entryName(archive, i);
    std::string why = extractRefusal(archive, i, name, fileByWindowsName);
    Content content;
    std::string target = folder + name;
    bool readFailed = false;
    if (why.empty() && !archive.readEntryAt(i, &content)) why = "its content cannot be read";
    if (why.empty()) {
      fileByWindowsName[windowsFoldedName(name)] = i;
      if (!makeFolders(folder + parentFolder(name)) || !writeContentFile(target, content, {}, &readFailed))
        why = readFailed ? "its content cannot be read" : "cannot write " + shown(target) + ": " + lastErrorText();
    }
    if (why.empty()) extracted.emplace_back(name, content.size);
    else refused.push_back(Refusal{i, name, why});
  }
  if (output->json) {
    JsonWriter json(&output->out);
    json.object().text("archive", text).number("entries", count).number("extracted", extracted.size());
    json.number("problems", refused.size()).array("files");
    for (const auto& file : extracted) json.object().name("name", file.first).number("bytes", file.second).end();
    json.end().array("refused");
    for (const Refusal& refusal : refused)
      json.object().number("entry", refusal.entry + 1).name("name", refusal.name).text("reason", refusal.why).end();
    json.end().end();
  } else {
    for (const auto& file : extracted) output->out += "  " + shown(file.first) + "  " + number(file.second) + " bytes\n";
    for (const Refusal& refusal : refused)
      output->out += refusal.entry < 0 ? "  " + refusal.why + "\n"
                                       : "  entry " + number(refusal.entry + 1) + " \"" + shown(refusal.name) +
                                             "\" not extracted: " + refusal.why + "\n";
    output->out += text + ": " + number(extracted.size()) + " of " + number(count) + " entries extracted to " + folderText +
                   "; " + counted(refused.size(), "problem") + "\n";
  }
  return refused.empty() ? kExitFine : kExitProblems;
}

}  // namespace

bool indexReadFailed(PackageArchive& archive) {
  archive.loadedEntryCount();
  return archive.indexState() == PackageArchive::IndexState::ReadFault;
}

bool isSoundArchive(const std::string& path, bool* readFailed) {
  ArchiveLayout layout;
  *readFailed = !inspectArchiveLayout(path, &layout);
  if (*readFailed || !layout.magicMatches || !layout.headerComplete) return false;
  // The index is loaded once, before anything is judged from it.
  PackageArchive archive(path.c_str());
  *readFailed = indexReadFailed(archive);
  if (*readFailed) return false;
  std::vector<Finding> findings;
  checkArchive(layout, &archive, &findings);
  for (const Finding& finding : findings)
    if (finding.problem && finding.code != "duplicate-name") return false;
  return true;
}

int runArchiveCommand(const std::vector<std::string>& arguments, ToolOutput* output) {
  std::vector<std::string> words;
  bool skipUnnameable = false;
  for (const std::string& argument : arguments) {
    if (argument == "--skip-unnameable") skipUnnameable = true;
    else words.push_back(argument);
  }
  const std::string verb = words.empty() ? "" : words[0];
  size_t operands = words.size() - (words.empty() ? 0 : 1);
  if (verb == "create" && operands == 2) return createArchive(words[1], words[2], skipUnnameable, output);
  if (!skipUnnameable) {
    if (verb == "list" && operands == 1) return listArchive(words[1], output);
    if (verb == "extract" && operands == 2) return extractArchive(words[1], words[2], output);
    if (verb == "verify" && operands == 1) return verifyArchive(words[1], output);
  }
  output->err += kArchiveUsage;
  return kExitUsage;
}
