// Insertions that use the target's index kept from the call before: every
// result, count, last error and byte must be what a fresh load gives. The
// oracle is a twin: a copy of the target under another path, which has no
// kept index, receives the same call.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "archive/archive_builder.h"
#include "archive/archive_update.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/run_state.h"
#include "tests/support/run_fixture.h"
#include "tests/support/test_files.h"

namespace {

std::string entryText(const std::string& archivePath, const char* name) {
  PackageArchive archive(archivePath.c_str());
  Content content;
  if (!archive.readEntry(name, &content)) return "<absent>";
  return std::string(content.bytes.get(), content.size);
}

// Another writer's change, made the ways the format allows: new content
// for an entry, or a new entry with a new index and header.
void changeFromOutside(const std::string& path, const char* name, const std::string& bytes, bool add) {
  plat::File file;
  ASSERT_TRUE(file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting));
  uint64_t end64 = 0;
  ASSERT_TRUE(file.seek(0, plat::SeekOrigin::End, &end64));
  uint32_t end = static_cast<uint32_t>(end64);
  std::string appended = add ? std::string(name) + '\0' + bytes : bytes;
  uint32_t put = 0;
  ASSERT_TRUE(file.write(appended.data(), static_cast<uint32_t>(appended.size()), &put));
  file.close();
  PackageArchive other(path.c_str());
  uint32_t nameLength = static_cast<uint32_t>(std::strlen(name)) + 1;
  if (add)
    ASSERT_TRUE(other.appendEntry(end, nameLength, end + nameLength, static_cast<uint32_t>(bytes.size())));
  else
    ASSERT_TRUE(other.relocateEntry(name, end, static_cast<uint32_t>(bytes.size())));
}

class ArchiveReuseTest : public ::testing::Test {
 protected:
  void SetUp() override { resetRunState(); }
  void TearDown() override {
    plat::setIoFaultHook(nullptr);
    resetRunState();
  }

  std::string target() const { return folder / "game.qrv"; }

  // One insertion of `content` as `entry`, into the target (which may use
  // its kept index) and into a copy of it under a path never used before:
  // both must end alike.
  void insertBoth(const std::string& content, const char* entry) {
    SCOPED_TRACE(entry);
    std::string twin = folder / ("twin" + std::to_string(++twins) + ".qrv");
    ASSERT_TRUE(writeFile(folder / "src.bin", content));
    ASSERT_TRUE(writeFile(twin, readFileOrEmpty(target())));
    int countBefore = runState.changedFileCount;
    plat::setLastError(0);
    bool kept = insertIntoArchive(target().c_str(), (folder / "src.bin").c_str(), entry);
    uint32_t keptError = plat::lastError();
    int keptCount = runState.changedFileCount - countBefore;
    plat::setLastError(0);
    bool fresh = insertIntoArchive(twin.c_str(), (folder / "src.bin").c_str(), entry);
    EXPECT_EQ(kept, fresh);
    EXPECT_EQ(keptError, plat::lastError());
    EXPECT_EQ(keptCount, runState.changedFileCount - countBefore - keptCount);
    EXPECT_EQ(readFileOrEmpty(target()), readFileOrEmpty(twin));
    runState.changedFileCount = countBefore + keptCount;
  }

  TempFolder folder;
  int twins = 0;
};

TEST_F(ArchiveReuseTest, SecondInsertionIntoTheSameTargetSeesTheFirst) {
  ASSERT_TRUE(writeArchiveFile(target().c_str(), {{"a.txt", "alpha"}, {"b.txt", "beta"}}));
  insertBoth("alpha 2", "a.txt");  // replace, then replace the same entry
  insertBoth("alpha 3", "A.TXT");
  insertBoth("alpha 3", "a.txt");  // now identical: nothing written
  {
    // The kept index is checked and the entry read through one open.
    struct CountOpens : plat::IoFaultHook {
      explicit CountOpens(std::string path) : path(std::move(path)) { plat::setIoFaultHook(this); }
      ~CountOpens() override { plat::setIoFaultHook(nullptr); }
      bool beforeOpen(const char* opened, uint32_t, uint32_t, uint32_t*) override {
        opens += path == opened;
        return true;
      }
      std::string path;
      int opens = 0;
    } counter(target());
    ASSERT_TRUE(insertIntoArchive(target().c_str(), (folder / "src.bin").c_str(), "a.txt"));
    EXPECT_EQ(counter.opens, 1);
  }
  insertBoth("new one", "n.txt");  // add, then replace the new entry
  insertBoth("new two", "N.txt");
  insertBoth("x", "x.txt");  // add twice
  insertBoth("y", "y.txt");
  insertBoth("", "z.txt");         // an empty source adds nothing
  insertBoth("alpha 3", "a.txt");  // the older records still as they are
  EXPECT_EQ(entryText(target(), "n.txt"), "new two");
  EXPECT_EQ(PackageArchive(target().c_str()).loadedEntryCount(), 5);
  EXPECT_EQ(runState.changedFileCount, 6);
}

TEST_F(ArchiveReuseTest, ChangesByAnotherWriterBetweenTwoCallsAreSeen) {
  ASSERT_TRUE(writeArchiveFile(target().c_str(), {{"a.txt", "alpha"}, {"b.txt", "beta"}}));
  insertBoth("alpha 2", "a.txt");
  changeFromOutside(target(), "b.txt", "from elsewhere", false);  // the header stays, the size grows
  insertBoth("from elsewhere", "b.txt");                           // identical now: nothing written
  changeFromOutside(target(), "c.txt", "gamma", true);
  insertBoth("gamma 2", "C.TXT");  // a replacement, not a second c.txt
  EXPECT_EQ(runState.changedFileCount, 2);

  // The header put back as it was before an addition: the size stays, the
  // index is the older one, without d.txt.
  std::string withoutD = readFileOrEmpty(target()).substr(0, 24);
  insertBoth("delta", "d.txt");
  ASSERT_TRUE(writeFile(target(), withoutD + readFileOrEmpty(target()).substr(24)));
  insertBoth("delta 2", "d.txt");  // added again
  EXPECT_EQ(PackageArchive(target().c_str()).loadedEntryCount(), 4);

  // The name fields of a.txt and b.txt swapped in place: the size and the
  // header stay, the index bytes do not.
  std::string bytes = readFileOrEmpty(target());
  size_t index = static_cast<unsigned char>(bytes[16]) | static_cast<unsigned char>(bytes[17]) << 8;
  std::string first = bytes.substr(index, 8);
  bytes.replace(index, 8, bytes.substr(index + 20, 8));
  bytes.replace(index + 20, 8, first);
  ASSERT_TRUE(writeFile(target(), bytes));
  insertBoth("alpha 4", "a.txt");
  EXPECT_EQ(entryText(target(), "a.txt"), "alpha 4");
  EXPECT_EQ(entryText(target(), "b.txt"), "alpha 2");
}

// A record whose name field lies past the end gets a name when an
// insertion appends one there: such an index is never kept.
TEST_F(ArchiveReuseTest, ARecordNamingBytesPastTheEndIsReadAgain) {
  std::string bytes = buildArchiveBytes({{"a.txt", "alpha"}, {"x", "xx"}});
  size_t record = static_cast<unsigned char>(bytes[16]) | static_cast<unsigned char>(bytes[17]) << 8;
  uint32_t field[2] = {static_cast<uint32_t>(bytes.size()), 6};  // "n.txt" and its NUL
  std::memcpy(&bytes[record + 20], field, sizeof field);  // little-endian like the format
  ASSERT_TRUE(writeFile(target(), bytes));
  insertBoth("new", "n.txt");
  insertBoth("newer", "n.txt");
}

// Replaces b.txt from outside as soon as the insertion, its own content
// appended, opens the target to rewrite the index.
class ChangeBeforeIndexRewrite : public plat::IoFaultHook {
 public:
  explicit ChangeBeforeIndexRewrite(const std::string& path) : path_(path) { plat::setIoFaultHook(this); }
  ~ChangeBeforeIndexRewrite() override { plat::setIoFaultHook(nullptr); }
  bool beforeRead(uint32_t*) override { return true; }
  bool beforeWrite(uint32_t*) override { return true; }
  bool beforeOpen(const char* path, uint32_t access, uint32_t, uint32_t*) override {
    if (done || path_ != path || access != (plat::kGenericRead | plat::kGenericWrite)) return true;
    done = true;
    changeFromOutside(path_, "b.txt", "outside", false);
    return true;
  }
  bool done = false;

 private:
  std::string path_;
};

TEST_F(ArchiveReuseTest, AChangeByAnotherWriterDuringACallIsSeenByTheNext) {
  for (const char* entry : {"a.txt", "new.txt"}) {
    SCOPED_TRACE(entry);
    ASSERT_TRUE(writeArchiveFile(target().c_str(), {{"a.txt", "alpha"}, {"b.txt", "beta"}}));
    insertBoth("alpha 2", "a.txt");
    ASSERT_TRUE(writeFile(folder / "src.bin", "changed"));
    {
      ChangeBeforeIndexRewrite outside(target());
      EXPECT_TRUE(insertIntoArchive(target().c_str(), (folder / "src.bin").c_str(), entry));
      EXPECT_TRUE(outside.done);
    }
    insertBoth("outside", "b.txt");  // equal to what the other writer put there
    EXPECT_EQ(entryText(target(), entry), "changed");
  }
}

TEST_F(ArchiveReuseTest, ADifferentArchiveOfTheSameSizeIsLoadedAfresh) {
  ASSERT_TRUE(writeArchiveFile(target().c_str(), {{"a.txt", "alpha"}, {"b.txt", "beta"}}));
  insertBoth("alpha 2", "a.txt");
  size_t size = readFileOrEmpty(target()).size();
  // Another archive, padded with unreferenced bytes to exactly that size.
  std::string other = buildArchiveBytes({{"b.txt", "other b"}, {"a.txt", "alpha 2"}});
  ASSERT_LT(other.size(), size);
  other.append(size - other.size(), 'p');
  ASSERT_TRUE(writeFile(target(), other));
  insertBoth("alpha 2", "a.txt");  // identical in the new archive
  EXPECT_EQ(readFileOrEmpty(target()), other);
  insertBoth("beta", "b.txt");
  EXPECT_EQ(entryText(target(), "b.txt"), "beta");
}

// Counts reads and writes and spoils the k-th one (1-based): a read fails,
// a write moves half its bytes.
class SpoilKthCall : public plat::IoFaultHook {
 public:
  explicit SpoilKthCall(int k) : k_(k) { plat::setIoFaultHook(this); }
  ~SpoilKthCall() override { plat::setIoFaultHook(nullptr); }
  bool beforeRead(uint32_t*) override { return ++calls_ != k_; }
  bool beforeWrite(uint32_t* count) override {
    if (++calls_ == k_) *count /= 2;
    return true;
  }
  int calls() const { return calls_; }

 private:
  int k_;
  int calls_ = 0;
};

TEST_F(ArchiveReuseTest, AfterAFailedCallTheNextOneActsAsAFreshLoad) {
  for (const char* entry : {"b.txt", "new.txt"}) {
    auto spoiledInsertion = [&](int k) {
      EXPECT_TRUE(writeArchiveFile(target().c_str(), {{"a.txt", "alpha"}, {"b.txt", "beta"}}));
      insertBoth("alpha 2", "a.txt");  // the index is kept now
      EXPECT_TRUE(writeFile(folder / "src.bin", "the second change"));
      SpoilKthCall spoiler(k);
      bool result = insertIntoArchive(target().c_str(), (folder / "src.bin").c_str(), entry);
      return std::make_pair(result, spoiler.calls());
    };
    int calls = spoiledInsertion(0).second;
    ASSERT_GE(calls, 4);
    for (int k = 1; k <= calls; ++k) {
      SCOPED_TRACE(std::string(entry) + " with call " + std::to_string(k) + " spoiled");
      bool result = spoiledInsertion(k).first;
      // True means the change is in; false means the archive reads as before.
      EXPECT_EQ(entryText(target(), entry), result ? "the second change" : entry[0] == 'b' ? "beta" : "<absent>");
      insertBoth("the second change", entry);  // the retry
      insertBoth("the third change", entry);
    }
  }
}

// A whole run over three target archives in turn, one of them rewritten by
// another writer in the middle of the run.
class ArchiveReuseRunTest : public RunFixture {};

TEST_F(ArchiveReuseRunTest, AlternatingTargetsInOneRun) {
  ASSERT_TRUE(writeArchiveFile((game_ / "one.arc").c_str(), {{"a", "one a"}, {"b", "one b"}}));
  ASSERT_TRUE(writeArchiveFile((game_ / "two.arc").c_str(), {{"a", "two a"}}));
  ASSERT_TRUE(writeArchiveFile((game_ / "three.arc").c_str(), {{"c", "three c"}}));
  for (auto [name, text] : {std::pair{"1", "first"}, {"2", "second"}, {"3", "third"}}) deliver(name, text);
  bool rewritten = false;
  host_.onProgressPosition = [&](int) {
    std::string three = game_ / "three.arc";
    if (rewritten || entryText(three, "c") != "third") return;
    rewritten = true;
    ASSERT_TRUE(writeArchiveFile(three.c_str(), {{"c", "changed c"}, {"d", "second"}}));
  };
  EXPECT_EQ(run("I\tone.arc\t1\ta\nI\ttwo.arc\t1\ta\nI\tone.arc\t2\tn\nI\ttwo.arc\t2\tn\n"
                "I\tthree.arc\t3\tc\nI\tone.arc\t3\tN\nI\tthree.arc\t2\td\nI\ttwo.arc\t2\ta\n"
                "I\tone.arc\t3\ta\nI\tthree.arc\t3\tc\n"),
            1u);
  EXPECT_TRUE(rewritten);
  for (auto [archive, entry, text] : {std::tuple{"one.arc", "a", "third"}, {"one.arc", "n", "third"},
                                      {"two.arc", "a", "second"}, {"two.arc", "n", "second"},
                                      {"three.arc", "c", "third"}})
    EXPECT_EQ(entryText(game_ / archive, entry), text) << archive << " " << entry;
  EXPECT_EQ(PackageArchive((game_ / "one.arc").c_str()).loadedEntryCount(), 3);
  EXPECT_EQ(PackageArchive((game_ / "three.arc").c_str()).loadedEntryCount(), 2);
  // one: a, n, n, a; two: a, n, a; three: c, and c after the outside
  // change, which had made d equal already.
  EXPECT_EQ(runState.changedFileCount, 9);
}

}  // namespace
