// Times `updtool make` on two generated game trees against the least any
// tool must do for the same update: `cmp -s` of every changed pair and `cp`
// of every changed or new file, and prints the tool's peak memory; then one
// make of three old trees against the three single makes.
//
// The trees: a few thousand small files in a few dozen folders (a few of
// them changed, a few new), one large file with one byte changed near its
// end (so both sides read all of it), and one package archive of 20,000
// entries with some entries replaced and some added.
//
// usage: bench_make [--big-mib N] [--updtool PATH] [WORK_DIR]
// (default: 1024 MiB, the updtool beside this program's build folder, a
// fresh folder under $TMPDIR or /tmp, removed at the end). Measure with a
// Release build without sanitizers; the figures are printed, not checked.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/sample_archive.h"

namespace {

constexpr int kFolders = 40;
constexpr int kFilesPerFolder = 75;   // 3,000 small files
constexpr int kArchiveEntries = 20000;

uint64_t gState = 0x9E3779B97F4A7C15ull;
uint64_t nextRandom() {
  gState ^= gState << 13;
  gState ^= gState >> 7;
  gState ^= gState << 17;
  return gState;
}

std::string randomBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; i += 8) {
    uint64_t word = nextRandom();
    std::memcpy(&bytes[i], &word, std::min<size_t>(8, size - i));
  }
  return bytes;
}

bool writeAll(const std::string& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool fine = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && fine;
}

// The large file in both trees, written piece by piece: equal but for one
// byte 4 KiB before the end.
bool writeLargePair(const std::string& oldPath, const std::string& newPath, uint64_t size) {
  FILE* oldFile = std::fopen(oldPath.c_str(), "wb");
  FILE* newFile = std::fopen(newPath.c_str(), "wb");
  if (oldFile == nullptr || newFile == nullptr) return false;
  const size_t piece = 8u << 20;
  uint64_t changedAt = size - 4096;
  for (uint64_t at = 0; at < size; at += piece) {
    std::string bytes = randomBytes(static_cast<size_t>(std::min<uint64_t>(piece, size - at)));
    std::fwrite(bytes.data(), 1, bytes.size(), oldFile);
    if (changedAt >= at && changedAt < at + bytes.size()) bytes[changedAt - at] ^= 0x5A;
    std::fwrite(bytes.data(), 1, bytes.size(), newFile);
  }
  return std::fclose(oldFile) == 0 && std::fclose(newFile) == 0;
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

struct Measured {
  double seconds = 0;
  long peakKiB = 0;
  int status = -1;
};

// Runs a program and waits for it: wall time, its own peak resident size.
// posix_spawn shares this process's memory until the exec, so the child's
// peak is its own, not a copy of the generated trees.
Measured runProgram(const std::vector<std::string>& arguments) {
  Measured measured;
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  auto start = std::chrono::steady_clock::now();
  pid_t child = 0;
  if (posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0) return measured;
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  struct rusage usage {};
  wait4(child, &status, 0, &usage);
  measured.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  measured.peakKiB = usage.ru_maxrss;
  measured.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return measured;
}

std::string defaultTool(const char* self) {
  char resolved[4096];
  ssize_t length = readlink("/proc/self/exe", resolved, sizeof resolved - 1);
  std::string path = length > 0 ? std::string(resolved, static_cast<size_t>(length)) : self;
  std::string bench = path.substr(0, path.rfind('/'));
  return bench.substr(0, bench.rfind('/')) + "/tools/updtool";
}

int makeTrees(const std::string& work, uint64_t bigMiB) {
  const std::string oldTree = work + "/old", newTree = work + "/new";
  std::vector<std::string> changedPairs, newFiles;  // relative paths
  uint64_t treeBytes = 0;

  std::printf("generating the trees in %s ...\n", work.c_str());
  std::fflush(stdout);
  for (const std::string& tree : {oldTree, newTree}) {
    mkdir(tree.c_str(), 0777);
    mkdir((tree + "/data").c_str(), 0777);
    for (int folder = 0; folder < kFolders; ++folder) mkdir((tree + "/data/f" + std::to_string(folder)).c_str(), 0777);
  }
  for (int folder = 0; folder < kFolders; ++folder)
    for (int file = 0; file < kFilesPerFolder; ++file) {
      std::string relative = "data/f" + std::to_string(folder) + "/file" + std::to_string(file) + ".dat";
      std::string bytes = randomBytes(1024 + nextRandom() % (64 * 1024));
      treeBytes += bytes.size();
      writeAll(oldTree + "/" + relative, bytes);
      if ((folder * kFilesPerFolder + file) % 100 == 7) {
        bytes[bytes.size() / 2] ^= 0x33;  // same size, one byte changed
        changedPairs.push_back(relative);
      }
      writeAll(newTree + "/" + relative, bytes);
    }
  for (int i = 0; i < 20; ++i) {
    std::string relative = "data/f" + std::to_string(i) + "/added" + std::to_string(i) + ".dat";
    writeAll(newTree + "/" + relative, randomBytes(4096 + 97 * i));
    newFiles.push_back(relative);
  }
  if (!writeLargePair(oldTree + "/data/movie.bin", newTree + "/data/movie.bin", bigMiB << 20)) {
    std::fprintf(stderr, "cannot write the large file\n");
    return 2;
  }
  changedPairs.push_back("data/movie.bin");
  std::vector<SampleEntry> oldEntries, newEntries;
  for (int i = 0; i < kArchiveEntries; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "stage%03d\\object%05d.dat", i % 200, i);
    std::string content = randomBytes(256 + nextRandom() % 4096);
    oldEntries.push_back({name, content});
    if (i % 100 == 3) content = randomBytes(content.size() + 16);
    newEntries.push_back({name, content});
  }
  for (int i = 0; i < 50; ++i) newEntries.push_back({"added\\entry" + std::to_string(i) + ".dat", randomBytes(2048)});
  writeSampleArchive(oldTree + "/data/objects.pak", oldEntries);
  writeSampleArchive(newTree + "/data/objects.pak", newEntries);
  changedPairs.push_back("data/objects.pak");
  std::printf("trees: %d small files (%.1f MiB), one %llu MiB file, one archive of %d entries; %zu changed, %zu new\n",
              kFolders * kFilesPerFolder, static_cast<double>(treeBytes) / (1 << 20), static_cast<unsigned long long>(bigMiB),
              kArchiveEntries, changedPairs.size(), newFiles.size());

  // The floor: compare each changed pair, copy each changed or new file.
  std::string script = "set -e\nmkdir -p " + quoted(work + "/copies") + "\n";
  int copy = 0;
  for (const std::string& relative : changedPairs)
    script += "cmp -s " + quoted(oldTree + "/" + relative) + " " + quoted(newTree + "/" + relative) + " || true\n";
  for (const std::vector<std::string>* group : {&changedPairs, &newFiles})
    for (const std::string& relative : *group)
      script += "cp " + quoted(newTree + "/" + relative) + " " + quoted(work + "/copies/" + std::to_string(copy++)) + "\n";
  writeAll(work + "/floor.sh", script);

  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t bigMiB = 1024;
  std::string tool = defaultTool(argv[0]), work;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--big-mib" && i + 1 < argc) bigMiB = std::strtoull(argv[++i], nullptr, 10);
    else if (argument == "--updtool" && i + 1 < argc) tool = argv[++i];
    else work = argument;
  }
  bool ownWork = work.empty();
  if (ownWork) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp ? tmp : "/tmp") + "/bench-make-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) return 2;
    work = pattern;
  }
  const std::string oldTree = work + "/old", newTree = work + "/new";
  // The trees are made by a child process that then ends: a child's peak
  // memory starts from its parent's, so this process stays small.
  std::fflush(stdout);
  pid_t maker = fork();
  if (maker == 0) _exit(makeTrees(work, bigMiB));
  int made = 0;
  waitpid(maker, &made, 0);
  if (!WIFEXITED(made) || WEXITSTATUS(made) != 0) return 2;

  // Both read the trees once beforehand, so that each run finds them cached alike.
  runProgram({"sh", "-c", "cat " + quoted(oldTree) + "/data/movie.bin " + quoted(newTree) + "/data/movie.bin > /dev/null"});
  std::printf("%-36s %10s %12s\n", "", "seconds", "peak memory");
  for (int round = 1; round <= 2; ++round) {
    runProgram({"rm", "-rf", work + "/copies", work + "/out"});
    Measured floor = runProgram({"sh", work + "/floor.sh"});
    Measured make = runProgram({tool, "make", oldTree, newTree, work + "/out"});
    std::printf("round %d: cmp -s + cp of changed files %10.2f %9.1f MiB\n", round, floor.seconds, floor.peakKiB / 1024.0);
    std::printf("round %d: updtool make (exit %d)        %10.2f %9.1f MiB   %.2fx the floor\n", round, make.status,
                make.seconds, make.peakKiB / 1024.0, make.seconds / floor.seconds);
    std::fflush(stdout);
  }
  // Three old versions for one update: the old tree, one with other files
  // changed and one gone, and one with the archive of the new tree. Their
  // files are second names of the old tree's, but for those replaced.
  std::string old2 = work + "/old2", old3 = work + "/old3";
  runProgram({"cp", "-al", oldTree, old2});
  runProgram({"cp", "-al", oldTree, old3});
  for (int file = 0; file < kFilesPerFolder; file += 5) {
    std::string relative = "/data/f3/file" + std::to_string(file) + ".dat";
    unlink((old2 + relative).c_str());
    writeAll(old2 + relative, randomBytes(2048 + file));
  }
  unlink((old2 + "/data/f4/file0.dat").c_str());
  // An archive with a second name is one the updater refuses to change.
  unlink((old2 + "/data/objects.pak").c_str());
  runProgram({"cp", oldTree + "/data/objects.pak", old2 + "/data/objects.pak"});
  unlink((old3 + "/data/objects.pak").c_str());
  runProgram({"cp", newTree + "/data/objects.pak", old3 + "/data/objects.pak"});
  double singles = 0;
  long singlesPeak = 0;
  for (const std::string& old : {oldTree, old2, old3}) {
    runProgram({"rm", "-rf", work + "/out1"});
    Measured single = runProgram({tool, "make", old, newTree, work + "/out1"});
    singles += single.seconds;
    singlesPeak = std::max(singlesPeak, single.peakKiB);
  }
  runProgram({"rm", "-rf", work + "/out3"});
  Measured three = runProgram({tool, "make", oldTree, old2, old3, newTree, work + "/out3"});
  std::printf("three single makes (each with its proof)  %10.2f %9.1f MiB\n", singles, singlesPeak / 1024.0);
  std::printf("one make of three old trees (exit %d)     %10.2f %9.1f MiB   %.2fx the singles (goal <= 1.00x, <= 64 MiB)\n",
              three.status, three.seconds, three.peakKiB / 1024.0, three.seconds / singles);
  if (ownWork) runProgram({"rm", "-rf", work});
  return 0;
}
