// Whole update runs behind the scripted dialog, in real folders, one row a
// scenario: the list, the files of the update and of the game before, the
// answers to the prompts and a fault, and what the run must leave: the
// prompts, the one closing box, every file of the game, the changed-file
// count. Each row runs with contents held whole and streamed in pieces.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "archive/package_archive.h"
#include "platform/cp932.h"
#include "run/run_messages.h"
#include "tests/support/fault_plan.h"
#include "tests/support/run_fixture.h"

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;
using Spoil = FaultPlan::Spoil;
const std::string kAbsent = "<absent>", kHuge = "<4 GiB>";
const uint32_t kWhole = kContentPieceSize;

const char* const kL = "更新ファイルリストが正常に取得出来ませんでした。更新処理を中止します。";
const char* const kS = "更新用ファイルが見つかりませんでした。更新処理を中止します。";
const char* const kT = "更新先ファイルが見つかりませんでした。更新処理を中止します。";
const char* const kM = "更新先ファイルが壊れている可能性がありますので、更新処理を中止しました。";
const char* const kF = "ファイルの更新が出来ませんでした。更新処理を中止します。";
const char* const kD0 = "全データが最新でしたので更新処理は行いませんでした";
const char* const kD1 = "ファイル更新処理が終了しました";

std::string arc(const ArchiveEntries& entries) { return archiveBytes(entries); }

struct Prompt { char caption; std::string target; uint32_t code; };  // caption 'C' a loose file, 'U' an archive

struct Fault {
  unsigned calls = 0;
  int k = 0;
  Spoil spoil = Spoil::Fail;
  bool fromThenOn = false;
  const char* opens = nullptr;  // only opens of paths holding this, for writing
  uint32_t error = 0;
  std::function<void()> action = nullptr;
};

struct Scenario {
  std::string what;
  std::string list;  // kAbsent: no list at all
  Files update, game;
  const char* ending;
  std::vector<Prompt> prompts = {};
  Files after = {};  // changed game files, kAbsent, or "<name>.arc|entry" -> entry content
  int changed = 0;
  int retries = 0;
  Fault fault = {};
  uint32_t pieces = 0;                                // 0: held whole and streamed
  std::function<void(int prompt)> onPrompt = nullptr;  // while the n-th prompt is up
  std::vector<int> positions = {};
  // Links and the like, made in the game folder once its files are there;
  // false where the platform cannot make them (the row is left out).
  std::function<bool(const std::string& game, const std::string& outside)> prepare = nullptr;
  // The same in the update folder.
  std::function<bool(const std::string& update, const std::string& outside)> prepareUpdate = nullptr;
};

// Beside the install folder: what no run may change, whatever the list
// or the links in the game say. Made on first use: the archive is written.
const Files& outsideFiles() {
  static const Files files = {{"victim.txt", "outside bytes"}, {"victim.qrv", arc({{"e", "outside entry"}})},
                              {"folder\\keep.txt", "kept"}};
  return files;
}

// A file or folder of the row's root, which holds the update, the game
// and what lies beside them ("update\\...", "outside\\...").
std::string besideTheGame(const std::string& name) {
  std::string game = runInstallFolder;
  return game.substr(0, game.size() - std::strlen("game\\")) + name;
}

// "<G>" stands for the install folder, "<F>" for as many 'f' as make
// "<G>sub\\<F>" 255 bytes long, "<K>" for a name of 84 kanji (252 bytes
// as the file system writes it, 256 with ".~up").
std::string expand(std::string text, const std::string& game) {
  const std::string fill(255 - game.size() - 4, 'f');
  std::string kanji;
  for (int i = 0; i < 84; ++i) kanji += "\x8a\xbf";
  for (const auto& [mark, meaning] :
       {std::pair{std::string("<G>"), game}, {std::string("<F>"), fill}, {std::string("<K>"), kanji}})
    for (size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), meaning);
  return text;
}

std::string entryText(const std::string& archivePath, const std::string& name) {
  Content content;
  PackageArchive(archivePath.c_str()).readEntry(name.c_str(), &content, kContentsHeldWhole);
  return content.present() ? std::string(content.bytes.get(), content.size) : kAbsent;
}

// A file of 4 GiB and one byte, sparse where the file system allows it.
bool writeHuge(const std::string& path) {
  plat::File huge;
  return huge.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways) &&
         huge.seek(int64_t{1} << 32, plat::SeekOrigin::Begin) && huge.writeExactly("!", 1);
}

class RunTest : public RunFixture {
 protected:
  void play(const std::vector<Scenario>& scenarios) {
    for (const Scenario& s : scenarios)
      for (uint32_t pieces : {kWhole, 4u})
        if (s.pieces == 0 || s.pieces == pieces) {
          SCOPED_TRACE(s.what + (pieces == kWhole ? "" : ", streamed"));
          play(s, pieces);
        }
  }

  void play(const Scenario& s, uint32_t pieces) {
    startOver();
    runState.contentLimits = ContentLimits{pieces, 16 * pieces};  // a streamed comparison keeps only the first pieces
    TempFolder root;
    const std::string update = root / "update\\", game = root / "game\\", outside = root / "outside\\";
    ASSERT_TRUE(makeFolder(root / "update") && makeFolder(root / "game"));
    CurrentDirectory inUpdate(update);
    const auto x = [&](const std::string& text) { return expand(text, game); };
    bool written = s.list == kAbsent || writeFile(update + "UpDate.lst", x(s.list));
    for (const auto& [name, bytes] : s.update)
      written &= bytes == kHuge ? writeHuge(update + name) : writeFileAndFolders(update + x(name), bytes);
    for (const auto& [name, bytes] : s.game)
      written &= bytes == kHuge ? writeHuge(game + name) : writeFileAndFolders(game + x(name), x(bytes));
    for (const auto& [name, bytes] : outsideFiles()) written &= writeFileAndFolders(outside + name, bytes);
    ASSERT_TRUE(written);
    if ((s.prepare && !s.prepare(game, outside)) || (s.prepareUpdate && !s.prepareUpdate(update, outside))) return;
    host_.installFolder = game;
    host_.retries = s.retries;
    host_.onShowMessage = [&, prompts = 0](const HostCall& call) mutable {
      if (call.style == kStyleFileError && s.onPrompt) s.onPrompt(++prompts);
    };
    std::map<std::string, std::string> expected = filesBelow(game);
    std::map<std::string, int64_t> stamps;
    for (const auto& file : expected) stamps[file.first] = modificationStamp(game + file.first);
    // The fault counts from the bar's first move, once the list is read.
    // The boxes belong to the window taken at the start.
    std::unique_ptr<FaultPlan> plan;
    host_.onProgressPosition = [&](int) {
      runState.dialogWindow = nullptr;
      if (plan || s.fault.calls == 0) return;
      plan.reset(new FaultPlan(s.fault.calls, s.fault.k, s.fault.spoil, s.fault.fromThenOn));
      plan->onlyOpens(s.fault.opens ? s.fault.opens : "", true).withError(s.fault.error).withAction(s.fault.action);
    };
    uint32_t result = runUpdate(&runState.worker);
    plan.reset();

    bool finished = s.ending == kD0 || s.ending == kD1, verifyStop = s.ending == kS || s.ending == kT || s.ending == kM;
    EXPECT_EQ(result, finished ? 1u : 0u);
    std::vector<HostCall> boxes = host_.messages();
    ASSERT_EQ(boxes.size(), s.prompts.size() + 1);
    for (size_t i = 0; i < s.prompts.size(); ++i) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "%x", s.prompts[i].code);
      EXPECT_EQ(boxes[i].caption, s.prompts[i].caption == 'C' ? "Copy File Access Error" : "Update File Access Error");
      EXPECT_TRUE(boxes[i].style == 0x15u && boxes[i].owner == nullptr) << "unowned: the dialog stays usable";
      EXPECT_EQ(boxes[i].text, expectedPrompt(game + x(s.prompts[i].target), hex, s.prompts[i].code));
    }
    EXPECT_EQ(boxes.back().text, sjis(s.ending));
    EXPECT_EQ(boxes.back().caption, sjis(finished ? "アップデート終了" : "アップデート中止"));
    EXPECT_EQ(boxes.back().style, finished ? 0x0u : 0x30u);
    EXPECT_EQ(boxes.back().owner, kDialogWindow);
    EXPECT_TRUE(host_.calls.back().kind == HostCall::RequestClose && host_.closeRequests() == 1) << "closed, last";
    EXPECT_TRUE(runState.running.load() == 0 && !runState.currentPackage) << "no package outlives the run";
    EXPECT_EQ(runState.changedFileCount, s.changed);
    // Verification stops before the bar leaves 0 and before any write.
    std::vector<int> positions = verifyStop && s.positions.empty() ? std::vector<int>{0} : s.positions;
    EXPECT_TRUE(host_.positions() == positions || (positions.empty() && s.ending != kL)) << "bar";
    EXPECT_EQ(!host_.positions().empty() && host_.positions().back() == 1000, finished);

    std::map<std::string, std::string> actual = filesBelow(game);
    for (const auto& [name, bytes] : s.after) {
      size_t bar = name.find(".arc|");
      if (bar != std::string::npos) bar += 4;
      if (bar != std::string::npos) {
        EXPECT_EQ(entryText(game + name.substr(0, bar), name.substr(bar + 1)), bytes) << name;
        expected.erase(name.substr(0, bar));
        actual.erase(name.substr(0, bar));
      } else if (bytes == kAbsent) {
        expected.erase(x(name));
      } else {
        expected[x(name)] = x(bytes);
      }
    }
    EXPECT_EQ(actual, expected);
    bool nothingWritten = s.ending == kD0 || s.ending == kL || verifyStop;
    for (const auto& [name, stamp] : stamps) EXPECT_TRUE(!nothingWritten || modificationStamp(game + name) == stamp) << name;
    EXPECT_EQ(filesBelow(outside), (std::map<std::string, std::string>(outsideFiles().begin(), outsideFiles().end())));
    std::map<std::string, std::string> all = filesBelow(root.path());
    for (const auto& file : all) {
      bool ours = file.first.rfind("update\\", 0) == 0 || file.first.rfind("game\\", 0) == 0 ||
                  file.first.rfind("outside\\", 0) == 0;
      EXPECT_TRUE(ours) << "written outside the install folder: " << file.first;
    }
  }
};

const Files kUpdateABC = {{"a.dat", "new a"}, {"b.dat", "new b"}, {"c.dat", "new c"}, {"src.bin", "entry"}};
const std::string kArcEntry = "C\ta.dat\nI\tgame.arc\tsrc.bin\tentry.bin\n";

TEST_F(RunTest, VerificationStopsTheRunWithOneBoxBeforeAnythingIsWritten) {
  const std::string inOrder = "I\tgame.arc\tsrc.bin\te\nR\tabsent.dat\nC\tnone.dat\n";
  const Files game = {{"a.dat", "old a"}};
  play({
      {"no list", kAbsent, {}, game, kL},
      {"no usable line", "\n c\tlower.dat\nX\tunknown\n", {}, game, kL},
      {"a missing source in the last entry", "C\ta.dat\nR\tb.dat\nC\tmissing.dat\n", kUpdateABC, game, kS},
      {"the missing target of R; C needs none", "C\tc.dat\nR\tb.dat\n", kUpdateABC, game, kT},
      {"a missing target archive", "C\ta.dat\nI\tmissing.arc\tsrc.bin\tentry.bin\n", kUpdateABC, game, kT},
      {"an archive shorter than the magic", kArcEntry, kUpdateABC, {{"a.dat", "old"}, {"game.arc", "QRV00"}}, kM},
      {"another magic", kArcEntry, kUpdateABC, {{"a.dat", "old"}, {"game.arc", "QRV002 and more"}}, kM},
      {"the magic in other case", kArcEntry, kUpdateABC, {{"game.arc", "qrv001 header"}}, kM},
      // Each pass runs over the whole list before the next.
      {"sources before targets", inOrder, {{"src.bin", "x"}, {"absent.dat", "x"}}, {{"game.arc", "broken"}}, kS},
      {"targets before archives", inOrder, {{"src.bin", "x"}, {"absent.dat", "x"}, {"none.dat", "x"}},
       {{"game.arc", "broken"}}, kT},
      {"archives last", inOrder, {{"src.bin", "x"}, {"absent.dat", "x"}, {"none.dat", "x"}},
       {{"game.arc", "broken"}, {"absent.dat", "x"}}, kM},
      // A package source counts only between its P and the next.
      {"before its P", "C\tonly.dat\nP\tupdate.pak\n", {{"update.pak", arc({{"only.dat", "x"}})}}, {}, kS},
      {"after a bare P", "P\tupdate.pak\nP\nC\tonly.dat\n", {{"update.pak", arc({{"only.dat", "x"}})}}, {}, kS},
      {"after a P naming no archive", "P\tno-such.pak\nC\tonly.dat\n", {}, {}, kS},
      {"a folder is no source", "C\tdata\n", {{"data\\x", ""}}, {}, kS},
  });
}

// A path of the list that would leave its folder, or that Windows would
// take for another file, stops the run as an unusable list does, before
// anything is opened: in every field that names a path. Names that only
// hold such bytes as trail bytes (ソ 83 5C, ポ 83 7C) are plain names.
TEST_F(RunTest, PathsThatLeaveTheirFolderStopTheRunWithL) {
  const std::string shapes[] = {"..\\victim.txt", "sub\\..\\..\\victim.txt", "\\victim.txt", "/victim.txt",
                                "C:\\victim.txt", "ok.txt:hidden", "CON", "nul.txt", "sub\\COM1.dat", "LPT9", "CONIN$",
                                "conout$.log", "dot.", "..", "sub.\\ok.txt", "a*.txt", "a?.txt", "a<b", "a>b", "a\"b",
                                "a|b", "bell\x07", "a\\\\b", "trail\\"};
  const Files update = {{"src", "new"}, {"ok.txt", "new"}, {"folder\\keep.txt", "new"}};
  const Files game = {{"ok.txt", "old"}, {"ok.qrv", arc({{"e", "old"}})}};
  std::vector<Scenario> rows;
  for (const std::string& shape : shapes)
    for (const std::string& list : {"C\t" + shape, "R\t" + shape, "I\t" + shape + "\tsrc\te",
                                    "I\tok.qrv\t" + shape + "\te", "P\t" + shape + "\nC\tok.txt"})
      rows.push_back({list, "C\tok.txt\n" + list + "\n", update, game, kL, {}, {}, 0, 0, {}, kWhole});
  rows.push_back({"trail bytes", "C\t" + kSoHyou + "\\\x83\x7c.txt\n", {{kSoHyou + "\\\x83\x7c.txt", "n"}}, {}, kD1, {},
                  {{kSoHyou + "\\\x83\x7c.txt", "n"}}, 1, 0, {}, kWhole});
  play(rows);
}

TEST_F(RunTest, RunsCreateReplaceInsertAndLogOnlyCreatedFiles) {
  const std::string deep = kSoHyou + "\\" + kSoHyou + ".dat";  // trail bytes 0x5C in folder and name
  const std::string log = "F\tC:\\Game\\game.exe\r\n";
  const std::string big(3000 + 17, 'b');
  std::string bigChanged = big;
  bigChanged.back() = 'c';
  play({
      {"a full run", "C\t" + deep + "\nC\told.dat\nR\trep.dat\nI\tgame.arc\tentry.bin\tentry.bin\n"
                     "I\tgame.arc\tadded.bin\tdata\\added.bin\nC\tnew2.dat\n",
       {{deep, "one"}, {"new2.dat", "two"}, {"old.dat", "rewritten"}, {"rep.dat", "replaced"},
        {"entry.bin", "new entry"}, {"added.bin", "added entry"}},
       {{"Setup.log", log}, {"old.dat", "before"}, {"rep.dat", "an old content that was longer"},
        {kSoHyou + "\\keep", ""}, {"game.arc", arc({{"entry.bin", "old entry"}})}},
       kD1, {},
       {{deep, "one"}, {"new2.dat", "two"}, {"old.dat", "rewritten"}, {"rep.dat", "replaced"},
        {"game.arc|entry.bin", "new entry"}, {"game.arc|data\\added.bin", "added entry"},
        {"Setup.log", log + "F\t<G>" + deep + "\r\nF\t<G>new2.dat\r\n"}},
       6},
      // (Its archive does not open for writing, which it does not need.)
      {"an up-to-date game is left untouched", "C\tdata\\a.dat\nR\tb.dat\nC\tempty.dat\nI\tgame.arc\tin.bin\tIN.BIN\n",
       {{"data\\a.dat", "same a"}, {"b.dat", "same b"}, {"empty.dat", ""}, {"in.bin", "same entry"}},
       {{"Setup.log", ""}, {"data\\a.dat", "same a"}, {"b.dat", "same b"}, {"game.arc", arc({{"in.bin", "same entry"}})}},
       kD0, {}, {}, 0, 0, {FaultPlan::kOpens, 1, Spoil::Fail, true, "game.arc", plat::kErrorSharingViolation}},
      {"the package's sources before loose files",
       "C\ta.dat\nP\tupdate.pak\nC\tb.dat\nC\tonly.dat\nI\tgame.arc\te.bin\te.bin\nC\t" + deep +
           "\nR\ta.dat\nP\nI\tgame.arc\te.bin\tloose.bin\n",
       {{"update.pak", arc({{"a.dat", "a packed"}, {"only.dat", "only packed"}, {"e.bin", "e packed"}, {deep, "packed"}})},
        {"a.dat", "a loose"}, {"e.bin", "e loose"}, {"b.dat", "b loose"}},
       {{"a.dat", "a before"}, {"game.arc", arc({{"x.bin", "x"}})}, {kSoHyou + "\\keep", ""}},
       kD1, {},
       {{"a.dat", "a packed"}, {"b.dat", "b loose"}, {"only.dat", "only packed"}, {deep, "packed"},
        {"game.arc|e.bin", "e packed"}, {"game.arc|loose.bin", "e loose"}, {"game.arc|x.bin", "x"}},
       7},
      // The archive the run holds is let go before a loose write of it.
      {"an archive written whole after an insertion", "I\tgame.arc\tsrc\te\nC\tgame.arc\n",
       {{"src", "new entry"}, {"game.arc", "whole"}}, {{"game.arc", arc({{"e", "old"}})}}, kD1, {}, {{"game.arc", "whole"}}, 2},
      {"a package that is not there leaves the loose file", "P\tabsent.pak\nR\tboth.dat\n", {{"both.dat", "loose"}},
       {{"both.dat", "old"}}, kD1, {}, {{"both.dat", "loose"}}, 1},
      {"large files are compared to their last byte", "R\tsame.bin\nC\tlast.bin\nP\tpack.pak\nR\tsame.bin\nC\tlast2.bin\n",
       {{"same.bin", big}, {"last.bin", bigChanged}, {"pack.pak", arc({{"same.bin", big}, {"last2.bin", bigChanged}})}},
       {{"same.bin", big}, {"last.bin", big}, {"last2.bin", big}},
       kD1, {}, {{"last.bin", bigChanged}, {"last2.bin", bigChanged}}, 2},
      // The log: extended only when it exists, never by the same last line twice.
      {"no final line break", "C\tnew.dat\n", {{"new.dat", "n"}}, {{"Setup.log", "F\tx"}},
       kD1, {}, {{"new.dat", "n"}, {"Setup.log", "F\txF\t<G>new.dat\r\n"}}, 1},
      {"an end-of-text mark", "C\tnew.dat\n", {{"new.dat", "n"}}, {{"Setup.log", "F\tx\r\n\x1a"}},
       kD1, {}, {{"new.dat", "n"}, {"Setup.log", "F\tx\r\nF\t<G>new.dat\r\n"}}, 1},
      {"a last line that only ends as the new one", "C\tnew.dat\n", {{"new.dat", "n"}},
       {{"Setup.log", "xF\t<G>new.dat\r\n"}}, kD1, {}, {{"new.dat", "n"}, {"Setup.log", "xF\t<G>new.dat\r\nF\t<G>new.dat\r\n"}},
       1},
      {"logged last, after another line", "C\tnew.dat\n", {{"new.dat", "n"}},
       {{"Setup.log", "F\tx\r\nF\t<G>new.dat\r\n"}}, kD1, {}, {{"new.dat", "n"}}, 1},
      {"logged earlier, not last", "C\tnew.dat\n", {{"new.dat", "n"}}, {{"Setup.log", "F\t<G>new.dat\r\nF\tx\r\n"}},
       kD1, {}, {{"new.dat", "n"}, {"Setup.log", "F\t<G>new.dat\r\nF\tx\r\nF\t<G>new.dat\r\n"}}, 1},
      // A killed run leaves temporary files and maybe its last log line;
      // only a write of that target removes its temporary file, which a
      // target that is up to date leaves alone.
      {"what a killed attempt left", "R\tsame.dat\nC\tnew.dat\nC\tro.dat\n",
       {{"same.dat", "same"}, {"new.dat", "new"}, {"ro.dat", "ro"}},
       {{"same.dat", "same"}, {"same.dat.~up", "sa"}, {"new.dat.~up", "ne"}, {"ro.dat.~up", "r"},
        {"Setup.log", "F\t<G>new.dat\r\n"}},
       kD1, {}, {{"new.dat.~up", kAbsent}, {"ro.dat.~up", kAbsent}, {"new.dat", "new"}, {"ro.dat", "ro"},
                 {"Setup.log", "F\t<G>new.dat\r\nF\t<G>ro.dat\r\n"}},
       2, 0, {}, 0, nullptr, {}, [](const std::string& game, const std::string&) { return makeReadOnly(game + "ro.dat.~up"); }},
      // New files bring their folders, the outermost first; only files are logged.
      {"new folders", "C\tnew\\a.dat\nC\tn1\\n2\\b.dat\nC\t" + deep + "\nC\t" + kSoHyou + "\\" + kSoHyou + "\\c.dat\n",
       {{"new\\a.dat", "a"}, {"n1\\n2\\b.dat", "b"}, {deep, "so"}, {kSoHyou + "\\" + kSoHyou + "\\c.dat", "c"}},
       {{"Setup.log", ""}}, kD1, {},
       {{"new\\a.dat", "a"}, {"n1\\n2\\b.dat", "b"}, {deep, "so"}, {kSoHyou + "\\" + kSoHyou + "\\c.dat", "c"},
        {"Setup.log", "F\t<G>new\\a.dat\r\nF\t<G>n1\\n2\\b.dat\r\nF\t<G>" + deep + "\r\nF\t<G>" + kSoHyou + "\\" +
                          kSoHyou + "\\c.dat\r\n"}},
       4},
      {"a folder that a killed run made", "C\tnew\\a.dat\n", {{"new\\a.dat", "a"}}, {}, kD1, {}, {{"new\\a.dat", "a"}}, 1,
       0, {}, 0, nullptr, {}, [](const std::string& game, const std::string&) { return makeFolder(game + "new"); }},
      // A log that does not take the line leaves the file unlogged.
      {"a read-only log", "C\tnew.dat\n", {{"new.dat", "n"}}, {{"Setup.log", log}}, kD1, {}, {{"new.dat", "n"}}, 1, 0, {},
       0, nullptr, {}, [](const std::string& game, const std::string&) {
         return readOnlyAttributeHolds() && makeReadOnly(game + "Setup.log");
       }},
      {"a log that another holds", "C\tnew.dat\n", {{"new.dat", "n"}}, {{"Setup.log", log}}, kD1, {}, {{"new.dat", "n"}}, 1,
       0, {FaultPlan::kOpens, 1, Spoil::Fail, true, "Setup.log", plat::kErrorSharingViolation}},
      {"a log on a full disk", "C\tnew.dat\n", {{"new.dat", "0123456789"}}, {{"Setup.log", log}}, kD1, {},
       {{"new.dat", "0123456789"}}, 1, 0, {FaultPlan::kGrowingWrites, 2, Spoil::Fail}, kWhole},
  });
}

// Every failed attempt prompts; Retry tries the entry again, Cancel ends
// the run with F. A failed attempt leaves its target as it was: absent, or
// its old bytes, never a prefix; nothing is logged or left beside it.
TEST_F(RunTest, FailedAttemptsPromptAndLeaveTheirTargetAsItWas) {
  const Files game = {{"Setup.log", "F\tx\r\n"}, {"old.dat", "old"}};
  const Files update = {{"new.dat", "0123456789"}, {"old.dat", "abcdef"}};
  std::vector<Scenario> rows;
  const struct {
    const char* what;
    Fault fault;
    uint32_t code;
  } writeFaults[] = {
      {"a short write", {FaultPlan::kWrites, 1, Spoil::OneShort, true}, plat::kErrorWriteFault},
      {"a refused write", {FaultPlan::kWrites, 1, Spoil::Fail, true}, plat::kErrorWriteFault},
      {"a full disk", {FaultPlan::kGrowingWrites, 1, Spoil::DiskFull, true}, plat::kErrorDiskFull},
  };
  for (const auto& fault : writeFaults)
    for (const char* list : {"C\tnew.dat\n", "R\told.dat\n", "C\told.dat\n"})
      rows.push_back({std::string(fault.what) + " in " + list, list, update, game, kF,
                      {{'C', std::string(list + 2, std::strlen(list) - 3), fault.code}}, {}, 0, 0, fault.fault});
  rows.push_back({"a target held open, refused with its own code", "C\theld.dat\n", {{"held.dat", "new"}}, {{"held.dat", "old"}},
                  kF, {{'C', "held.dat", 32}}, {}, 0, 0,
                  {FaultPlan::kOpens, 1, Spoil::Fail, true, "held.dat", plat::kErrorSharingViolation}});
  rows.push_back({"an archive held open", "P\tu.pak\nI\tgame.arc\te.bin\te.bin\n", {{"u.pak", arc({{"e.bin", "new"}})}},
                  {{"game.arc", arc({{"e.bin", "old"}})}}, kF, {{'U', "game.arc", 32}, {'U', "game.arc", 32}}, {}, 0, 1,
                  {FaultPlan::kOpens, 1, Spoil::Fail, true, "game.arc", plat::kErrorSharingViolation},
                  0, nullptr, {0, 0}});
  rows.push_back({"a target of the same size that cannot be read", "C\ta.dat\n", {{"a.dat", "new!"}}, {{"a.dat", "old!"}},
                  kF, {{'C', "a.dat", plat::kErrorReadFault}}, {}, 0, 0, {FaultPlan::kReads, 2}, kWhole});
  // Streamed in pieces of 4: a source piece that fails while it is
  // written, and a kept prefix of a target that differs only at its end.
  rows.push_back({"a source piece that cannot be read while it is written", "C\told.dat\n", {{"old.dat", "0123456789"}},
                  game, kF, {{'C', "old.dat", plat::kErrorReadFault}}, {}, 0, 0, {FaultPlan::kReads, 2}, 4});
  rows.push_back({"a compared prefix that cannot be written", "C\told.dat\n", {{"old.dat", "0123456789"}},
                  {{"old.dat", "0123456788"}}, kF, {{'C', "old.dat", plat::kErrorWriteFault}}, {}, 0, 0,
                  {FaultPlan::kWrites, 1}, 4});
  rows.push_back({"an archive whose index cannot be read, with the read's code", "I\tgame.arc\te.bin\te.bin\n",
                  {{"e.bin", "new"}}, {{"game.arc", arc({{"e.bin", "old"}})}}, kF,
                  {{'U', "game.arc", plat::kErrorReadFault}}, {}, 0, 0, {FaultPlan::kReads, 2}});
  // Past the probe, the temporary file is refused and the target will not
  // open for writing in place either.
  rows.push_back({"a target that will not open again for writing in place", "C\told.dat\n", update, game, kF,
                  {{'C', "old.dat", plat::kErrorAccessDenied}}, {}, 0, 0,
                  {FaultPlan::kOpens, 2, Spoil::Fail, true, "old.dat", plat::kErrorAccessDenied}});
  rows.push_back({"a new file that will not open for writing in place either", "C\tnew.dat\n", update, game, kF,
                  {{'C', "new.dat", plat::kErrorAccessDenied}}, {{"Setup.log", "F\tx\r\nF\t<G>new.dat\r\n"}}, 0, 0,
                  {FaultPlan::kOpens, 1, Spoil::Fail, true, "new.dat", plat::kErrorAccessDenied}});
  rows.push_back({"a file where a folder must be made", "C\tblock\\x.dat\n", {{"block\\x.dat", "x"}}, {{"block", "file"}},
                  kF, {{'C', "block\\x.dat", plat::kErrorAlreadyExists}}});
  // With checking off the list passes; "R" never creates its target.
  rows.push_back({"checking off lets a missing target through to the prompt", "N\nR\tr.dat\nE\nC\tc.dat\n",
                  {{"r.dat", "r"}, {"c.dat", "c"}}, {}, kF, {{'C', "r.dat", 2}, {'C', "r.dat", 2}}, {}, 0, 1});
  // Contents have 32-bit sizes: a bigger source is refused, never read in part.
  rows.push_back({"a source of 4 GiB", "R\thuge.dat\n", {{"huge.dat", kHuge}}, {{"huge.dat", "old"}}, kF,
                  {{'C', "huge.dat", plat::kErrorFileTooLarge}}, {}, 0, 0, {}, kWhole});
#ifndef _WIN32
  // A source that changes size after the decision: never a mixture. (On
  // Windows the run holds it open with writers shut out, and it cannot.)
  for (uint64_t size : {41u, 20u})
    rows.push_back({"a source resized to " + std::to_string(size), "C\tnew.dat\n", {{"new.dat", std::string(40, 'n')}},
                    {}, kF, {{'C', "new.dat", kErrorInvalidData}}, {}, 0, 0,
                    {FaultPlan::kOpens, 1, Spoil::Act, false, ".~up", 0,
                     [size] { std::filesystem::resize_file("new.dat", size); }},
                    4});
#endif
  play(rows);
}

// Retries see what changed meanwhile. A write goes through a temporary
// file beside its target, or in place where that file cannot be had for a
// reason that writing in place does not meet; every outcome of the
// one-step replace leaves the target old or new, never absent for good.
TEST_F(RunTest, RetriesSeeWhatChangedAndNoTemporaryFileMakesAWriteFail) {
  const std::string log = "F\tx\r\n";
  const auto inGame = [](const std::string& name) { return std::string(runInstallFolder) + name; };
  const Files update = {{"old.dat", "new bytes"}, {"new.dat", "created"}};
  const Files game = {{"old.dat", "old"}, {"Setup.log", log}};
  const Files after = {{"old.dat", "new bytes"}, {"new.dat", "created"}, {"Setup.log", log + "F\t<G>new.dat\r\n"}};
  const std::string both = "C\told.dat\nC\tnew.dat\n";
  plat::File holder;  // another program's open of a file of the game
  std::vector<Scenario> rows = {
      {"the target appears while the prompt is up", "N\nR\tlate.dat\n", {{"late.dat", "wanted"}}, {}, kD1,
       {{'C', "late.dat", 2}}, {{"late.dat", "wanted"}}, 1, 1, {}, 0,
       [&](int) { writeFile(inGame("late.dat"), "old"); }},
      {"a short write goes on with the rest", "C\tnew.dat\n", {{"new.dat", "0123456789"}}, {{"Setup.log", log}}, kD1, {},
       {{"new.dat", "0123456789"}, {"Setup.log", log + "F\t<G>new.dat\r\n"}}, 1, 0, {FaultPlan::kWrites, 1, Spoil::Half}},
      // Written in place: no right to create the temporary file, its name
      // taken by a folder, a name too long with the suffix, a target held
      // open without delete sharing.
      {"no right to create", both, update, game, kD1, {}, after, 2, 0,
       {FaultPlan::kOpens, 1, Spoil::Fail, true, ".~up", plat::kErrorAccessDenied}},
      {"a folder of the temporary name", both, update,
       {{"old.dat", "old"}, {"old.dat.~up\\inside", "kept"}, {"new.dat.~up\\inside", "kept"}, {"Setup.log", log}}, kD1, {},
       after, 2},
      {"a name too long for the suffix", "C\t<K>\n", {{"<K>", "new bytes"}}, {{"<K>", "old"}}, kD1, {}, {{"<K>", "new bytes"}},
       1},
      // ... but never on a full disk, nor past a write that fails.
      {"no room for the temporary file", "C\told.dat\n", update, game, kF, {{'C', "old.dat", plat::kErrorDiskFull}}, {}, 0,
       0, {FaultPlan::kOpens, 1, Spoil::Fail, true, ".~up", plat::kErrorDiskFull}},
      {"written in place, a write that fails", "C\told.dat\n", update, game, kF, {{'C', "old.dat", plat::kErrorWriteFault}},
       {}, 0, 0, {FaultPlan::kOpens | FaultPlan::kWrites, 1, Spoil::Fail, true, ".~up", plat::kErrorAccessDenied}},
      // (The log's line fails too, silently.)
      {"made in place, a write that fails: no file", "C\tnew.dat\n", update, game, kF,
       {{'C', "new.dat", plat::kErrorWriteFault}}, {}, 0, 0,
       {FaultPlan::kOpens | FaultPlan::kWrites, 1, Spoil::Fail, true, ".~up", plat::kErrorAccessDenied}},
      {"a target held without delete sharing", "C\told.dat\n", update, game, kD1, {}, {{"old.dat", "new bytes"}}, 1, 0, {},
       0, nullptr, {}, [&](const std::string& game, const std::string&) {
         return holder.open((game + "old.dat").c_str(), plat::kGenericRead, plat::kShareRead | plat::kShareWrite,
                            plat::kOpenExisting);
       }},
      // A target that refuses writing keeps its own code, and nothing of
      // the write stays beside it.
      {"a target refused for writing, a read-only source", "C\told.dat\n", update, game, kF,
       {{'C', "old.dat", plat::kErrorAccessDenied}}, {}, 0, 0,
       {FaultPlan::kOpens, 1, Spoil::Fail, true, "old.dat", plat::kErrorAccessDenied}, 0, nullptr, {},
       [](const std::string&, const std::string&) { return makeReadOnly("old.dat"); }},
      // A target of 4 GiB or more differs from every source.
      {"a target of 4 GiB and a byte", "R\thuge.dat\n", {{"huge.dat", "small"}}, {{"huge.dat", kHuge}}, kD1, {},
       {{"huge.dat", "small"}}, 1, 0, {}, kWhole},
  };
  // Every way the rename that puts the temporary file in place can fail
  // changes nothing: the target keeps its old bytes and is written in
  // place, but never on a full disk; a new file is no file, and its line
  // stays.
  for (uint32_t code : {plat::kErrorAccessDenied, plat::kErrorSharingViolation, plat::kErrorInvalidParameter,
                        plat::kErrorInvalidName, plat::kErrorNotSameDevice, plat::kErrorFileExists,
                        plat::kErrorDiskFull}) {
    const Fault refused = {FaultPlan::kRenames, 1, Spoil::Fail, true, nullptr, code};
    bool full = code == plat::kErrorDiskFull;
    rows.push_back({"the rename refused with " + std::to_string(code), "C\told.dat\n", update, game, full ? kF : kD1,
                    full ? std::vector<Prompt>{{'C', "old.dat", code}} : std::vector<Prompt>{},
                    full ? Files{} : Files{{"old.dat", "new bytes"}}, full ? 0 : 1, 0, refused});
    rows.push_back({"a new file's rename refused with " + std::to_string(code), "C\tnew.dat\n", update, game, kF,
                    {{'C', "new.dat", code}}, {{"Setup.log", log + "F\t<G>new.dat\r\n"}}, 0, 0, refused});
  }
  // Another program holds the target open and shares nothing: "C" and "R"
  // both show the sharing violation its first step meets.
  for (const char* list : {"C\told.dat\n", "R\told.dat\n"})
    rows.push_back({std::string("a target held without sharing, ") + list, list, update, game, kF,
                    {{'C', "old.dat", plat::kErrorSharingViolation}}, {}, 0, 0, {}, 0, nullptr, {},
                    [&](const std::string& game, const std::string&) {
                      return holder.open((game + "old.dat").c_str(), plat::kGenericRead, plat::kShareNone,
                                         plat::kOpenExisting);
                    }});
  for (const Scenario& row : rows) {
    play({row});
    holder.close();
  }
}

// No write goes through a link below the install folder: a folder on the
// way, the target, its temporary file, the log or an archive. What the
// run writes in place (an archive, the log) must have one name; a loose
// target with another is replaced by its name. Nothing beside the install
// folder changes. (Wine shows a folder link and a second name, not a file
// link: those rows run natively only.)
TEST_F(RunTest, NoWriteFollowsALinkBelowTheInstallFolder) {
  const auto link = [](LinkKind kind, const std::string& name, const std::string& to) {
    return [=](const std::string& game, const std::string& outside) { return makeLink(kind, game + name, outside + to); };
  };
  const Files update = {{"data\\x.txt", "x"}, {"t.txt", "new"}, {"src", "new entry"}};
  const Files game = {{"t.txt", "old"}, {"Setup.log", "F\tx\r\n"}};
  const uint32_t kRefused = plat::kErrorCantAccessFile;
  std::vector<Scenario> rows = {
      {"a folder link on the way", "C\tdata\\x.txt\n", update, game, kF, {{'C', "data\\x.txt", kRefused}}, {}, 0, 0, {},
       kWhole, nullptr, {}, link(LinkKind::Folder, "data", "folder")},
      {"a folder link on the way to an archive", "N\nI\tdata\\victim.qrv\tsrc\te\n", update, game, kF,
       {{'U', "data\\victim.qrv", kRefused}}, {}, 0, 0, {}, kWhole, nullptr, {}, link(LinkKind::Folder, "data", "")},
      {"an archive with a second name", "I\tv.qrv\tsrc\te\n", update, game, kF, {{'U', "v.qrv", kRefused}}, {}, 0, 0, {},
       kWhole, nullptr, {}, link(LinkKind::SecondName, "v.qrv", "victim.qrv")},
      {"an up-to-date archive with a second name", "I\tv.qrv\tsrc\te\n", {{"src", "outside entry"}}, game, kD0, {}, {},
       0, 0, {}, kWhole, nullptr, {}, link(LinkKind::SecondName, "v.qrv", "victim.qrv")},
      {"a log with a second name", "C\tnew.txt\n", {{"new.txt", "n"}}, {}, kD1, {}, {{"new.txt", "n"}}, 1, 0, {}, kWhole,
       nullptr, {}, link(LinkKind::SecondName, "Setup.log", "victim.txt")},
      {"a loose target with a second name is replaced by its name", "R\tt.txt\n", update, {}, kD1, {},
       {{"t.txt", "new"}}, 1, 0, {}, kWhole, nullptr, {}, link(LinkKind::SecondName, "t.txt", "victim.txt")},
      {"... but never written in place", "R\tt.txt\n", update, {}, kF, {{'C', "t.txt", kRefused}}, {}, 0, 0,
       {FaultPlan::kOpens, 1, Spoil::Fail, true, ".~up", plat::kErrorAccessDenied}, kWhole, nullptr, {},
       link(LinkKind::SecondName, "t.txt", "victim.txt")},
  };
#ifndef _WIN32
  for (const Scenario& row : std::vector<Scenario>{
           {"a file link as the target", "R\tt.txt\n", update, {}, kF, {{'C', "t.txt", kRefused}}, {}, 0, 0, {}, kWhole,
            nullptr, {}, link(LinkKind::File, "t.txt", "victim.txt")},
           {"a file link as the temporary file: written in place", "R\tt.txt\n", update, game, kD1, {},
            {{"t.txt", "new"}}, 1, 0, {}, kWhole, nullptr, {}, link(LinkKind::File, "t.txt.~up", "victim.txt")},
           {"a file link as the log", "C\tnew.txt\n", {{"new.txt", "n"}}, {}, kD1, {}, {{"new.txt", "n"}}, 1, 0, {},
            kWhole, nullptr, {}, link(LinkKind::File, "Setup.log", "victim.txt")},
           {"a file link as the archive", "I\tv.qrv\tsrc\te\n", update, {}, kF, {{'U', "v.qrv", kRefused}}, {}, 0, 0,
            {}, kWhole, nullptr, {}, link(LinkKind::File, "v.qrv", "victim.qrv")}})
    rows.push_back(row);
#endif
  play(rows);
}

// Nothing the run reads comes through a link in the update folder: a
// folder on the way, a source, a package, the list. At verification such a
// source is missing (S) and such a list unreadable (L); one that appears
// later gets the prompt (0x780). No byte from beside the update folder
// reaches the game. (Wine shows folder links, not file links: those rows
// run natively only.)
TEST_F(RunTest, NothingReadComesThroughALinkInTheUpdateFolder) {
  const auto link = [](LinkKind kind, const std::string& name, const std::string& to) {
    return [=](const std::string& update, const std::string&) {
      return makeLink(kind, update + name, besideTheGame(to));
    };
  };
  const uint32_t kRefused = plat::kErrorCantAccessFile;
  const Files game = {{"game.qrv", arc({{"e", "old"}})}};
  std::vector<Scenario> rows = {
      {"a loose source through a folder link", "C\tdata\\keep.txt\n", {}, game, kS, {}, {}, 0, 0, {}, kWhole, nullptr,
       {}, nullptr, link(LinkKind::Folder, "data", "outside\\folder")},
      {"an I source through a folder link", "I\tgame.qrv\tdata\\keep.txt\te\n", {}, game, kS, {}, {}, 0, 0, {}, kWhole,
       nullptr, {}, nullptr, link(LinkKind::Folder, "data", "outside\\folder")},
      {"a package behind a folder link", "P\tpak\\victim.qrv\nC\te\n", {}, game, kS, {}, {}, 0, 0, {}, kWhole, nullptr,
       {}, nullptr, link(LinkKind::Folder, "pak", "outside")},
      {"... lists nothing: the loose file comes next", "P\tpak\\victim.qrv\nC\te\n", {{"e", "loose"}}, {}, kD1, {},
       {{"e", "loose"}}, 1, 0, {}, kWhole, nullptr, {}, nullptr, link(LinkKind::Folder, "pak", "outside")},
      // A link that appears after verification, while a prompt is up (the
      // run then holds no folder of the update below its root).
      {"a folder link that appears later", "C\ta.dat\nC\tdata\\keep.txt\n", {{"a.dat", "new a"}, {"data\\keep.txt", "new"}},
       {}, kF, {{'C', "a.dat", plat::kErrorDiskFull}, {'C', "data\\keep.txt", kRefused}}, {{"a.dat", "new a"}}, 1, 1,
       {FaultPlan::kOpens, 1, Spoil::Fail, false, "a.dat", plat::kErrorDiskFull}, kWhole, [](int prompt) {
         if (prompt != 1) return;
         EXPECT_TRUE(removeTree(besideTheGame("update\\data")) &&
                     makeLink(LinkKind::Folder, besideTheGame("update\\data"), besideTheGame("outside\\folder")));
       }},
  };
#ifndef _WIN32
  for (const Scenario& row : std::vector<Scenario>{
           {"a source that is a link", "C\tv.txt\n", {}, {}, kS, {}, {}, 0, 0, {}, kWhole, nullptr, {}, nullptr,
            link(LinkKind::File, "v.txt", "outside\\victim.txt")},
           {"an I source that is a link", "I\tgame.qrv\tv.txt\te\n", {}, game, kS, {}, {}, 0, 0, {}, kWhole, nullptr, {},
            nullptr, link(LinkKind::File, "v.txt", "outside\\victim.txt")},
           {"a package that is a link", "P\tv.qrv\nC\te\n", {}, {}, kS, {}, {}, 0, 0, {}, kWhole, nullptr, {}, nullptr,
            link(LinkKind::File, "v.qrv", "outside\\victim.qrv")},
           {"the list as a link, even to a list beside it", kAbsent, {{"real.lst", "C\ta.dat\n"}, {"a.dat", "a"}}, {}, kL, {},
            {}, 0, 0, {}, kWhole, nullptr, {}, nullptr, link(LinkKind::File, "UpDate.lst", "update\\real.lst")},
           {"a file link that appears later, through the fault plan", "C\ta.dat\nC\tv.txt\n",
            {{"a.dat", "new a"}, {"v.txt", "new v"}}, {}, kF, {{'C', "v.txt", kRefused}}, {{"a.dat", "new a"}}, 1, 0,
            {FaultPlan::kOpens, 1, Spoil::Act, false, "a.dat", 0, [] {
               EXPECT_TRUE(removeTree(besideTheGame("update\\v.txt")) &&
                           makeLink(LinkKind::File, besideTheGame("update\\v.txt"), besideTheGame("outside\\victim.txt")));
             }}}})
    rows.push_back(row);
#endif
  play(rows);
}

// A file put in place keeps what the player sees of the old one: hidden
// and system on Windows, the mode bits on POSIX.
TEST_F(RunTest, AReplacedFileKeepsItsTraits) {
  deliver("t.dat", "new bytes");
  ASSERT_TRUE(writeFile(game_ / "t.dat", "old") && giveUnusualTraits(game_ / "t.dat"));
  const auto traitsOf = [](const std::string& path) {
    plat::File file;
    plat::FileTraits traits;
    EXPECT_TRUE(file.open(path.c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting) && file.traits(&traits));
    return traits.attributes;
  };
  uint32_t before = traitsOf(game_ / "t.dat");
  EXPECT_EQ(run("C\tt.dat\n"), 1u);
  EXPECT_EQ(readFileOrEmpty(game_ / "t.dat"), "new bytes");
  EXPECT_EQ(traitsOf(game_ / "t.dat"), before);
}

TEST_F(RunTest, TheBarMovesOncePerEntryAndPathsStayWithin255Bytes) {
  play({{"one entry", "E\n", {}, {}, kD0, {}, {}, 0, 0, {}, kWhole, nullptr, {0, 0, 1000}},
        {"three entries", "E\nN\nE\n", {}, {}, kD0, {}, {}, 0, 0, {}, kWhole, nullptr, {0, 0, 333, 666, 1000}},
        // Joined paths are refused, never cut: 255 bytes fit, 256 do not.
        {"255 bytes", "C\tsub\\<F>\n", {{"sub\\<F>", "fits"}}, {{"sub\\keep", ""}}, kD1, {}, {{"sub\\<F>", "fits"}}, 1},
        {"256 bytes", "C\ta.dat\nN\nC\tsub\\<F>g\n", {{"a.dat", "a"}, {"sub\\<F>g", "x"}}, {{"sub\\keep", ""}}, kT}});
  startOver();
  std::string list = "P\n";
  for (int i = 1; i < 38; ++i) list += "E\n";
  EXPECT_EQ(run(list), 1u);
  ASSERT_EQ(host_.positions().size(), 40u);
  EXPECT_EQ(host_.positions()[1 + 19], 499) << "1000.0 / 38 is held as a double before multiplying by 19";
  EXPECT_EQ(host_.callsOf(HostCall::SetProgressRange).at(0).second, 1000);
}

// CP932 text is cut and tested by characters: a trail byte 0x5C is no
// backslash.
TEST(Cp932Text, BackslashesAndCutsRespectDoubleByteCharacters) {
  const struct {
    std::string text;
    bool endsWithBackslash;
  } ends[] = {{"C:\\Game\\", true}, {"C:\\Game", false}, {"C:\\" + kSoHyou, false}, {"C:\\" + kSoHyou + "\\", true},
              {"\\", true}, {"", false}, {"\x83", false}, {"a\x83\\", false}, {"\x83\\\\", true}};
  for (const auto& sample : ends) EXPECT_EQ(endsWithBackslash(sample.text), sample.endsWithBackslash) << sample.text;
  EXPECT_EQ(cp932PrefixLength("a\x83", 2, 8), 2u) << "a lone lead byte at the end is one byte";
  std::string head = sjis("ファイルの更新中にエラーが発生しました") + "\n\nfilename:";
  EXPECT_EQ(fileErrorText("C:\\x.dat", 0x2BADF00Du), head + "C:\\x.dat\nerrorcode:2badf00d\nerrorcomment:")
      << "lower-case hex; no system text for this code";
  std::string longPath;
  for (int i = 0; i < 600; ++i) longPath += "\x95\x5c";
  // Far beyond the 1023 bytes: the head is 49 bytes, so with one byte more
  // before the double-byte characters the cut falls one byte earlier.
  for (size_t extra = 0; extra < 2; ++extra) {
    std::string path = std::string(extra, 'a') + longPath;
    EXPECT_EQ(fileErrorText(path.c_str(), 2), (head + path).substr(0, 1023 - extra));
  }
}

}  // namespace
