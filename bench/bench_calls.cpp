// The file calls of a run, per entry, as file systems wrapped over the
// system's count them (the tests' fault plan, spoiling nothing): opens
// (files and folders), reads, writes, and changes to the disk (creations,
// renames, removals). Built for both sides, so that the
// Windows program's calls are counted under Wine as the POSIX ones are
// natively. Prints figures; asserts nothing.
//
//   bench_calls [entries]
//
// An install of loose files in four folders and an archive of 2,000
// entries; an update that changes every loose file (half of them keep
// their size, and differ in their last byte) and replaces every archive
// entry it names. Each list is applied, then run again over the updated
// install.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "bench/sample_archive.h"
#include "bench/answering_host.h"
#include "list/update_list.h"
#include "platform/platform.h"
#include "run/run_host.h"
#include "run/run_state.h"
#include "tests/support/fault_plan.h"

namespace {

struct Counts {
  long opens = 0, reads = 0, writes = 0, changes = 0;
  double seconds = 0;
};

std::string content(int seed, size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed * 31 + i * 7 + (i >> 9));
  return bytes;
}

bool write(const std::string& path, const std::string& bytes) {
  plat::File file;
  return file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways) &&
         file.writeExactly(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// One run of the list in the current folder; the counts of its calls.
Counts runOnce(AnsweringHost* host, const std::string& list) {
  write("UpDate.lst", list);
  runState.changedFileCount = 0;
  runState.running.store(0);
  runState.dialog = host;
  // One counter a kind, each wrapped over the one before.
  FaultPlan opens(FaultPlan::kOpens, 0, FaultPlan::Spoil::Count), reads(FaultPlan::kReads, 0, FaultPlan::Spoil::Count),
      writes(FaultPlan::kWrites, 0, FaultPlan::Spoil::Count), changes(FaultPlan::kChanges, 0, FaultPlan::Spoil::Count);
  auto start = std::chrono::steady_clock::now();
  runUpdate(nullptr);
  Counts counts{opens.calls(), reads.calls(), writes.calls(), changes.calls()};
  counts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return counts;
}

void print(const char* what, const Counts& counts, int entries) {
  std::printf("  %-28s opens %5.2f  reads %5.2f  writes %5.2f  changes %5.2f  (%7.1f us an entry)\n", what,
              static_cast<double>(counts.opens) / entries, static_cast<double>(counts.reads) / entries,
              static_cast<double>(counts.writes) / entries, static_cast<double>(counts.changes) / entries,
              counts.seconds * 1e6 / entries);
}

}  // namespace

int main(int argc, char** argv) {
  int entries = argc > 1 ? std::atoi(argv[1]) : 200;
  if (entries < 1 || entries > 500) entries = 200;
  std::string start;
  plat::currentFolder(&start);
  std::string root = start + "\\bench-calls";
  // Through the standard library's own idea of the folder: the platform
  // layer's path text uses the Windows separator on both sides.
  const std::filesystem::path scratch = std::filesystem::current_path() / "bench-calls";
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  std::string update = root + "\\update\\", install = root + "\\install\\";
  for (const std::string& folder : {root, update, install, update + "loose", install + "loose"}) plat::createFolder(folder.c_str());
  for (int f = 0; f < 4; ++f)
    for (const std::string& side : {update, install}) plat::createFolder((side + "loose\\d" + std::to_string(f)).c_str());
  std::string loose, inserts;
  std::vector<SampleEntry> archive;
  for (int i = 0; i < 2000; ++i) archive.push_back({"data\\e" + std::to_string(i) + ".bin", content(i, 600 + i % 900)});
  writeSampleArchive(install + "game.arc", archive);
  for (int i = 0; i < entries; ++i) {
    std::string name = "loose\\d" + std::to_string(i % 4) + "\\f" + std::to_string(i) + ".bin";
    std::string bytes = content(1000 + i, 2000 + 37 * i);
    write(update + name, bytes);
    if (i % 2) bytes.back() ^= 0x5A; else bytes.resize(bytes.size() / 2);
    write(install + name, bytes);
    loose += "C\t" + name + "\n";
    std::string source = "ins" + std::to_string(i) + ".bin";
    write(update + source, content(5000 + i, 700));
    inserts += "I\tgame.arc\t" + source + "\t" + archive[static_cast<size_t>(i) * 2000 / entries].name + "\n";
  }
  plat::setCurrentFolder(update.c_str());
  AnsweringHost host;
  host.answer = kIdCancel;
  host.installFolder = install;
  std::printf("file calls per entry, as counting file systems see them (%d entries a list)\n", entries);
  print("loose files, apply", runOnce(&host, loose), entries);
  print("loose files, re-run", runOnce(&host, loose), entries);
  print("archive entries, apply", runOnce(&host, inserts), entries);
  print("archive entries, re-run", runOnce(&host, inserts), entries);
  std::printf("  (each list also reads UpDate.lst and, for archives, loads the index once)\n");
  plat::setCurrentFolder(start.c_str());
  std::filesystem::remove_all(scratch, ignored);
  return 0;
}
