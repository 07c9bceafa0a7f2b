// The loose-file operations of the apply pass: "C" and "R" against real
// files, the copy fallback, failed writes, retries, the file-error prompt
// and the existence test of the verification passes.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "archive/archive_builder.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/loose_file.h"
#include "run/run_messages.h"
#include "run/setup_log.h"
#include "tests/support/run_fixture.h"

namespace {

// Refuses the first open for writing of each of some paths.
class RefuseFirstWriteOpen : public plat::IoFaultHook {
 public:
  explicit RefuseFirstWriteOpen(std::set<std::string> paths) : paths_(std::move(paths)) {}
  bool beforeRead(uint32_t*) override { return true; }
  bool beforeWrite(uint32_t*) override { return true; }
  bool beforeOpen(const char* path, uint32_t access, uint32_t, uint32_t* error) override {
    if (!(access & plat::kGenericWrite) || !paths_.count(path) || !refused.insert(path).second)
      return true;
    *error = plat::kErrorAccessDenied;
    return false;
  }
  std::set<std::string> refused;

 private:
  std::set<std::string> paths_;
};

// Lets every write move at most `limit` bytes, then fail with `failure`
// (a full disk) when set, or fails writes outright.
class ShortWrites : public plat::IoFaultHook {
 public:
  bool beforeWrite(uint32_t* count) override {
    if (fail) return false;
    if (*count > limit) *count = limit;
    return true;
  }
  uint32_t failWrite(uint64_t, uint32_t*) override { return failure; }
  uint32_t limit = 3;
  uint32_t failure = 0;
  bool fail = false;
};

class LooseFileTest : public RunFixture {
 protected:
  // A source delivered for a target installed with these (maybe the same) bytes.
  void deliverOver(const std::string& name, const std::string& delivered, const std::string& old) {
    deliver(name, delivered);
    install(name, old);
  }
  void withSetupLog() { install(kSetupLogName, "F\tC:\\old.dat\r\n"); }
  std::string setupLog() const { return installed(kSetupLogName); }
  std::vector<HostCall> prompts() const { return host_.messages(); }
};

TEST_F(LooseFileTest, RetrySeesWhatChangedMeanwhileAndLogsWhatTheEntryCreated) {
  withSetupLog();
  deliver("late.dat", "wanted");
  deliver("created.dat", "0123456789");
  useList("R\tlate.dat\nC\tlater.dat\nC\tcreated.dat\n");
  ShortWrites faults;
  int prompt = 0;
  host_.answerMessage = [&](const HostCall&) {
    // The user mends the cause while the prompt is up.
    if (prompt == 0) writeFile(game_ / "late.dat", "old");
    if (prompt == 1) writeFile(delivery_ / "later.dat", "source arrived");
    if (prompt == 2) plat::setIoFaultHook(nullptr);
    ++prompt;
    return kIdRetry;
  };
  ASSERT_TRUE(replaceLooseFile(0));
  EXPECT_EQ(installed("late.dat"), "wanted");
  ASSERT_TRUE(copyLooseFile(1)) << "a missing source is looked for again";
  EXPECT_EQ(installed("later.dat"), "source arrived");
  // The short write's attempt created the file: the retry that completes
  // it still logs it as this run's own.
  plat::setIoFaultHook(&faults);
  ASSERT_TRUE(copyLooseFile(2));
  EXPECT_EQ(installed("created.dat"), "0123456789");
  ASSERT_EQ(prompts().size(), 3u) << "one prompt per entry";
  EXPECT_EQ(prompts()[1].text, expectedPrompt(game_ / "later.dat", "2", 2));
  EXPECT_EQ(runState.changedFileCount, 3);
  EXPECT_EQ(setupLog(), "F\tC:\\old.dat\r\nF\t" + game_.path() + "later.dat\r\nF\t" + game_.path() + "created.dat\r\n");
}

TEST_F(LooseFileTest, AHeldTargetFailsWithASharingViolation) {
  withSetupLog();
  deliverOver("held.dat", "new", "old");
  useList("R\theld.dat\nC\theld.dat\n");
  for (uint32_t share : {plat::kShareRead, plat::kShareNone}) {
    SCOPED_TRACE(share);
    host_.calls.clear();
    plat::File holder;
    ASSERT_TRUE(holder.open((game_ / "held.dat").c_str(), plat::kGenericRead, share, plat::kOpenExisting));
    EXPECT_FALSE(replaceLooseFile(0));
    EXPECT_FALSE(copyLooseFile(1));
    ASSERT_EQ(prompts().size(), 2u);
    EXPECT_EQ(prompts()[0].text, expectedPrompt(game_ / "held.dat", "20", 32));
    EXPECT_EQ(prompts()[1].text, expectedPrompt(game_ / "held.dat", "20", 32));
    holder.close();
    EXPECT_EQ(installed("held.dat"), "old");
    EXPECT_EQ(runState.changedFileCount, 0);
    EXPECT_EQ(setupLog(), "F\tC:\\old.dat\r\n");
  }
}

// A target that will not open for writing is copied over from the loose
// file: a changed file, and logged when the entry created it.
TEST_F(LooseFileTest, CopyFallbackCountsAndLogsWhatItCreated) {
  withSetupLog();
  deliver("fallback.dat", "copied whole");
  deliverOver("old.dat", "copied over", "old");
  useList("C\tfallback.dat\nC\told.dat\n");
  RefuseFirstWriteOpen refuse({game_ / "fallback.dat", game_ / "old.dat"});
  plat::setIoFaultHook(&refuse);
  ASSERT_TRUE(copyLooseFile(0));
  ASSERT_TRUE(copyLooseFile(1));
  plat::setIoFaultHook(nullptr);
  EXPECT_EQ(refuse.refused.size(), 2u) << "both writes were refused, so the copy did the work";
  EXPECT_EQ(installed("fallback.dat"), "copied whole");
  EXPECT_EQ(installed("old.dat"), "copied over");
  EXPECT_EQ(runState.changedFileCount, 2) << "a file rewritten by the copy is a changed file too";
  EXPECT_EQ(setupLog(), "F\tC:\\old.dat\r\nF\t" + game_.path() + "fallback.dat\r\n");
  EXPECT_TRUE(prompts().empty());
}

// The package's bytes were chosen; the loose file of that name differs and
// never stands in for them.
TEST_F(LooseFileTest, ALooseFileNeverStandsInForAChosenPackageSource) {
  deliverOver("both.dat", "loose, not chosen", "old");
  useList("R\tboth.dat\nC\tboth.dat\n");
  ASSERT_TRUE(writeArchiveFile((delivery_ / "update.pak").c_str(), {{"both.dat", "from the package"}}));
  runState.currentPackage.reset(new PackageArchive("update.pak"));
  RefuseFirstWriteOpen refuse({game_ / "both.dat"});
  plat::setIoFaultHook(&refuse);
  EXPECT_FALSE(copyLooseFile(1)) << "no copy fallback for a package source";
  plat::setIoFaultHook(nullptr);
  EXPECT_EQ(installed("both.dat"), "old");
  ASSERT_EQ(prompts().size(), 1u);
  EXPECT_EQ(prompts()[0].text, expectedPrompt(game_ / "both.dat", "5", 5)) << "the refused open's code";
  EXPECT_EQ(runState.changedFileCount, 0);
  // Once the target can be written, the package's content goes in.
  ASSERT_TRUE(copyLooseFile(1));
  EXPECT_EQ(installed("both.dat"), "from the package");

  // A package that lists the name but cannot deliver it (the record's
  // content lies far past the end of the file) is no licence for the loose file.
  install("both.dat", "old");
  std::string broken = buildArchiveBytes({{"both.dat", "from the package"}});
  size_t indexOffset = static_cast<unsigned char>(broken[16]) | static_cast<unsigned char>(broken[17]) << 8;
  broken[indexOffset + 8] = '\x7f';
  broken[indexOffset + 9] = '\x7f';
  ASSERT_TRUE(writeFile(delivery_ / "update.pak", broken));
  runState.currentPackage.reset(new PackageArchive("update.pak"));
  host_.calls.clear();
  EXPECT_FALSE(replaceLooseFile(0));
  EXPECT_FALSE(copyLooseFile(1));
  EXPECT_EQ(installed("both.dat"), "old");
  EXPECT_EQ(prompts().size(), 2u);
  EXPECT_EQ(runState.changedFileCount, 1);

  // A package that is not there leaves the loose file as the source.
  runState.currentPackage.reset(new PackageArchive("absent.pak"));
  EXPECT_TRUE(replaceLooseFile(0));
  EXPECT_EQ(installed("both.dat"), "loose, not chosen");
}

// A write that fails, falls short or meets a full disk fails the attempt
// and leaves the target as it was: absent, or its old bytes, never a
// prefix; nothing is logged or left beside it.
TEST_F(LooseFileTest, AFailedWriteLeavesTheTargetAsItWas) {
  withSetupLog();
  deliver("new.dat", "0123456789");
  deliverOver("old.dat", "abcdef", "old");
  useList("C\tnew.dat\nR\told.dat\nC\told.dat\n");
  const struct {
    const char* what;
    bool fail;
    uint32_t failure;
    const char* hex;
    uint32_t code;
  } cases[] = {
      {"short write", false, 0, "1d", plat::kErrorWriteFault},
      {"refused write", true, 0, "1d", plat::kErrorWriteFault},
      {"full disk", false, plat::kErrorDiskFull, "70", plat::kErrorDiskFull},
  };
  ShortWrites faults;
  // Held whole, then streamed in pieces of four bytes.
  for (uint32_t limit : {contentHeldWholeLimit, 4u})
  for (const auto& test : cases) {
    SCOPED_TRACE(std::string(test.what) + ", pieces of " + std::to_string(limit));
    contentHeldWholeLimit = limit;
    host_.calls.clear();
    faults.fail = test.fail;
    faults.failure = test.failure;
    plat::setIoFaultHook(&faults);
    EXPECT_FALSE(copyLooseFile(0));
    EXPECT_FALSE(replaceLooseFile(1));
    EXPECT_FALSE(copyLooseFile(2));
    plat::setIoFaultHook(nullptr);
    ASSERT_EQ(prompts().size(), 3u);
    EXPECT_EQ(prompts()[0].text, expectedPrompt(game_ / "new.dat", test.hex, test.code));
    EXPECT_EQ(prompts()[1].text, expectedPrompt(game_ / "old.dat", test.hex, test.code));
    EXPECT_FALSE(isInstalled("new.dat"));
    EXPECT_EQ(installed("old.dat"), "old");
    EXPECT_FALSE(isInstalled("new.dat.~up") || isInstalled("old.dat.~up")) << "no temporary file stays";
    EXPECT_EQ(setupLog(), "F\tC:\\old.dat\r\n");
    EXPECT_EQ(runState.changedFileCount, 0);
  }

  // Once the fault is gone a new attempt writes the whole content.
  ASSERT_TRUE(copyLooseFile(0));
  ASSERT_TRUE(replaceLooseFile(1));
  EXPECT_EQ(installed("new.dat"), "0123456789");
  EXPECT_EQ(installed("old.dat"), "abcdef");
  EXPECT_EQ(runState.changedFileCount, 2);
  EXPECT_EQ(setupLog(), "F\tC:\\old.dat\r\nF\t" + game_.path() + "new.dat\r\n");
}

// What a killed attempt leaves beside a target goes with the next attempt
// on it, whether that attempt writes or finds the target up to date; a run
// stopped between logging a new file and putting it in place logs it once.
TEST_F(LooseFileTest, TheNextAttemptRemovesWhatAKilledOneLeft) {
  deliverOver("same.dat", "same", "same");
  deliver("new.dat", "new");
  install("same.dat.~up", "sa");
  install("new.dat.~up", "ne");
  install(kSetupLogName, "F\t" + game_.path() + "new.dat\r\n");
  useList("R\tsame.dat\nC\tnew.dat\n");
  ASSERT_TRUE(replaceLooseFile(0));
  ASSERT_TRUE(copyLooseFile(1));
  EXPECT_FALSE(isInstalled("same.dat.~up"));
  EXPECT_FALSE(isInstalled("new.dat.~up"));
  EXPECT_EQ(installed("new.dat"), "new");
  EXPECT_EQ(setupLog(), "F\t" + game_.path() + "new.dat\r\n");
}

// Contents are held whole with 32-bit sizes: a loose file of 4 GiB or more
// is refused, never read in part. The file is sparse where the file system
// allows it.
TEST_F(LooseFileTest, LooseFilesOfFourGibibytesAreRefused) {
  {
    plat::File huge;
    ASSERT_TRUE(huge.open((delivery_ / "huge.dat").c_str(), plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways));
    ASSERT_TRUE(huge.seek(int64_t{1} << 32, plat::SeekOrigin::Begin));
    if (!huge.writeExactly("!", 1)) GTEST_SKIP() << "no room for a file beyond 4 GiB here";
  }
  install("huge.dat", "old");
  useList("R\thuge.dat\n");
  EXPECT_FALSE(replaceLooseFile(0));
  ASSERT_EQ(prompts().size(), 1u);
  EXPECT_EQ(prompts()[0].text, expectedPrompt(game_ / "huge.dat", "df", plat::kErrorFileTooLarge));
  EXPECT_EQ(installed("huge.dat"), "old");
  EXPECT_TRUE(plat::deleteFile((delivery_ / "huge.dat").c_str()));
}

// Held whole or streamed in pieces that do not divide the target's, from a
// loose file or a package entry.
TEST_F(LooseFileTest, LargeTargetsAreComparedToTheirLastByte) {
  std::string big(700 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) >> 3);
  std::string changed = big;
  changed.back() ^= 1;
  ASSERT_TRUE(writeArchiveFile((delivery_ / "pack.qrv").c_str(), {{"same.bin", big}, {"last.bin", changed}}));
  useList("R\tsame.bin\nC\tlast.bin\n");
  int expectedCount = 0;
  for (uint32_t limit : {contentHeldWholeLimit, 64u * 1024 + 5})
    for (bool fromPackage : {false, true}) {
      SCOPED_TRACE(std::to_string(limit) + (fromPackage ? " from the package" : " from loose files"));
      contentHeldWholeLimit = limit;
      runState.currentPackage.reset(fromPackage ? new PackageArchive("pack.qrv") : nullptr);
      deliverOver("same.bin", fromPackage ? "unused" : big, big);
      deliverOver("last.bin", fromPackage ? "unused" : changed, big);
      int64_t before = modificationStamp(game_ / "same.bin");
      ASSERT_TRUE(replaceLooseFile(0));
      ASSERT_TRUE(copyLooseFile(1));
      EXPECT_EQ(modificationStamp(game_ / "same.bin"), before);
      EXPECT_EQ(installed("last.bin"), changed);
      EXPECT_EQ(runState.changedFileCount, ++expectedCount);
    }
}

// A source whose size changes between the decision and the write, or while
// it is streamed (where the system lets it change while it is open), fails
// the attempt: the target never receives a mixture.
TEST_F(LooseFileTest, ASourceChangingSizeWhileStreamedFailsTheAttempt) {
  class Resize : public plat::IoFaultHook {
   public:
    Resize(std::string path, int atRead, uint64_t size) : path_(std::move(path)), atRead_(atRead), size_(size) {}
    bool beforeRead(uint32_t*) override {
      if (++reads_ == atRead_) resize();
      return true;
    }
    bool beforeOpen(const char* path, uint32_t, uint32_t, uint32_t*) override {
      if (atRead_ == 0 && std::strstr(path, ".~up")) resize();
      return true;
    }
    bool resized = false;

   private:
    void resize() {
      std::error_code error;
      std::filesystem::resize_file(path_, size_, error);
      resized = !error;
    }
    std::string path_;
    int atRead_;  // 0: when the temporary file is opened
    int reads_ = 0;
    uint64_t size_;
  };
  const std::string content(40, 'n');
  contentHeldWholeLimit = 8;
  useList("C\tnew.dat\n");
  for (uint64_t size : {41u, 20u})
    for (int atRead = 0; atRead <= 5; ++atRead) {
      SCOPED_TRACE("to " + std::to_string(size) + " bytes at read " + std::to_string(atRead));
      host_.calls.clear();
      deliver("new.dat", content);
      plat::deleteFile((game_ / "new.dat").c_str());
      Resize resize("new.dat", atRead, size);  // the delivery folder is the current one
      plat::setIoFaultHook(&resize);
      bool written = copyLooseFile(0);
      plat::setIoFaultHook(nullptr);
      EXPECT_TRUE(resize.resized || atRead > 0) << "a closed source can always change";
      EXPECT_FALSE(isInstalled("new.dat.~up"));
      if (resize.resized) {
        EXPECT_FALSE(written);
        ASSERT_EQ(prompts().size(), 1u);
        EXPECT_EQ(prompts()[0].text, expectedPrompt(game_ / "new.dat", "d", kErrorInvalidData));
        EXPECT_FALSE(isInstalled("new.dat"));
      } else {
        EXPECT_TRUE(written);
        EXPECT_EQ(installed("new.dat"), content);
      }
    }
}

TEST_F(LooseFileTest, ATargetThatOpensButCannotBeReadFailsTheAttempt) {
  // The source is read first, then the target is compared: fail the second read.
  class FailSecondRead : public plat::IoFaultHook {
   public:
    bool beforeRead(uint32_t*) override { return ++reads != 2; }
    bool beforeWrite(uint32_t*) override { return true; }
    int reads = 0;
  } faults;
  withSetupLog();
  deliverOver("a.dat", "new!", "old!");
  useList("C\ta.dat\n");
  plat::setIoFaultHook(&faults);
  EXPECT_FALSE(copyLooseFile(0));
  plat::setIoFaultHook(nullptr);
  EXPECT_EQ(installed("a.dat"), "old!");
  ASSERT_EQ(prompts().size(), 1u);
  EXPECT_EQ(prompts()[0].text, expectedPrompt(game_ / "a.dat", "1e", plat::kErrorReadFault));
  EXPECT_EQ(setupLog(), "F\tC:\\old.dat\r\n") << "an existing file is never logged as created";
}

TEST(FileExists, FilesFoldersAndPatterns) {
  TempFolder folder;
  ASSERT_TRUE(makeFolder(folder / "data"));
  ASSERT_TRUE(makeFolder(folder / "dir.pak"));
  ASSERT_TRUE(writeFile(folder / "file.pak", "x"));
  EXPECT_TRUE(fileExists((folder / "file.pak").c_str()));
  EXPECT_FALSE(fileExists((folder / "data").c_str())) << "a folder is no file";
  EXPECT_FALSE(fileExists((folder / "absent.pak").c_str()));
  EXPECT_FALSE(fileExists((folder / "absent\\file.pak").c_str()));
  EXPECT_TRUE(fileExists((folder / "*.pak").c_str())) << "a folder and a file match; the file counts";
  EXPECT_FALSE(fileExists((folder / "d*").c_str())) << "only folders match";
  EXPECT_FALSE(fileExists((folder / "*.none").c_str()));
}

TEST(FileErrorText, FormatsCodeInLowerCaseHexAndCutsAtACharacterBoundary) {
  std::string head = sjis("ファイルの更新中にエラーが発生しました") + "\n\nfilename:";
  std::string text = fileErrorText("C:\\x.dat", 0x2BADF00Du);
  ASSERT_EQ(text.compare(0, head.size(), head), 0);
  // The system has no text for this code: nothing follows the label.
  EXPECT_EQ(text.substr(head.size()), "C:\\x.dat\nerrorcode:2badf00d\nerrorcomment:");

  // A path of double-byte characters far beyond the buffer: the text keeps
  // 1023 bytes at most and never ends in half a character.
  std::string longPath;
  for (int i = 0; i < 600; ++i) longPath += "\x95\x5c";
  for (size_t extra = 0; extra < 2; ++extra) {
    std::string path = std::string(extra, 'a') + longPath;
    std::string cut = fileErrorText(path.c_str(), 2);
    EXPECT_LE(cut.size(), 1023u);
    EXPECT_GE(cut.size(), 1022u);
    std::string whole = head + path;
    EXPECT_EQ(whole.compare(0, cut.size(), cut), 0) << "a prefix of the full text";
    size_t i = head.size() + extra;
    while (i + 2 <= cut.size()) i += 2;
    EXPECT_EQ(i, cut.size()) << "cut between two characters";
  }
}

}  // namespace
