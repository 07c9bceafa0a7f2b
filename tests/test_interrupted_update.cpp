// A fixed update stopped at every call that changes the disk (a kill, on
// the native build: the process ends there and runs no further code) or
// met by a full disk at every write that lengthens a file. After each stop
// a reader of its own, independent of the program's archive code, finds
// every loose file and every archive entry old or new and nothing else
// changed, and every created file logged; running the update again then
// gives what an uninterrupted run gives.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "archive/archive_builder.h"
#include "platform/platform.h"
#include "run/loose_file.h"
#include "run/run_state.h"
#include "run/setup_log.h"
#include "tests/support/fake_host.h"
#include "tests/support/run_reset.h"
#include "tests/support/test_files.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using Entries = std::map<std::string, std::string>;

// Content of a given length that differs at every byte from other seeds.
std::string pattern(char seed, size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(seed + i * 7 + (i >> 8));
  return bytes;
}

const std::string kLog = "F\tC:\\Game\\game.exe\r\n";

// Loose files of the install folder before and after: "C" creating
// (created.dat, packed.dat from the package) and rewriting, and "R".
const std::map<std::string, std::string> kOldLoose = {{"rewrite.dat", pattern('r', 900)},
                                                      {"replace.dat", pattern('p', 5000)}};
const std::map<std::string, std::string> kNewLoose = {{"created.dat", pattern('c', 3000)},
                                                      {"rewrite.dat", pattern('R', 1200)},
                                                      {"replace.dat", pattern('P', 4000)},
                                                      {"packed.dat", pattern('k', 700)}};
const std::set<std::string> kCreated = {"created.dat", "packed.dat"};

// The game's archive: a.txt replaced from a loose file, b.txt replaced and
// c.txt added from the package, z.txt untouched.
const Entries kOldEntries = {{"a.txt", pattern('a', 300)}, {"b.txt", pattern('b', 50)}, {"z.txt", "kept"}};
const Entries kNewEntries = {
    {"a.txt", pattern('A', 2500)}, {"b.txt", pattern('B', 60)}, {"c.txt", pattern('C', 90)}, {"z.txt", "kept"}};

const char kList[] =
    "C\tcreated.dat\nC\trewrite.dat\nR\treplace.dat\nI\tdata.pak\tloose_a.txt\ta.txt\n"
    "P\tUpDate.pak\nI\tdata.pak\tb.txt\tb.txt\nI\tdata.pak\tc.txt\tc.txt\nC\tpacked.dat\nP\n";

uint32_t u32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// The archive as the game would read it, by the format alone: the header's
// index, each record's name up to its NUL and its content; the first record
// of a name wins. False when anything lies outside the file.
bool readArchive(const std::string& bytes, Entries* entries) {
  entries->clear();
  if (bytes.size() < 24 || bytes.compare(0, 6, "QRV001") != 0) return false;
  uint64_t indexOffset = u32(bytes, 16), indexSize = u32(bytes, 20);
  if (indexOffset + indexSize > bytes.size()) return false;
  for (uint64_t at = indexOffset; at + 20 <= indexOffset + indexSize; at += 20) {
    uint64_t nameOffset = u32(bytes, at), nameLength = u32(bytes, at + 4);
    uint64_t dataOffset = u32(bytes, at + 8), dataSize = u32(bytes, at + 12);
    if (nameOffset + nameLength > bytes.size() || dataOffset + dataSize > bytes.size()) return false;
    std::string name = bytes.substr(nameOffset, nameLength);
    name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
    entries->emplace(name, bytes.substr(dataOffset, dataSize));
  }
  return true;
}

// One copy of the update and the installed game before it.
struct Scene {
  TempFolder delivery, game;
  Scene() {
    EXPECT_TRUE(writeFile(delivery / "UpDate.lst", kList));
    for (const char* name : {"created.dat", "rewrite.dat", "replace.dat"})
      EXPECT_TRUE(writeFile(delivery / name, kNewLoose.at(name)));
    EXPECT_TRUE(writeFile(delivery / "loose_a.txt", kNewEntries.at("a.txt")));
    EXPECT_TRUE(writeArchiveFile((delivery / "UpDate.pak").c_str(), {{"b.txt", kNewEntries.at("b.txt")},
                                                                      {"c.txt", kNewEntries.at("c.txt")},
                                                                      {"packed.dat", kNewLoose.at("packed.dat")}}));
    for (const auto& file : kOldLoose) EXPECT_TRUE(writeFile(game / file.first, file.second));
    EXPECT_TRUE(writeArchiveFile((game / "data.pak").c_str(), {{"a.txt", kOldEntries.at("a.txt")},
                                                               {"b.txt", kOldEntries.at("b.txt")},
                                                               {"z.txt", "kept"}}));
    EXPECT_TRUE(writeFile(game / kSetupLogName, kLog));
  }

  // The whole run on this thread behind a dialog that cancels any prompt.
  void run() {
    CurrentDirectory inDelivery(delivery.path());
    resetRunState();
    FakeHost host;
    host.installFolder = game.path();
    runState.dialog = &host;
    runState.dialogWindow = &host;
    runUpdate(&runState.worker);
    resetRunState();
  }

  // Every file of the install folder by name.
  std::map<std::string, std::string> files() const {
    std::map<std::string, std::string> found;
    plat::FileSearch search;
    plat::FoundFile file;
    if (!search.first((game / "*").c_str(), &file)) return found;
    do {
      if (!(file.attributes & plat::kAttributeDirectory)) found[file.name] = readFileOrEmpty(game / file.name);
    } while (search.next(&file));
    return found;
  }
};

bool isTemporary(const std::string& name) {
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".~up") == 0;
}

// What a stop may leave: each loose file and entry old or new (absent
// where it was absent), nothing else, every created file logged. Returns
// the problems found, one per line.
std::string problemsAfterStop(const std::map<std::string, std::string>& files) {
  std::string problems;
  auto problem = [&](const std::string& text) { problems += text + "\n"; };
  for (const auto& file : files) {
    const std::string& name = file.first;
    if (name == "data.pak" || name == kSetupLogName || isTemporary(name)) continue;
    auto old = kOldLoose.find(name);
    if (!kNewLoose.count(name)) {
      problem("unexpected file " + name);
    } else if (file.second != kNewLoose.at(name) && (old == kOldLoose.end() || file.second != old->second)) {
      problem(name + " is neither old nor new (" + std::to_string(file.second.size()) + " bytes)");
    }
  }
  for (const auto& old : kOldLoose)
    if (!files.count(old.first)) problem(old.first + " is gone");

  Entries entries;
  if (!files.count("data.pak") || !readArchive(files.at("data.pak"), &entries)) {
    problem("data.pak is unreadable");
  } else {
    for (const auto& entry : entries) {
      auto old = kOldEntries.find(entry.first);
      auto fresh = kNewEntries.find(entry.first);
      bool isOld = old != kOldEntries.end() && entry.second == old->second;
      bool isNew = fresh != kNewEntries.end() && entry.second == fresh->second;
      if (!isOld && !isNew) problem("entry " + entry.first + " is neither old nor new");
    }
    for (const auto& old : kOldEntries)
      if (!entries.count(old.first)) problem("entry " + old.first + " is gone");
  }

  const std::string log = files.count(kSetupLogName) ? files.at(kSetupLogName) : "";
  if (log.compare(0, kLog.size(), kLog) != 0) problem("Setup.log lost its old lines");
  for (const std::string& name : kCreated)
    if (files.count(name) && log.find("\\" + name + "\r\n") == std::string::npos)
      problem(name + " exists but is not logged");
  return problems;
}

// The state an update leaves as compared across runs: loose files byte for
// byte, the archive by its entries (unreferenced bytes may differ), the log
// with the install folder written as "<game>".
std::map<std::string, std::string> comparable(std::map<std::string, std::string> files, const std::string& game) {
  Entries entries;
  if (files.count("data.pak") && readArchive(files["data.pak"], &entries)) {
    files.erase("data.pak");
    for (const auto& entry : entries) files["data.pak:" + entry.first] = entry.second;
  }
  std::string& log = files[kSetupLogName];
  for (size_t at; (at = log.find(game)) != std::string::npos;) log.replace(at, game.size(), "<game>\\");
  return files;
}

// The names whose bytes differ, with their sizes, rather than the bytes.
std::string differences(const std::map<std::string, std::string>& got,
                        const std::map<std::string, std::string>& wanted) {
  std::set<std::string> names;
  for (const auto& file : got) names.insert(file.first);
  for (const auto& file : wanted) names.insert(file.first);
  std::string text;
  auto size = [](const std::map<std::string, std::string>& files, const std::string& name) {
    return files.count(name) ? std::to_string(files.at(name).size()) + " bytes" : std::string("absent");
  };
  for (const std::string& name : names)
    if (!got.count(name) || !wanted.count(name) || got.at(name) != wanted.at(name))
      text += name + ": " + size(got, name) + ", wanted " + size(wanted, name) + "\n";
  return text;
}

class InterruptedUpdate : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Scene scene;
    scene.run();
    reference_ = new std::map<std::string, std::string>(comparable(scene.files(), scene.game.path()));
  }
  static void TearDownTestSuite() {
    delete reference_;
    reference_ = nullptr;
  }

  // After a stop: the state is sound; the same update run again ends as an
  // uninterrupted run does. False when anything broke.
  bool checkStopAndRerun(Scene& scene, const std::string& where) {
    std::string problems = problemsAfterStop(scene.files());
    EXPECT_EQ(problems, "") << where;
    scene.run();
    std::string differing = differences(comparable(scene.files(), scene.game.path()), *reference_);
    EXPECT_EQ(differing, "") << where << ": the update run again differs from an uninterrupted run";
    return problems.empty() && differing.empty();
  }

  static std::map<std::string, std::string>* reference_;
};

std::map<std::string, std::string>* InterruptedUpdate::reference_ = nullptr;

TEST_F(InterruptedUpdate, AnUninterruptedRunMakesEverythingNew) {
  std::map<std::string, std::string> expected = {{kSetupLogName, ""}};
  for (const auto& file : kNewLoose) expected[file.first] = file.second;
  for (const auto& entry : kNewEntries) expected["data.pak:" + entry.first] = entry.second;
  expected[kSetupLogName] = kLog + "F\t<game>\\created.dat\r\nF\t<game>\\packed.dat\r\n";
  EXPECT_EQ(differences(*reference_, expected), "");
}

// The full disk: the k-th write that lengthens a file puts half of the new
// bytes and fails, and the disk stays full; the prompt is cancelled.
class DiskFullAt : public plat::IoFaultHook {
 public:
  explicit DiskFullAt(int k) : k_(k) {}
  uint32_t failWrite(uint64_t growth, uint32_t* count) override {
    if (growth == 0 || ++growingWrites_ < k_) return 0;
    uint32_t inPlace = static_cast<uint32_t>(*count - growth);
    *count = inPlace + (growingWrites_ == k_ ? static_cast<uint32_t>(growth / 2) : 0);
    return plat::kErrorDiskFull;
  }
  bool reached() const { return growingWrites_ >= k_; }

 private:
  int k_;
  int growingWrites_ = 0;
};

TEST_F(InterruptedUpdate, AFullDiskAtEveryWriteLeavesOldOrNew) {
  int tried = 0, broken = 0;
  for (int k = 1;; ++k) {
    Scene scene;
    DiskFullAt full(k);
    plat::setIoFaultHook(&full);
    scene.run();
    plat::setIoFaultHook(nullptr);
    if (!full.reached()) break;
    ++tried;
    if (!checkStopAndRerun(scene, "disk full at growing write " + std::to_string(k))) ++broken;
  }
  std::printf("full disk: %d write points tried, %d broken\n", tried, broken);
  EXPECT_GT(tried, 10);
}

#ifndef _WIN32
// The kill: at the k-th change the process ends at once.
class KillAt : public plat::IoFaultHook {
 public:
  explicit KillAt(int k) : k_(k) {}
  void beforeChange(plat::FileChange) override {
    if (++changes_ == k_) _exit(kKilled);
  }
  static constexpr int kKilled = 77;
  static constexpr int kFinished = 78;

 private:
  int k_;
  int changes_ = 0;
};

TEST_F(InterruptedUpdate, AKillAtEveryChangeLeavesOldOrNew) {
  int tried = 0, broken = 0;
  for (int k = 1;; ++k) {
    Scene scene;
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      KillAt kill(k);
      plat::setIoFaultHook(&kill);
      scene.run();
      _exit(KillAt::kFinished);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == KillAt::kFinished) break;
    ASSERT_EQ(WEXITSTATUS(status), KillAt::kKilled);
    ++tried;
    if (!checkStopAndRerun(scene, "killed at change " + std::to_string(k))) ++broken;
  }
  std::printf("kill: %d points tried, %d broken\n", tried, broken);
  EXPECT_GT(tried, 10);
}
#endif

}  // namespace
