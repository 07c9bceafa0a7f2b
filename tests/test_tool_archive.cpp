// updtool's command lines, archive create / list / extract / verify among
// them: exit codes by kind and operand role, what each finds, and errors
// as JSON for scripts.
#include <map>
#include <regex>

#include "tests/tool_test_helpers.h"

namespace {

std::map<std::string, std::string> snapshot(const std::string& folder) {
  std::vector<std::string> files;
  EXPECT_TRUE(listFilesBelow(folder, &files));
  std::map<std::string, std::string> contents;
  for (const std::string& file : files) contents[file] = readFileOrEmpty(folder + file);
  return contents;
}

// Each row runs twice, as a person and (with --json) as a script would;
// a row's `pak` is written to a.pak first. Rows run in order.
TEST(ToolCommandLine, EachCommandExitsByWhatItFinds) {
  TempFolder work;
  CurrentDirectory here(work.path());
  plant(work.path(), {{"plain.txt", "not an archive"}, {"folder/a.txt", "a"}, {"src/top.txt", "top"},
                      {"src/" + arg(kSoHyou) + "/deep/a.bin", std::string("\0\x01\x02", 3)}, {"src/empty.dat", ""},
                      {"src/two words.txt", "no list can name it"}, {"odd/Caf\xC3\xA9.txt", "x"}, {"odd/b", "b"}});
  const std::string sound = archiveBytes({{"a.txt", "aaaa"}, {"b.txt", "bb"}});
  auto patched = [&](size_t at, size_t value) {
    return sound.substr(0, at) + u32(static_cast<uint32_t>(value)) + sound.substr(at + 4);
  };
  const std::vector<std::string> verify = {"archive", "verify", "a.pak"}, list = {"archive", "list", "a.pak"};
  // text: in the JSON output; pak: written to a.pak first, unless empty.
  struct Case { std::vector<std::string> arguments; int exit; std::string text; std::string pak = ""; };
  std::vector<Case> cases = {
      {{"--help"}, kExitFine, "usage: updtool [--json] COMMAND"},
      {{}, kExitUsage, "no command"},
      {{"frobnicate"}, kExitUsage, "unknown command"},
      {{"archive", "list"}, kExitUsage, "usage: updtool archive"},
      {{"archive", "list", "folder"}, kExitUsage, R"(FILE \"folder\" is a folder, not a file)"},
      {{"archive", "create", "x.pak", "plain.txt"}, kExitUsage, R"(DIR \"plain.txt\" is a file, not a folder)"},
      {{"list", "check"}, kExitUsage, R"(the list \"UpDate.lst\" does not exist)"},
      {{"make", "plain.txt", "folder", "o"}, kExitUsage, R"(OLD_DIR \"plain.txt\" is a file)"},
      {{"make", "folder", "nowhere", "o"}, kExitUsage, R"(NEW_DIR \"nowhere\" does not exist)"},
      {{"make", "folder", "folder", "folder"}, kExitUsage, R"(OUT_DIR \"folder\" must be a new or empty folder)"},
      {{"make", "--updater", "no.exe", "folder", "folder", "o"}, kExitUsage, R"(--updater \"no.exe\" does not exist)"},
      {{"plan", "--install", "nowhere", "folder"}, kExitUsage, R"(--install \"nowhere\" does not exist)"},
      {{"plan", "plain.txt"}, kExitUsage, R"(UPDATE_DIR \"plain.txt\" is a file)"},
      // A file that is not a readable archive is a problem found, not a usage error.
      {{"archive", "list", "plain.txt"}, kExitProblems, "QRV001"},
      // Created, verified and extracted again: the copy is checked below.
      {{"archive", "create", "out.pak", "src"}, kExitFine, R"("warnings":["\"two words.txt\" holds white space)"},
      {{"archive", "verify", "out.pak"}, kExitFine, R"("problems":0,"findings":[])"},
      {{"archive", "extract", "out.pak", "copy"}, kExitFine, R"("extracted":4,"problems":0)"},
      // A name code page 932 cannot write stops the archive until it is left out.
      {{"archive", "create", "odd.pak", "odd"}, kExitProblems, R"("written":false)"},
      {{"archive", "create", "--skip-unnameable", "odd.pak", "odd"}, kExitFine, R"("written":true,"entries":1)"},
      {verify, kExitProblems, R"("code":"no-magic")", "X" + sound.substr(1)},
      {verify, kExitProblems, R"("code":"duplicate-name")", archiveBytes({{"Data.BIN", "1"}, {"data.bin", "2"}})},
      // The first record's content size (the index of two 20-byte records ends the file).
      {verify, kExitProblems, R"("entry":1,"code":"data-outside")", patched(sound.size() - 40 + 12, 1000)},
      {verify, kExitProblems, R"("code":"partial-record")", patched(20, 30)},
      {verify, kExitProblems, R"("code":"index-outside")", patched(16, sound.size())},
      {verify, kExitProblems, R"("code":"short-header")", "QRV001"},
      // Bytes left behind by a replaced entry are normal: a note, not a fault.
      {verify, kExitFine, R"("code":"unreferenced","severity":"note")", sound + "leftover"},
      {list, kExitFine, R"("unreferencedBytes":8,"entries":[{"name":"a.txt",)", sound + "leftover"},
      // An index the reader refuses lists no entry, and says so.
      {list, kExitProblems, R"("indexReadable":false)", patched(16, sound.size())},
  };
#ifndef _WIN32
  // Only a case-sensitive file system holds two names the archive takes for one.
  plant(work.path(), {{"fold/Readme.txt", "1"}, {"fold/README.TXT", "2"}});
  cases.push_back({{"archive", "create", "fold.pak", "fold"}, kExitProblems, R"("written":false)"});
#endif
  for (const Case& test : cases) {
    SCOPED_TRACE(test.text);
    ASSERT_TRUE(test.pak.empty() || writeFile(work / "a.pak", test.pak));
    EXPECT_EQ(tool(test.arguments, test.exit).err.empty(), test.exit != kExitUsage);
    std::vector<std::string> arguments = test.arguments;
    arguments.insert(arguments.begin(), "--json");
    std::string json = tool(arguments, test.exit).out;
    EXPECT_NE(json.find(test.text), std::string::npos) << json;
    EXPECT_EQ(std::regex_match(json, std::regex(R"(\{"error":".*","exit":2\}\n)")), test.exit == kExitUsage) << json;
  }
  EXPECT_EQ(snapshot(work / "copy\\"), snapshot(work / "src\\"));
}

// Whatever the build, extract refuses every name that Windows would not
// keep as that file, writes the rest, and reports what it wrote.
TEST(ToolArchive, ExtractRefusesNamesWindowsCannotKeep) {
  // Each name with why it is refused, or "" when it is written (Ａ ａ Α α are full-width and Greek).
  const std::vector<std::pair<std::string, const char*>> names = {
      {"trail.txt", ""}, {"trail.txt.", "ends with a dot"}, {"space.txt ", "ends with a space"},
      {". .\\x.txt", "ends with a dot"}, {"NUL", "device"}, {"com1", "device"}, {"LPT1.log", "device"},
      {"aux .txt", "device"}, {"sub\\Prn.dat", "device"}, {"COM0.txt", ""}, {"console.txt", ""},
      {"\x82\x60.txt", ""}, {"\x82\x81.txt", "one file"}, {"\x83\x9f.txt", ""}, {"\x83\xbf.txt", "one file"},
      {"TRAIL.TXT", "the updater reads instead"}, {"..\\escape.txt", "goes up"},
      {"\\rooted.txt", "the root of the drive"}, {"C:drive.txt", "a drive or a stream"}, {"sub\\..\\..\\up.txt", "goes up"},
      {"star*.txt", "wildcard"}, {"pipe|.txt", "may hold"}, {"\x83\x7c.txt", ""}, {"con\x83\x7c.txt", ""}};
  TempFolder work;
  ArchiveEntries entries;
  std::map<std::string, std::string> written;
  std::vector<std::string> refusals;
  for (size_t i = 0; i < names.size(); ++i) {
    entries.push_back({names[i].first, "bytes of " + names[i].first});
    if (*names[i].second == '\0') written[names[i].first] = entries.back().second;
    else refusals.insert(refusals.end(), {jsonName(names[i].first) + R"(,"reason":")", names[i].second});
  }
  ASSERT_TRUE(writeArchiveFile(work / "odd.pak", entries));
  std::string out = tool({"--json", "archive", "extract", arg(work / "odd.pak"), arg(work / "out")}, kExitProblems).out;
  expectInOrder(out, {R"("extracted":)" + std::to_string(written.size())});
  expectInOrder(out, refusals);
  EXPECT_EQ(snapshot(work / "out\\"), written);
  EXPECT_FALSE(fileIsPresent(work / "escape.txt") || fileIsPresent(work / "up.txt"));
}

}  // namespace
