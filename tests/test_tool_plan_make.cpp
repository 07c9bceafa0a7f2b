// updtool plan and make against the updater itself: each dry run is
// followed by the real run behind the test host, which must do what the
// plan said; each made update is applied to a copy of the old tree, which
// must then hold every file and entry of the new one.
#include <cstdio>
#include <functional>

#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/run_messages.h"
#include "run/run_state.h"
#include "tests/support/fake_host.h"
#include "tests/support/fault_plan.h"
#include "tests/support/run_reset.h"
#include "tests/tool_test_helpers.h"
#include "tools/make_update.h"

namespace {

// The bytes of every file below a folder but the setup log.
uint64_t treeBytes(const std::string& folder) {
  std::vector<std::string> files;
  EXPECT_TRUE(listFilesBelow(folder, &files));
  uint64_t total = 0, size = 0;
  for (const std::string& file : files) total += file != "Setup.log" && fileSizeOf(folder + file, &size) ? size : 0;
  return total;
}

// prompt: the file-error prompt that the run met (and cancelled), if any.
struct RunOutcome { int changed; std::string message, prompt; };

// One whole run of the updater from `updateFolder` into `installFolder`.
RunOutcome applyUpdate(const std::string& updateFolder, const std::string& installFolder) {
  resetRunState();
  FakeHost host;
  host.installFolder = installFolder;
  runState.dialog = &host;
  CurrentDirectory inside(updateFolder);
  runUpdate(&runState.worker);
  std::vector<HostCall> shown = host.messages();
  return {runState.changedFileCount, shown.back().text, shown.size() > 1 ? shown.front().text : ""};
}

// Makes the file `size` bytes long by writing its last byte: sparse where
// the file system allows it. False when there is no room for it.
std::function<bool(const std::string& game)> grown(const char* name, uint64_t size) {
  return [=](const std::string& game) {
    plat::File file;
    return file.open((game + name).c_str(), plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting) &&
           file.seek(static_cast<int64_t>(size - 1), plat::SeekOrigin::Begin) && file.writeExactly("z", 1);
  };
}

std::string pak(const ArchiveEntries& entries) { return archiveBytes(entries); }

// Per row, plan's actions, changes, growth and final message are what the
// run then does, refusals included (a failing entry comes last: the run
// cancels its prompt there), and the prompt's code is the one plan names.
TEST(ToolPlan, PredictionsEqualTheRun) {
  TempFolder update;
  plant(update.path(), {{"new.txt", "new"}, {"same.txt", "same"}, {"a.txt", "a"}, {"missing.txt", "m"},
                        {"sub/new.txt", "n"}, {arg(kSoHyou) + "/" + arg(kSoHyou) + "/n.txt", "deep"},
                        {"block/x.txt", "x"}, {"src.bin", std::string(20, 's')}, {"src2.bin", std::string(20, 't')},
                        {arg(kSoHyou) + ".txt", "brand"}, {"x.qrv", pak({{"e", "x"}})}, {"b.txt", "bee"},
                        {"UpDate.pak", pak({{"a.txt", "new a"}, {"one2", "one two"}, {"data\\gone.txt", "x"}})}});
  const Tree alpha = {{"data.pak", pak({{"a.txt", "alpha"}})}};
  // The last record names bytes of the header: a change would rewrite them.
  std::string nameInHeader = pak({{"a.txt", "alpha"}, {"b", "beta"}});
  nameInHeader.replace(nameInHeader.size() - 20, 4, u32(16));
  // prepare: false when there is no room for it here; said: in the plan, in order; promptCode 0: no prompt.
  struct Case { std::string list; Tree installed; std::function<bool(const std::string& game)> prepare;
                std::vector<std::string> actions; int changes; const char* message; std::vector<std::string> said;
                uint32_t promptCode; };
  std::vector<Case> cases = {
      // The second add finds the entry that the first one added, and no
      // other name that the run wrote before it.
      {"P\tUpDate.pak\r\nR\ta.txt\r\nC\tsame.txt\r\nC\t" + kSoHyou + ".txt\r\nI\tdata.pak\tone2\tONE.DAT\r\n"
       "I\tdata.pak\tsame.txt\tone.new\r\nI\tdata.pak\tsame.txt\tone.new\r\nN\r\n",
       {{"a.txt", "old"}, {"same.txt", "same"}, {"Setup.log", "F\tx\r\n"}, {"data.pak", pak({{"one.dat", "1"}})}},
       nullptr, {"select-package", "replace", "identical", "create", "replace-entry", "add-entry", "identical",
       "checking-off"}, 4, kMessageUpdateDone, {R"("verification":{"passed":true})", "recorded in Setup.log"}, 0},
      {"C\tsame.txt\r\n", {{"same.txt", "same"}}, nullptr, {"identical"}, 0, kMessageAllUpToDate, {}, 0},
      {"C\tnew.txt\r\n\r\nR\tabsent.txt\r\n", {}, nullptr, {}, 0, kMessageSourceMissing,
       {R"("pass":1,"entry":2,"line":3,"path":"absent.txt")"}, 0},
      {"; 1.1\r\nP\tUpDate.pak\r\nC\tnew.txt\r\nR\tdata\\gone.txt\r\n", {}, nullptr, {}, 0, kMessageTargetMissing,
       {R"("pass":2,"entry":3,"line":4,"path":")", R"(data\\gone.txt","reason")"}, 0},
      {"N\r\nI\tplain.pak\tsrc.bin\te\r\nE\r\nI\tplain.pak\tsrc.bin\te\r\n", {{"plain.pak", "no archive"}}, nullptr, {},
       0, kMessageTargetDamaged, {R"("pass":3,"entry":4,"line":4,"path":")", R"(plain.pak","reason")"}, 0},
      {"x\r\n", {}, nullptr, {}, 0, kMessageListUnreadable, {R"("passed":false)"}, 0},
      {"C\tnew.txt\r\nR\t..\\escape.txt\r\n", {}, nullptr, {}, 0, kMessageListUnreadable,
       {R"("passed":false)", R"(refused at line 2: the path \"..\\escape.txt\")"}, 0},
      // N lets the missing target through the verification; the apply pass
      // fails on it, and its prompt's Cancel ends the run.
      {"N\r\nR\tmissing.txt\r\nC\ta.txt\r\n", {{"a.txt", "old"}}, nullptr, {"checking-off", "fails"}, 0,
       kMessageUpdateFailed, {"does not exist"}, plat::kErrorFileNotFound},
      // An archive that the run made a moment before takes entries.
      {"N\r\nC\tx.qrv\r\nI\tx.qrv\tb.txt\tb.txt\r\n", {}, nullptr, {"checking-off", "create", "add-entry"}, 2,
       kMessageUpdateDone, {}, 0},
      // New files bring their folders; a file where one must be stops the entry.
      {"C\tsub\\new.txt\r\nC\t" + kSoHyou + "\\" + kSoHyou + "\\n.txt\r\n", {{"Setup.log", ""}}, nullptr,
       {"create", "create"}, 2, kMessageUpdateDone,
       {R"(makes the folder \"sub\")", R"(makes the folders \")" + arg(kSoHyou) + R"(\", \")" + arg(kSoHyou) + R"(\\)" +
                                             arg(kSoHyou) + R"(\"; recorded in Setup.log)"}, 0},
      {"C\tblock\\x.txt\r\n", {{"block", "a file"}}, nullptr, {"fails"}, 0, kMessageUpdateFailed,
       {R"(stands where the folder must be made)"}, plat::kErrorAlreadyExists},
      {"C\tnew.txt\r\nI\tdata.pak\tsrc.bin\ta.txt\r\n", {{"data.pak", nameInHeader}}, nullptr, {"create", "fails"}, 1,
       kMessageUpdateFailed, {"layout would let the change alter"}, kErrorInvalidData},
      {"I\tdata.pak\tsrc.bin\tnew.txt\r\n", alpha, grown("data.pak", 1u << 31), {"fails"}, 0, kMessageUpdateFailed, {},
       plat::kErrorFileTooLarge},
      // The first replacement fits; the archive it leaves cannot take the second.
      {"I\tdata.pak\tsrc.bin\ta.txt\r\nI\tdata.pak\tsrc2.bin\ta.txt\r\n", alpha, grown("data.pak", 0x7FFFFFFFu - 30),
       {"replace-entry", "fails"}, 1, kMessageUpdateFailed, {}, plat::kErrorFileTooLarge},
      // A target of 4 GiB or more differs from every source.
      {"C\tnew.txt\r\n", {{"new.txt", "o"}}, grown("new.txt", (1ull << 32) + 1), {"replace"}, 1, kMessageUpdateDone, {},
       0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.list);
    TempFolder game;
    ASSERT_TRUE(writeFile(update / "UpDate.lst", test.list));
    plant(game.path(), test.installed);
    if (test.prepare && !test.prepare(game.path())) continue;  // no room for the file here
    uint64_t before = treeBytes(game.path());
    int exit = test.message == kMessageUpdateDone || test.message == kMessageAllUpToDate ? kExitFine : kExitProblems;
    const std::map<std::string, std::string> installed = filesBelow(game.path()), delivered = filesBelow(update.path());
    ToolOutput plan = tool({"--json", "plan", "--install", arg(game.path()), arg(update.path())}, exit);
    EXPECT_TRUE(filesBelow(game.path()) == installed && filesBelow(update.path()) == delivered)
        << "the plan changes no file of either folder";
    EXPECT_EQ(valuesOf(plan.out, "action"), test.actions) << plan.out;
    expectInOrder(plan.out, test.said);
    int64_t growth = 0;
    for (const std::string& value : valuesOf(plan.out, "growth")) growth += std::stoll(value);

    RunOutcome run = applyUpdate(update.path(), game.path());
    EXPECT_EQ(run.changed, test.changes);
    EXPECT_EQ(run.message, test.message);
    expectInOrder(plan.out, {R"("changes":)" + std::to_string(run.changed) + ",", jsonName(run.message)});
    EXPECT_EQ(static_cast<int64_t>(treeBytes(game.path()) - before), growth);
    EXPECT_EQ(run.prompt.empty(), test.promptCode == 0) << run.prompt;
    if (test.promptCode == 0) continue;
    // The prompt shows its code in hexadecimal, plan in decimal.
    char hex[32];
    std::snprintf(hex, sizeof hex, "errorcode:%x\n", test.promptCode);
    EXPECT_NE(run.prompt.find(hex), std::string::npos) << run.prompt;
    EXPECT_NE(plan.out.find("(error " + std::to_string(test.promptCode)), std::string::npos) << plan.out;
  }
  // The last row's list without the install folder: the sources are checked, the outcome is not known.
  expectInOrder(tool({"--json", "plan", arg(update.path())}, kExitFine).out,
                {R"("passed":true)", R"("steps":[])", R"("changes":null,"caption":null,"message":null)"});
}

// A source or a package behind a folder link in the update folder is
// missing to plan as to the run: both stop in verification with S, and the
// package's loose stand-in is taken where there is one.
TEST(ToolPlan, SourcesBehindALinkAreMissing) {
  TempFolder root, game;
  const std::string update = root / "update\\";
  plant(root.path(), {{"outside/x.txt", "outside"}, {"outside/p.pak", pak({{"y.txt", "packed outside"}})},
                      {"update/y.txt", "loose y"}});
  if (!makeLink(LinkKind::Folder, update + "data", root / "outside")) return;
  const struct {
    std::string list;
    const char* message;
  } cases[] = {{"C\tdata\\x.txt\r\n", kMessageSourceMissing},
               {"P\tdata\\p.pak\r\nC\tz.txt\r\n", kMessageSourceMissing},
               {"P\tdata\\p.pak\r\nC\ty.txt\r\n", kMessageUpdateDone}};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.list);
    ASSERT_TRUE(writeFile(update + "UpDate.lst", test.list));
    ToolOutput plan = tool({"--json", "plan", "--install", arg(game.path()), arg(update)},
                           test.message == kMessageUpdateDone ? kExitFine : kExitProblems);
    EXPECT_NE(plan.out.find(jsonName(test.message)), std::string::npos) << plan.out;
    EXPECT_EQ(applyUpdate(update, game.path()).message, test.message);
  }
  EXPECT_EQ(readFileOrEmpty(game / "y.txt"), "loose y");
}

// Per row, make's exit, report and exact list. Where a list is written it
// passes list check and plan, and applied to a copy of the old tree it does
// what plan said; when make found no problem, the copy then holds the new
// tree: make finds nothing between them, not a file, not an entry.
TEST(ToolMake, TheUpdateTurnsTheOldTreeIntoTheNew) {
  const std::string deep = "data/" + arg(kSoHyou) + "/", so = "data\\" + kSoHyou, cafe = "Caf\xC3\xA9.txt";
  const Tree oldGame = {{"same.txt", "same"}, {"Setup.log", "F\told\r\n"}, {"game.exe", "MZ old"},
                        {deep + "voice", "a"}, {"fake.pak", "QRV001 but nothing more"},
                        {"data/script.pak", pak({{"scene\\01.txt", "o"}, {"Scene\\02.txt", "k"}, {kSoHyou, "p"}})}};
  // The voice keeps its size; the archive names an entry in other case, the
  // same entry to it; a file that only looks like an archive goes whole.
  const std::string newFolders = arg("\x90\x56") + "/" + arg(kSoHyou) + "/";  // 新/ソ表/, both new
  const Tree newGame = {{"same.txt", "same"}, {"Setup.log", "F\tnew\r\n"}, {"game.exe", "MZ new, longer"},
                        {deep + "voice", "b"}, {deep + "added.txt", "new file in an old folder"}, {cafe, "left out"},
                        {newFolders + "bgm.ogg", "in new folders"},
                        {"fake.pak", "QRV001 and still nothing"},
                        {"data/script.pak", pak({{"SCENE\\01.TXT", "new"}, {"scene\\02.txt", "k"}, {kSoHyou, "pic"},
                                                 {"scene\\03.txt", "added entry"}})}};
  const std::string script = "I\tdata\\script.pak\tdata\\script.pak\\";
  // list: empty when none is written.
  struct Case { std::vector<std::string> make; Tree oldTree, newTree; int exit; std::string list;
                std::vector<std::string> said; };
  std::vector<Case> cases = {
      {{"make", "old", "new", "out"}, oldGame, newGame, kExitProblems, "",
       {"problem: \"" + cafe + "\": code page 932", "nothing is written"}},
      {{"make", "--skip-unnameable", "old", "new", "out"}, oldGame, newGame, kExitMadeWithOmissions,
       "P\tUpDate.pak\r\nC\t" + so + "\\added.txt\r\nR\t" + so + "\\voice\r\nR\tfake.pak\r\nR\tgame.exe\r\n" +
       "C\t\x90\x56\\" + kSoHyou + "\\bgm.ogg\r\n" + script +
       "SCENE\\01.TXT\tSCENE\\01.TXT\r\n" + script + kSoHyou + "\t" + kSoHyou + "\r\n" + script +
       "scene\\03.txt\tscene\\03.txt\r\n",
       {"added.txt  (new, 25 bytes, loose)", "skipped: \"" + cafe + "\"", ", the updater SoreluneUpdate.exe;"}},
      {{"make", "--json", "--updater", "Other.exe", "old", "new", "out"},
       {{"removed.txt", "x"}, {"a.pak", pak({{"gone.dat", "1"}, {"stays.dat", "2"}})}},
       {{"new/file.txt", "x"}, {"empty.txt", ""}, {"with space.txt", "x"}, {"fine.txt", "x"},
        {"a.pak", pak({{"stays.dat", "22"}})}},
       kExitMadeWithOmissions,
       "P\tUpDate.pak\r\nC\tfine.txt\r\nC\tnew\\file.txt\r\nI\ta.pak\ta.pak\\stays.dat\tstays.dat\r\n",
       {R"("updater":"Other.exe")", R"(\"with space.txt\")", "white space", R"(\"empty.txt\")",
        "does not create an empty file", R"(\"removed.txt\")", "cannot remove files",
        R"(\"a.pak\": the entry \"gone.dat\")", "cannot remove entries", R"("fault":false)"}},
  };
#ifndef _WIN32
  // Names CP932 writes with the code page's other character (Windows cannot
  // open them through the code page at all). The installed 〜o keeps the
  // name it has on disk: the run must find it there.
  cases.push_back({{"make", "old", "new", "out"}, {{"\xE3\x80\x9Co", "old"}},
                   {{"\xE3\x80\x9Co", "new, longer"}, {"\xE3\x80\x9Cw", "w"},
                    {"\xE2\x80\x96\xE2\x88\x92\xC2\xA2\xC2\xA3\xC2\xAC", "s"}}, kExitFine,
                   "P\tUpDate.pak\r\nR\t\x81\x60o\r\nC\t\x81\x60w\r\nC\t\x81\x61\x81\x7C\x81\x91\x81\x92\x81\xCA\r\n",
                   {"(U+301C becomes U+FF5E)", "(U+2016 becomes U+2225, U+2212 becomes U+FF0D, "
                    "U+00A2 becomes U+FFE0, U+00A3 becomes U+FFE1, U+00AC becomes U+FFE2)"}});
#endif
  for (const Case& test : cases) {
    SCOPED_TRACE(test.said[0]);
    TempFolder work;
    CurrentDirectory here(work.path());
    plant(work.path(), {{"bin/SoreluneUpdate.exe", "MZ beside"}, {"Other.exe", "MZ named"}});
    for (const char* tree : {"old\\", "game\\"}) plant(work / tree, test.oldTree);
    plant(work / "new\\", test.newTree);
    ToolOutput made;
    made.programFolder = work / "bin\\";
    std::string progress;
    made.progress = [&](const std::string& text) { progress += text; };
    EXPECT_EQ(runTool(test.make, &made), test.exit) << made.out << made.err;
    expectInOrder(made.out, test.said);
    // Progress goes to a terminal's line, never into the report, never under --json.
    EXPECT_EQ(progress.empty(), made.json);
    EXPECT_EQ(made.out.find('\r'), std::string::npos);
    EXPECT_EQ(readFileOrEmpty(work / "out\\UpDate.lst"), test.list);
    if (test.list.empty()) continue;
    EXPECT_EQ(readFileOrEmpty(work / (made.json ? "out\\Other.exe" : "out\\SoreluneUpdate.exe")),
              made.json ? "MZ named" : "MZ beside");
    tool({"list", "check", "out/UpDate.lst"}, kExitFine);
    ToolOutput plan = tool({"--json", "plan", "--install", "game", "out"}, kExitFine);
    RunOutcome run = applyUpdate(work / "out\\", work / "game\\");
    EXPECT_EQ(run.message, kMessageUpdateDone);
    EXPECT_EQ(valuesOf(plan.out, "changes"), std::vector<std::string>{std::to_string(run.changed)});
    if (test.exit == kExitFine)
      expectInOrder(tool({"make", "--skip-unnameable", "game", "new", "o2"}, kExitProblems).out, {"nothing to update"});
  }
}

// A write of make, or an open of what it writes, that fails at any point
// (a loose file, a package entry, a name shared with another entry, the
// index, the list, the updater) is an I/O error with the system's own
// code: never an update that looks made. A read that fails stops make, or
// the proof's second try passes it: never another update, never a fault
// of make.
TEST(ToolMake, AFailedCallIsAnErrorWhereverItComes) {
  TempFolder work;
  CurrentDirectory here(work.path());
  plant(work.path(), {{"bin/SoreluneUpdate.exe", "MZ beside"}, {"old/a.txt", "1"}, {"old/b.pak", pak({{"e", "1"}})}});
  plant(work / "new\\", {{"a.txt", "same new"}, {"c.txt", "same new"}, {"d.txt", "loose and longer"},
                         {"b.pak", pak({{"e", "same new"}, {"f", "2"}})}});
  ToolOutput clean;
  clean.programFolder = work / "bin\\";
  ASSERT_EQ(runTool({"make", "old", "new", "made-clean"}, &clean), kExitFine);
  for (unsigned calls : {FaultPlan::kReads, FaultPlan::kWrites, FaultPlan::kOpens}) {
    for (int k = 1;; ++k) {
      SCOPED_TRACE(std::to_string(calls) + ": " + std::to_string(k));
      ToolOutput made;
      made.programFolder = work / "bin\\";
      FaultPlan failing(calls, k, FaultPlan::Spoil::Fail);
      // Opens of what make writes, each refused with its own code.
      if (calls == FaultPlan::kOpens) failing.onlyOpens("made-", true).withError(plat::kErrorSharingViolation);
      std::string folder = "made-" + std::to_string(calls) + "-" + std::to_string(k);
      int exit = runTool({"make", "old", "new", folder}, &made);
      if (!failing.reached()) {
        EXPECT_EQ(exit, kExitFine) << made.out << made.err;
        EXPECT_GT(k, 5);
        break;
      }
      if (calls == FaultPlan::kReads) {
        plat::FileSystemInUse unspoiled(plat::systemFiles());
        bool sameUpdate = filesBelow(work / (folder + "\\")) == filesBelow(work / "made-clean\\");
        EXPECT_TRUE(exit == kExitUsage || sameUpdate) << made.out;
        if (exit == kExitUsage) expectInOrder(made.err, {"updtool: cannot read ", ": error"});
        continue;
      }
      EXPECT_EQ(exit, kExitUsage) << made.out;
      expectInOrder(made.err, {"updtool: cannot write ", calls == FaultPlan::kOpens ? ": error 32" : ": error"});
    }
  }
}

// One folder for three old trees: each, applied to a copy of it, ends as
// NEW_DIR but for what make named for it, and a second apply finds nothing
// to do. Among the trees: a file changed and changed back, one dropped in
// a middle version and back changed, an archive new in a middle version,
// entries changed back, new folders with Japanese names, and a file that an
// old tree has and NEW_DIR lacks.
TEST(ToolMake, OneFolderForSeveralOldTrees) {
  TempFolder work;
  CurrentDirectory here(work.path());
  const std::string deep = arg("\x90\x56") + "/" + arg(kSoHyou) + "/";  // 新/ソ表/
  const Tree v1 = {{"back.txt", "orig"}, {"drop.txt", "x"}, {"gone.txt", "old only"},
                   {"data.qrv", pak({{"e1", "1"}, {"e2", "a"}})}};
  const Tree v2 = {{"back.txt", "changed"}, {"mid.qrv", pak({{"m", "2"}})}, {"data.qrv", pak({{"e1", "2"}, {"e2", "a"}})}};
  const Tree v3 = {{"back.txt", "orig"}, {"drop.txt", "x"}, {"mid.qrv", pak({{"m", "3"}})},
                   {"data.qrv", pak({{"e1", "1"}, {"e2", "b"}})}};
  const Tree v4 = {{"back.txt", "orig"}, {"drop.txt", "y"}, {"mid.qrv", pak({{"m", "4"}})}, {deep + "bgm.ogg", "music"},
                   {"data.qrv", pak({{"e1", "1"}, {"e2", "c"}, {"e3", "new entry"}})}};
  int n = 1;
  for (const Tree& tree : {v1, v2, v3, v4}) plant(work / ("v" + std::to_string(n++) + "\\"), tree);
  ToolOutput made = tool({"make", "v1", "v2", "v3", "v4", "out"}, kExitMadeWithOmissions);
  expectInOrder(made.out, {"R back.txt", "C drop.txt", "C mid.qrv", "bgm.ogg  (new, 5 bytes",
                           "I data.qrv data.qrv\\e1 e1", "I data.qrv data.qrv\\e2 e2", "I data.qrv data.qrv\\e3 e3",
                           "problem for v1: \"gone.txt\" is gone", "proof: v1: extra gone.txt",
                           "proof: v2 ends equal to NEW_DIR", "proof: v3 ends equal to NEW_DIR"});
  for (const char* old : {"v1", "v2", "v3"}) {
    SCOPED_TRACE(old);
    std::string copy = std::string("copy-") + old;
    int m = old[1] - '1';
    plant(work / (copy + "\\"), std::vector<Tree>{v1, v2, v3}[m]);
    expectInOrder(tool({"apply", "--install", copy, "out"}, kExitFine).out, {arg(kMessageUpdateDone)});
    ToolOutput compared = tool({"compare", copy, "v4"}, m == 0 ? kExitProblems : kExitFine);
    EXPECT_EQ(compared.out, m == 0 ? "extra gone.txt\n" + copy + " differs from v4: 1 difference\n"
                                   : copy + " is equal to v4: 0 differences\n");
    expectInOrder(tool({"apply", "--install", copy, "out"}, kExitFine).out, {arg(kMessageAllUpToDate)});
  }
  // 600 changed entries of one archive: it goes whole, and the list fits;
  // forced into entries, the list is over by 89.
  ArchiveEntries many, changed;
  for (int i = 0; i < 600; ++i) {
    many.push_back({"e" + std::to_string(i), "old " + std::to_string(i)});
    changed.push_back({"e" + std::to_string(i), "new " + std::to_string(i)});
  }
  plant(work / "big-old\\", {{"big.qrv", pak(many)}});
  plant(work / "big-new\\", {{"big.qrv", pak(changed)}});
  expectInOrder(tool({"make", "big-old", "big-new", "big-out"}, kExitFine).out,
                {"R big.qrv", "600 entries differ", "whole", "big-old ends equal"});
  expectInOrder(tool({"make", "--entries-only", "big-old", "big-new", "big-out2"}, kExitProblems).out,
                {"601 entries, 89 more than the 512", "nothing written"});
}

}  // namespace
