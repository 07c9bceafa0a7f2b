// Reads and writes that fail or fall short in the middle of an insertion:
// for every single call of a replacement and of an addition, the archive
// must still read afterwards, through its old index or its new one, with
// nothing lost, and the result must tell which of the two it is.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "archive/archive_builder.h"
#include "archive/archive_update.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/run_state.h"
#include "tests/support/run_reset.h"
#include "tests/support/test_files.h"

namespace {

enum class Fault { None, Fail, FailFromHereOn, Halve, ShortByOne };
const char* const kFaultNames[] = {"none", "fail", "fail from here on", "halve", "short by one"};

// Counts every read and write and spoils the k-th one (1-based).
class KthCallFault : public plat::IoFaultHook {
 public:
  KthCallFault(int k, Fault fault) : k_(k), fault_(fault) { plat::setIoFaultHook(this); }
  ~KthCallFault() override { plat::setIoFaultHook(nullptr); }
  bool beforeRead(uint32_t* count) override { return spoil(count); }
  bool beforeWrite(uint32_t* count) override { return spoil(count); }
  int calls() const { return calls_; }

 private:
  bool spoil(uint32_t* count) {
    ++calls_;
    if (fault_ == Fault::None || calls_ < k_) return true;
    if (fault_ == Fault::FailFromHereOn) return false;
    if (calls_ > k_) return true;
    switch (fault_) {
      case Fault::Fail: return false;
      case Fault::Halve: *count /= 2; return true;
      case Fault::ShortByOne: *count = *count > 0 ? *count - 1 : 0; return true;
      default: return true;
    }
  }
  int k_;
  Fault fault_;
  int calls_ = 0;
};

struct Scenario {
  const char* title;
  const char* entryName;   // as the list gives it
  const char* storedName;  // the name the archive holds it under afterwards
  bool fromPackage;
  uint32_t pieceLimit = 0;  // contents above it are streamed in such pieces; 0: as built
};

class ArchiveFaultTest : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    resetRunState();
    if (GetParam().pieceLimit != 0) contentHeldWholeLimit = GetParam().pieceLimit;
  }
  void TearDown() override {
    plat::setIoFaultHook(nullptr);
    resetRunState();
  }

  const std::vector<ArchiveBuilderEntry> stored{
      {"a.txt", "alpha"}, {"data\\b.bin", std::string("b\0e\0t\0a", 7)}, {"c.txt", "gamma gamma"}};
  const std::string incoming = "the new content, longer than the old";

  // Every sweep starts from a fresh load of the target.
  void prepare() {
    resetRunState();
    ASSERT_TRUE(writeArchiveFile(target().c_str(), stored));
    ASSERT_TRUE(writeFile(folder / "new.bin", GetParam().fromPackage ? "a loose file that must not be used" : incoming));
    ASSERT_TRUE(writeArchiveFile((folder / "src.qrv").c_str(), {{"other", "x"}, {"new.bin", incoming}}));
    if (GetParam().fromPackage) runState.currentPackage = std::make_unique<PackageArchive>("src.qrv");
  }
  bool insert() { return insertIntoArchive(target().c_str(), "new.bin", GetParam().entryName); }
  std::string target() const { return folder / "game.qrv"; }

  // Reads the whole archive through a fresh object: every entry by name.
  std::map<std::string, std::string> contents() {
    std::map<std::string, std::string> found;
    ContentsHeldWhole heldWhole;
    PackageArchive archive(target().c_str());
    EXPECT_GE(archive.loadedEntryCount(), 3);
    for (int32_t i = 0; i < archive.loadedEntryCount(); ++i) {
      const ArchiveEntryInfo* entry = archive.loadedEntry(i);
      Content content;
      EXPECT_TRUE(archive.readEntry(entry->name, &content)) << entry->name;
      found.emplace(entry->name, std::string(content.bytes.get(), content.size));
    }
    return found;
  }

  std::map<std::string, std::string> expected(bool changed) {
    std::map<std::string, std::string> result;
    for (const ArchiveBuilderEntry& entry : stored) result[entry.name] = entry.content;
    if (changed) result[GetParam().storedName] = incoming;
    return result;
  }

  TempFolder folder;
  CurrentDirectory here{folder.path()};
};

TEST_P(ArchiveFaultTest, EveryCallCanFailOrFallShort) {
  prepare();
  int calls = 0;
  {
    KthCallFault counter(0, Fault::None);
    ASSERT_TRUE(insert());
    calls = counter.calls();
  }
  ASSERT_EQ(contents(), expected(true));
  ASSERT_GE(calls, 5);
  std::string header = readFileOrEmpty(target()).substr(0, 16);

  for (Fault fault : {Fault::Fail, Fault::FailFromHereOn, Fault::Halve, Fault::ShortByOne}) {
    for (int k = 1; k <= calls; ++k) {
      SCOPED_TRACE(std::string(kFaultNames[static_cast<int>(fault)]) + " at call " + std::to_string(k));
      prepare();
      std::string before = readFileOrEmpty(target());
      plat::setLastError(0);
      bool result = (KthCallFault(k, fault), insert());  // the hook lasts for the call only
      uint32_t error = plat::lastError();
      // True means the new content is in; false means the archive reads as
      // before and, where it can still be written, is byte for byte as before.
      EXPECT_EQ(contents(), expected(result));
      if (!result) {
        EXPECT_NE(error, 0u);
        if (fault != Fault::FailFromHereOn) {
          EXPECT_EQ(readFileOrEmpty(target()), before);
        }
      }
      EXPECT_EQ(runState.changedFileCount, result ? 1 : 0);
      EXPECT_EQ(readFileOrEmpty(target()).substr(0, 16), header);
      // The retry that the run offers then completes the change, once.
      EXPECT_TRUE(insert());
      EXPECT_EQ(contents(), expected(true));
      EXPECT_EQ(PackageArchive(target().c_str()).loadedEntryCount(),
                static_cast<int32_t>(stored.size()) + (expected(false).count(GetParam().storedName) ? 0 : 1));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Insertions, ArchiveFaultTest,
                         ::testing::Values(Scenario{"ReplaceFromFile", "DATA\\B.BIN", "data\\b.bin", false},
                                           Scenario{"AddFromFile", "d.txt", "d.txt", false},
                                           Scenario{"ReplaceFromPackage", "c.txt", "c.txt", true},
                                           Scenario{"AddFromPackage", "e.txt", "e.txt", true},
                                           Scenario{"ReplaceStreamedFromFile", "DATA\\B.BIN", "data\\b.bin", false, 5},
                                           Scenario{"AddStreamedFromPackage", "e.txt", "e.txt", true, 5}),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.title; });

// Plain reads that fall short fail rather than hand out stale buffer bytes.
TEST(ArchiveReadFaultTest, ShortReadsFailTheRead) {
  TempFolder folder;
  std::string path = folder / "pack.qrv";
  ASSERT_TRUE(writeArchiveFile(path.c_str(), {{"a", "alpha"}, {"b", "beta"}}));
  for (int k = 1; k <= 4; ++k) {
    SCOPED_TRACE(k);
    PackageArchive archive(path.c_str());
    Content content;
    content.size = 77;
    bool result = (KthCallFault(k, Fault::ShortByOne), archive.readEntry("b", &content));
    if (result) {
      EXPECT_EQ(std::string(content.bytes.get(), content.size), "beta");
    } else {
      EXPECT_EQ(content.size, 77u);
      EXPECT_FALSE(content.present());
    }
    // A fault in the header, index or name reads is a failed load, not a
    // partial index; unlike a missing file, the next lookup loads again.
    if (k <= 3) {
      EXPECT_FALSE(result);
      EXPECT_EQ(archive.indexState(), PackageArchive::IndexState::ReadFault);
      EXPECT_EQ(archive.loadedEntryCount(), 2);
      ASSERT_TRUE(archive.readEntry("b", &content));
      EXPECT_EQ(std::string(content.bytes.get(), content.size), "beta");
    }
  }
}

}  // namespace
