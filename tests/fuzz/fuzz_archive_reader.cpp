// Any file as a package archive: the index load, every lookup and entry
// read, and one insertion into a copy must neither crash, hang nor allocate
// beyond the file's size, and an insertion that reports success must leave
// the new content readable.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/archive_update.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/run_state.h"

#ifdef _WIN32
#include <process.h>
#define currentProcessId _getpid
#else
#include <unistd.h>
#define currentProcessId getpid
#endif

namespace {

// Files of this process's own, so that runs side by side do not meet;
// rewritten for every input and removed when the process ends.
struct ScratchFiles {
  std::string archive = "fuzz_archive_reader_" + std::to_string(currentProcessId()) + ".qrv";
  std::string source = "fuzz_archive_reader_" + std::to_string(currentProcessId()) + ".src";
  ~ScratchFiles() {
    plat::deleteFile(archive.c_str());
    plat::deleteFile(source.c_str());
  }
};
ScratchFiles scratch;

bool writeWhole(const char* path, const uint8_t* data, size_t size) {
  plat::File file;
  if (!file.open(path, plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways)) return false;
  uint32_t written = 0;
  return file.write(data, static_cast<uint32_t>(size), &written) && written == size;
}

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const char* archivePath = scratch.archive.c_str();
  const char* sourcePath = scratch.source.c_str();
  // The file is rewritten whole for every input: no index kept from the last one.
  forgetTargetArchives();
  if (!writeWhole(archivePath, data, size)) return 0;

  // A replacement of the first named entry, or an addition.
  std::string name = "new entry";
  bool hadNamelessRecord = false;
  {
    PackageArchive archive(archivePath);
    int32_t count = archive.loadedEntryCount();
    require(count >= 0 && static_cast<uint64_t>(count) <= size / kArchiveRecordSize);
    for (int32_t i = 0; i < count; ++i) {
      const ArchiveEntryInfo* entry = archive.loadedEntry(i);
      require(entry != nullptr);
      if (!entry->name) {
        hadNamelessRecord = true;
        continue;
      }
      if (size > 0 && (data[0] & 1) && name == "new entry") name = entry->name;
      if (i >= 64) continue;
      Content content;
      if (archive.readEntry(entry->name, &content)) {
        require(content.size <= size && content.bytes[content.size] == '\0');
      }
    }
    Content content;
    archive.readEntry("a", &content);
  }

  std::string incoming = "inserted:" + std::to_string(size);
  if (!writeWhole(sourcePath, reinterpret_cast<const uint8_t*>(incoming.data()), incoming.size())) return 0;
  runState.changedFileCount = 0;
  if (insertIntoArchive(archivePath, sourcePath, name.c_str())) {
    require(runState.changedFileCount <= 1);
    // A record that named bytes past the old end may name the appended
    // bytes now; otherwise the first record of that name holds the content.
    if (!hadNamelessRecord) {
      PackageArchive after(archivePath);
      Content content;
      require(after.readEntry(name.c_str(), &content));
      require(std::string(content.bytes.get(), content.size) == incoming);
    }
  } else {
    require(runState.changedFileCount == 0);
  }
  return 0;
}
