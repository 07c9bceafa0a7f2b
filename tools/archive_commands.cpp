#include "tools/archive_commands.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "archive/archive_builder.h"
#include "archive/package_archive.h"
#include "platform/platform.h"

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
    auto found = firstOfName.find(foldedName(name));
    if (found == firstOfName.end()) {
      firstOfName[foldedName(name)] = i;
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
    "usage: updtool archive create OUT DIR\n"
    "       updtool archive list FILE\n"
    "       updtool archive extract FILE DIR\n"
    "       updtool archive verify FILE\n";

bool pathArgument(const std::string& text, std::string* path, ToolOutput* output) {
  if (argumentPath(text, path)) return true;
  output->err += "updtool: the path " + text + " has no CP932 form\n";
  return false;
}

int createArchive(const std::string& outText, const std::string& folderText, ToolOutput* output) {
  std::string out, folder;
  if (!pathArgument(outText, &out, output) || !pathArgument(folderText, &folder, output)) return kExitUsage;
  folder = asFolder(folder);
  std::vector<std::string> files;
  if (!listFilesBelow(folder, &files)) {
    output->err += "updtool: cannot read the folder " + folderText + ": " + lastErrorText() + "\n";
    return kExitUsage;
  }
  std::string outAbsolute, folderAbsolute;
  absolutePath(out, &outAbsolute);
  absolutePath(folder, &folderAbsolute);
  std::vector<ArchiveBuilderEntry> entries;
  std::map<std::string, std::string> names;
  uint64_t total = kArchiveHeaderSize;
  int problems = 0;
  for (const std::string& name : files) {
    if (foldedName(folderAbsolute + name) == foldedName(outAbsolute)) continue;  // the archive being written
    auto clash = names.find(foldedName(name));
    if (clash != names.end()) {
      output->err += "updtool: \"" + shown(name) + "\" and \"" + shown(clash->second) +
                     "\" are one name to the archive (letters fold to lower case); the second could never be read\n";
      ++problems;
      continue;
    }
    names[foldedName(name)] = name;
    Content content;
    if (!readWholeFile((folder + name).c_str(), &content)) {
      output->err += "updtool: cannot read " + shown(folder + name) + ": " + lastErrorText() + "\n";
      return kExitUsage;
    }
    total += name.size() + 1 + content.size + kArchiveRecordSize;
    if (total > kArchiveMaxPosition) {
      output->err += "updtool: the archive would pass 2 GiB, which the updater cannot read\n";
      return kExitProblems;
    }
    entries.push_back(ArchiveBuilderEntry{name, std::string(content.bytes.get(), content.size)});
  }
  if (problems > 0) return kExitProblems;
  if (!writeArchiveFile(out.c_str(), entries)) {
    output->err += "updtool: cannot write " + outText + ": " + lastErrorText() + "\n";
    return kExitUsage;
  }
  if (output->json) {
    output->out += "{\"archive\":" + jsonText(outText) + ",\"entries\":" + number(entries.size()) + ",\"bytes\":" + number(total) + "}\n";
  } else {
    for (const ArchiveBuilderEntry& entry : entries) output->out += "  " + shown(entry.name) + "  " + number(entry.content.size()) + " bytes\n";
    output->out += outText + ": " + number(entries.size()) + " entries, " + number(total) + " bytes\n";
  }
  return kExitFine;
}

bool openForReading(const std::string& text, std::string* path, ArchiveLayout* layout, ToolOutput* output) {
  if (!pathArgument(text, path, output)) return false;
  if (inspectArchiveLayout(*path, layout)) return true;
  output->err += "updtool: cannot read " + text + ": " + lastErrorText() + "\n";
  return false;
}

int listArchive(const std::string& text, ToolOutput* output) {
  std::string path;
  ArchiveLayout layout;
  if (!openForReading(text, &path, &layout, output)) return kExitUsage;
  PackageArchive archive(path.c_str());
  int32_t count = archive.loadedEntryCount();
  uint64_t unreferenced = unreferencedBytes(layout);
  std::string& out = output->out;
  if (output->json) {
    out += "{\"archive\":" + jsonText(text) + ",\"fileSize\":" + number(layout.fileSize) + ",\"magic\":" +
           (layout.magicMatches ? "true" : "false") + ",\"indexOffset\":" + number(layout.indexOffset) +
           ",\"indexSize\":" + number(layout.indexSize) + ",\"indexReadable\":" + (archive.indexUnreadable() ? "false" : "true") +
           ",\"unreferencedBytes\":" + number(unreferenced) + ",\"entries\":[";
    for (int32_t i = 0; i < count; ++i) {
      const ArchiveEntryInfo* info = archive.loadedEntry(i);
      std::string name = info && info->name ? info->name : "";
      out += std::string(i ? "," : "") + "{\"name\":" + jsonName(name) + ",\"dataOffset\":" + number(info ? info->dataOffset : 0) +
             ",\"dataSize\":" + number(info ? info->dataSize : 0) + "}";
    }
    out += "]}\n";
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
           " bytes unreferenced" + (layout.magicMatches ? "" : "; no \"QRV001\" magic") +
           (archive.indexUnreadable() ? "; the updater cannot read its index (see archive verify)" : "") + "\n";
  }
  return kExitFine;
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
    output->out += "{\"archive\":" + jsonText(text) + ",\"entries\":" + number(archive.loadedEntryCount()) +
                   ",\"unreferencedBytes\":" + number(unreferencedBytes(layout)) + ",\"problems\":" + number(problems) + ",\"findings\":[";
    for (size_t i = 0; i < findings.size(); ++i)
      output->out += std::string(i ? "," : "") + "{\"entry\":" + std::to_string(findings[i].entry + 1) + ",\"code\":" +
                     jsonText(findings[i].code) + ",\"severity\":" + (findings[i].problem ? "\"problem\"" : "\"note\"") +
                     ",\"message\":" + jsonText(findings[i].message) + "}";
    output->out += "]}\n";
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
  if (!openForReading(text, &path, &layout, output) || !pathArgument(folderText, &folder, output)) return kExitUsage;
  folder = asFolder(folder);
  if (!makeFolders(folder)) {
    output->err += "updtool: cannot make the folder " + folderText + ": " + lastErrorText() + "\n";
    return kExitUsage;
  }
  PackageArchive archive(path.c_str());
  int32_t count = archive.loadedEntryCount();
  std::map<std::string, int> written;
  int problems = 0;
  int extracted = 0;
  std::string report;
  for (int32_t i = 0; i < count; ++i) {
    const ArchiveEntryInfo* info = archive.loadedEntry(i);
    std::string name = info && info->name ? info->name : "";
    std::string refusal;
    std::vector<std::string> parts = pathParts(name);
    if (name.empty()) refusal = "it has an empty name";
    else if (!pathEscape(name).empty()) refusal = "its name leaves the folder: " + pathEscape(name);
    else if (parts.back().empty()) refusal = "its name ends with a backslash";
    else if (written.count(foldedName(name))) refusal = "it has the name of entry " + number(written[foldedName(name)] + 1) + ", which the updater reads instead";
    std::string converted;
    if (refusal.empty() && !plat::cp932ToUtf8(name, &converted)) refusal = "its name is not valid CP932";
    if (refusal.empty()) {
      Content content;
      std::string target = folder + name;
      if (!archive.readEntry(name.c_str(), &content)) {
        refusal = "its content cannot be read";
      } else if (!makeFolders(folder + parentFolder(name)) ||
                 !writeWholeFile(target, content.bytes.get(), content.size)) {
        output->err += "updtool: cannot write " + shown(target) + ": " + lastErrorText() + "\n";
        return kExitUsage;
      } else {
        written[foldedName(name)] = i;
        ++extracted;
        if (!output->json) report += "  " + shown(name) + "  " + number(content.size) + " bytes\n";
        continue;
      }
    }
    ++problems;
    report += "  entry " + number(i + 1) + " \"" + shown(name) + "\" not extracted: " + refusal + "\n";
  }
  if (output->json) {
    output->out += "{\"archive\":" + jsonText(text) + ",\"extracted\":" + number(extracted) + ",\"problems\":" + number(problems) + "}\n";
    if (problems > 0) output->err += report;
  } else {
    output->out += report + text + ": " + number(extracted) + " of " + number(count) + " entries extracted to " + folderText + "\n";
  }
  return problems > 0 ? kExitProblems : kExitFine;
}

}  // namespace

int runArchiveCommand(const std::vector<std::string>& arguments, ToolOutput* output) {
  const std::string verb = arguments.empty() ? "" : arguments[0];
  size_t operands = arguments.size() - (arguments.empty() ? 0 : 1);
  if (verb == "create" && operands == 2) return createArchive(arguments[1], arguments[2], output);
  if (verb == "list" && operands == 1) return listArchive(arguments[1], output);
  if (verb == "extract" && operands == 2) return extractArchive(arguments[1], arguments[2], output);
  if (verb == "verify" && operands == 1) return verifyArchive(arguments[1], output);
  output->err += kArchiveUsage;
  return kExitUsage;
}
