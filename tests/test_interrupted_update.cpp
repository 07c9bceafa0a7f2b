// One update (loose files created, rewritten and replaced; archive entries
// replaced and added, from loose files and from a package, streamed and
// held) run with one fault at every point where it can meet one: each read
// or write failing, moving half its bytes or one byte short, or every one
// from there on failing; an open for writing refused; the disk full from a
// growing write on; a question about a file refused; memory refused; and
// (natively) the process killed before any change to the disk. At every
// message box and after the run, a reader of its own, independent of the
// program's archive code, finds every file and entry old or new and nothing
// else, and the change count says how many are new. The retry that the
// prompt offers, or else a second run, then ends where an uninterrupted run
// ends.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "archive/content.h"
#include "platform/platform.h"
#include "run/run_state.h"
#include "run/setup_log.h"
#include "tests/support/fake_host.h"
#include "tests/support/fault_plan.h"
#include "tests/support/run_reset.h"
#include "tests/support/test_files.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using Files = std::map<std::string, std::string>;
using Spoil = FaultPlan::Spoil;

// Content of a given length that differs at every byte from other seeds.
std::string pattern(char seed, size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(seed + i * 7 + (i >> 8));
  return bytes;
}

const char kList[] =
    "C\tcreated.dat\nC\trewrite.dat\nR\treplace.dat\nI\tdata.pak\ta.txt\tA.TXT\nP\tUpDate.pak\n"
    "I\tdata.pak\tb.txt\tb.txt\nI\tdata.pak\tc.txt\tc.txt\nC\tpacked.dat\nP\nI\tdata.pak\td.txt\td.txt\n"
    "C\tnew\\folder\\made.dat\n";
const int kChanges = 9;
const uint32_t kPiece = 512;  // contents above it are streamed in pieces of it
const std::string kLog = "F\tC:\\Game\\game.exe\r\n";
const std::string kHeader = "QRV001headerkept";  // bytes 6 to 15 are not interpreted, only kept

// The install folder before and after: loose files by name, the entries of
// data.pak as "data.pak:" + name, the log with the folder as "<game>\".
const Files kOld = {{"rewrite.dat", pattern('r', 200)},     {"replace.dat", pattern('p', 600)},
                    {"data.pak:a.txt", pattern('a', 300)}, {"data.pak:b.txt", pattern('b', 50)},
                    {"data.pak:z.txt", "kept"},            {kSetupLogName, kLog}};
const Files kNew = {{"created.dat", pattern('c', 1100)},    {"rewrite.dat", pattern('R', 300)},
                    {"replace.dat", pattern('P', 400)},     {"packed.dat", pattern('k', 70)},
                    {"data.pak:a.txt", pattern('A', 1000)}, {"data.pak:b.txt", pattern('B', 60)},
                    {"data.pak:c.txt", pattern('C', 90)},   {"data.pak:d.txt", pattern('D', 40)},
                    {"data.pak:z.txt", "kept"},        {"new\\folder\\made.dat", pattern('m', 30)},
                    {kSetupLogName, kLog + "F\t<game>\\created.dat\r\nF\t<game>\\packed.dat\r\n"
                                           "F\t<game>\\new\\folder\\made.dat\r\n"}};
// The files the run creates, in list order, as the log names them.
const char* const kCreated[] = {"created.dat", "packed.dat", "new\\folder\\made.dat"};

// The archive as the game reads it, by the format alone: each record's name
// up to its NUL and its content. False when anything lies outside the file
// or a name is there twice.
bool readArchive(const std::string& bytes, Files* entries) {
  auto u32 = [&](uint64_t at) {
    return uint64_t{static_cast<unsigned char>(bytes[at])} | static_cast<unsigned char>(bytes[at + 1]) << 8 |
           static_cast<unsigned char>(bytes[at + 2]) << 16 | uint64_t{static_cast<unsigned char>(bytes[at + 3])} << 24;
  };
  if (bytes.size() < 24 || bytes.compare(0, 16, kHeader) != 0) return false;
  uint64_t indexOffset = u32(16), indexSize = u32(20);
  if (indexOffset + indexSize > bytes.size()) return false;
  for (uint64_t at = indexOffset; at + 20 <= indexOffset + indexSize; at += 20) {
    uint64_t nameOffset = u32(at), nameLength = u32(at + 4), dataOffset = u32(at + 8), dataSize = u32(at + 12);
    if (nameOffset + nameLength > bytes.size() || dataOffset + dataSize > bytes.size()) return false;
    std::string name = bytes.substr(nameOffset, nameLength).c_str();
    if (!entries->emplace("data.pak:" + name, bytes.substr(dataOffset, dataSize)).second) return false;
  }
  return true;
}

// While one lives, the test's own reads meet no fault.
struct FaultsPaused {
  plat::FileSystemInUse systemOnly{plat::systemFiles()};
};

struct RunResult {
  bool finished = false;
  int changed = 0;
};

// One copy of the update and the installed game before it.
struct Scene {
  TempFolder delivery, game;
  Scene() {
    EXPECT_TRUE(writeFile(delivery / "UpDate.lst", kList));
    for (const char* name : {"created.dat", "rewrite.dat", "replace.dat"})
      EXPECT_TRUE(writeFile(delivery / name, kNew.at(name)));
    EXPECT_TRUE(writeFileAndFolders(delivery / "new\\folder\\made.dat", kNew.at("new\\folder\\made.dat")));
    for (const std::string name : {"a.txt", "d.txt"})
      EXPECT_TRUE(writeFile(delivery / name, kNew.at("data.pak:" + name)));
    EXPECT_TRUE(writeArchiveFile((delivery / "UpDate.pak").c_str(), {{"b.txt", kNew.at("data.pak:b.txt")},
                                                                      {"c.txt", kNew.at("data.pak:c.txt")},
                                                                      {"packed.dat", kNew.at("packed.dat")}}));
    for (const std::string name : {"rewrite.dat", "replace.dat", kSetupLogName})
      EXPECT_TRUE(writeFile(game / name, kOld.at(name)));
    std::string archive = ::archiveBytes(
        {{"a.txt", kOld.at("data.pak:a.txt")}, {"b.txt", kOld.at("data.pak:b.txt")}, {"z.txt", "kept"}});
    EXPECT_TRUE(writeFile(game / "data.pak", kHeader + archive.substr(16)));
  }

  // The whole run on this thread; the first file-error prompt is answered
  // with Retry, any later one with Cancel. `onMessage` sees every message
  // box as it shows, `afterEntry` every move of the bar.
  RunResult run(std::function<void(const HostCall&)> onMessage = nullptr,
                std::function<void(int)> afterEntry = nullptr) {
    CurrentDirectory inDelivery(delivery.path());
    resetRunState();
    runState.contentLimits.piece = kPiece;
    FakeHost host;
    host.installFolder = game.path();
    host.retries = 1;
    host.onShowMessage = onMessage;
    host.onProgressPosition = afterEntry;
    runState.dialog = &host;
    RunResult result{runUpdate(&runState.worker) == 1, runState.changedFileCount};
    resetRunState();
    return result;
  }

  // The install folder as compared: the archive by its entries (by its
  // bytes when it does not read), the log with the folder as "<game>\".
  Files state() const {
    FaultsPaused paused;
    std::map<std::string, std::string> below = filesBelow(game.path());
    Files found(below.begin(), below.end());
    if (readArchive(found["data.pak"], &found)) found.erase("data.pak");
    std::string& log = found[kSetupLogName];
    for (size_t at; (at = log.find(game.path())) != std::string::npos;) log.replace(at, game.path().size(), "<game>\\");
    return found;
  }
  std::string archiveBytes() const {
    FaultsPaused paused;
    return readFileOrEmpty(game / "data.pak");
  }
};

// Each file by name, size and a hash of its bytes: a readable difference.
std::string summary(const Files& files) {
  std::string text;
  for (const auto& file : files)
    text += file.first + " " + std::to_string(file.second.size()) + " #" +
            std::to_string(std::hash<std::string>()(file.second) % 100000) + "\n";
  return text;
}

struct FaultKind {
  const char* name;
  unsigned calls;
  Spoil spoil;
  bool fromThenOn;
  // The failed step is undone: appended archive bytes are cut off and
  // temporary files removed, so the archive is byte for byte as one of the
  // run's entries left it. Not when every read fails (the cut checks the
  // index first) nor after a kill.
  bool undone;
};

// The archive before and after each entry of an uninterrupted run.
std::set<std::string> entryArchives;

// What a stop may leave: each file and entry old or new (absent where it
// was absent), nothing else; log lines only for created files, each once,
// in list order, and after a kill one for every created file there is (a
// log that refused its line leaves a file unlogged, as it should);
// temporary files only where `leftovers` allows them, and the archive as
// an entry left it where the kind of fault lets the step be undone. The
// problems, one a line; *changed receives how many files and entries are
// new.
std::string problemsAfterStop(const Scene& scene, const FaultKind& kind, bool leftovers, int* changed) {
  const Files files = scene.state();
  std::string problems;
  if (kind.undone && !entryArchives.count(scene.archiveBytes())) problems += "data.pak holds bytes of a failed step\n";
  *changed = 0;
  for (const auto& file : files) {
    const std::string& name = file.first;
    bool isOld = kOld.count(name) && kOld.at(name) == file.second;
    bool isNew = kNew.count(name) && kNew.at(name) == file.second;
    bool temporary = name.size() > 4 && name.substr(name.size() - 4) == ".~up";
    if (name != kSetupLogName && (temporary ? !leftovers : !isOld && !isNew))
      problems += name + " is neither old nor new (" + std::to_string(file.second.size()) + " bytes)\n";
    *changed += name != kSetupLogName && isNew && !isOld;
  }
  for (const auto& old : kOld)
    if (!files.count(old.first)) problems += old.first + " is gone\n";
  std::string log = files.at(kSetupLogName);
  bool fits = log.compare(0, kLog.size(), kLog) == 0;
  log.erase(0, std::min(log.size(), kLog.size()));
  for (const char* created : kCreated) {
    std::string line = std::string("F\t<game>\\") + created + "\r\n";
    bool logged = log.compare(0, line.size(), line) == 0;
    if (logged) log.erase(0, line.size());
    if (!logged && files.count(created) && kind.spoil == Spoil::Exit) fits = false;
  }
  if (!fits || !log.empty()) problems += "the log does not fit the files: " + files.at(kSetupLogName) + "\n";
  return problems;
}

const unsigned kTransfers = FaultPlan::kReads | FaultPlan::kWrites;
const FaultKind kFaultKinds[] = {
    {"failed read or write", kTransfers, Spoil::Fail, false, true},
    {"read or write of half", kTransfers, Spoil::Half, false, true},
    {"read or write one byte short", kTransfers, Spoil::OneShort, false, true},
    {"every read and write failing", kTransfers, Spoil::Fail, true, false},
    // Only opens for writing: a source that no longer opens counts as
    // absent, a log that does not open as no log.
    {"refused open for writing", FaultPlan::kOpens, Spoil::Fail, false, true},
    {"full disk", FaultPlan::kGrowingWrites, Spoil::DiskFull, true, true},
    {"question about a file refused", FaultPlan::kQueries, Spoil::Fail, false, true},
    {"no memory", FaultPlan::kAllocations, Spoil::Fail, false, true},
#ifndef _WIN32
    {"kill", FaultPlan::kChanges, Spoil::Exit, false, false},
#endif
};

// What an uninterrupted run makes of the scene, and the archive before it.
Files reference;
std::string oldArchive;

class InterruptedUpdate : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
#ifndef _WIN32
    // The sweep flushes thousands of files: in a folder kept in memory,
    // where the system offers one, they cost no wait for the disk.
    if (!std::getenv("TMPDIR") && access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
#endif
    Scene scene;
    entryArchives = {oldArchive = scene.archiveBytes()};
    RunResult result = scene.run(nullptr, [&](int) { entryArchives.insert(scene.archiveBytes()); });
    reference = scene.state();
    EXPECT_EQ(summary(reference), summary(kNew));
    EXPECT_EQ(result.changed, kChanges);
    EXPECT_EQ(entryArchives.size(), 5u) << "the old archive and one more after each insertion";
  }

  // After a stop: the state is sound and counted; a single fault that
  // passed let the retry finish the run, unless it stopped the run before
  // any change; else the same update run again changes exactly what the
  // stop left old.
  void checkStop(Scene& scene, const FaultKind& kind, RunResult stopped, bool killed) {
    int changed = 0;
    std::string found = problemsAfterStop(scene, kind, !kind.undone, &changed);
    bool untouched = !killed && scene.state() == kOld && scene.archiveBytes() == oldArchive;
    EXPECT_EQ(killed ? changed : stopped.changed, changed);
    EXPECT_TRUE(kind.fromThenOn || killed || stopped.finished || untouched);
    if (!stopped.finished && !untouched) {
      RunResult again = scene.run();
      EXPECT_TRUE(again.finished);
      EXPECT_EQ(changed + again.changed, kChanges);
    }
    EXPECT_EQ(found, "");
    // The log was looked at above: a faulty write may have kept a line out.
    Files after = untouched ? reference : scene.state(), wanted = reference;
    after.erase(kSetupLogName);
    wanted.erase(kSetupLogName);
    EXPECT_EQ(summary(after), summary(wanted));
  }
};

TEST_F(InterruptedUpdate, EveryFaultAtEveryPointLeavesOldOrNewAndTheRetryCompletes) {
  for (const FaultKind& kind : kFaultKinds) {
    int tried = 0;
    for (int k = 1;; ++k) {
      SCOPED_TRACE(std::string(kind.name) + " at call " + std::to_string(k));
      Scene scene;
      RunResult result;
      bool reached = false, killed = false;
      if (kind.spoil == Spoil::Exit) {
#ifndef _WIN32
        std::fflush(nullptr);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
          FaultPlan plan(kind.calls, k, kind.spoil);
          scene.run();
          _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        reached = killed = WEXITSTATUS(status) == FaultPlan::kKilled;
#endif
      } else {
        FaultPlan plan(kind.calls, k, kind.spoil, kind.fromThenOn);
        plan.onlyOpens("", true);
        // At a prompt, or the message of an abort, the step has failed: the
        // state is sound already, and a prompt says why.
        result = scene.run([&](const HostCall& message) {
          int changed = 0;
          EXPECT_EQ(problemsAfterStop(scene, kind, false, &changed), "");
          EXPECT_EQ(message.text.find("\nerrorcode:0\n"), std::string::npos) << message.text;
        });
        reached = plan.reached();
      }
      if (!reached) break;
      ++tried;
      checkStop(scene, kind, result, killed);
    }
    EXPECT_GT(tried, 10) << kind.name;
  }
}

}  // namespace
