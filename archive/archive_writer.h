// Writes a new package archive entry by entry, each content streamed in
// pieces: the header, then each name with its NUL and its content, then
// the index, then the header's index fields. Memory stays one piece and a
// record per entry. The updater itself never creates an archive; the
// publisher tool and the tests do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive/content.h"
#include "platform/platform.h"

class ArchiveWriter {
 public:
  // Creates the file, or replaces it.
  bool create(const char* path);
  // False when the entry would take the archive to a position the format
  // cannot seek to (kErrorFileTooLarge), or when the content could not be
  // read (*readFailed, when given) or the archive written.
  bool add(const std::string& name, const Content& content, const ContentProgress& progress = {},
           bool* readFailed = nullptr);
  // An entry whose content is that of the earlier entry `record` (its
  // position in the order of adding): only the name is written, and the
  // record points at the bytes already there.
  bool addSharing(const std::string& name, size_t record);
  // Writes the index and points the header at it; the file is closed.
  bool finish();
  // What the archive will hold once finished.
  uint64_t size() const { return end_ + records_.size() * kArchiveRecordSize; }

 private:
  plat::File file_;
  std::vector<ArchiveRecord> records_;
  uint32_t end_ = 0;
};
