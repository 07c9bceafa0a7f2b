#include "archive/archive_writer.h"

bool ArchiveWriter::create(const char* path) {
  records_.clear();
  end_ = 0;
  if (!file_.open(path, plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways)) return false;
  // The index fields are set when the index is written.
  unsigned char header[kArchiveHeaderSize];
  encodeArchiveHeader(newArchiveHeader(), header);
  if (!file_.writeExactly(header, kArchiveHeaderSize)) return false;
  end_ = kArchiveHeaderSize;
  return true;
}

bool ArchiveWriter::add(const std::string& name, const Content& content, const ContentProgress& progress,
                        bool* readFailed) {
  if (readFailed != nullptr) *readFailed = false;
  if (!archiveGrowthFits(size(), addedEntryGrowth(name.size(), content.size, 0))) {
    plat::setLastError(plat::kErrorFileTooLarge);
    return false;
  }
  ArchiveRecord record;
  record.nameOffset = end_;
  record.nameLength = static_cast<uint32_t>(name.size() + 1);
  record.dataOffset = end_ + record.nameLength;
  record.dataSize = content.size;
  if (!file_.writeExactly(name.c_str(), record.nameLength) || !writeContent(file_, content, progress, readFailed))
    return false;
  records_.push_back(record);
  end_ = record.dataOffset + record.dataSize;
  return true;
}

bool ArchiveWriter::addSharing(const std::string& name, size_t record) {
  if (record >= records_.size() || !archiveGrowthFits(size(), addedEntryGrowth(name.size(), 0, 0))) {
    plat::setLastError(plat::kErrorFileTooLarge);
    return false;
  }
  ArchiveRecord shared = records_[record];
  shared.nameOffset = end_;
  shared.nameLength = static_cast<uint32_t>(name.size() + 1);
  if (!file_.writeExactly(name.c_str(), shared.nameLength)) return false;
  records_.push_back(shared);
  end_ += shared.nameLength;
  return true;
}

bool ArchiveWriter::finish() {
  std::vector<unsigned char> index(records_.size() * kArchiveRecordSize);
  for (size_t i = 0; i < records_.size(); ++i) encodeArchiveRecord(records_[i], &index[i * kArchiveRecordSize]);
  ArchiveHeader header = newArchiveHeader();
  header.indexOffset = end_;
  header.indexSize = static_cast<uint32_t>(index.size());
  unsigned char fields[kArchiveHeaderSize];
  encodeArchiveHeader(header, fields);
  bool written = (index.empty() || file_.writeExactly(index.data(), header.indexSize)) &&
                 file_.seek(0, plat::SeekOrigin::Begin) && file_.writeExactly(fields, kArchiveHeaderSize);
  file_.close();
  return written;
}
