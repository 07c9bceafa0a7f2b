#include "tools/archive_commands.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "archive/archive_builder.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "tools/byte_stream.h"

namespace {

bool inFile(uint64_t offset, uint64_t length, uint64_t fileSize) { return offset + length <= fileSize; }

std::string number(uint64_t value) { return std::to_string(value); }

}  // namespace

bool inspectArchiveLayout(const std::string& path, ArchiveLayout* layout) {
  *layout = ArchiveLayout{};
  plat::File file;
  if (!file.open(path.c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting)) return false;
  if (!file.size(&layout->fileSize)) return false;
  unsigned char header[kArchiveHeaderSize];
  uint32_t got = 0;
  if (!file.read(header, sizeof header, &got)) return false;
  if (got < 6) return true;
  layout->magicMatches = std::memcmp(header, kArchiveMagic, sizeof kArchiveMagic) == 0;
  if (got < kArchiveHeaderSize) return true;
  layout->headerComplete = true;
  layout->indexOffset = archiveUint32(header + 16);
  layout->indexSize = archiveUint32(header + 20);
  layout->indexInFile = inFile(layout->indexOffset, layout->indexSize, layout->fileSize);
  if (layout->indexOffset > layout->fileSize || layout->indexOffset > kArchiveMaxPosition) return true;
  // Only the part of the index inside the file can be read.
  uint32_t readable = static_cast<uint32_t>(std::min<uint64_t>(layout->indexSize, layout->fileSize - layout->indexOffset));
  readable -= readable % kArchiveRecordSize;
  std::vector<unsigned char> index(readable);
  if (readable == 0) return true;
  if (!file.seek(layout->indexOffset, plat::SeekOrigin::Begin)) return false;
  if (!file.read(index.data(), readable, &got)) return false;
  for (uint32_t at = 0; at + kArchiveRecordSize <= got; at += kArchiveRecordSize) {
    ArchiveRecordView record;
    record.nameOffset = archiveUint32(&index[at]);
    record.nameLength = archiveUint32(&index[at + 4]);
    record.dataOffset = archiveUint32(&index[at + 8]);
    record.dataSize = archiveUint32(&index[at + 12]);
    record.reserved = archiveUint32(&index[at + 16]);
    layout->records.push_back(record);
  }
  return true;
}

uint64_t unreferencedBytes(const ArchiveLayout& layout) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  auto cover = [&](uint64_t offset, uint64_t length) {
    uint64_t end = std::min<uint64_t>(offset + length, layout.fileSize);
    if (offset < end) ranges.emplace_back(offset, end);
  };
  cover(0, kArchiveHeaderSize);
  if (layout.headerComplete) cover(layout.indexOffset, layout.indexSize);
  for (const ArchiveRecordView& record : layout.records) {
    cover(record.nameOffset, record.nameLength);
    cover(record.dataOffset, record.dataSize);
  }
  std::sort(ranges.begin(), ranges.end());
  uint64_t covered = 0;
  uint64_t reach = 0;
  for (const auto& range : ranges) {
    uint64_t start = std::max(range.first, reach);
    if (range.second > start) {
      covered += range.second - start;
      reach = range.second;
    }
  }
  return layout.fileSize - std::min<uint64_t>(covered, layout.fileSize);
}

void checkArchive(const ArchiveLayout& layout, PackageArchive* archive, std::vector<ArchiveFinding>* findings) {
  auto add = [&](int entry, const char* code, const std::string& message, bool problem = true) {
    findings->push_back(ArchiveFinding{entry, code, problem, message});
  };
  if (!layout.magicMatches)
    add(-1, "no-magic", "the file does not begin with \"QRV001\": the updater refuses to change it (message M)");
  if (!layout.headerComplete) {
    add(-1, "short-header", "the file is shorter than the 24-byte header: it has no entries");
    return;
  }
  if (!layout.indexInFile)
    add(-1, "index-outside", "the index (offset " + number(layout.indexOffset) + ", " + number(layout.indexSize) +
                                 " bytes) reaches beyond the end of the file (" + number(layout.fileSize) + " bytes)");
  if (layout.indexSize % kArchiveRecordSize != 0)
    add(-1, "partial-record", "the index size " + number(layout.indexSize) + " is no multiple of 20: the last " +
                                  number(layout.indexSize % kArchiveRecordSize) + " bytes belong to no entry");
  if (static_cast<uint64_t>(layout.indexOffset) + layout.indexSize > kArchiveMaxPosition)
    add(-1, "beyond-2gib", "the index lies beyond 2 GiB, where the updater cannot seek");
  for (size_t i = 0; i < layout.records.size(); ++i) {
    const ArchiveRecordView& record = layout.records[i];
    int entry = static_cast<int>(i);
    if (!inFile(record.nameOffset, record.nameLength, layout.fileSize))
      add(entry, "name-outside", "the name (offset " + number(record.nameOffset) + ", " + number(record.nameLength) +
                                     " bytes) reaches beyond the end of the file");
    if (record.nameLength == 0) add(entry, "empty-name", "the name has no bytes, not even its NUL");
    if (!inFile(record.dataOffset, record.dataSize, layout.fileSize))
      add(entry, "data-outside", "the content (offset " + number(record.dataOffset) + ", " + number(record.dataSize) +
                                     " bytes) reaches beyond the end of the file");
    if (static_cast<uint64_t>(record.dataOffset) + record.dataSize > kArchiveMaxPosition ||
        static_cast<uint64_t>(record.nameOffset) + record.nameLength > kArchiveMaxPosition)
      add(entry, "beyond-2gib", "the record points beyond 2 GiB, where the updater cannot seek");
    if (record.reserved != 0) add(entry, "reserved-set", "the reserved field holds " + number(record.reserved), false);
  }
  // Names as the reader keeps them: the first of a folded name wins.
  std::map<std::string, int> firstOfName;
  int32_t count = archive->loadedEntryCount();
  for (int32_t i = 0; i < count; ++i) {
    const ArchiveEntryInfo* info = archive->loadedEntry(i);
    if (info == nullptr || !info->name) continue;
    std::string name = info->name;
    if (i < static_cast<int32_t>(layout.records.size()) && layout.records[i].nameLength > 0 &&
        inFile(layout.records[i].nameOffset, layout.records[i].nameLength, layout.fileSize) &&
        name.size() + 1 > layout.records[i].nameLength)
      add(i, "unterminated-name", "the name has no NUL within its " + number(layout.records[i].nameLength) + " bytes");
    auto found = firstOfName.find(archiveFoldedName(name));
    if (found == firstOfName.end()) {
      firstOfName[archiveFoldedName(name)] = i;
    } else {
      add(i, "duplicate-name", "\"" + shown(name) + "\" is the same name as entry " + number(found->second + 1) +
                                   " under the archive's case folding: this entry is never read");
    }
  }
  uint64_t unreferenced = unreferencedBytes(layout);
  if (unreferenced > 0)
    add(-1, "unreferenced", number(unreferenced) + " bytes are not referenced by the header, the index, a name or a content", false);
}

bool isSoundArchive(const std::string& path) {
  ArchiveLayout layout;
  if (!inspectArchiveLayout(path, &layout) || !layout.magicMatches || !layout.headerComplete) return false;
  PackageArchive archive(path.c_str());
  std::vector<ArchiveFinding> findings;
  checkArchive(layout, &archive, &findings);
  for (const ArchiveFinding& finding : findings)
    if (finding.problem && finding.code != "duplicate-name") return false;
  return true;
}

namespace {

const char kArchiveUsage[] =
    "usage: updtool archive create [--skip-unnameable] OUT DIR\n"
    "       updtool archive list FILE\n"
    "       updtool archive extract FILE DIR\n"
    "       updtool archive verify FILE\n";

int createArchive(const std::string& outText, const std::string& folderText, bool skipUnnameable, ToolOutput* output) {
  std::string out, folder;
  if (!newPathOperand("OUT", outText, &out, output) || !folderOperand("DIR", folderText, &folder, output)) return kExitUsage;
  folder = asFolder(folder);
  std::vector<std::string> files;
  std::vector<OddName> unnameable, reshaped;
  if (!listFilesBelow(folder, &files, &unnameable, &reshaped)) {
    output->err += "updtool: cannot read DIR \"" + folderText + "\": " + lastErrorText() + "\n";
    return kExitUsage;
  }
  std::string outAbsolute, folderAbsolute;
  absolutePath(out, &outAbsolute);
  absolutePath(folder, &folderAbsolute);
  struct Entry {
    std::string name;
    uint64_t size;
  };
  std::vector<Entry> entries;
  std::vector<std::string> problems, warnings;  // UTF-8
  std::map<std::string, std::string> names;
  uint64_t total = kArchiveHeaderSize, contents = 0;
  for (const std::string& name : files) {
    if (archiveFoldedName(folderAbsolute + name) == archiveFoldedName(outAbsolute)) continue;  // the archive being written
    auto clash = names.find(archiveFoldedName(name));
    if (clash != names.end()) {
      problems.push_back("\"" + shown(name) + "\" and \"" + shown(clash->second) +
                         "\" are one name to the archive (letters fold to lower case); the second could never be read");
      continue;
    }
    names[archiveFoldedName(name)] = name;
    uint64_t size = 0;
    if (!fileSizeOf(folder + name, &size)) {
      output->err += "updtool: cannot read \"" + shown(folder + name) + "\": " + lastErrorText() + "\n";
      return kExitUsage;
    }
    if (holdsListWhiteSpace(name))
      warnings.push_back("\"" + shown(name) + "\" holds white space: no line of an update list can name this entry");
    total += name.size() + 1 + size + kArchiveRecordSize;
    contents += size;
    entries.push_back(Entry{name, size});
  }
  std::vector<std::string> skipped;
  for (const OddName& file : unnameable) {
    std::string text = "\"" + file.utf8 + "\": code page 932 cannot write this name, so no archive entry can hold it";
    if (skipUnnameable) skipped.push_back(text + "; left out (--skip-unnameable)");
    else problems.push_back(text + "; rename it, or leave it out with --skip-unnameable");
  }
  for (const OddName& name : reshaped)
    warnings.push_back("\"" + name.utf8 + "\" is stored as \"" + shown(name.path) + "\" (" + reshapedCharacters(name) +
                       "): code page 932 has one character for both");
  if (total > kArchiveMaxPosition)
    problems.push_back("the archive would be " + number(total) + " bytes, past the 2 GiB that the updater can read");
  bool written = problems.empty();
  if (written) {
    Progress progress(output);
    progress.start("writing", entries.size(), contents);
    PackageWriter writer;
    std::string failedPath;
    bool fine = writer.open(out);
    for (size_t i = 0; fine && i < entries.size(); ++i) {
      progress.nextFile(entries[i].name);
      fine = writer.add(entries[i].name, wholeFile(folder + entries[i].name), &progress, &failedPath);
    }
    if (fine && !writer.finish()) fine = false, failedPath = out;
    if (!fine) {
      bool reading = !failedPath.empty() && failedPath != out;
      output->err += "updtool: cannot " + std::string(reading ? "read \"" + shown(failedPath) + "\"" : "write OUT \"" + outText + "\"") +
                     ": " + lastErrorText() + "\n";
      return kExitUsage;
    }
  }
  if (output->json) {
    JsonWriter json(&output->out);
    json.object().text("archive", outText).flag("written", written).number("entries", written ? entries.size() : 0);
    json.number("bytes", written ? total : 0).texts("problems", problems).texts("skipped", skipped);
    json.texts("warnings", warnings).end();
  } else {
    if (written)
      for (const Entry& entry : entries) output->out += "  " + shown(entry.name) + "  " + number(entry.size) + " bytes\n";
    for (const std::string& warning : warnings) output->out += "warning: " + warning + "\n";
    for (const std::string& left : skipped) output->out += "skipped: " + left + "\n";
    for (const std::string& problem : problems) output->out += "problem: " + problem + "\n";
    if (written)
      output->out += outText + ": " + number(entries.size()) + " entries, " + number(total) + " bytes";
    else
      output->out += outText + ": nothing written; " + number(problems.size()) + (problems.size() == 1 ? " problem" : " problems");
    output->out += warnings.empty() ? "\n" : "; " + number(warnings.size()) + (warnings.size() == 1 ? " warning\n" : " warnings\n");
  }
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
  if (!fileOperand("FILE", text, path, output)) return false;
  if (inspectArchiveLayout(*path, layout)) return true;
  output->err += "updtool: cannot read FILE \"" + text + "\": " + lastErrorText() + "\n";
  return false;
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
    if (unreadable.empty()) json.null("problem");
    else json.text("problem", unreadable);
    json.number("indexOffset", layout.indexOffset).number("indexSize", layout.indexSize);
    json.flag("indexReadable", !archive.indexUnreadable()).number("unreferencedBytes", unreferenced).array("entries");
    for (int32_t i = 0; i < count; ++i) {
      const ArchiveEntryInfo* info = archive.loadedEntry(i);
      json.object()
          .name("name", info && info->name ? info->name : "")
          .number("dataOffset", info ? info->dataOffset : 0)
          .number("dataSize", info ? info->dataSize : 0)
          .end();
    }
    json.end().end();
  } else {
    char line[96];
    std::snprintf(line, sizeof line, "%6s %12s %12s  %s\n", "#", "offset", "size", "name");
    out += line;
    uint64_t contents = 0;
    for (int32_t i = 0; i < count; ++i) {
      const ArchiveEntryInfo* info = archive.loadedEntry(i);
      if (info == nullptr) continue;
      contents += info->dataSize;
      std::snprintf(line, sizeof line, "%6d %12u %12u  ", static_cast<int>(i + 1), info->dataOffset, info->dataSize);
      out += line + shown(info->name ? info->name : "") + "\n";
    }
    out += text + ": " + number(count) + " entries, " + number(contents) + " bytes of contents; file " + number(layout.fileSize) +
           " bytes, index at " + number(layout.indexOffset) + " (" + number(layout.indexSize) + " bytes), " + number(unreferenced) +
           " bytes unreferenced" + (unreadable.empty() ? "" : "; problem: " + unreadable) + "\n";
  }
  return unreadable.empty() ? kExitFine : kExitProblems;
}

int verifyArchive(const std::string& text, ToolOutput* output) {
  std::string path;
  ArchiveLayout layout;
  if (!openForReading(text, &path, &layout, output)) return kExitUsage;
  PackageArchive archive(path.c_str());
  std::vector<ArchiveFinding> findings;
  checkArchive(layout, &archive, &findings);
  int problems = 0;
  for (const ArchiveFinding& finding : findings) problems += finding.problem ? 1 : 0;
  if (output->json) {
    JsonWriter json(&output->out);
    json.object().text("archive", text).number("entries", archive.loadedEntryCount());
    json.number("unreferencedBytes", unreferencedBytes(layout)).number("problems", problems).array("findings");
    for (const ArchiveFinding& finding : findings)
      json.object()
          .number("entry", finding.entry + 1)
          .text("code", finding.code)
          .text("severity", finding.problem ? "problem" : "note")
          .text("message", finding.message)
          .end();
    json.end().end();
  } else {
    for (const ArchiveFinding& finding : findings)
      output->out += text + ": " + (finding.entry >= 0 ? "entry " + number(finding.entry + 1) + ": " : "") +
                     (finding.problem ? "" : "note: ") + finding.message + " [" + finding.code + "]\n";
    output->out += text + ": " + number(archive.loadedEntryCount()) + " entries; " + number(problems) +
                   (problems == 1 ? " problem\n" : " problems\n");
  }
  return problems > 0 ? kExitProblems : kExitFine;
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
  std::map<std::string, int32_t> firstByArchiveName;  // the entry the updater reads under a name
  std::map<std::string, int32_t> fileByWindowsName;   // the entry written to a file of that name
  for (int32_t i = 0; i < count; ++i) {
    const ArchiveEntryInfo* info = archive.loadedEntry(i);
    std::string name = info && info->name ? info->name : "";
    std::string why;
    std::string converted;
    auto first = firstByArchiveName.emplace(archiveFoldedName(name), i).first;
    auto sameFile = fileByWindowsName.find(windowsFoldedName(name));
    if (name.empty()) why = "it has an empty name";
    else if (!plat::cp932ToUtf8(name, &converted)) why = "its name is not valid CP932";
    else if (first->second != i) why = "it has the name of entry " + number(first->second + 1) + ", which the updater reads instead";
    else if (!listPathProblem(name).empty()) why = "no file of this name is written below the folder: " + listPathProblem(name);
    else if (sameFile != fileByWindowsName.end())
      why = "Windows takes its name for that of entry " + number(sameFile->second + 1) + ": both would be one file";
    Content content;
    std::string target = folder + name;
    ContentsHeldWhole heldWhole;  // extracted as one buffer
    if (why.empty() && !archive.readEntry(name.c_str(), &content)) why = "its content cannot be read";
    if (why.empty()) {
      fileByWindowsName[windowsFoldedName(name)] = i;
      if (!makeFolders(folder + parentFolder(name)) || !writeWholeFile(target, content.bytes.get(), content.size))
        why = "cannot write " + shown(target) + ": " + lastErrorText();
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
                   "; " + number(refused.size()) + (refused.size() == 1 ? " problem\n" : " problems\n");
  }
  return refused.empty() ? kExitFine : kExitProblems;
}

}  // namespace

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
