// "archive create | list | extract | verify": package archives made and
// looked into through the updater's own reader (PackageArchive) and builder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/tool_common.h"

class PackageArchive;

// The raw header and records, for the bounds checks that the reader leaves
// to its callers. Names and contents always come through PackageArchive.
struct ArchiveRecordView {
  uint32_t nameOffset = 0;
  uint32_t nameLength = 0;
  uint32_t dataOffset = 0;
  uint32_t dataSize = 0;
  uint32_t reserved = 0;
};

struct ArchiveLayout {
  uint64_t fileSize = 0;
  bool headerComplete = false;
  bool magicMatches = false;
  uint32_t indexOffset = 0;
  uint32_t indexSize = 0;
  bool indexInFile = false;
  std::vector<ArchiveRecordView> records;  // the whole records inside the file
};

// False when the file cannot be opened.
bool inspectArchiveLayout(const std::string& path, ArchiveLayout* layout);

// Bytes of the file that neither the header, the index, a name nor a
// content covers: left behind by replaced entries and moved indexes.
uint64_t unreferencedBytes(const ArchiveLayout& layout);

struct ArchiveFinding {
  int entry = -1;       // 0-based record, or -1 for the file
  std::string code;
  bool problem = true;  // false: a note
  std::string message;  // UTF-8
};

// Everything that makes the archive read otherwise than its records say.
void checkArchive(const ArchiveLayout& layout, PackageArchive* archive, std::vector<ArchiveFinding>* findings);
// True when the file is an archive that the updater can change entry by
// entry: the magic and every record inside the file.
bool isSoundArchive(const std::string& path);

int runArchiveCommand(const std::vector<std::string>& arguments, ToolOutput* output);
