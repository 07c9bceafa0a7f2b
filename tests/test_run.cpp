// Whole update runs behind the scripted dialog, in real folders: every
// abort message and when it comes, the verification passes, sources in
// packages, progress positions and the final outcome.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_builder.h"
#include "archive/package_archive.h"
#include "run/run_messages.h"
#include "run/setup_log.h"
#include "run/verification.h"
#include "tests/support/fault_plan.h"
#include "tests/support/run_fixture.h"

namespace {

const char* const kAborted = "アップデート中止";
const char* const kFinished = "アップデート終了";
const char* const kL = "更新ファイルリストが正常に取得出来ませんでした。更新処理を中止します。";
const char* const kS = "更新用ファイルが見つかりませんでした。更新処理を中止します。";
const char* const kT = "更新先ファイルが見つかりませんでした。更新処理を中止します。";
const char* const kM = "更新先ファイルが壊れている可能性がありますので、更新処理を中止しました。";
const char* const kU = "ユーザーにより更新処理を中止しました。";
const char* const kF = "ファイルの更新が出来ませんでした。更新処理を中止します。";
const char* const kD0 = "全データが最新でしたので更新処理は行いませんでした";
const char* const kD1 = "ファイル更新処理が終了しました";

class RunTest : public RunFixture {
 protected:
  // A source delivered for a target installed with these (maybe the same) bytes.
  void deliverOver(const std::string& name, const std::string& delivered, const std::string& old) {
    deliver(name, delivered);
    install(name, old);
  }
  // The run's one closing box: text, caption, style, owner; then the close.
  void expectEnding(const char* text, bool aborted) {
    std::vector<HostCall> boxes = host_.messages();
    ASSERT_FALSE(boxes.empty());
    const HostCall& last = boxes.back();
    EXPECT_EQ(last.text, sjis(text));
    EXPECT_EQ(last.caption, sjis(aborted ? kAborted : kFinished));
    EXPECT_EQ(last.style, aborted ? 0x30u : 0x0u);
    EXPECT_EQ(last.owner, kDialogWindow);
    ASSERT_FALSE(host_.calls.empty());
    EXPECT_EQ(host_.calls.back().kind, HostCall::RequestClose) << "the close request is the last act";
    EXPECT_EQ(host_.closeRequests(), 1);
    EXPECT_EQ(runState.running.load(), 0);
    EXPECT_FALSE(runState.currentPackage) << "no source package outlives the run";
  }
  void archive(const std::string& path, const std::vector<ArchiveBuilderEntry>& entries) {
    ASSERT_TRUE(writeArchiveFile(path.c_str(), entries));
  }
  std::string entryText(const std::string& archivePath, const char* name) {
    PackageArchive target(archivePath.c_str());
    Content content;
    target.readEntry(name, &content);
    return content.present() ? std::string(content.bytes.get(), content.size) : "<none>";
  }
};

TEST_F(RunTest, MissingOrEmptyListAbortsWithLBeforeTheBarMoves) {
  install("a.dat", "old");
  FaultPlan installOpens(FaultPlan::kOpens, 0, FaultPlan::Spoil::Count);
  installOpens.onlyOpens(game_.path());
  EXPECT_EQ(runUpdate(nullptr), 0u);
  expectEnding(kL, true);
  EXPECT_TRUE(host_.positions().empty());
  for (const HostCall& call : host_.calls) EXPECT_NE(call.kind, HostCall::SetProgressRange);

  host_.calls.clear();
  EXPECT_EQ(run("\n c\tlower.dat\nX\tunknown\n"), 0u);
  expectEnding(kL, true);
  EXPECT_TRUE(host_.positions().empty());
  EXPECT_EQ(installOpens.calls(), 0) << "nothing in the install folder is opened";
}

// The verification passes stop the run with one box before anything is
// written and before the bar leaves 0.
TEST_F(RunTest, VerificationStopsBeforeAnythingIsWritten) {
  struct Case {
    const char* what;
    const char* archive;  // the installed game.arc, or none
    const char* list;
    const char* message;
  };
  const Case cases[] = {
      {"a missing source in the last entry", nullptr, "C\ta.dat\nR\tb.dat\nC\tmissing.dat\n", kS},
      {"the missing target of R; C needs none", nullptr, "C\tc.dat\nR\tb.dat\n", kT},
      {"a missing target archive", nullptr, "C\ta.dat\nI\tmissing.arc\tsrc.bin\tentry.bin\n", kT},
      {"an archive shorter than the magic", "QRV00", "C\ta.dat\nI\tgame.arc\tsrc.bin\tentry.bin\n", kM},
      {"another magic", "QRV002 and more", "C\ta.dat\nI\tgame.arc\tsrc.bin\tentry.bin\n", kM},
      {"the magic in other case", "qrv001 header", "C\ta.dat\nI\tgame.arc\tsrc.bin\tentry.bin\n", kM},
  };
  deliverOver("a.dat", "new a", "old a");
  deliver("b.dat", "new b");
  deliver("c.dat", "new c");
  deliver("src.bin", "entry content");
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    startOver();
    if (test.archive) install("game.arc", test.archive);
    EXPECT_EQ(run(test.list), 0u);
    expectEnding(test.message, true);
    EXPECT_EQ(host_.messages().size(), 1u) << "one box, naming neither entry nor file";
    EXPECT_EQ(host_.positions(), std::vector<int>{0});
    EXPECT_EQ(installed("a.dat"), "old a");
    EXPECT_FALSE(isInstalled("b.dat"));
    EXPECT_FALSE(isInstalled("c.dat"));
    if (test.archive != nullptr) {
      EXPECT_EQ(installed("game.arc"), test.archive) << "M comes before anything is written";
    }
  }
}

TEST_F(RunTest, CheckingOffLetsAMissingTargetThroughToThePrompt) {
  // With checking off the list passes; the apply pass then meets the
  // missing target and prompts until the user cancels.
  deliver("r.dat", "new r");
  deliver("c.dat", "new c");
  host_.retryPrompts(1);
  EXPECT_EQ(run("N\nR\tr.dat\nE\nC\tc.dat\n"), 0u);
  expectEnding(kF, true);
  std::vector<HostCall> boxes = host_.messages();
  ASSERT_EQ(boxes.size(), 3u);
  for (int i = 0; i < 2; ++i) {  // the prompt, and again on the retry: "R" never creates
    EXPECT_EQ(boxes[i].caption, "Copy File Access Error");
    EXPECT_EQ(boxes[i].style, 0x15u);
    EXPECT_EQ(boxes[i].owner, nullptr) << "the prompt leaves the dialog usable";
    EXPECT_EQ(boxes[i].text, expectedPrompt(game_ / "r.dat", "2", 2));
  }
  EXPECT_FALSE(isInstalled("r.dat"));
  EXPECT_FALSE(isInstalled("c.dat")) << "nothing after the cancelled entry";
}

TEST_F(RunTest, PassesStopInTheirOrder) {
  // A damaged archive early in the list loses to a missing target after
  // it, and that to a missing source last: each pass runs over the whole
  // list before the next.
  const std::string list = "I\tgame.arc\tsrc.bin\te\nR\tabsent.dat\nC\tnone.dat\n";
  install("game.arc", "broken");
  deliver("src.bin", "x");
  deliver("absent.dat", "x");
  EXPECT_EQ(run(list), 0u);
  expectEnding(kS, true);
  startOver();
  deliver("none.dat", "x");
  EXPECT_EQ(run(list), 0u);
  expectEnding(kT, true);
  startOver();
  install("absent.dat", "x");
  EXPECT_EQ(run(list), 0u);
  expectEnding(kM, true);
}

TEST_F(RunTest, OverLongPathsAreRefusedBeforeAnythingIsWritten) {
  // Every joined path lives in 256 bytes: 255 fit, 256 are refused.
  std::string folder = game_.path();
  ASSERT_LT(folder.size(), 200u);
  std::string sub = "sub\\";
  ASSERT_TRUE(makeFolder(game_ / sub));
  ASSERT_TRUE(makeFolder(delivery_ / sub));
  std::string fits = sub + std::string(255 - folder.size() - sub.size(), 'f');
  std::string tooLong = fits + "g";
  deliver(fits, "fits");
  deliver(tooLong, "too long");
  deliverOver("a.dat", "new", "old");

  EXPECT_EQ(run("C\ta.dat\nN\nC\t" + tooLong + "\n"), 0u);
  expectEnding(kT, true);
  EXPECT_EQ(installed("a.dat"), "old");
  VerificationResult result = verifyUpdateList(updateList, folder.c_str());
  EXPECT_EQ(result.stop, VerificationStop::TargetPathTooLong);
  EXPECT_EQ(result.entryIndex, 2);
  EXPECT_EQ(result.path, folder + tooLong) << "reported whole, never cut";

  startOver();
  EXPECT_EQ(run("C\t" + fits + "\n"), 1u);
  expectEnding(kD1, false);
  EXPECT_EQ(installed(fits), "fits");

  // A source longer than any list field can hold, in a list built by a tool.
  UpdateList list;
  list.commands[0] = 'I';
  list.paths[0] = "game.arc";
  list.sourceNames[0] = std::string(256, 's');
  list.entryNames[0] = "e";
  list.count = 1;
  result = verifyUpdateList(list, folder.c_str());
  EXPECT_EQ(result.stop, VerificationStop::SourcePathTooLong);
  EXPECT_STREQ(verificationMessage(result.stop), sjis(kS).c_str());
}

TEST_F(RunTest, ProgressAdvancesOncePerEntryInDoublePrecision) {
  struct Case {
    int entries;
    std::vector<int> expected;
  };
  const std::vector<Case> cases = {
      {1, {0, 0, 1000}}, {3, {0, 0, 333, 666, 1000}}, {4, {0, 0, 250, 500, 750, 1000}}};
  for (const Case& sample : cases) {
    startOver();
    std::string list;
    for (int i = 0; i < sample.entries; ++i) list += (i % 2) ? "N\n" : "E\n";
    EXPECT_EQ(run(list), 1u);
    EXPECT_EQ(host_.positions(), sample.expected) << sample.entries << " entries";
    expectEnding(kD0, false);
  }

  startOver();
  std::string list = "P\n";
  for (int i = 1; i < 38; ++i) list += "E\n";
  EXPECT_EQ(run(list), 1u);
  std::vector<int> positions = host_.positions();
  ASSERT_EQ(positions.size(), 40u);
  EXPECT_EQ(positions[1 + 19], 499) << "1000.0 / 38 is held as a double before multiplying by 19";
  EXPECT_EQ(positions[1 + 37], 973);
  EXPECT_EQ(positions.back(), 1000);
  const std::vector<HostCall>& calls = host_.calls;
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[0].kind, HostCall::ReadInstallFolder);
  EXPECT_EQ(calls[1].kind, HostCall::SetProgressRange);
  EXPECT_EQ(calls[1].first, 0);
  EXPECT_EQ(calls[1].second, 1000);
}

TEST_F(RunTest, UpToDateInstallIsLeftUntouched) {
  install(kSetupLogName, "");
  ASSERT_TRUE(makeFolder(game_ / "data"));
  ASSERT_TRUE(makeFolder(delivery_ / "data"));
  deliverOver("data\\a.dat", "same a", "same a");
  deliverOver("b.dat", "same b", "same b");
  deliver("empty.dat", "");
  archive(game_ / "game.arc", {{"inside.bin", "same entry"}});
  deliver("inside.bin", "same entry");
  int64_t stampA = modificationStamp(game_ / "data\\a.dat");
  int64_t stampB = modificationStamp(game_ / "b.dat");
  int64_t stampArc = modificationStamp(game_ / "game.arc");
  std::string archiveBefore = installed("game.arc");

  EXPECT_EQ(run("C\tdata\\a.dat\nR\tb.dat\nC\tempty.dat\nI\tgame.arc\tinside.bin\tINSIDE.BIN\n"), 1u);
  expectEnding(kD0, false);
  EXPECT_EQ(host_.messages().size(), 1u);
  EXPECT_EQ(modificationStamp(game_ / "data\\a.dat"), stampA);
  EXPECT_EQ(modificationStamp(game_ / "b.dat"), stampB);
  EXPECT_EQ(modificationStamp(game_ / "game.arc"), stampArc);
  EXPECT_EQ(installed("game.arc"), archiveBefore);
  EXPECT_FALSE(isInstalled("empty.dat"));
  EXPECT_EQ(installed(kSetupLogName), "");
}

TEST_F(RunTest, FullRunCreatesReplacesInsertsAndLogsOnlyCreatedFiles) {
  install(kSetupLogName, "F\tC:\\Game\\game.exe\r\n");
  // A CP932 name whose trail bytes are backslashes, in a folder of such a name.
  const std::string deep = kSoHyou + "\\" + kSoHyou + ".dat";
  ASSERT_TRUE(makeFolder(delivery_ / (kSoHyou + "\\")));
  ASSERT_TRUE(makeFolder(game_ / (kSoHyou + "\\")));
  deliver(deep, "one");
  deliver("new2.dat", "two");
  deliverOver("old.dat", "rewritten", "before");
  deliverOver("rep.dat", "replaced", "an old content that was longer");
  deliver("entry.bin", "new entry content");
  deliver("added.bin", "added entry");
  archive(game_ / "game.arc", {{"entry.bin", "old entry content"}});
  // The boxes belong to the window taken at the start.
  host_.onProgressPosition = [](int) { runState.dialogWindow = nullptr; };

  EXPECT_EQ(run("C\t" + deep + "\n"
                "C\told.dat\n"
                "R\trep.dat\n"
                "I\tgame.arc\tentry.bin\tentry.bin\n"
                "I\tgame.arc\tadded.bin\tdata\\added.bin\n"
                "C\tnew2.dat\n"),
            1u);
  expectEnding(kD1, false);
  EXPECT_EQ(host_.messages().size(), 1u) << "no prompt";
  EXPECT_EQ(installed(deep), "one");
  EXPECT_EQ(installed("new2.dat"), "two");
  EXPECT_EQ(installed("old.dat"), "rewritten");
  EXPECT_EQ(installed("rep.dat"), "replaced") << "no tail of the longer old content";
  EXPECT_EQ(entryText(game_ / "game.arc", "entry.bin"), "new entry content");
  EXPECT_EQ(entryText(game_ / "game.arc", "data\\added.bin"), "added entry");
  EXPECT_EQ(runState.changedFileCount, 6);
  EXPECT_EQ(installed(kSetupLogName), "F\tC:\\Game\\game.exe\r\n"
                                      "F\t" + game_.path() + deep + "\r\n"
                                      "F\t" + game_.path() + "new2.dat\r\n");
}

TEST_F(RunTest, SourcesComeFromTheSelectedPackageBeforeLooseFiles) {
  archive(delivery_ / "update.pak", {{"a.dat", "a from the package"},
                                     {"only.dat", "only in the package"},
                                     {"e.bin", "entry from the package"},
                                     {kSoHyou + "\\" + kSoHyou + ".dat", "cp932 name in the package"}});
  deliver("a.dat", "a loose");
  deliver("e.bin", "entry loose");
  install("a.dat", "a before");
  deliver("b.dat", "b loose");
  archive(game_ / "game.arc", {{"x.bin", "x"}});
  ASSERT_TRUE(makeFolder(game_ / (kSoHyou + "\\")));

  EXPECT_EQ(run("C\ta.dat\n"            // before any P: the loose file
                "P\tupdate.pak\n"
                "C\tb.dat\n"            // the package lacks it: loose
                "C\tonly.dat\n"         // exists only in the package
                "I\tgame.arc\te.bin\te.bin\n"
                "C\t" + kSoHyou + "\\" + kSoHyou + ".dat\n"
                "R\ta.dat\n"            // the package wins over the loose file
                "P\n"                   // bare P: loose files again
                "I\tgame.arc\te.bin\tloose.bin\n"),
            1u);
  expectEnding(kD1, false);
  EXPECT_EQ(installed("a.dat"), "a from the package");
  EXPECT_EQ(installed("b.dat"), "b loose");
  EXPECT_EQ(installed("only.dat"), "only in the package");
  EXPECT_EQ(installed(kSoHyou + "\\" + kSoHyou + ".dat"), "cp932 name in the package");
  EXPECT_EQ(entryText(game_ / "game.arc", "e.bin"), "entry from the package");
  EXPECT_EQ(entryText(game_ / "game.arc", "loose.bin"), "entry loose");
}

TEST_F(RunTest, APackageSourceOutsideItsPIsMissing) {
  archive(delivery_ / "update.pak", {{"only.dat", "only in the package"}});
  // Before its P; after a bare P; after a P naming no archive.
  for (const char* list : {"C\tonly.dat\nP\tupdate.pak\n", "P\tupdate.pak\nP\nC\tonly.dat\n",
                           "P\tno-such.pak\nC\tonly.dat\n"}) {
    SCOPED_TRACE(list);
    startOver();
    EXPECT_EQ(run(list), 0u);
    expectEnding(kS, true);
  }
}

TEST_F(RunTest, InsertFailurePromptsWithItsCaptionAndCancelEndsWithF) {
  archive(delivery_ / "update.pak", {{"e.bin", "new"}});
  archive(game_ / "game.arc", {{"e.bin", "old"}});
  std::string before = installed("game.arc");
  // Someone reads the archive and shares reading only: no writer gets in.
  plat::File holder;
  ASSERT_TRUE(holder.open((game_ / "game.arc").c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting));
  host_.retryPrompts(1);
  EXPECT_EQ(run("P\tupdate.pak\nI\tgame.arc\te.bin\te.bin\n"), 0u);
  expectEnding(kF, true);
  std::vector<HostCall> boxes = host_.messages();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].caption, "Update File Access Error");
  EXPECT_EQ(boxes[0].style, 0x15u);
  EXPECT_EQ(boxes[0].owner, nullptr);
  EXPECT_EQ(boxes[0].text, expectedPrompt(game_ / "game.arc", "20", 32));
  EXPECT_EQ(boxes[1].text, boxes[0].text) << "the retry fails the same way";
  holder.close();
  EXPECT_EQ(installed("game.arc"), before);
  EXPECT_EQ(host_.positions(), (std::vector<int>{0, 0})) << "the bar stops at the failed entry";
}

TEST_F(RunTest, TheInstallFolderIsTheDialogsTextAsRead) {
  // Empty means the current directory: the target "src.dat" is the
  // delivery's own file, so it exists (pass 2) and equals its source.
  host_.installFolder = "";
  deliver("src.dat", "x");
  EXPECT_EQ(run("R\tsrc.dat\n"), 1u);
  expectEnding(kD0, false);

  // WM_GETTEXT delivers at most 255 bytes; the run uses them unchanged.
  startOver();
  host_.installFolder = game_.path() + std::string(300, 'x');
  EXPECT_EQ(run("C\tsrc.dat\n"), 0u);
  expectEnding(kT, true);
  EXPECT_EQ(std::string(runInstallFolder), host_.installFolder.substr(0, 255));
}

}  // namespace
