// Headless benchmark of whole update runs: a generated install of 2,000
// loose files (256 MiB in all, mixed sizes) and a 20,000-entry archive of
// which 1,000 entries are replaced. Side by side in one go:
//   full apply        against  rsync -r --checksum --inplace of the same trees
//                     (the archive's baseline: rsync of the archive as
//                     delivered whole with the 1,000 new contents)
//   up-to-date re-run against  cmp of every pair
//   peak resident memory of each run against 2 x largest file + largest index
// Each run is a child process of this program (so its peak memory is its
// own), behind a dialog that answers OK. A list holds at most 512 entries,
// so the 3,000 entries are applied as six lists of 500, one run each.
//
//   bench_run [--keep] [--root /tmp]
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive_builder.h"
#include "archive/package_archive.h"
#include "list/update_list.h"
#include "platform/platform.h"
#include "run/loose_file.h"
#include "run/run_host.h"
#include "run/run_messages.h"
#include "run/run_state.h"

extern char** environ;

namespace {

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

Spawned spawnAndWait(const std::vector<std::string>& args, bool quiet);

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

Spawned spawnAndWait(const std::vector<std::string>& args, bool quiet) {
  Spawned result;
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
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

class AnsweringHost : public RunHost {
 public:
  std::string installFolder;
  std::string lastMessage;
  void readInstallFolder(char* buffer, int size) override {
    std::snprintf(buffer, static_cast<size_t>(size), "%s", installFolder.c_str());
  }
  void setProgressRange(int, int) override {}
  void setProgressPosition(int) override {}
  int showMessage(void*, const char* text, const char*, uint32_t) override {
    lastMessage = text;
    return kIdOk;
  }
  void requestClose() override {}
};

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

// Writes "<loose seconds> <archive seconds> <peak KiB>" to `report`.
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
    uint32_t result = runUpdate(nullptr);
    ::sync();  // the written data on disk, as the baselines are timed
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bool asExpected = result == 1 && host.lastMessage == expected;
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
  std::fprintf(out, "%.6f %.6f %ld\n", looseSeconds, archiveSeconds, peakResidentKiB());
  std::fclose(out);
  return unexpected == 0 ? 0 : 1;
}

struct ChildReport {
  double looseSeconds = 0;
  double archiveSeconds = 0;
  long peakKiB = -1;
};

ChildReport readReport(const std::string& path) {
  ChildReport report;
  std::FILE* in = std::fopen(path.c_str(), "r");
  if (in == nullptr) return report;
  if (std::fscanf(in, "%lf %lf %ld", &report.looseSeconds, &report.archiveSeconds, &report.peakKiB) != 3)
    report = ChildReport();
  std::fclose(in);
  return report;
}

// ---- the parent: generates the trees and times everything ----

struct Tree {
  std::string root;
  std::vector<uint32_t> sizes;
  uint32_t largest = 0;
  uint64_t archiveBytes = 0;
};

bool generate(Tree* tree) {
  const std::string& root = tree->root;
  for (const char* folder : {"delivery", "delivery/loose", "delivery/ins", "delivery/lists", "base", "base/loose",
                             "want"})
    if (!makeDirectory(root + "/" + folder)) return false;
  for (int f = 0; f < kLooseFolders; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "/loose/d%02d", f);
    if (!makeDirectory(root + "/delivery" + name) || !makeDirectory(root + "/base" + name)) return false;
  }

  // Sizes: many small files, a few hundred medium ones, ten large ones of
  // which one is 16 MiB; the large ones share what is left of 256 MiB.
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
  tree->sizes = sizes;

  // Delivered files; the install holds an older state of each: a quarter
  // missing, a quarter of another size, half of the same size with the
  // last byte different (the costliest comparison).
  std::string bytes;
  for (int i = 0; i < kLooseFiles; ++i) {
    fill(&bytes, sizes[i], static_cast<uint64_t>(i) + 1);
    if (!writeWhole(root + "/delivery/" + looseName(i), bytes)) return false;
    if (sizes[i] > tree->largest) tree->largest = sizes[i];
    switch (i % 4) {
      case 0: break;
      case 1: bytes.resize(bytes.size() / 2); [[fallthrough]];
      default:
        bytes.back() ^= 0x5A;
        if (!writeWhole(root + "/base/" + looseName(i), bytes)) return false;
    }
  }

  // The archive, and the 1,000 replacement contents as loose sources.
  std::vector<ArchiveBuilderEntry> entries(kArchiveEntries);
  for (int i = 0; i < kArchiveEntries; ++i) {
    entries[i].name = entryName(i);
    fill(&entries[i].content, rng.between(512, 8192), 1000000 + static_cast<uint64_t>(i));
  }
  if (!writeArchiveFile((root + "/base/game.arc").c_str(), entries)) return false;
  int stride = kArchiveEntries / kReplacedEntries;
  for (int r = 0; r < kReplacedEntries; ++r) {
    ArchiveBuilderEntry& entry = entries[r * stride];
    fill(&entry.content, entry.content.size() + 100, 2000000 + static_cast<uint64_t>(r));
    if (!writeWhole(root + "/delivery/" + insertSourceName(r), entry.content)) return false;
  }
  // The same archive as delivered whole, for the baselines.
  std::string wanted = buildArchiveBytes(entries);
  tree->archiveBytes = wanted.size();
  if (!writeWhole(root + "/want/game.arc", wanted)) return false;

  // The lists, 500 entries each.
  std::vector<std::string> lines;
  for (int i = 0; i < kLooseFiles; ++i) lines.push_back("C\t" + windowsPath(looseName(i)) + "\n");
  for (int r = 0; r < kReplacedEntries; ++r)
    lines.push_back("I\tgame.arc\t" + windowsPath(insertSourceName(r)) + "\t" + entryName(r * stride) + "\n");
  for (size_t k = 0; k * kEntriesPerList < lines.size(); ++k) {
    std::string list;
    for (size_t j = k * kEntriesPerList; j < lines.size() && j < (k + 1) * kEntriesPerList; ++j) list += lines[j];
    if (!writeWhole(root + "/delivery/lists/" + std::to_string(k) + ".lst", list)) return false;
  }
  return true;
}

int listCount() { return (kLooseFiles + kReplacedEntries + kEntriesPerList - 1) / kEntriesPerList; }

double mib(uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

void printComparison(const char* what, double ours, const char* baseline, const Spawned& theirs, bool available) {
  if (!available) {
    std::printf("  %-18s run %8.3f s   %-28s skipped: not installed\n", what, ours, baseline);
    return;
  }
  std::printf("  %-18s run %8.3f s   %-28s %8.3f s   ratio %.2f (goal <= 1.20)\n", what, ours, baseline,
              theirs.seconds, ours / theirs.seconds);
}

// What the flush that every archive insertion makes costs: appends of a
// typical entry's size to a copy of the applied archive, each followed by
// the flush an insertion makes, against the same appends flushed once at
// the end. Returns the milliseconds per insertion for both.
bool measureFlushes(const std::string& archive, const std::string& scratch, double* withFlush, double* without) {
  constexpr int kAppends = 200;
  std::string content;
  fill(&content, 4 * 1024, 7);
  spawnAndWait({"cp", archive, scratch}, false);
  for (int flushing = 1; flushing >= 0; --flushing) {
    plat::File file;
    if (!file.open(scratch.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting)) return false;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kAppends; ++i) {
      if (!file.seek(0, plat::SeekOrigin::End) || !file.writeExactly(content.data(), static_cast<uint32_t>(content.size())))
        return false;
      if (flushing && !file.flush()) return false;
    }
    if (!file.flush()) return false;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    *(flushing ? withFlush : without) = 1000.0 * seconds / kAppends;
  }
  ::unlink(scratch.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::string(argv[1]) == "--child")
    return runChild(argv[2], argv[3], argv[4], std::atoi(argv[5]), argv[6]);

  bool keep = false;
  std::string base = "/tmp";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--keep") keep = true;
    else if (arg == "--root" && i + 1 < argc) base = argv[++i];
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
  Tree tree;
  tree.root = buffer.data();
  std::printf("generating under %s ...\n", tree.root.c_str());
  if (!generate(&tree)) {
    std::printf("generation failed\n");
    return 2;
  }
  const std::string& root = tree.root;
  std::printf("  %d loose files, %.1f MiB, largest %.1f MiB; archive of %d entries, %.1f MiB, %d replaced\n",
              kLooseFiles, mib(kLooseBytes), mib(tree.largest), kArchiveEntries, mib(tree.archiveBytes),
              kReplacedEntries);

  // Two identical copies of the old install: one for the run, one for rsync.
  spawnAndWait({"cp", "-a", root + "/base", root + "/run-install"}, false);
  spawnAndWait({"cp", "-a", root + "/base", root + "/rsync-install"}, false);
  spawnAndWait({"sync"}, false);

  bool haveRsync = programAvailable("rsync");
  bool haveCmp = programAvailable("cmp");
  std::string self = "/proc/self/exe";
  char selfPath[4096];
  ssize_t length = ::readlink(self.c_str(), selfPath, sizeof selfPath - 1);
  if (length <= 0) return 2;
  selfPath[length] = '\0';
  std::string lists = std::to_string(listCount());

  std::printf("full apply (%s lists):\n", lists.c_str());
  Spawned apply =
      timedToDisk({selfPath, "--child", "apply", root + "/delivery", root + "/run-install", lists, root + "/apply.report"});
  ChildReport applied = readReport(root + "/apply.report");
  Spawned rsyncLoose, rsyncArchive, rsyncBoth;
  if (haveRsync) {
    rsyncLoose = timedToDisk(
        {"rsync", "-r", "--checksum", "--inplace", root + "/delivery/loose/", root + "/rsync-install/loose/"});
    rsyncArchive = timedToDisk(
        {"rsync", "-r", "--checksum", "--inplace", root + "/want/game.arc", root + "/rsync-install/game.arc"});
    rsyncBoth.seconds = rsyncLoose.seconds + rsyncArchive.seconds;
    rsyncBoth.started = rsyncLoose.started && rsyncArchive.started;
  }

  std::printf("up-to-date re-run:\n");
  Spawned rerun =
      timedToDisk({selfPath, "--child", "rerun", root + "/delivery", root + "/run-install", lists, root + "/rerun.report"});
  ChildReport reran = readReport(root + "/rerun.report");
  Spawned cmpAll, cmpLoose, cmpArchive;
  int cmpDifferent = 0;
  if (haveCmp) {
    ::sync();
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kLooseFiles; ++i) {
      Spawned one = spawnAndWait({"cmp", "-s", root + "/delivery/" + looseName(i), root + "/run-install/" + looseName(i)},
                                 false);
      if (one.status != 0) ++cmpDifferent;
    }
    cmpLoose.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cmpLoose.started = true;
    cmpArchive = spawnAndWait({"cmp", "-s", root + "/want/game.arc", root + "/rsync-install/game.arc"}, false);
    if (cmpArchive.status != 0) ++cmpDifferent;
    cmpAll.seconds = cmpLoose.seconds + cmpArchive.seconds;
    cmpAll.started = true;
  }

  uint64_t largestIndex = static_cast<uint64_t>(kArchiveEntries) * kArchiveRecordSize;
  double goal = mib(2ull * tree.largest + largestIndex);
  std::printf("\nresults (%s)\n", root.c_str());
  std::printf("  outcomes: apply %s, re-run %s%s\n", apply.status == 0 ? "as expected" : "UNEXPECTED",
              rerun.status == 0 ? "all up to date" : "UNEXPECTED",
              haveCmp ? (cmpDifferent == 0 ? ", cmp found every pair equal" : ", cmp found DIFFERENCES") : "");
  printComparison("full apply", apply.seconds, "rsync -r --checksum --inplace", rsyncBoth, haveRsync);
  printComparison("  loose files", applied.looseSeconds, "  rsync of the loose tree", rsyncLoose, haveRsync);
  printComparison("  archive entries", applied.archiveSeconds, "  rsync of the archive", rsyncArchive, haveRsync);
  std::printf("  %-18s                  (%.2f ms per archive entry applied, %.2f ms per entry re-checked)\n", "",
              1000.0 * applied.archiveSeconds / kReplacedEntries, 1000.0 * reran.archiveSeconds / kReplacedEntries);
  printComparison("up-to-date re-run", rerun.seconds, "cmp of every pair", cmpAll, haveCmp);
  printComparison("  loose files", reran.looseSeconds, "  cmp of the loose pairs", cmpLoose, haveCmp);
  printComparison("  archive entries", reran.archiveSeconds, "  cmp of the archives", cmpArchive, haveCmp);
  std::printf("  (every write phase is timed until its data is on disk; the run's parts are timed inside\n"
              "   its process, its totals include the process start)\n");
  std::printf("  peak resident      apply %.1f MiB, re-run %.1f MiB; goal < %.1f MiB (2 x %.1f MiB + index %.2f MiB)\n",
              applied.peakKiB / 1024.0, reran.peakKiB / 1024.0, goal, mib(tree.largest), mib(largestIndex));

  double flushed = 0, unflushed = 0;
  if (measureFlushes(root + "/run-install/game.arc", root + "/flush.arc", &flushed, &unflushed))
    std::printf("  archive flushes    one per insertion: %.2f ms per 4 KiB append with it, %.2f ms without;\n"
                "                     %.2f ms of the %.2f ms per archive entry applied\n",
                flushed, unflushed, flushed - unflushed, 1000.0 * applied.archiveSeconds / kReplacedEntries);

  if (!keep) spawnAndWait({"rm", "-rf", root}, false);
  return 0;
}
