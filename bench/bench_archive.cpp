// Times the archive operations against the cost of simply reading the bytes
// they must read: an index load with one lookup, one replacement and one
// addition, for archives of 1,000, 10,000 and 100,000 entries, each beside
// one sequential read of the same index and name bytes.
//
// The replacements and the additions follow one another as the insertions
// of a run do, so all but the first use the target's kept index.
//
// Two layouts: names packed together ahead of the contents, and each name
// directly before its content (as additions leave them). In the second the
// floor's name read spans the contents between the names.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <memory>
#include <vector>

#include "archive/archive_update.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/run_state.h"

namespace {

constexpr int kRepeats = 15;
constexpr uint32_t kContentSize = 48;

void putU32(std::string* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint32_t getU32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

std::string entryName(int i) {
  char name[64];
  std::snprintf(name, sizeof name, "data\\stage%03d\\object%06d.dat", i % 1000, i);
  return name;
}

struct Layout {
  std::string bytes;
  uint32_t indexOffset = 0;
  uint32_t indexSize = 0;
  uint32_t namesStart = 0;  // the span the floor reads for the names
  uint32_t namesEnd = 0;
};

Layout buildArchive(int count, bool namesPacked) {
  Layout layout;
  std::string& bytes = layout.bytes;
  bytes = "QRV001BENCH\0\0\0\0\0";
  bytes.resize(kArchiveHeaderSize, '\0');
  std::vector<uint32_t> nameAt(count), dataAt(count), nameLength(count);
  std::string content(kContentSize, 'c');
  layout.namesStart = static_cast<uint32_t>(bytes.size());
  for (int i = 0; i < count; ++i) {
    std::string name = entryName(i);
    nameAt[i] = static_cast<uint32_t>(bytes.size());
    nameLength[i] = static_cast<uint32_t>(name.size() + 1);
    bytes += name;
    bytes.push_back('\0');
    layout.namesEnd = static_cast<uint32_t>(bytes.size());
    if (!namesPacked) {
      dataAt[i] = static_cast<uint32_t>(bytes.size());
      bytes += content;
    }
  }
  if (namesPacked) {
    for (int i = 0; i < count; ++i) {
      dataAt[i] = static_cast<uint32_t>(bytes.size());
      bytes += content;
    }
  }
  layout.indexOffset = static_cast<uint32_t>(bytes.size());
  for (int i = 0; i < count; ++i) {
    putU32(&bytes, nameAt[i]);
    putU32(&bytes, nameLength[i]);
    putU32(&bytes, dataAt[i]);
    putU32(&bytes, kContentSize);
    putU32(&bytes, 0);
  }
  layout.indexSize = static_cast<uint32_t>(count) * kArchiveRecordSize;
  std::string header;
  putU32(&header, layout.indexOffset);
  putU32(&header, layout.indexSize);
  bytes.replace(16, 8, header);
  return layout;
}

bool writeWhole(const char* path, const std::string& bytes) {
  plat::File file;
  if (!file.open(path, plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways)) return false;
  uint32_t written = 0;
  return file.write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written) && written == bytes.size();
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The best of the repeats: the least disturbed by whatever else the machine runs.
double best(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

// The physical floor: open, one read of the index and one of the names,
// each into a fresh buffer as a load must use.
double timeFloor(const char* path, const Layout& layout) {
  auto start = std::chrono::steady_clock::now();
  std::unique_ptr<char[]> index(new char[layout.indexSize]);
  std::unique_ptr<char[]> names(new char[layout.namesEnd - layout.namesStart]);
  plat::File file;
  uint32_t got = 0;
  file.open(path, plat::kGenericRead, plat::kShareRead, plat::kOpenExisting);
  file.seek(layout.indexOffset, plat::SeekOrigin::Begin);
  file.read(index.get(), layout.indexSize, &got);
  file.seek(layout.namesStart, plat::SeekOrigin::Begin);
  file.read(names.get(), layout.namesEnd - layout.namesStart, &got);
  file.close();
  return secondsSince(start);
}

// For comparison: the load with one seek and one read per name.
double timeLoadOneReadPerName(const char* path, const Layout& layout) {
  auto start = std::chrono::steady_clock::now();
  plat::File file;
  uint32_t got = 0;
  file.open(path, plat::kGenericRead, plat::kShareRead, plat::kOpenExisting);
  std::vector<unsigned char> index(layout.indexSize);
  file.seek(layout.indexOffset, plat::SeekOrigin::Begin);
  file.read(index.data(), layout.indexSize, &got);
  std::vector<std::unique_ptr<char[]>> names(layout.indexSize / kArchiveRecordSize);
  char buffer[256];
  for (size_t i = 0; i < names.size(); ++i) {
    const unsigned char* record = index.data() + i * kArchiveRecordSize;
    uint32_t length = std::min<uint32_t>(getU32(record + 4), sizeof buffer - 1);
    file.seek(getU32(record), plat::SeekOrigin::Begin);
    file.read(buffer, length, &got);
    buffer[length] = '\0';
    size_t text = std::strlen(buffer);
    names[i].reset(new char[text + 1]);
    std::memcpy(names[i].get(), buffer, text + 1);
  }
  return secondsSince(start);
}

double timeLoadAndLookup(const char* path, const char* name) {
  auto start = std::chrono::steady_clock::now();
  PackageArchive archive(path);
  bool found = archive.holdsEntry(name);
  double seconds = secondsSince(start);
  if (!found) std::fprintf(stderr, "lookup of %s failed\n", name);
  return seconds;
}

double timeInsertion(const char* path, const char* source, const char* name) {
  auto start = std::chrono::steady_clock::now();
  bool done = insertIntoArchive(path, source, name);
  double seconds = secondsSince(start);
  if (!done) std::fprintf(stderr, "insertion of %s failed\n", name);
  return seconds;
}

void benchOne(int count, bool namesPacked) {
  const char* path = "bench_archive.qrv";
  const char* source = "bench_archive.src";
  runState.targetFolders.reset("");  // the archive and its source lie in the current folder
  runState.updateFolder.holdCurrentFolder();
  Layout layout = buildArchive(count, namesPacked);
  if (!writeWhole(path, layout.bytes)) {
    std::fprintf(stderr, "cannot write %s\n", path);
    return;
  }
  std::string last = entryName(count - 1);
  std::string middle = entryName(count / 2);

  std::vector<double> floor, load, perName, replace, add;
  for (int r = 0; r < kRepeats + 1; ++r) {  // the first round warms the cache
    double f = timeFloor(path, layout);
    double l = timeLoadAndLookup(path, last.c_str());
    double p = timeLoadOneReadPerName(path, layout);
    if (r == 0) continue;
    floor.push_back(f);
    load.push_back(l);
    perName.push_back(p);
  }
  for (int r = 0; r < kRepeats; ++r) {
    std::string content(kContentSize, static_cast<char>('A' + r));
    writeWhole(source, content);
    replace.push_back(timeInsertion(path, source, middle.c_str()));
  }
  for (int r = 0; r < kRepeats; ++r) {
    std::string name = "added\\entry" + std::to_string(r) + ".dat";
    add.push_back(timeInsertion(path, source, name.c_str()));
  }
  double f = best(floor);
  std::printf("%7d  %-12s  %10.3f  %10.3f %6.2fx  %10.3f %6.2fx  %10.3f %6.2fx  %10.3f %6.2fx\n", count,
              namesPacked ? "names packed" : "interleaved", f * 1e3, best(load) * 1e3, best(load) / f,
              best(perName) * 1e3, best(perName) / f, best(replace) * 1e3, best(replace) / f,
              best(add) * 1e3, best(add) / f);
  releaseTargetArchive();
  plat::deleteFile(path);
  plat::deleteFile(source);
}

}  // namespace

int main() {
  // A fixed threshold: every large buffer is fresh pages from the system, as
  // in a run's one load, rather than memory that the timing before happened
  // to leave in the heap.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  std::printf("Archive operations, milliseconds (best of %d) and ratio to the floor\n", kRepeats);
  std::printf("floor: one read of the index and one of the name bytes; contents are %u bytes each\n\n",
              kContentSize);
  std::printf("%7s  %-12s  %10s  %17s  %17s  %17s  %17s\n", "entries", "layout", "floor", "load + lookup",
              "one read per name", "replacement", "addition");
  for (bool namesPacked : {true, false}) {
    for (int count : {1000, 10000, 100000}) benchOne(count, namesPacked);
  }
  return 0;
}
