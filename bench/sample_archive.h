// Package archives for the benchmarks, written by the archive writer.
#pragma once

#include <string>
#include <vector>

#include "archive/archive_writer.h"

struct SampleEntry {
  std::string name;     // CP932, without the NUL
  std::string content;  // raw bytes
};

inline bool writeSampleArchive(const std::string& path, const std::vector<SampleEntry>& entries) {
  ArchiveWriter writer;
  if (!writer.create(path.c_str())) return false;
  for (const SampleEntry& entry : entries) {
    Content content;
    if (!holdContent(entry.content.data(), static_cast<uint32_t>(entry.content.size()), &content) ||
        !writer.add(entry.name, content))
      return false;
  }
  return writer.finish();
}
