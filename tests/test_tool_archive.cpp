// updtool archive create / list / extract / verify, against archives made
// by the builder and by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/archive_builder.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "tests/support/test_files.h"
#include "tools/tool_common.h"

namespace {

std::string arg(const std::string& cp932) { return utf8Of(cp932); }

// Runs the tool, expects its exit code and hands back what it wrote.
ToolOutput tool(const std::vector<std::string>& arguments, int exit, bool json = false) {
  ToolOutput output;
  output.json = json;
  EXPECT_EQ(runTool(arguments, &output), exit) << output.out << output.err;
  return output;
}
bool has(const ToolOutput& output, const std::string& text) { return output.out.find(text) != std::string::npos; }

void setUint32(std::string* bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

TEST(ToolArchive, CreateListAndExtractKeepEveryNameAndByte) {
  TempFolder work;
  ASSERT_TRUE(makeFolder(work / ("src\\" + kSoHyou + "\\deep")));
  ASSERT_TRUE(writeFile(work / "src\\top.txt", "top"));
  ASSERT_TRUE(writeFile(work / ("src\\" + kSoHyou + "\\deep\\a.bin"), std::string("\0\x01\x02", 3)));
  ASSERT_TRUE(writeFile(work / "src\\empty.dat", ""));
  ASSERT_TRUE(writeFile(work / "src\\two words.txt", "kept, but no list can name it"));

  ToolOutput created = tool({"archive", "create", arg(work / "out.pak"), arg(work / "src")}, kExitFine, true);
  EXPECT_TRUE(has(created, "\"warnings\":[\"\\\"two words.txt\\\" holds white space")) << created.out;

  // The updater's own reader finds each file under its relative CP932 name.
  PackageArchive archive((work / "out.pak").c_str());
  ASSERT_EQ(archive.loadedEntryCount(), 4);
  Content content;
  ASSERT_TRUE(archive.readEntry((kSoHyou + "\\deep\\a.bin").c_str(), &content));
  EXPECT_EQ(std::string(content.bytes.get(), content.size), std::string("\0\x01\x02", 3));
  ASSERT_TRUE(archive.readEntry("TOP.TXT", &content));
  EXPECT_EQ(std::string(content.bytes.get(), content.size), "top");

  ToolOutput listed = tool({"archive", "list", arg(work / "out.pak")}, kExitFine, true);
  EXPECT_TRUE(has(listed, "\"name\":" + jsonText(arg(kSoHyou) + "\\deep\\a.bin") + ",\"dataOffset\":")) << listed.out;
  EXPECT_TRUE(has(listed, "\"unreferencedBytes\":0"));

  tool({"archive", "extract", arg(work / "out.pak"), arg(work / "copy")}, kExitFine);
  EXPECT_EQ(readFileOrEmpty(work / "copy\\top.txt"), "top");
  EXPECT_EQ(readFileOrEmpty(work / ("copy\\" + kSoHyou + "\\deep\\a.bin")), std::string("\0\x01\x02", 3));
  EXPECT_TRUE(fileIsPresent(work / "copy\\empty.dat"));

  tool({"archive", "verify", arg(work / "out.pak")}, kExitFine);

  // A name code page 932 cannot write stops the archive until it is left out.
  ASSERT_TRUE(writeFileNamedInUtf8(work / "src\\", "Caf\xC3\xA9.txt", "x"));
  ToolOutput refused = tool({"archive", "create", arg(work / "named.pak"), arg(work / "src")}, kExitProblems);
  EXPECT_TRUE(has(refused, "problem: \"Caf\xC3\xA9.txt\": code page 932 cannot write this name")) << refused.out;
  EXPECT_FALSE(fileIsPresent(work / "named.pak"));
  ToolOutput skipped = tool({"archive", "create", "--skip-unnameable", arg(work / "named.pak"), arg(work / "src")}, kExitFine);
  EXPECT_TRUE(has(skipped, "skipped: \"Caf\xC3\xA9.txt\"")) << skipped.out;
  EXPECT_EQ(PackageArchive((work / "named.pak").c_str()).loadedEntryCount(), 4);
}

TEST(ToolArchive, VerifyFindsEachLayoutFault) {
  TempFolder work;
  struct Case {
    const char* code;
    std::string bytes;
    int exit;
  };
  std::vector<Case> cases;
  std::string sound = buildArchiveBytes({{"a.txt", "aaaa"}, {"b.txt", "bb"}});
  cases.push_back({"", sound, kExitFine});
  std::string magic = sound;
  magic[0] = 'X';
  cases.push_back({"no-magic", magic, kExitProblems});
  cases.push_back({"duplicate-name", buildArchiveBytes({{"Data.BIN", "1"}, {"data.bin", "2"}}), kExitProblems});
  std::string dataOutside = sound;
  uint32_t indexOffset = static_cast<uint32_t>(sound.size() - 40);
  setUint32(&dataOutside, indexOffset + 12, 1000);  // first record's dataSize
  cases.push_back({"data-outside", dataOutside, kExitProblems});
  std::string partial = sound;
  setUint32(&partial, 20, 30);
  cases.push_back({"partial-record", partial, kExitProblems});
  std::string indexOutside = sound;
  setUint32(&indexOutside, 16, static_cast<uint32_t>(sound.size()));
  cases.push_back({"index-outside", indexOutside, kExitProblems});
  cases.push_back({"short-header", std::string("QRV001", 6), kExitProblems});
  // Bytes left behind by a replaced entry are normal: a note, not a fault.
  cases.push_back({"unreferenced", sound + "leftover", kExitFine});

  for (const Case& test : cases) {
    SCOPED_TRACE(test.code);
    ASSERT_TRUE(writeFile(work / "a.pak", test.bytes));
    ToolOutput output = tool({"archive", "verify", arg(work / "a.pak")}, test.exit, true);
    if (*test.code != '\0') {
      EXPECT_TRUE(has(output, std::string("\"code\":\"") + test.code + "\"")) << output.out;
    }
  }

  ASSERT_TRUE(writeFile(work / "a.pak", sound + "leftover"));
  ToolOutput listed = tool({"archive", "list", arg(work / "a.pak")}, kExitFine, true);
  EXPECT_TRUE(has(listed, "\"indexReadable\":true,\"unreferencedBytes\":8")) << listed.out;

  // An index the reader refuses lists no entry, and says so.
  ASSERT_TRUE(writeFile(work / "a.pak", indexOutside));
  ToolOutput refused = tool({"archive", "list", arg(work / "a.pak")}, kExitProblems, true);
  EXPECT_TRUE(has(refused, "\"indexReadable\":false")) << refused.out;
  EXPECT_TRUE(has(refused, "\"entries\":[]"));
}

// Whatever the build, extraction refuses every name that Windows would not
// keep as that file, writes the rest, and reports exactly what it wrote.
TEST(ToolArchive, ExtractRefusesNamesWindowsCannotKeepAndWritesTheRest) {
  TempFolder work;
  const std::string fullWidthUpper = "\x82\x60.txt", fullWidthLower = "\x82\x81.txt";  // Ａ, ａ
  const std::string greekUpper = "\x83\x9f.txt", greekLower = "\x83\xbf.txt";        // Α, α
  struct Case {
    std::string name;
    const char* why;  // empty: extracted
  };
  std::vector<Case> cases = {
      {"trail.txt", ""},
      {"trail.txt.", "ends with a dot"},
      {"space.txt ", "ends with a space"},
      {". .\\x.txt", "ends with a dot"},
      {"NUL", "device"},
      {"com1", "device"},
      {"CON", "device"},
      {"LPT1.log", "device"},
      {"aux .txt", "device"},
      {"sub\\Prn.dat", "device"},
      {"COM0.txt", ""},
      {"console.txt", ""},
      {fullWidthUpper, ""},
      {fullWidthLower, "one file"},
      {greekUpper, ""},
      {greekLower, "one file"},
      {"TRAIL.TXT", "the updater reads instead"},
      {"..\\escape.txt", "leaves the folder"},
      {"\\rooted.txt", "leaves the folder"},
      {"C:drive.txt", "leaves the folder"},
      {"sub\\..\\..\\up.txt", "leaves the folder"},
  };
  std::vector<ArchiveBuilderEntry> entries;
  for (const Case& test : cases) entries.push_back({test.name, "bytes of " + test.name});
  ASSERT_TRUE(writeArchiveFile((work / "odd.pak").c_str(), entries));
  ToolOutput output = tool({"archive", "extract", arg(work / "odd.pak"), arg(work / "out")}, kExitProblems, true);
  std::vector<std::string> onDisk;
  ASSERT_TRUE(listFilesBelow(work / "out\\", &onDisk));
  std::vector<std::string> expected;
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    std::string written = "{\"name\":" + jsonName(cases[i].name) + ",\"bytes\":";
    if (*cases[i].why == '\0') {
      EXPECT_TRUE(has(output, written)) << output.out;
      EXPECT_EQ(readFileOrEmpty(work / ("out\\" + cases[i].name)), "bytes of " + cases[i].name);
      expected.push_back(cases[i].name);
    } else {
      EXPECT_FALSE(has(output, written));
      size_t at = output.out.find("{\"entry\":" + std::to_string(i + 1) + ",\"name\":" + jsonName(cases[i].name));
      ASSERT_NE(at, std::string::npos) << output.out;
      EXPECT_NE(output.out.find(cases[i].why, at), std::string::npos) << output.out.substr(at, 200);
    }
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(onDisk, expected);  // nothing more, nothing less than reported
  EXPECT_FALSE(fileIsPresent(work / "escape.txt"));
  EXPECT_FALSE(fileIsPresent(work / "up.txt"));
}

TEST(ToolArchive, ErrorsNameTheOperandAndScriptsGetThemAsJson) {
  TempFolder work;
  ASSERT_TRUE(writeFile(work / "plain.txt", "not an archive"));
  ASSERT_TRUE(makeFolder(work / "folder"));
  struct Case {
    std::vector<std::string> arguments;
    int exit;
    std::string text;  // in the JSON on standard output
  };
  std::vector<Case> cases = {
      {{"archive", "list"}, kExitUsage, "usage: updtool archive"},
      {{"archive", "list", arg(work / "missing.pak")}, kExitUsage, "missing.pak\\\" does not exist"},
      {{"archive", "verify", arg(work / "folder")}, kExitUsage, "FILE \\\""},
      {{"archive", "extract", arg(work / "folder"), arg(work / "out")}, kExitUsage, "is a folder, not a file"},
      {{"archive", "create", arg(work / "x.pak"), arg(work / "no-such-folder")}, kExitUsage, "DIR \\\""},
      {{"archive", "create", arg(work / "x.pak"), arg(work / "plain.txt")}, kExitUsage, "is a file, not a folder"},
      {{"list", "check", arg(work / "folder")}, kExitUsage, "the list \\\""},
      {{"frobnicate"}, kExitUsage, "unknown command"},
      {{}, kExitUsage, "no command"},
      // A file that is not a readable archive: a problem, not a success.
      {{"archive", "list", arg(work / "plain.txt")}, kExitProblems, "QRV001"},
      {{"archive", "extract", arg(work / "plain.txt"), arg(work / "out")}, kExitProblems, "QRV001"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.text);
    ToolOutput plain = tool(test.arguments, test.exit);
    std::vector<std::string> withJson = test.arguments;
    withJson.insert(withJson.begin(), "--json");
    ToolOutput json = tool(withJson, test.exit);
    EXPECT_TRUE(has(json, test.text)) << json.out;
    if (test.exit == kExitUsage) {
      EXPECT_EQ(json.out.rfind("{\"error\":", 0), 0u) << json.out;
      EXPECT_TRUE(has(json, ",\"exit\":2}\n")) << json.out;
      EXPECT_FALSE(plain.err.empty());
    }
  }
  EXPECT_TRUE(has(tool({"--help"}, kExitFine), "usage: updtool"));
}

#ifndef _WIN32
// Only a case-sensitive file system can hold two names that the archive
// takes for one; the second could never be read.
TEST(ToolArchive, CreateRefusesNamesThatFoldTogether) {
  TempFolder work;
  ASSERT_TRUE(makeFolder(work / "src"));
  ASSERT_TRUE(writeFile(work / "src\\Readme.txt", "1"));
  ASSERT_TRUE(writeFile(work / "src\\README.TXT", "2"));
  tool({"archive", "create", arg(work / "out.pak"), arg(work / "src")}, kExitProblems);
  EXPECT_FALSE(fileIsPresent(work / "out.pak"));
}
#endif

}  // namespace
