// The loose-file operations of the apply pass: "C" and "R" against real
// files, the copy fallback, failed writes, retries, the file-error prompt
// and the existence test of the verification passes.
#include <gtest/gtest.h>

#include <string>

#include "archive/archive_builder.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/loose_file.h"
#include "run/run_messages.h"
#include "run/setup_log.h"
#include "tests/support/run_fixture.h"

namespace {

// Refuses the opens for writing of one path; counts them.
class RefuseWriteOpen : public plat::IoFaultHook {
 public:
  explicit RefuseWriteOpen(std::string path, uint32_t code) : path_(std::move(path)), code_(code) {}
  bool beforeRead(uint32_t*) override { return true; }
  bool beforeWrite(uint32_t*) override { return true; }
  bool beforeOpen(const char* path, uint32_t access, uint32_t, uint32_t* error) override {
    if (!(access & plat::kGenericWrite) || path_ != path || refusals_ == 0) return true;
    --refusals_;
    *error = code_;
    return false;
  }
  int refusals_ = 1;

 private:
  std::string path_;
  uint32_t code_;
};

// Lets every write move at most `limit` bytes, or fails writes outright.
class ShortWrites : public plat::IoFaultHook {
 public:
  bool beforeRead(uint32_t*) override { return true; }
  bool beforeWrite(uint32_t* count) override {
    if (fail) return false;
    if (*count > limit) *count = limit;
    return true;
  }
  uint32_t limit = 3;
  bool fail = false;
};

class LooseFileTest : public RunFixture {
 protected:
  void withSetupLog() { install(kSetupLogName, "F\tC:\\old.dat\r\n"); }
  std::string setupLog() const { return installed(kSetupLogName); }
  std::vector<HostCall> prompts() const { return host_.messages(); }
};

TEST_F(LooseFileTest, CopyCreatesAnAbsentTargetAndLogsIt) {
  withSetupLog();
  deliver("new.dat", "fresh bytes");
  useList("C\tnew.dat\n");
  ASSERT_TRUE(copyLooseFile(0));
  EXPECT_EQ(installed("new.dat"), "fresh bytes");
  EXPECT_EQ(runState.changedFileCount, 1);
  EXPECT_EQ(setupLog(), "F\tC:\\old.dat\r\nF\t" + game_.path() + "new.dat\r\n");
  EXPECT_TRUE(prompts().empty());
}

TEST_F(LooseFileTest, IdenticalOrEmptyContentWritesNothing) {
  withSetupLog();
  deliver("same.dat", "identical");
  install("same.dat", "identical");
  deliver("empty.dat", "");
  int64_t before = modificationStamp(game_ / "same.dat");
  useList("C\tsame.dat\nR\tsame.dat\nC\tempty.dat\n");
  ASSERT_TRUE(copyLooseFile(0));
  ASSERT_TRUE(replaceLooseFile(1));
  // An absent target counts as empty, so an empty source needs no file.
  ASSERT_TRUE(copyLooseFile(2));
  EXPECT_EQ(modificationStamp(game_ / "same.dat"), before);
  EXPECT_FALSE(isInstalled("empty.dat"));
  EXPECT_EQ(runState.changedFileCount, 0);
  EXPECT_EQ(setupLog(), "F\tC:\\old.dat\r\n");
}

TEST_F(LooseFileTest, DifferentTargetsAreRewrittenWithoutALogLine) {
  withSetupLog();
  deliver("a.dat", "new content, longer than before");
  install("a.dat", "old");
  deliver("b.dat", "new");
  install("b.dat", "an old content that was longer");
  useList("C\ta.dat\nR\tb.dat\n");
  ASSERT_TRUE(copyLooseFile(0));
  ASSERT_TRUE(replaceLooseFile(1));
  EXPECT_EQ(installed("a.dat"), "new content, longer than before");
  EXPECT_EQ(installed("b.dat"), "new") << "CREATE_ALWAYS leaves no tail of the old content";
  EXPECT_EQ(runState.changedFileCount, 2);
  EXPECT_EQ(setupLog(), "F\tC:\\old.dat\r\n");
}

TEST_F(LooseFileTest, ReplaceNeverCreatesAndPromptsOnEveryRetry) {
  withSetupLog();
  deliver("gone.dat", "content");
  useList("R\tgone.dat\n");
  host_.retryPrompts(2);
  EXPECT_FALSE(replaceLooseFile(0));
  ASSERT_EQ(prompts().size(), 3u);
  for (const HostCall& prompt : prompts()) {
    EXPECT_EQ(prompt.caption, "Copy File Access Error");
    EXPECT_EQ(prompt.style, 0x15u);
    EXPECT_EQ(prompt.owner, nullptr) << "the prompt leaves the dialog usable";
    EXPECT_EQ(prompt.text, expectedPrompt(game_ / "gone.dat", "2", 2));
  }
  EXPECT_FALSE(isInstalled("gone.dat"));
  EXPECT_EQ(runState.changedFileCount, 0);
  EXPECT_EQ(setupLog(), "F\tC:\\old.dat\r\n");
}

TEST_F(LooseFileTest, RetrySeesFilesThatAppearedMeanwhile) {
  deliver("late.dat", "wanted");
  useList("R\tlate.dat\nC\tlater.dat\n");
  int prompt = 0;
  host_.answerMessage = [&](const HostCall&) {
    // The user mends the cause while the prompt is up.
    if (prompt++ == 0)
      writeFile(game_ / "late.dat", "old");
    else
      writeFile(delivery_ / "later.dat", "source arrived");
    return kIdRetry;
  };
  ASSERT_TRUE(replaceLooseFile(0));
  EXPECT_EQ(installed("late.dat"), "wanted");
  ASSERT_TRUE(copyLooseFile(1)) << "a missing source is looked for again";
  EXPECT_EQ(installed("later.dat"), "source arrived");
  ASSERT_EQ(prompts().size(), 2u);
  EXPECT_EQ(prompts()[1].text, expectedPrompt(game_ / "later.dat", "2", 2));
  EXPECT_EQ(runState.changedFileCount, 2);
}

TEST_F(LooseFileTest, SharingViolationShowsCode20) {
  deliver("held.dat", "new");
  install("held.dat", "old");
  // Held open for reading by someone who shares reading only: the target
  // reads, but neither the write nor the copy may open it.
  plat::File holder;
  ASSERT_TRUE(holder.open((game_ / "held.dat").c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting));
  useList("R\theld.dat\nC\theld.dat\n");
  EXPECT_FALSE(replaceLooseFile(0));
  EXPECT_FALSE(copyLooseFile(1));
  ASSERT_EQ(prompts().size(), 2u);
  EXPECT_EQ(prompts()[0].text, expectedPrompt(game_ / "held.dat", "20", 32));
  EXPECT_EQ(prompts()[1].text, expectedPrompt(game_ / "held.dat", "20", 32));
  holder.close();
  EXPECT_EQ(installed("held.dat"), "old");
  EXPECT_EQ(runState.changedFileCount, 0);
}

TEST_F(LooseFileTest, CopyFallbackCountsAndLogsWhatItCreated) {
  withSetupLog();
  deliver("fallback.dat", "copied whole");
  useList("C\tfallback.dat\n");
  RefuseWriteOpen refuse(game_ / "fallback.dat", plat::kErrorAccessDenied);
  plat::setIoFaultHook(&refuse);
  ASSERT_TRUE(copyLooseFile(0));
  plat::setIoFaultHook(nullptr);
  EXPECT_EQ(refuse.refusals_, 0) << "the write was refused, so the copy did the work";
  EXPECT_EQ(installed("fallback.dat"), "copied whole");
  EXPECT_EQ(runState.changedFileCount, 1) << "a file rewritten by the copy is a changed file too";
  EXPECT_EQ(setupLog(), "F\tC:\\old.dat\r\nF\t" + game_.path() + "fallback.dat\r\n");
  EXPECT_TRUE(prompts().empty());
}

TEST_F(LooseFileTest, CopyFallbackNeverCopiesALooseFileOverAPackageSource) {
  // The package's bytes were chosen; the loose file of that name differs.
  ASSERT_TRUE(writeArchiveFile((delivery_ / "update.pak").c_str(), {{"both.dat", "from the package"}}));
  deliver("both.dat", "loose, not chosen");
  install("both.dat", "old");
  runState.currentPackage.reset(new PackageArchive("update.pak"));
  useList("C\tboth.dat\n");
  RefuseWriteOpen refuse(game_ / "both.dat", plat::kErrorAccessDenied);
  plat::setIoFaultHook(&refuse);
  EXPECT_FALSE(copyLooseFile(0));
  plat::setIoFaultHook(nullptr);
  EXPECT_EQ(installed("both.dat"), "old");
  ASSERT_EQ(prompts().size(), 1u);
  EXPECT_EQ(prompts()[0].text, expectedPrompt(game_ / "both.dat", "5", 5)) << "the refused open's code";
  EXPECT_EQ(runState.changedFileCount, 0);

  // Once the target can be written, the package's content goes in.
  ASSERT_TRUE(copyLooseFile(0));
  EXPECT_EQ(installed("both.dat"), "from the package");
}

TEST_F(LooseFileTest, APackageThatListsTheSourceButCannotDeliverItIsNoLicenceForTheLooseFile) {
  // The package names both.dat, but its content lies past the end of the
  // file: the loose file of that name holds other bytes and is not used.
  std::string broken = buildArchiveBytes({{"both.dat", "from the package"}});
  // Point the record's content far past the end of the file.
  size_t indexOffset = static_cast<unsigned char>(broken[16]) | static_cast<unsigned char>(broken[17]) << 8;
  broken[indexOffset + 8] = '\x7f';
  broken[indexOffset + 9] = '\x7f';
  ASSERT_TRUE(writeFile(delivery_ / "update.pak", broken));
  deliver("both.dat", "loose, not chosen");
  install("both.dat", "old");
  runState.currentPackage.reset(new PackageArchive("update.pak"));
  useList("R\tboth.dat\nC\tboth.dat\n");
  EXPECT_FALSE(replaceLooseFile(0));
  EXPECT_FALSE(copyLooseFile(1));
  EXPECT_EQ(installed("both.dat"), "old");
  EXPECT_EQ(prompts().size(), 2u);
  EXPECT_EQ(runState.changedFileCount, 0);

  // A package that is not there leaves the loose file as the source.
  runState.currentPackage.reset(new PackageArchive("absent.pak"));
  EXPECT_TRUE(replaceLooseFile(0));
  EXPECT_EQ(installed("both.dat"), "loose, not chosen");
}

TEST_F(LooseFileTest, AFailedOrShortWriteIsAFailedAttempt) {
  deliver("short.dat", "0123456789");
  deliver("fail.dat", "abcdef");
  install("fail.dat", "old");
  useList("C\tshort.dat\nR\tfail.dat\n");
  ShortWrites faults;
  plat::setIoFaultHook(&faults);
  EXPECT_FALSE(copyLooseFile(0));
  faults.fail = true;
  EXPECT_FALSE(replaceLooseFile(1));
  EXPECT_EQ(runState.changedFileCount, 0);
  ASSERT_EQ(prompts().size(), 2u);
  EXPECT_EQ(prompts()[0].text, expectedPrompt(game_ / "short.dat", "1d", plat::kErrorWriteFault));
  EXPECT_EQ(prompts()[1].text, expectedPrompt(game_ / "fail.dat", "1d", plat::kErrorWriteFault));

  // Once the fault is gone a new attempt writes the whole content.
  plat::setIoFaultHook(nullptr);
  ASSERT_TRUE(copyLooseFile(0));
  ASSERT_TRUE(replaceLooseFile(1));
  EXPECT_EQ(installed("short.dat"), "0123456789");
  EXPECT_EQ(installed("fail.dat"), "abcdef");
  EXPECT_EQ(runState.changedFileCount, 2);
}

TEST_F(LooseFileTest, RetryAfterAFailedWriteStillLogsTheCreatedFile) {
  withSetupLog();
  deliver("created.dat", "0123456789");
  useList("C\tcreated.dat\n");
  ShortWrites faults;
  plat::setIoFaultHook(&faults);
  host_.answerMessage = [&](const HostCall&) {
    plat::setIoFaultHook(nullptr);
    return kIdRetry;
  };
  ASSERT_TRUE(copyLooseFile(0));
  EXPECT_EQ(installed("created.dat"), "0123456789");
  EXPECT_EQ(prompts().size(), 1u);
  EXPECT_EQ(runState.changedFileCount, 1);
  EXPECT_EQ(setupLog(), "F\tC:\\old.dat\r\nF\t" + game_.path() + "created.dat\r\n");
}

TEST_F(LooseFileTest, TargetThatCannotBeReadCountsAsAbsentForCopyOnly) {
  withSetupLog();
  deliver("locked.dat", "new");
  install("locked.dat", "old");
  plat::File holder;
  ASSERT_TRUE(holder.open((game_ / "locked.dat").c_str(), plat::kGenericRead, plat::kShareNone, plat::kOpenExisting));
  useList("C\tlocked.dat\nR\tlocked.dat\n");
  EXPECT_FALSE(copyLooseFile(0));
  EXPECT_FALSE(replaceLooseFile(1));
  ASSERT_EQ(prompts().size(), 2u);
  EXPECT_EQ(prompts()[0].text, expectedPrompt(game_ / "locked.dat", "20", 32));
  EXPECT_EQ(prompts()[1].text, expectedPrompt(game_ / "locked.dat", "20", 32));
  holder.close();
  EXPECT_EQ(installed("locked.dat"), "old");
}

TEST_F(LooseFileTest, LargeTargetsAreComparedToTheirLastByte) {
  std::string big(700 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) >> 3);
  std::string changed = big;
  changed.back() ^= 1;
  deliver("same.bin", big);
  install("same.bin", big);
  deliver("last.bin", changed);
  install("last.bin", big);
  int64_t before = modificationStamp(game_ / "same.bin");
  useList("R\tsame.bin\nC\tlast.bin\n");
  ASSERT_TRUE(replaceLooseFile(0));
  ASSERT_TRUE(copyLooseFile(1));
  EXPECT_EQ(modificationStamp(game_ / "same.bin"), before);
  EXPECT_EQ(installed("last.bin"), changed);
  EXPECT_EQ(runState.changedFileCount, 1);
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
  deliver("a.dat", "new!");
  install("a.dat", "old!");
  useList("C\ta.dat\n");
  plat::setIoFaultHook(&faults);
  EXPECT_FALSE(copyLooseFile(0));
  plat::setIoFaultHook(nullptr);
  EXPECT_EQ(installed("a.dat"), "old!");
  ASSERT_EQ(prompts().size(), 1u);
  EXPECT_EQ(prompts()[0].text, expectedPrompt(game_ / "a.dat", "1e", plat::kErrorReadFault));
  EXPECT_EQ(setupLog(), "F\tC:\\old.dat\r\n") << "an existing file is never logged as created";
}

TEST_F(LooseFileTest, Cp932NamesWithBackslashTrailBytes) {
  withSetupLog();
  std::string folder = kSoHyou + "\\";
  std::string name = folder + kSoHyou + ".dat";
  ASSERT_TRUE(makeFolder(delivery_ / folder));
  ASSERT_TRUE(makeFolder(game_ / folder));
  deliver(name, "bytes under a CP932 name");
  useList("C\t" + name + "\n");
  ASSERT_EQ(updateList.paths[0], name);
  ASSERT_TRUE(copyLooseFile(0));
  EXPECT_EQ(installed(name), "bytes under a CP932 name");
  EXPECT_EQ(setupLog(), "F\tC:\\old.dat\r\nF\t" + game_.path() + name + "\r\n");
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
