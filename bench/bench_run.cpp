// Headless benchmark of whole update runs: a generated install of 2,000
// loose files (256 MiB in all, mixed sizes) and a 20,000-entry archive of
// which 1,000 entries are replaced. Side by side in one go:
//   full apply         against rsync -r --checksum --fsync of the same trees
//                      (the durable baseline: temporary file, flush,
//                      rename; the archive's baseline is rsync of the
//                      archive as delivered whole with the 1,000 new
//                      contents), rsync --inplace for reference, and the
//                      floor: one process that reads every source once
//                      and writes every changed target once (new contents
//                      appended to the archive, one record rewritten
//                      each); for the bytes read, a floor that also reads
//                      and compares every target of its source's size
//   up-to-date re-run  against the floor: one process that reads every
//                      source and every target byte once (the archive's
//                      index read once, its records known by position);
//                      and a floor that finds each entry by name, as a
//                      run must: the index and every name loaded once per
//                      list
//   peak resident memory of each run against 64 MiB + the largest index
// The floor runs twice: flushing each written file as the run does (the
// goals are measured against that one), and leaving everything to one sync
// at the end. Every phase is timed until its data is on disk.
// Each run is a child process of this program (so its peak memory is its
// own), behind a dialog that answers OK. A list holds at most 512 entries,
// so the 3,000 entries are applied as six lists of 500, one run each.
//
//   bench_run [--keep] [--root /tmp] [--large] [--wine <win64-build-dir>]
//
// --large adds a 1.5 GiB loose file and a 1 GiB archive entry, each applied
// and re-run on its own, and prints each run's peak memory.
// --wine adds the real program under Wine (scripts/bench-wine) on a
// mid-sized update of 500 loose files and 500 archive entries, beside the
// native run of the same update.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/sample_archive.h"
#include "bench/answering_host.h"
#include "archive/package_archive.h"
#include "list/update_list.h"
#include "platform/platform.h"
#include "run/loose_file.h"
#include "run/run_host.h"
#include "run/run_messages.h"
#include "run/run_state.h"
#include "tools/plan_update.h"

extern char** environ;

namespace {

// The archive's little-endian fields, read and written as the floor needs them.
uint32_t getU32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}
void putU32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

constexpr int kLooseFiles = 2000;
constexpr int kLooseFolders = 20;
constexpr uint64_t kLooseBytes = 256ull << 20;
constexpr uint32_t kLargestFile = 16u << 20;
constexpr int kArchiveEntries = 20000;
constexpr int kReplacedEntries = 1000;
constexpr int kEntriesPerList = 500;

struct Rng {
  uint64_t state;
  uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  uint32_t between(uint32_t low, uint32_t high) { return low + static_cast<uint32_t>(next() % (high - low + 1)); }
};

void fill(std::string* bytes, size_t size, uint64_t seed) {
  bytes->resize(size);
  Rng rng{seed * 0x9E3779B97F4A7C15ull + 1};
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t value = rng.next();
    std::memcpy(&(*bytes)[i], &value, 8);
  }
  for (; i < size; ++i) (*bytes)[i] = static_cast<char>(rng.next());
}

bool writeWhole(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

bool makeDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

std::string looseName(int i) {
  char name[64];
  std::snprintf(name, sizeof name, "loose/d%02d/f%04d.bin", i % kLooseFolders, i);
  return name;
}
std::string windowsPath(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}
std::string entryName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "data\\e%05d.bin", i);
  return name;
}
std::string insertSourceName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "ins/%04d.bin", i);
  return name;
}

struct Spawned {
  bool started = false;
  int status = -1;
  double seconds = 0;
};

// Output goes where the parent's goes unless `quiet` or an `output` file is
// given.
Spawned spawnAndWait(const std::vector<std::string>& args, bool quiet, const char* output = nullptr);

// Timed from a quiet disk to the data being on it: the writes of one
// program are not left to slow down the next one, and a program that
// flushes as it goes pays no more than one that leaves it to the system.
Spawned timedToDisk(const std::vector<std::string>& args) {
  ::sync();
  auto start = std::chrono::steady_clock::now();
  Spawned result = spawnAndWait(args, false);
  ::sync();
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

Spawned spawnAndWait(const std::vector<std::string>& args, bool quiet, const char* output) {
  Spawned result;
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  } else if (output != nullptr) {
    posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return result;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return result;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.started = true;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  // A child that exec'd a missing program exits with 127.
  if (result.status == 127) result.started = false;
  return result;
}

bool programAvailable(const char* name) {
  Spawned probe = spawnAndWait({name, "--version"}, true);
  return probe.started && probe.status == 0;
}

// ---- the child: runs the lists against an install, as the worker does ----

// The high-water mark of this process's own memory since it was started.
// (ru_maxrss would also count the parent's, which a spawned child inherits
// until it has replaced its image.)
long peakResidentKiB() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  std::fclose(status);
  return kib;
}

// What this process has read and written through system calls so far,
// page cache or not: "rchar" and "wchar" of /proc/self/io.
void bytesMoved(uint64_t* read, uint64_t* written) {
  *read = *written = 0;
  std::FILE* io = std::fopen("/proc/self/io", "r");
  if (io == nullptr) return;
  char line[128];
  unsigned long long value = 0;
  while (std::fgets(line, sizeof line, io) != nullptr) {
    if (std::sscanf(line, "rchar: %llu", &value) == 1) *read = value;
    if (std::sscanf(line, "wchar: %llu", &value) == 1) *written = value;
  }
  std::fclose(io);
}

void writeReport(std::FILE* out, double looseSeconds, double archiveSeconds, long peakKiB) {
  uint64_t read = 0, written = 0;
  bytesMoved(&read, &written);
  std::fprintf(out, "%.6f %.6f %ld %llu %llu\n", looseSeconds, archiveSeconds, peakKiB,
               static_cast<unsigned long long>(read), static_cast<unsigned long long>(written));
}

// Writes "<loose seconds> <archive seconds> <peak KiB> <bytes read>
// <bytes written>" to `report`.
int runChild(const std::string& mode, const std::string& delivery, const std::string& install, int lists,
             const std::string& report) {
  if (::chdir(delivery.c_str()) != 0) return 2;
  AnsweringHost host;
  host.installFolder = windowsPath(install) + "\\";
  runState.dialog = &host;
  const char* expected = mode == "apply" ? kMessageUpdateDone : kMessageAllUpToDate;
  int unexpected = 0;
  double looseSeconds = 0, archiveSeconds = 0;
  for (int k = 0; k < lists; ++k) {
    std::string list;
    char name[32];
    std::snprintf(name, sizeof name, "lists/%d.lst", k);
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) return 2;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) list.append(chunk, got);
    std::fclose(file);
    if (!writeWhole("UpDate.lst", list)) return 2;

    runState.changedFileCount = 0;
    runState.running.store(0);
    auto start = std::chrono::steady_clock::now();
    bool asExpected;
    if (mode == "plan") {
      // updtool plan: the same run over an overlay, which writes nothing.
      ToolOutput output;
      bool done = runPlan({"--install", windowsPath(install), "."}, &output) == kExitFine;
      asExpected = done && output.out.find(shown(kMessageUpdateDone)) != std::string::npos;
      runState.dialog = &host;
    } else {
      uint32_t result = runUpdate(nullptr);
      ::sync();  // the written data on disk, as the baselines are timed
      asExpected = result == 1 && host.lastMessage == expected;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!asExpected) ++unexpected;
    // The lists hold the loose files first, then the archive entries.
    if (updateList.count > 0 && updateList.commands[0] == 'I')
      archiveSeconds += seconds;
    else
      looseSeconds += seconds;
    std::printf("    %s list %d: %.3f s, %d changed%s\n", mode.c_str(), k, seconds, runState.changedFileCount,
                asExpected ? "" : "  << UNEXPECTED OUTCOME");
  }
  std::FILE* out = std::fopen(report.c_str(), "w");
  if (out == nullptr) return 2;
  writeReport(out, looseSeconds, archiveSeconds, peakResidentKiB());
  std::fclose(out);
  return unexpected == 0 ? 0 : 1;
}

struct ChildReport {
  double looseSeconds = 0;
  double archiveSeconds = 0;
  long peakKiB = -1;
  unsigned long long bytesRead = 0;
  unsigned long long bytesWritten = 0;
};

ChildReport readReport(const std::string& path) {
  ChildReport report;
  std::FILE* in = std::fopen(path.c_str(), "r");
  if (in == nullptr) return report;
  if (std::fscanf(in, "%lf %lf %ld %llu %llu", &report.looseSeconds, &report.archiveSeconds, &report.peakKiB,
                  &report.bytesRead, &report.bytesWritten) != 5)
    report = ChildReport();
  std::fclose(in);
  return report;
}

// ---- the parent: generates the trees and times everything ----

// ---- the floor: the least I/O that leaves the same bytes on disk ----

constexpr size_t kFloorChunk = 1u << 20;

struct Descriptor {
  int fd;
  explicit Descriptor(int value) : fd(value) {}
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

bool readAt(int fd, char* at, size_t size, off_t offset) {
  while (size > 0) {
    ssize_t got = ::pread(fd, at, size, offset);
    if (got <= 0) return false;
    at += got;
    size -= static_cast<size_t>(got);
    offset += got;
  }
  return true;
}

bool writeAt(int fd, const char* at, size_t size, off_t offset) {
  while (size > 0) {
    ssize_t put = ::pwrite(fd, at, size, offset);
    if (put <= 0) return false;
    at += put;
    size -= static_cast<size_t>(put);
    offset += put;
  }
  return true;
}

bool readFileWhole(const std::string& path, std::string* bytes) {
  Descriptor in(::open(path.c_str(), O_RDONLY));
  struct stat info;
  if (in.fd < 0 || ::fstat(in.fd, &info) != 0) return false;
  bytes->resize(static_cast<size_t>(info.st_size));
  return readAt(in.fd, &(*bytes)[0], bytes->size(), 0);
}

// The target is written as a new file: on a journaling file system,
// rewriting an old file's blocks in place and flushing costs more than
// letting it go and flushing a new one. With `compareFirst`, a target of
// the source's size is read first and left alone when it is the same, as
// any program must that never writes an identical target: both are read
// once, into memory, and the source is written from there.
bool floorCopy(const std::string& source, const std::string& target, bool flushEach, bool compareFirst,
               std::vector<char>* buffer) {
  struct stat was, wanted;
  if (compareFirst && ::stat(target.c_str(), &was) == 0 && ::stat(source.c_str(), &wanted) == 0 &&
      was.st_size == wanted.st_size) {
    std::string sourceBytes, targetBytes;
    if (!readFileWhole(source, &sourceBytes) || !readFileWhole(target, &targetBytes)) return false;
    if (sourceBytes == targetBytes) return true;
    if (::unlink(target.c_str()) != 0) return false;
    Descriptor out(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    return out.fd >= 0 && writeAt(out.fd, sourceBytes.data(), sourceBytes.size(), 0) &&
           (!flushEach || ::fsync(out.fd) == 0);
  }
  Descriptor in(::open(source.c_str(), O_RDONLY));
  if (::unlink(target.c_str()) != 0 && errno != ENOENT) return false;
  Descriptor out(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
  if (in.fd < 0 || out.fd < 0) return false;
  off_t at = 0;
  for (;;) {
    ssize_t got = ::read(in.fd, buffer->data(), buffer->size());
    if (got < 0) return false;
    if (got == 0) break;
    if (!writeAt(out.fd, buffer->data(), static_cast<size_t>(got), at)) return false;
    at += got;
  }
  return !flushEach || ::fsync(out.fd) == 0;
}

// Both files read once, side by side; false when they differ or a read fails.
bool floorSame(const std::string& source, const std::string& target, std::vector<char>* a, std::vector<char>* b) {
  Descriptor one(::open(source.c_str(), O_RDONLY));
  Descriptor two(::open(target.c_str(), O_RDONLY));
  struct stat first, second;
  if (one.fd < 0 || two.fd < 0 || ::fstat(one.fd, &first) != 0 || ::fstat(two.fd, &second) != 0) return false;
  if (first.st_size != second.st_size) return false;
  for (off_t at = 0; at < first.st_size;) {
    size_t size = static_cast<size_t>(std::min<off_t>(static_cast<off_t>(a->size()), first.st_size - at));
    if (!readAt(one.fd, a->data(), size, at) || !readAt(two.fd, b->data(), size, at)) return false;
    if (std::memcmp(a->data(), b->data(), size) != 0) return false;
    at += static_cast<off_t>(size);
  }
  return true;
}

bool loadIndex(int fd, uint32_t* indexOffset, std::string* index) {
  unsigned char header[kArchiveHeaderSize];
  if (!readAt(fd, reinterpret_cast<char*>(header), sizeof header, 0)) return false;
  *indexOffset = getU32(header + 16);
  index->resize(getU32(header + 20));
  return readAt(fd, &(*index)[0], index->size(), *indexOffset);
}

struct Shape {
  int looseFiles;
  int replaced;
  int stride() const { return kArchiveEntries / replaced; }
  int lists() const { return (looseFiles + replaced + kEntriesPerList - 1) / kEntriesPerList; }
};

// Every name of the archive, read through one view of the file, keyed to
// its record: what any lookup by name must touch once. The names lie
// between the contents, so that is a page of the file per name.
bool loadNamesByRecord(int fd, const std::string& index, std::unordered_map<std::string, size_t>* byName) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return false;
  size_t size = static_cast<size_t>(info.st_size);
  void* view = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return false;
  const char* bytes = static_cast<const char*>(view);
  byName->clear();
  bool ok = true;
  for (size_t record = 0; ok && record + kArchiveRecordSize <= index.size(); record += kArchiveRecordSize) {
    const unsigned char* fields = reinterpret_cast<const unsigned char*>(&index[record]);
    uint32_t offset = getU32(fields), length = getU32(fields + 4);
    ok = length > 0 && static_cast<uint64_t>(offset) + length <= size;
    if (ok) byName->emplace(std::string(bytes + offset, length - 1), record);
  }
  ::munmap(view, size);
  return ok;
}

// The archive's floor: the index read once, each new content appended and
// its record rewritten in place (apply), or each entry read at its place
// and compared (re-run). With `byName` the re-run finds each entry by its
// name, as a run must, loading the index and every name once per list,
// as a run of each list must.
bool floorArchive(bool apply, const std::string& delivery, const std::string& archive, const Shape& shape,
                  bool flushEach, bool byName) {
  Descriptor file(::open(archive.c_str(), apply ? O_RDWR : O_RDONLY));
  uint32_t indexOffset = 0;
  std::string index, source, entry;
  std::unordered_map<std::string, size_t> records;
  if (file.fd < 0 || !loadIndex(file.fd, &indexOffset, &index)) return false;
  off_t end = ::lseek(file.fd, 0, SEEK_END);
  for (int r = 0; r < shape.replaced; ++r) {
    size_t record = static_cast<size_t>(r) * shape.stride() * kArchiveRecordSize;
    if (byName) {
      bool listStarts = r == 0 || (shape.looseFiles + r) % kEntriesPerList == 0;
      if (listStarts && (!loadIndex(file.fd, &indexOffset, &index) || !loadNamesByRecord(file.fd, index, &records)))
        return false;
      auto found = records.find(entryName(r * shape.stride()));
      if (found == records.end()) return false;
      record = found->second;
    }
    if (record + kArchiveRecordSize > index.size()) return false;
    if (!readFileWhole(delivery + "/" + insertSourceName(r), &source)) return false;
    unsigned char* fields = reinterpret_cast<unsigned char*>(&index[record]);
    if (apply) {
      if (!writeAt(file.fd, source.data(), source.size(), end)) return false;
      if (flushEach && ::fsync(file.fd) != 0) return false;
      putU32(fields + 8, static_cast<uint32_t>(end));
      putU32(fields + 12, static_cast<uint32_t>(source.size()));
      if (!writeAt(file.fd, reinterpret_cast<char*>(fields + 8), 8, indexOffset + record + 8)) return false;
      end += static_cast<off_t>(source.size());
    } else {
      entry.resize(getU32(fields + 12));
      if (!readAt(file.fd, &entry[0], entry.size(), getU32(fields + 8)) || entry != source) return false;
    }
  }
  return true;
}

// Writes the report as the run's child does, without the peak; each part is
// timed until its data is on disk, as the run's lists are.
int runFloor(const std::string& mode, const std::string& delivery, const std::string& install, const Shape& shape,
             const std::string& durability, const std::string& report) {
  bool flushEach = durability == "flush" || durability == "compare";
  bool compareFirst = durability == "compare";
  bool apply = mode == "apply";
  std::vector<char> a(kFloorChunk), b(kFloorChunk);
  bool ok = true;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < shape.looseFiles && ok; ++i) {
    std::string source = delivery + "/" + looseName(i), target = install + "/" + looseName(i);
    ok = apply ? floorCopy(source, target, flushEach, compareFirst, &a) : floorSame(source, target, &a, &b);
  }
  ::sync();
  auto middle = std::chrono::steady_clock::now();
  ok = ok && floorArchive(apply, delivery, install + "/game.arc", shape, flushEach, durability == "byname");
  ::sync();
  auto end = std::chrono::steady_clock::now();
  std::FILE* out = std::fopen(report.c_str(), "w");
  if (out == nullptr) return 2;
  writeReport(out, std::chrono::duration<double>(middle - start).count(),
              std::chrono::duration<double>(end - middle).count(), -1);
  std::fclose(out);
  return ok ? 0 : 1;
}

// ---- the parent: generates the trees and times everything ----

struct Tree {
  std::string root;
  uint32_t largest = 0;
  uint64_t looseBytes = 0;
  uint64_t archiveBytes = 0;
};

bool generate(Tree* tree, const Shape& shape) {
  const std::string& root = tree->root;
  for (const char* folder : {"", "/delivery", "/delivery/loose", "/delivery/ins", "/delivery/lists", "/base",
                             "/base/loose", "/want"})
    if (!makeDirectory(root + folder)) return false;
  for (int f = 0; f < kLooseFolders; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "/loose/d%02d", f);
    if (!makeDirectory(root + "/delivery" + name) || !makeDirectory(root + "/base" + name)) return false;
  }

  // Sizes: many small files, a few hundred medium ones, ten large ones of
  // which one is 16 MiB; the large ones share what is left of 256 MiB. A
  // smaller shape takes the first of the shuffled sizes.
  Rng rng{42};
  std::vector<uint32_t> sizes;
  uint64_t total = 0;
  for (int i = 0; i < 1700; ++i) sizes.push_back(rng.between(1024, 64 * 1024));
  for (int i = 0; i < 290; ++i) sizes.push_back(rng.between(128 * 1024, 768 * 1024));
  for (uint32_t size : sizes) total += size;
  sizes.push_back(kLargestFile);
  total += kLargestFile;
  uint64_t left = kLooseBytes - total;
  for (int i = 0; i < 9; ++i) {
    uint32_t share = static_cast<uint32_t>(i == 8 ? left : left / (9 - i));
    sizes.push_back(share);
    left -= share;
  }
  for (size_t i = sizes.size() - 1; i > 0; --i) std::swap(sizes[i], sizes[rng.next() % (i + 1)]);

  // Delivered files; the install holds an older state of each: a quarter
  // missing, a quarter of another size, half of the same size with the
  // last byte different (the costliest comparison).
  std::string bytes;
  for (int i = 0; i < shape.looseFiles; ++i) {
    fill(&bytes, sizes[i], static_cast<uint64_t>(i) + 1);
    if (!writeWhole(root + "/delivery/" + looseName(i), bytes)) return false;
    tree->looseBytes += sizes[i];
    if (sizes[i] > tree->largest) tree->largest = sizes[i];
    switch (i % 4) {
      case 0: break;
      case 1: bytes.resize(bytes.size() / 2); [[fallthrough]];
      default:
        bytes.back() ^= 0x5A;
        if (!writeWhole(root + "/base/" + looseName(i), bytes)) return false;
    }
  }

  // The archive, and the replacement contents as loose sources.
  std::vector<SampleEntry> entries(kArchiveEntries);
  for (int i = 0; i < kArchiveEntries; ++i) {
    entries[i].name = entryName(i);
    fill(&entries[i].content, rng.between(512, 8192), 1000000 + static_cast<uint64_t>(i));
  }
  if (!writeSampleArchive(root + "/base/game.arc", entries)) return false;
  for (int r = 0; r < shape.replaced; ++r) {
    SampleEntry& entry = entries[r * shape.stride()];
    fill(&entry.content, entry.content.size() + 100, 2000000 + static_cast<uint64_t>(r));
    if (!writeWhole(root + "/delivery/" + insertSourceName(r), entry.content)) return false;
  }
  // The same archive as delivered whole, for rsync.
  struct stat wanted;
  if (!writeSampleArchive(root + "/want/game.arc", entries) || ::stat((root + "/want/game.arc").c_str(), &wanted) != 0)
    return false;
  tree->archiveBytes = static_cast<uint64_t>(wanted.st_size);

  // The lists, 500 entries each, the loose files first.
  std::vector<std::string> lines;
  for (int i = 0; i < shape.looseFiles; ++i) lines.push_back("C\t" + windowsPath(looseName(i)) + "\n");
  for (int r = 0; r < shape.replaced; ++r)
    lines.push_back("I\tgame.arc\t" + windowsPath(insertSourceName(r)) + "\t" + entryName(r * shape.stride()) + "\n");
  for (size_t k = 0; k * kEntriesPerList < lines.size(); ++k) {
    std::string list;
    for (size_t j = k * kEntriesPerList; j < lines.size() && j < (k + 1) * kEntriesPerList; ++j) list += lines[j];
    if (!writeWhole(root + "/delivery/lists/" + std::to_string(k) + ".lst", list)) return false;
  }
  return true;
}

double mib(uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }
double kibToMib(long kib) { return kib / 1024.0; }

std::string selfPath() {
  char path[4096];
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return std::string();
  path[length] = '\0';
  return path;
}

struct Timed {
  Spawned process;
  ChildReport parts;
};

Timed timedChild(const std::string& kind, const std::string& mode, const std::string& delivery,
                 const std::string& install, const std::string& last, const std::string& report,
                 const std::string& extra = std::string()) {
  std::vector<std::string> args = {selfPath(), kind, mode, delivery, install, last};
  if (!extra.empty()) args.push_back(extra);
  args.push_back(report);
  Timed timed;
  timed.process = timedToDisk(args);
  timed.parts = readReport(report);
  return timed;
}

// `durability`: "flush" (each file and insertion flushed), "sync" (one sync
// per part), "byname" (as "sync", archive entries found by name),
// "compare" (as "flush", a target of the source's size read and compared
// first).
Timed timedFloor(const std::string& mode, const std::string& root, const std::string& install, const Shape& shape,
                 const char* durability) {
  return timedChild("--floor", mode, root + "/delivery", install, std::to_string(shape.looseFiles) + ":" +
                    std::to_string(shape.replaced), root + "/floor.report", durability);
}

// One row: the run's seconds, then each baseline's seconds and the ratio.
void printRow(const char* what, double run, std::initializer_list<std::pair<const char*, double>> baselines) {
  std::printf("  %-18s run %7.3f s", what, run);
  for (const auto& baseline : baselines) {
    if (baseline.second <= 0) std::printf(" | %s      n/a       ", baseline.first);
    else std::printf(" | %s %7.3f s %5.2fx", baseline.first, baseline.second, run / baseline.second);
  }
  std::printf("\n");
}

void printGoal(const char* what, double ratio, double goal) {
  if (ratio <= 0) {
    std::printf("  %-34s      n/a   goal <= %.2fx\n", what, goal);
    return;
  }
  std::printf("  %-34s %6.2fx   goal <= %.2fx   %s\n", what, ratio, goal,
              ratio <= goal ? "met" : "NOT MET");
}

// A 1.5 GiB loose file and a 1 GiB archive entry, each applied and re-run
// alone, for the run's peak memory. The archive's old entry is small: two
// 1 GiB contents would take the archive past the largest position the
// format can name.
bool runLarge(const std::string& root) {
  constexpr uint64_t kLargeLoose = 3ull << 29;
  constexpr uint64_t kLargeEntry = 1ull << 30;
  constexpr size_t kChunk = 16u << 20;
  std::printf("\nlarge files (1.5 GiB loose file, 1 GiB archive entry):\n");
  std::string base = root + "/large";
  for (const char* folder : {"", "/loose", "/loose/lists", "/loose/install", "/entry", "/entry/lists",
                             "/entry/install"})
    if (!makeDirectory(base + folder)) return false;
  // Written chunk by chunk; the install's copy differs in its last byte.
  std::string chunk;
  std::FILE* source = std::fopen((base + "/loose/big.bin").c_str(), "wb");
  std::FILE* target = std::fopen((base + "/loose/install/big.bin").c_str(), "wb");
  std::FILE* entry = std::fopen((base + "/entry/big.bin").c_str(), "wb");
  bool ok = source != nullptr && target != nullptr && entry != nullptr;
  for (uint64_t at = 0; ok && at < kLargeLoose; at += kChunk) {
    fill(&chunk, kChunk, 5000000 + at / kChunk);
    ok = std::fwrite(chunk.data(), 1, chunk.size(), source) == chunk.size();
    if (ok && at < kLargeEntry) ok = std::fwrite(chunk.data(), 1, chunk.size(), entry) == chunk.size();
    if (at + kChunk >= kLargeLoose) chunk.back() ^= 0x5A;
    if (ok) ok = std::fwrite(chunk.data(), 1, chunk.size(), target) == chunk.size();
  }
  for (std::FILE* file : {source, target, entry})
    if (file != nullptr && std::fclose(file) != 0) ok = false;
  std::vector<SampleEntry> small(1);
  small[0].name = "data\\big.bin";
  fill(&small[0].content, 1 << 20, 6);
  ok = ok && writeSampleArchive(base + "/entry/install/big.arc", small) &&
       writeWhole(base + "/loose/lists/0.lst", "C\tbig.bin\n") &&
       writeWhole(base + "/entry/lists/0.lst", "I\tbig.arc\tbig.bin\tdata\\big.bin\n");
  if (!ok) return false;
  for (const char* which : {"loose", "entry"}) {
    for (const char* mode : {"apply", "rerun"}) {
      std::string folder = base + "/" + which;
      Timed run = timedChild("--child", mode, folder, folder + "/install", "1", base + "/report");
      std::printf("  %-5s %-5s %s  %7.3f s  peak resident %7.1f MiB  (goal < 64 MiB + index)\n", which, mode,
                  run.process.status == 0 ? "as expected" : "UNEXPECTED ", run.process.seconds,
                  kibToMib(run.parts.peakKiB));
    }
  }
  spawnAndWait({"rm", "-rf", base}, false);
  return true;
}

// The real program under Wine beside the native run, on a mid-sized update:
// 500 loose files and 500 archive entries, applied and then re-run.
bool runUnderWine(const std::string& root, const std::string& build) {
  Shape mid{500, 500};
  Tree tree;
  tree.root = root + "/mid";
  std::printf("\nunder Wine: %d loose files and %d archive entries, applied and re-run\n", mid.looseFiles,
              mid.replaced);
  if (!generate(&tree, mid)) return false;
  spawnAndWait({"cp", "-a", tree.root + "/base", tree.root + "/native-install"}, false);
  spawnAndWait({"cp", "-a", tree.root + "/base", tree.root + "/wine-install"}, false);
  std::string delivery = tree.root + "/delivery", lists = std::to_string(mid.lists());
  Timed apply = timedChild("--child", "apply", delivery, tree.root + "/native-install", lists, tree.root + "/r");
  Timed rerun = timedChild("--child", "rerun", delivery, tree.root + "/native-install", lists, tree.root + "/r");
  std::vector<std::string> args = {std::string(UPDATER_SOURCE_DIR) + "/scripts/bench-wine", build, delivery,
                                   tree.root + "/wine-install"};
  for (int round = 0; round < 2; ++round)
    for (int k = 0; k < mid.lists(); ++k) args.push_back(delivery + "/lists/" + std::to_string(k) + ".lst");
  ::sync();
  Spawned wine = spawnAndWait(args, false, (tree.root + "/wine.out").c_str());
  std::vector<double> seconds;
  std::FILE* out = std::fopen((tree.root + "/wine.out").c_str(), "r");
  char line[1024];
  while (out != nullptr && std::fgets(line, sizeof line, out) != nullptr) {
    std::printf("    %s", line);
    double value = 0;
    const char* colon = std::strstr(line, ": ");
    if (std::strncmp(line, "wine list", 9) == 0 && colon != nullptr && std::sscanf(colon + 2, "%lf", &value) == 1)
      seconds.push_back(value);
  }
  if (out != nullptr) std::fclose(out);
  bool same = spawnAndWait({"diff", "-rq", tree.root + "/native-install", tree.root + "/wine-install"}, false).status == 0;
  if (wine.status != 0 || seconds.size() != 2u * mid.lists()) {
    std::printf("  the Wine runs did not complete\n");
    return false;
  }
  double wineApply = 0, wineRerun = 0;
  for (size_t i = 0; i < seconds.size(); ++i) (i < seconds.size() / 2 ? wineApply : wineRerun) += seconds[i];
  double nativeApply = apply.parts.looseSeconds + apply.parts.archiveSeconds;
  double nativeRerun = rerun.parts.looseSeconds + rerun.parts.archiveSeconds;
  std::printf("  apply   native %7.3f s | Wine %7.3f s  %5.2fx\n", nativeApply, wineApply, wineApply / nativeApply);
  std::printf("  re-run  native %7.3f s | Wine %7.3f s  %5.2fx\n", nativeRerun, wineRerun, wineRerun / nativeRerun);
  std::printf("  (native: the run's own time per list plus a sync; Wine: from the confirmation's OK to the final\n"
              "   message; outcomes native %s, install trees %s)\n",
              apply.process.status == 0 && rerun.process.status == 0 ? "as expected" : "UNEXPECTED",
              same ? "identical" : "DIFFER");
  return true;
}

// What the full apply, its plan and the re-run measured, with their floors
// and rsync's figures beside them.
struct FullRunFigures {
  Timed apply, floorFlush, floorSync, floorCompare, plan, rerun, floorRead, floorByName;
  Spawned rsyncLoose, rsyncArchive, durableLoose, durableArchive;
  bool haveRsync = false, sameAsFloor = false, planWroteNothing = false;
  double rsyncBoth() const { return haveRsync ? rsyncLoose.seconds + rsyncArchive.seconds : 0; }
  double durableBoth() const { return haveRsync ? durableLoose.seconds + durableArchive.seconds : 0; }
};

void measureFullRun(const std::string& root, const Shape& full, FullRunFigures* m) {
  // Identical copies of the old install: the run's, rsync's and the floors'.
  for (const char* copy : {"/run-install", "/rsync-install", "/rsync-durable-install", "/floor-flush-install",
                           "/floor-sync-install", "/floor-compare-install"})
    spawnAndWait({"cp", "-a", root + "/base", root + copy}, false);
  m->haveRsync = programAvailable("rsync");
  std::string lists = std::to_string(full.lists());

  std::printf("full apply (%s lists):\n", lists.c_str());
  m->apply = timedChild("--child", "apply", root + "/delivery", root + "/run-install", lists, root + "/apply.report");
  m->floorFlush = timedFloor("apply", root, root + "/floor-flush-install", full, "flush");
  m->floorSync = timedFloor("apply", root, root + "/floor-sync-install", full, "sync");
  m->floorCompare = timedFloor("apply", root, root + "/floor-compare-install", full, "compare");
  if (m->haveRsync) {
    m->rsyncLoose = timedToDisk(
        {"rsync", "-r", "--checksum", "--inplace", root + "/delivery/loose/", root + "/rsync-install/loose/"});
    m->rsyncArchive = timedToDisk(
        {"rsync", "-r", "--checksum", "--inplace", root + "/want/game.arc", root + "/rsync-install/game.arc"});
    // rsync's durable mode, the promise the run makes: each file written
    // whole beside its target, flushed, and renamed over it.
    m->durableLoose = timedToDisk({"rsync", "-r", "--checksum", "--fsync", root + "/delivery/loose/",
                                root + "/rsync-durable-install/loose/"});
    m->durableArchive = timedToDisk(
        {"rsync", "-r", "--checksum", "--fsync", root + "/want/game.arc", root + "/rsync-durable-install/game.arc"});
  }
  // One comparison over all pairs: the floor wrote what the run should have.
  m->sameAsFloor =
      spawnAndWait({"diff", "-rq", root + "/run-install", root + "/floor-flush-install"}, false).status == 0;

  std::printf("plan of the full apply:\n");
  spawnAndWait({"cp", "-a", root + "/base", root + "/plan-install"}, false);
  m->plan = timedChild("--child", "plan", root + "/delivery", root + "/plan-install", lists, root + "/plan.report");
  m->planWroteNothing = spawnAndWait({"diff", "-rq", root + "/base", root + "/plan-install"}, false).status == 0;

  std::printf("up-to-date re-run:\n");
  m->rerun = timedChild("--child", "rerun", root + "/delivery", root + "/run-install", lists, root + "/rerun.report");
  m->floorRead = timedFloor("rerun", root, root + "/run-install", full, "sync");
  m->floorByName = timedFloor("rerun", root, root + "/run-install", full, "byname");

}

void printResults(const std::string& root, const Tree& tree, const FullRunFigures& m) {
  std::printf("\nresults (%s)\n", root.c_str());
  std::printf("  outcomes: apply %s, re-run %s, floors %s; the run's install %s the floor's\n",
              m.apply.process.status == 0 ? "as expected" : "UNEXPECTED",
              m.rerun.process.status == 0 ? "all up to date" : "UNEXPECTED",
              m.floorFlush.process.status == 0 && m.floorSync.process.status == 0 && m.floorRead.process.status == 0 &&
                      m.floorByName.process.status == 0
                  ? "complete (the re-run floor found every pair equal)"
                  : "FAILED",
              m.sameAsFloor ? "is byte for byte" : "DIFFERS from");
  printRow("full apply", m.apply.process.seconds,
           {{"rsync durable", m.durableBoth()}, {"rsync", m.rsyncBoth()}, {"floor", m.floorFlush.process.seconds},
            {"floor that compares", m.floorCompare.process.seconds}, {"floor, one sync", m.floorSync.process.seconds}});
  printRow("  loose files", m.apply.parts.looseSeconds,
           {{"rsync durable", m.haveRsync ? m.durableLoose.seconds : 0},
            {"rsync", m.haveRsync ? m.rsyncLoose.seconds : 0},
            {"floor", m.floorFlush.parts.looseSeconds},
            {"floor that compares", m.floorCompare.parts.looseSeconds},
            {"floor, one sync", m.floorSync.parts.looseSeconds}});
  printRow("  archive entries", m.apply.parts.archiveSeconds,
           {{"rsync durable", m.haveRsync ? m.durableArchive.seconds : 0},
            {"rsync", m.haveRsync ? m.rsyncArchive.seconds : 0},
            {"floor", m.floorFlush.parts.archiveSeconds},
            {"floor that compares", m.floorCompare.parts.archiveSeconds},
            {"floor, one sync", m.floorSync.parts.archiveSeconds}});
  printRow("plan of the full apply", m.plan.process.seconds, {{"the run's apply", m.apply.process.seconds}});
  std::printf("  plan: %s, the install %s; peak %.1f MiB (the run's %.1f MiB)\n",
              m.plan.process.status == 0 ? "as expected" : "UNEXPECTED", m.planWroteNothing ? "untouched" : "CHANGED",
              m.plan.parts.peakKiB / 1024.0, m.apply.parts.peakKiB / 1024.0);
  printGoal("plan / the run's apply", m.plan.process.seconds / m.apply.process.seconds, 1.5);
  printRow("up-to-date re-run", m.rerun.process.seconds, {{"floor", m.floorRead.process.seconds}});
  printRow("  loose files", m.rerun.parts.looseSeconds, {{"floor", m.floorRead.parts.looseSeconds}});
  printRow("  archive entries", m.rerun.parts.archiveSeconds,
           {{"floor", m.floorRead.parts.archiveSeconds}, {"floor by name", m.floorByName.parts.archiveSeconds}});
  std::printf("  (\"floor\" flushes each file and each archive insertion once, as the run does; \"floor, one sync\"\n"
              "   leaves all to one sync per part. \"rsync durable\" is rsync --fsync: each file written whole\n"
              "   beside its target, flushed and renamed over it, as the run does; plain rsync writes in place and\n"
              "   flushes nothing. Every phase is timed until its data is on disk; the parts are timed inside\n"
              "   each process, the totals include its start)\n");
  std::printf("  bytes read         apply: run %.1f MiB, floor %.1f MiB, floor that compares %.1f MiB;\n"
              "                     re-run: run %.1f MiB, floor %.1f MiB\n"
              "  bytes written      apply: run %.1f MiB, floor %.1f MiB (system calls, lists and reports included)\n",
              mib(m.apply.parts.bytesRead), mib(m.floorFlush.parts.bytesRead), mib(m.floorCompare.parts.bytesRead),
              mib(m.rerun.parts.bytesRead), mib(m.floorRead.parts.bytesRead), mib(m.apply.parts.bytesWritten),
              mib(m.floorFlush.parts.bytesWritten));
  std::printf("  peak resident      apply %.1f MiB, re-run %.1f MiB (largest file %.1f MiB)\n",
              kibToMib(m.apply.parts.peakKiB), kibToMib(m.rerun.parts.peakKiB), mib(tree.largest));

}

void printGoals(const FullRunFigures& m) {
  // The goals are measured against the flushed floor: the run flushes
  // every file and insertion for crash safety, and that stays.
  std::printf("\ngoals, as ratios measured in this run (floor: flushed as the run flushes):\n");
  printGoal("full apply / rsync durable", m.durableBoth() > 0 ? m.apply.process.seconds / m.durableBoth() : 0, 1.0);
  printGoal("full apply / floor", m.apply.process.seconds / m.floorFlush.process.seconds, 1.3);
  // The floor reads no target: it knows which ones changed. A run that
  // never writes an identical target must read every target of its
  // source's size; the floor that compares reads those too, once.
  printGoal("bytes read, apply / floor that compares",
            static_cast<double>(m.apply.parts.bytesRead) / static_cast<double>(m.floorCompare.parts.bytesRead), 1.1);
  printGoal("bytes read, re-run / floor",
            static_cast<double>(m.rerun.parts.bytesRead) / static_cast<double>(m.floorRead.parts.bytesRead), 1.1);
  printGoal("re-run loose files / floor", m.rerun.parts.looseSeconds / m.floorRead.parts.looseSeconds, 1.3);
  printGoal("re-run archive entries / floor", m.rerun.parts.archiveSeconds / m.floorRead.parts.archiveSeconds, 2.0);
  printGoal("  ... / floor by name", m.rerun.parts.archiveSeconds / m.floorByName.parts.archiveSeconds, 2.0);
  long peak = std::max(m.apply.parts.peakKiB, m.rerun.parts.peakKiB);
  double index = mib(static_cast<uint64_t>(kArchiveEntries) * kArchiveRecordSize);
  printGoal("peak resident / (64 MiB + index)", kibToMib(peak) / (64.0 + index), 1.0);
  std::printf("  for reference: full apply / plain rsync (which flushes nothing) = %.2fx\n",
              m.rsyncBoth() > 0 ? m.apply.process.seconds / m.rsyncBoth() : 0.0);
  std::printf("  what the rules cost the floor itself:\n"
              "    a flush per file and insertion  floor / floor, one sync = %.2fx; floor / rsync = %.2fx\n"
              "    entries found by name           re-run archive: floor by name / floor = %.2fx (an index and\n"
              "                                    its names loaded per list, 512 entries at most per list)\n",
              m.floorFlush.process.seconds / m.floorSync.process.seconds,
              m.rsyncBoth() > 0 ? m.floorFlush.process.seconds / m.rsyncBoth() : 0.0,
              m.floorByName.parts.archiveSeconds / m.floorRead.parts.archiveSeconds);

}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::string(argv[1]) == "--child")
    return runChild(argv[2], argv[3], argv[4], std::atoi(argv[5]), argv[6]);
  if (argc == 8 && std::string(argv[1]) == "--floor") {
    Shape shape{0, 1};
    if (std::sscanf(argv[5], "%d:%d", &shape.looseFiles, &shape.replaced) != 2) return 2;
    return runFloor(argv[2], argv[3], argv[4], shape, argv[6], argv[7]);
  }

  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // in order with the children's lines
  bool keep = false, large = false;
  std::string base = "/tmp", wineBuild;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--keep") keep = true;
    else if (arg == "--large") large = true;
    else if (arg == "--root" && i + 1 < argc) base = argv[++i];
    else if (arg == "--wine" && i + 1 < argc) wineBuild = argv[++i];
  }
#if defined(__SANITIZE_ADDRESS__)
  std::printf("note: built with AddressSanitizer; figures are not representative\n");
#endif
  std::string pattern = base + "/updater-bench-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  Shape full{kLooseFiles, kReplacedEntries};
  Tree tree;
  tree.root = buffer.data();
  std::printf("generating under %s ...\n", tree.root.c_str());
  if (!generate(&tree, full)) {
    std::printf("generation failed\n");
    return 2;
  }
  const std::string& root = tree.root;
  std::printf("  %d loose files, %.1f MiB, largest %.1f MiB; archive of %d entries, %.1f MiB, %d replaced\n",
              full.looseFiles, mib(tree.looseBytes), mib(tree.largest), kArchiveEntries, mib(tree.archiveBytes),
              full.replaced);

  FullRunFigures figures;
  measureFullRun(root, full, &figures);
  printResults(root, tree, figures);
  printGoals(figures);

  int status = 0;
  if (large && !runLarge(root)) {
    std::printf("the large files could not be generated\n");
    status = 2;
  }
  if (!wineBuild.empty() && !runUnderWine(root, wineBuild)) status = 2;
  if (!keep) spawnAndWait({"rm", "-rf", root}, false);
  return status;
}
