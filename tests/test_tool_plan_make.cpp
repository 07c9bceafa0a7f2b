// updtool plan and make: the dry run names where the updater would stop
// and predicts what the real run then does; an update made from two trees
// passes the dry run and, applied by the updater itself behind the test
// host, turns a copy of the old tree into the new one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive_builder.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/run_messages.h"
#include "run/run_state.h"
#include "tests/support/fake_host.h"
#include "tests/support/run_reset.h"
#include "tests/support/test_files.h"
#include "tools/archive_commands.h"
#include "tools/tool_common.h"

namespace {

std::string arg(const std::string& cp932) { return utf8Of(cp932); }

// A path as the tool takes it from the command line and shows it.
std::string toolPath(const std::string& cp932) {
  std::string path;
  EXPECT_TRUE(argumentPath(arg(cp932), &path));
  return path;
}

// Every file below a folder with its bytes.
std::map<std::string, std::string> snapshot(const std::string& folder) {
  std::vector<std::string> files;
  EXPECT_TRUE(listFilesBelow(folder, &files));
  std::map<std::string, std::string> contents;
  for (const std::string& file : files) contents[file] = readFileOrEmpty(folder + file);
  return contents;
}

// Writes each file below `folder` (whose subfolders exist).
void put(const std::string& folder, const std::vector<std::pair<std::string, std::string>>& files) {
  for (const auto& file : files) ASSERT_TRUE(writeFile(folder + file.first, file.second)) << file.first;
}

void copyTree(const std::string& from, const std::string& to) {
  for (const auto& file : snapshot(from)) {
    ASSERT_TRUE(makeFolders(to + parentFolder(file.first)));
    ASSERT_TRUE(writeFile(to + file.first, file.second));
  }
}

// One whole run of the updater from `updateFolder` into `installFolder`,
// behind the scripted dialog; returns the final message's text.
struct RunOutcome {
  uint32_t result = 0;
  int changed = 0;
  std::string message;
  std::string prompt;  // the first file-error prompt, cancelled
};

RunOutcome applyUpdate(const std::string& updateFolder, const std::string& installFolder) {
  static int dialogWindow;
  resetRunState();
  FakeHost host;
  host.installFolder = installFolder;
  runState.dialog = &host;
  runState.dialogWindow = &dialogWindow;
  RunOutcome outcome;
  {
    CurrentDirectory inside(updateFolder);
    outcome.result = runUpdate(&runState.worker);
  }
  outcome.changed = runState.changedFileCount;
  std::vector<HostCall> messages = host.messages();
  if (!messages.empty()) outcome.message = messages.back().text;
  for (const HostCall& call : messages)
    if (call.style == kStyleFileError && outcome.prompt.empty()) outcome.prompt = call.text;
  resetRunState();
  return outcome;
}

// Asserts that each text occurs in `haystack`, in this order.
void expectInOrder(const std::string& haystack, const std::vector<std::string>& texts) {
  size_t at = 0;
  for (const std::string& text : texts) {
    size_t found = haystack.find(text, at);
    ASSERT_NE(found, std::string::npos) << "missing, in order: " << text << "\n" << haystack;
    at = found + text.size();
  }
}

class ToolPlan : public ::testing::Test {
 protected:
  void SetUp() override { resetRunState(); }
  void TearDown() override { resetRunState(); }

  ToolOutput plan(int expectedExit) {
    ToolOutput output;
    output.json = true;
    EXPECT_EQ(runTool({"plan", "--install", arg(game_.path()), arg(update_.path())}, &output), expectedExit)
        << output.out << output.err;
    return output;
  }

  TempFolder update_;
  TempFolder game_;
};

TEST_F(ToolPlan, NamesTheEntryLineAndFileWhereEachPassStops) {
  ASSERT_TRUE(writeFile(game_ / "plain.pak", "not an archive at all"));
  put(update_.path(), {{"new.txt", "new"}, {"src.bin", "entry"}});
  ASSERT_TRUE(writeArchiveFile((update_ / "UpDate.pak").c_str(), {{"data\\gone.txt", "x"}}));
  struct Case {
    std::string list;
    int pass;
    int line;
    std::string path;
    const char* message;
  };
  std::vector<Case> cases = {
      {"; update 1.1\r\nP\tUpDate.pak\r\nC\tnew.txt\r\nR\tdata\\gone.txt\r\n", 2, 4, toolPath(game_ / "data\\gone.txt"),
       kMessageTargetMissing},
      {"C\tnew.txt\r\n\r\nR\tmissing.txt\r\n", 1, 3, "missing.txt", kMessageSourceMissing},
      {"N\r\nI\tplain.pak\tsrc.bin\te\r\nE\r\nI\tplain.pak\tsrc.bin\te\r\n", 3, 4, toolPath(game_ / "plain.pak"),
       kMessageTargetDamaged},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.list);
    ASSERT_TRUE(writeFile(update_ / "UpDate.lst", test.list));
    ToolOutput output = plan(kExitProblems);
    // The updater applies nothing after a stop: no step, no change.
    expectInOrder(output.out, {"\"verification\":{\"passed\":false,\"pass\":" + std::to_string(test.pass),
                               "\"line\":" + std::to_string(test.line) + ",\"path\":" + jsonName(test.path),
                               "\"steps\":[],\"changes\":0,", "\"message\":" + jsonName(test.message)});
    // The updater itself stops with that message.
    EXPECT_EQ(applyUpdate(update_.path(), game_.path()).message, test.message);
  }
  ASSERT_TRUE(writeFile(update_ / "UpDate.lst", "x\r\n"));
  expectInOrder(plan(kExitProblems).out, {"\"message\":" + jsonName(kMessageListUnreadable)});
}

TEST_F(ToolPlan, PredictsEveryEntryChangingNothingAndTheRunAgrees) {
  put(game_.path(), {{"a.txt", "old"}, {"same.txt", "same"}, {"Setup.log", "F\tx\r\n"}});
  ASSERT_TRUE(writeArchiveFile((game_ / "data.pak").c_str(), {{"one.dat", "1"}, {"keep.dat", "k"}}));
  ASSERT_TRUE(writeArchiveFile((update_ / "UpDate.pak").c_str(), {{"a.txt", "new a"}, {"one2", "one two"}}));
  put(update_.path(), {{"same.txt", "same"}, {kSoHyou + ".txt", "brand"}});
  ASSERT_TRUE(writeFile(update_ / "UpDate.lst", "P\tUpDate.pak\r\nR\ta.txt\r\nC\tsame.txt\r\nC\t" + kSoHyou +
                                                   ".txt\r\nI\tdata.pak\tone2\tONE.DAT\r\nI\tdata.pak\tsame.txt\tnew.dat\r\n"
                                                   "I\tdata.pak\tsame.txt\tnew.dat\r\nN\r\n"));
  std::map<std::string, std::string> before = snapshot(game_.path());
  ToolOutput output = plan(kExitFine);
  expectInOrder(output.out, {"\"verification\":{\"passed\":true}",
                             "\"action\":\"select-package\"",
                             "\"action\":\"replace\",", "\"sourceBytes\":5,\"targetBytes\":3",
                             "\"action\":\"identical\",",
                             "\"action\":\"create\",", "\"note\":\"recorded in Setup.log\"",
                             "\"action\":\"replace-entry\",", "\"sourceBytes\":7,\"targetBytes\":1,\"growth\":7",
                             // name 7 + NUL, content 4, three records of 20 bytes
                             "\"action\":\"add-entry\",", "\"growth\":72",
                             "\"action\":\"identical\",",  // the entry the line before added
                             "\"action\":\"checking-off\"",
                             "\"changes\":4", "\"message\":" + jsonName(kMessageUpdateDone)});
  EXPECT_EQ(snapshot(game_.path()), before);  // a dry run writes nothing
  // Without the install folder the sources are checked, but the outcome is not known.
  ToolOutput sourcesOnly;
  sourcesOnly.json = true;
  EXPECT_EQ(runTool({"plan", arg(update_.path())}, &sourcesOnly), kExitFine) << sourcesOnly.err;
  expectInOrder(sourcesOnly.out, {"\"action\":\"source-only\"", "\"changes\":null,\"caption\":null,\"message\":null",
                                  "needs an install folder"});

  uint32_t archiveSize = static_cast<uint32_t>(readFileOrEmpty(game_ / "data.pak").size());
  RunOutcome run = applyUpdate(update_.path(), game_.path());
  EXPECT_EQ(run.result, 1u);
  EXPECT_EQ(run.changed, 4);
  EXPECT_EQ(run.message, kMessageUpdateDone);
  EXPECT_EQ(readFileOrEmpty(game_ / "data.pak").size(), archiveSize + 7 + 72);

  expectInOrder(plan(kExitFine).out, {"\"changes\":0", "\"message\":" + jsonName(kMessageAllUpToDate)});
}

TEST_F(ToolPlan, EntriesThatWouldMeetTheFilePromptAreProblems) {
  ASSERT_TRUE(makeFolder(update_ / "sub"));
  put(update_.path(), {{"a.txt", "a"}, {"missing.txt", "m"}, {"sub\\new.txt", "n"}});
  ASSERT_TRUE(writeFile(game_ / "a.txt", "old"));
  ASSERT_TRUE(makeReadOnly(game_ / "a.txt"));
  // N lets the missing target of R through the verification; the apply
  // pass then fails on it, and on the read-only target and the new folder.
  ASSERT_TRUE(writeFile(update_ / "UpDate.lst", "N\r\nR\tmissing.txt\r\nC\ta.txt\r\nC\tsub\\new.txt\r\n"));
  ToolOutput output = plan(kExitProblems);
  expectInOrder(output.out, {"\"verification\":{\"passed\":true}", "\"action\":\"fails\"", "does not exist",
                             "\"action\":\"fails\"", "read-only", "\"action\":\"fails\"", "makes no folders",
                             "\"message\":" + jsonName(kMessageUpdateFailed)});
}

// Makes the file `size` bytes long by writing its last byte: sparse where
// the file system allows it. False when there is no room for it.
bool growSparse(const std::string& path, uint64_t size) {
  plat::File file;
  return file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting) &&
         file.seek(static_cast<int64_t>(size - 1), plat::SeekOrigin::Begin) && file.writeExactly("z", 1);
}

std::string u32(uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), 4); }

// The dry run and the run take each entry's decision from one rule: what
// plan predicts per entry (the failing one with the prompt's code), the
// count of changes and the final message are what the run then does,
// refusals included. The failing entry comes last: the prompt is cancelled.
TEST_F(ToolPlan, PredictionsEqualTheRunIncludingItsRefusals) {
  // "b"'s record names bytes of the header: a change would rewrite them.
  const std::string nameInHeader = "QRV001" + std::string(10, '\0') + u32(41) + u32(40) + std::string("a.txt\0", 6) +
                                   "alpha" + std::string("b\0", 2) + "beta" + u32(24) + u32(6) + u32(30) + u32(5) +
                                   u32(0) + u32(16) + u32(4) + u32(37) + u32(4) + u32(0);
  struct Case {
    const char* title;
    std::string list;
    std::function<bool(const std::string& game)> prepare;  // false: no room here
    std::vector<std::string> actions;
    int changes;
    uint32_t promptCode;  // 0: no prompt
  };
  auto archiveOf = [](uint64_t size) {
    return [size](const std::string& game) {
      return writeArchiveFile((game + "data.pak").c_str(), {{"a.txt", "alpha"}}) && growSparse(game + "data.pak", size);
    };
  };
  std::vector<Case> cases = {
      {"layout that a change could alter", "C\tnew.txt\r\nI\tdata.pak\tsrc.bin\ta.txt\r\n",
       [&](const std::string& game) { return writeFile(game + "data.pak", nameInHeader); },
       {"create", "fails"}, 1, kErrorInvalidData},
      {"archive of 2 GiB", "I\tdata.pak\tsrc.bin\tnew.txt\r\n", archiveOf(0x80000000u), {"fails"}, 0,
       plat::kErrorFileTooLarge},
      // The first replacement fits; the archive it leaves cannot take the second.
      {"archive that two changes carry past 2 GiB", "I\tdata.pak\tsrc.bin\ta.txt\r\nI\tdata.pak\tsrc2.bin\ta.txt\r\n",
       archiveOf(0x7FFFFFFFu - 30), {"replace-entry", "fails"}, 1, plat::kErrorFileTooLarge},
      {"loose target of 4 GiB", "C\tnew.txt\r\n",
       [](const std::string& game) { return writeFile(game + "new.txt", "") && growSparse(game + "new.txt", (1ull << 32) + 1); },
       {"fails"}, 0, plat::kErrorFileTooLarge},
      {"no refusal", "C\tnew.txt\r\nI\tdata.pak\tsrc.bin\ta.txt\r\nI\tdata.pak\tsrc.bin\tb.txt\r\nI\tdata.pak\tsrc.bin\tb.txt\r\n",
       archiveOf(100), {"create", "replace-entry", "add-entry", "identical"}, 3, 0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.title);
    TempFolder game, update;
    put(update.path(), {{"new.txt", "new"}, {"src.bin", std::string(20, 's')}, {"src2.bin", std::string(20, 't')},
                        {"UpDate.lst", test.list}});
    if (!test.prepare(game.path())) {
      std::printf("skipped \"%s\": no room for the file here\n", test.title);
      continue;
    }
    ToolOutput output;
    output.json = true;
    runTool({"plan", "--install", arg(game.path()), arg(update.path())}, &output);
    std::vector<std::string> actions;
    for (size_t at = output.out.find("\"action\":\""); at != std::string::npos; at = output.out.find("\"action\":\"", at + 1))
      actions.push_back(output.out.substr(at + 10, output.out.find('"', at + 10) - at - 10));
    EXPECT_EQ(actions, test.actions) << output.out;
    RunOutcome run = applyUpdate(update.path(), game.path());
    expectInOrder(output.out, {"\"changes\":" + std::to_string(run.changed), "\"message\":" + jsonName(run.message)});
    EXPECT_EQ(run.changed, test.changes);
    if (test.promptCode == 0) {
      EXPECT_EQ(run.prompt, "");
      continue;
    }
    // The prompt shows its code in hexadecimal, plan in decimal.
    char hex[16];
    std::snprintf(hex, sizeof hex, "errorcode:%x\n", test.promptCode);
    EXPECT_NE(run.prompt.find(hex), std::string::npos) << run.prompt;
    EXPECT_NE(output.out.find("(error " + std::to_string(test.promptCode)), std::string::npos) << output.out;
  }
}

// Equal in every loose file, and in every entry of every archive.
void expectTreeHolds(const std::string& game, const std::string& wanted) {
  for (const auto& file : snapshot(wanted)) {
    SCOPED_TRACE(file.first);
    if (file.first == "Setup.log") continue;
    ASSERT_TRUE(fileIsPresent(game + file.first));
    if (!isSoundArchive(wanted + file.first)) {
      EXPECT_EQ(readFileOrEmpty(game + file.first), file.second);
      continue;
    }
    PackageArchive expected((wanted + file.first).c_str());
    PackageArchive actual((game + file.first).c_str());
    for (int32_t i = 0; i < expected.loadedEntryCount(); ++i) {
      const char* name = expected.loadedEntry(i)->name;
      Content want, have;
      ASSERT_TRUE(expected.readEntry(name, &want));
      ASSERT_TRUE(actual.readEntry(name, &have)) << name;
      EXPECT_TRUE(sameContent(want, have)) << name;
    }
  }
}

TEST(ToolMake, RoundTripThroughTheUpdaterMakesTheOldTreeNew) {
  resetRunState();
  TempFolder work;
  std::string oldTree = work / "old\\", newTree = work / "new\\", out = work / "out\\", game = work / "game\\";
  const std::string deep = "data\\" + kSoHyou + "\\";
  for (const std::string& tree : {oldTree, newTree}) {
    ASSERT_TRUE(makeFolder(tree + deep));
    put(tree, {{"same.txt", "unchanged"}, {"Setup.log", "F\tsomewhere\r\n"}});
  }
  // voice.ogg keeps its size and changes one byte.
  put(oldTree, {{"game.exe", "MZ old"}, {deep + "voice.ogg", "a"}});
  put(newTree,
      {{"game.exe", "MZ new and longer"}, {deep + "voice.ogg", "b"}, {deep + "added.txt", "new file in an old folder"}});
  ASSERT_TRUE(writeArchiveFile((oldTree + "data\\script.pak").c_str(),
                               {{"scene\\01.txt", "old scene"}, {"Scene\\02.txt", "kept"}, {kSoHyou + ".bmp", "pic"}}));
  // The new archive names one entry in other case: the same entry to the archive.
  ASSERT_TRUE(writeArchiveFile((newTree + "data\\script.pak").c_str(), {{"SCENE\\01.TXT", "new scene!"},
                                                                         {"scene\\02.txt", "kept"},
                                                                         {kSoHyou + ".bmp", "picture"},
                                                                         {"scene\\03.txt", "added entry"}}));
  // A file that only looks like an archive goes whole.
  put(oldTree, {{"fake.pak", "QRV001 but nothing more"}});
  put(newTree, {{"fake.pak", "QRV001 and still nothing"}});
  // Names code page 932 cannot write, and names it writes with another
  // character (U+301C WAVE DASH as U+FF5E, and the like).
  const std::string unnameable[] = {"Caf\xC3\xA9.txt", "\xED\x95\x9C\xEA\xB8\x80.txt", "song\xF0\x9F\x8E\xB5.ogg"};
  const std::string reshaped[] = {"\xE3\x80\x9Cwave.ogg", "\xE2\x88\x92minus.txt", "\xE2\x80\x96" "bar.txt",
                                  "\xC2\xA2\xC2\xA3\xC2\xACsigns.txt"};
  for (const std::string& name : unnameable) ASSERT_TRUE(writeFileNamedInUtf8(newTree, name, "left out"));
  for (const std::string& name : reshaped) ASSERT_TRUE(writeFileNamedInUtf8(newTree + deep, name, "new: " + name));
  const std::string waveDash = "\xE3\x80\x9Cold.ogg";
  ASSERT_TRUE(writeFileNamedInUtf8(oldTree, waveDash, "old wave"));
  ASSERT_TRUE(writeFileNamedInUtf8(newTree, waveDash, "new wave, longer"));

  // The files the update would lack stop it, each named, until the publisher leaves them out.
  ToolOutput refused;
  ASSERT_EQ(runTool({"make", arg(oldTree), arg(newTree), arg(out)}, &refused), kExitProblems) << refused.err;
  for (const std::string& name : unnameable) EXPECT_NE(refused.out.find("problem: \"" + name + "\""), std::string::npos) << name;
  EXPECT_FALSE(fileIsPresent(out + "UpDate.lst"));
  ToolOutput made;
  ASSERT_EQ(runTool({"make", "--skip-unnameable", arg(oldTree), arg(newTree), arg(out)}, &made), kExitFine)
      << made.out << made.err;
  for (const std::string& name : unnameable) EXPECT_NE(made.out.find("skipped: \"" + name + "\""), std::string::npos) << name;
#ifndef _WIN32
  // Windows itself cannot open these through code page 932: there they are unnameable.
  for (const std::string& name : reshaped) EXPECT_NE(made.out.find(name + "\" will be named"), std::string::npos) << name;
  EXPECT_NE(made.out.find("(U+301C becomes U+FF5E)"), std::string::npos);
#endif
  std::string list = readFileOrEmpty(out + "UpDate.lst");
  expectInOrder(list, {"P\tUpDate.pak\r\n", "C\tdata\\" + kSoHyou + "\\added.txt\r\n", "R\tdata\\" + kSoHyou + "\\voice.ogg\r\n"});
  EXPECT_NE(list.find("R\tfake.pak\r\n"), std::string::npos);
  EXPECT_NE(list.find("I\tdata\\script.pak\t"), std::string::npos);
  EXPECT_EQ(list.find("same.txt"), std::string::npos);
  EXPECT_EQ(list.find("Setup.log"), std::string::npos);
  EXPECT_EQ(list.find("02.txt"), std::string::npos);  // an unchanged entry is not sent
  // New files stay loose; replaced contents travel in the package.
  EXPECT_EQ(readFileOrEmpty(out + "data\\" + kSoHyou + "\\added.txt"), "new file in an old folder");
  EXPECT_FALSE(fileIsPresent(out + "game.exe"));

  ToolOutput checked;
  EXPECT_EQ(runTool({"list", "check", arg(out + "UpDate.lst")}, &checked), kExitFine) << checked.out;
  ToolOutput planned;
  EXPECT_EQ(runTool({"plan", "--install", arg(oldTree), arg(out)}, &planned), kExitFine) << planned.out;

  copyTree(oldTree, game);
#ifndef _WIN32
  // The installed file keeps the name it really has, as in the old tree.
  std::string waveDashCp932;
  ASSERT_TRUE(argumentPath(waveDash, &waveDashCp932));
  ASSERT_TRUE(plat::deleteFile((game + waveDashCp932).c_str()));
  ASSERT_TRUE(writeFileNamedInUtf8(game, waveDash, "old wave"));
#endif
  RunOutcome run = applyUpdate(out, game);
  EXPECT_EQ(run.result, 1u);
  EXPECT_EQ(run.message, kMessageUpdateDone);
  expectTreeHolds(game, newTree);
  // Each name is one file: the run changed the file it found, not a twin.
  std::vector<std::string> installed;
  ASSERT_TRUE(listFilesBelow(game, &installed));
  EXPECT_EQ(std::adjacent_find(installed.begin(), installed.end()), installed.end());
  // The case of a stored name stays as stored.
  PackageArchive script((game + "data\\script.pak").c_str());
  EXPECT_STREQ(script.loadedEntry(0)->name, "scene\\01.txt");
  // The created file is recorded in the game's setup log.
  EXPECT_NE(readFileOrEmpty(game + "Setup.log").find("added.txt"), std::string::npos);

  // A second run finds everything up to date.
  EXPECT_EQ(applyUpdate(out, game).message, kMessageAllUpToDate);
  ToolOutput again;
  EXPECT_EQ(runTool({"make", arg(game), arg(newTree), arg(work / "out2")}, &again), kExitProblems);
  EXPECT_NE(again.out.find("nothing to update"), std::string::npos) << again.out;
}

TEST(ToolMake, ReportsWhatTheUpdaterCannotDo) {
  TempFolder work;
  std::string oldTree = work / "old\\", newTree = work / "new\\";
  ASSERT_TRUE(makeFolder(oldTree));
  ASSERT_TRUE(makeFolder(newTree + "brand-new-folder"));
  put(oldTree, {{"removed.txt", "x"}});
  put(newTree, {{"brand-new-folder\\file.txt", "x"}, {"empty.txt", ""}, {"with space.txt", "x"}, {"fine.txt", "x"}});
  ASSERT_TRUE(writeArchiveFile((oldTree + "a.pak").c_str(), {{"gone.dat", "1"}, {"stays.dat", "2"}}));
  ASSERT_TRUE(writeArchiveFile((newTree + "a.pak").c_str(), {{"stays.dat", "22"}}));

  ToolOutput output;
  EXPECT_EQ(runTool({"make", arg(oldTree), arg(newTree), arg(work / "out")}, &output), kExitProblems);
  expectInOrder(output.out, {"problem: \"a.pak\"", "\"gone.dat\"", "cannot remove entries",
                             "problem: \"brand-new-folder\\file.txt\"", "makes no folders",
                             "problem: \"empty.txt\"", "does not create an empty file",
                             "problem: \"with space.txt\"", "white space",
                             "problem: \"removed.txt\"", "cannot remove files"});
  // What can be done is still written.
  std::string list = readFileOrEmpty(work / "out\\UpDate.lst");
  EXPECT_NE(list.find("C\tfine.txt\r\n"), std::string::npos) << list;
  EXPECT_NE(list.find("I\ta.pak\ta.pak\\stays.dat\tstays.dat\r\n"), std::string::npos) << list;

  ToolOutput refused;
  EXPECT_EQ(runTool({"make", arg(oldTree), arg(newTree), arg(work / "out")}, &refused), kExitUsage);  // not empty
}

// The folder make writes is ready to ship: it holds the updater. Progress
// goes only to a terminal's line, never into the report or under --json.
TEST(ToolMake, CopiesTheUpdaterAndShowsProgressOnlyWhereAsked) {
  TempFolder work;
  std::string oldTree = work / "old\\", newTree = work / "new\\";
  ASSERT_TRUE(makeFolder(oldTree));
  ASSERT_TRUE(makeFolder(newTree));
  ASSERT_TRUE(makeFolder(work / "bin"));
  put(oldTree, {{"game.exe", "old"}});
  put(newTree, {{"game.exe", "new"}, {"added.txt", "added"}});
  put(work.path(), {{"bin\\SoreluneUpdate.exe", "MZ beside the tool"}, {"Other.exe", "MZ named"}});

  struct Case {
    std::vector<std::string> options;
    bool json;
    std::string updater;  // the file expected in OUT_DIR, or empty
    std::string bytes;
  };
  std::vector<Case> cases = {
      {{}, false, "SoreluneUpdate.exe", "MZ beside the tool"},
      {{"--updater", arg(work / "Other.exe")}, true, "Other.exe", "MZ named"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    ToolOutput output;
    output.json = cases[i].json;
    output.programFolder = work / "bin\\";
    std::string progress;
    output.progress = [&](const std::string& text) { progress += text; };
    std::string out = work / ("out" + std::to_string(i) + "\\");
    std::vector<std::string> arguments = {"make"};
    arguments.insert(arguments.end(), cases[i].options.begin(), cases[i].options.end());
    arguments.insert(arguments.end(), {arg(oldTree), arg(newTree), arg(out)});
    ASSERT_EQ(runTool(arguments, &output), kExitFine) << output.out << output.err;
    EXPECT_EQ(readFileOrEmpty(out + cases[i].updater), cases[i].bytes);
    EXPECT_EQ(output.out.find('\r'), std::string::npos);
    if (cases[i].json) {
      EXPECT_EQ(progress, "");
      EXPECT_NE(output.out.find("\"updater\":\"Other.exe\""), std::string::npos) << output.out;
    } else {
      expectInOrder(progress, {"\rcomparing: 0 of 2 files", "\rwriting: ", "\r"});
      EXPECT_NE(output.out.find(", the updater SoreluneUpdate.exe; 0 problems"), std::string::npos) << output.out;
    }
  }

  // Without an updater the folder is still written, and the report says what it lacks.
  ToolOutput bare;
  ASSERT_EQ(runTool({"make", arg(oldTree), arg(newTree), arg(work / "out-bare")}, &bare), kExitFine) << bare.err;
  EXPECT_NE(bare.out.find("note: no SoreluneUpdate.exe beside updtool"), std::string::npos) << bare.out;
  // Each operand that fails is named.
  for (const auto& failing : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"make", arg(oldTree), arg(work / "nowhere"), arg(work / "o1")}, "NEW_DIR \""},
           {{"make", arg(work / "bin\\SoreluneUpdate.exe"), arg(newTree), arg(work / "o2")}, "OLD_DIR \""},
           {{"make", "--updater", arg(work / "none.exe"), arg(oldTree), arg(newTree), arg(work / "o3")}, "--updater \""}}) {
    ToolOutput refused;
    EXPECT_EQ(runTool(failing.first, &refused), kExitUsage);
    EXPECT_EQ(refused.err.find("updtool: " + failing.second), 0u) << refused.err;
  }
}

}  // namespace
