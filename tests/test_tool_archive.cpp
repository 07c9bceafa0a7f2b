// updtool archive create / list / extract / verify, against archives made
// by the builder and by hand.
#include <gtest/gtest.h>

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

  tool({"archive", "create", arg(work / "out.pak"), arg(work / "src")}, kExitFine);

  // The updater's own reader finds each file under its relative CP932 name.
  PackageArchive archive((work / "out.pak").c_str());
  ASSERT_EQ(archive.loadedEntryCount(), 3);
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

TEST(ToolArchive, ExtractWritesNothingOutsideItsFolder) {
  TempFolder work;
  ASSERT_TRUE(writeArchiveFile((work / "evil.pak").c_str(), {{"..\\escape.txt", "x"},
                                                            {"\\rooted.txt", "x"},
                                                            {"C:drive.txt", "x"},
                                                            {"sub\\..\\..\\up.txt", "x"},
                                                            {"good\\ok.txt", "fine"},
                                                            {"GOOD\\OK.TXT", "shadowed"}}));
  ToolOutput output = tool({"archive", "extract", arg(work / "evil.pak"), arg(work / "out")}, kExitProblems);
  EXPECT_EQ(readFileOrEmpty(work / "out\\good\\ok.txt"), "fine");
  EXPECT_FALSE(fileIsPresent(work / "escape.txt"));
  EXPECT_FALSE(fileIsPresent(work / "up.txt"));
  EXPECT_FALSE(fileIsPresent(work / "out\\drive.txt"));
  EXPECT_TRUE(has(output, "not extracted"));
}

TEST(ToolArchive, UsageAndInputErrorsExitWithTwo) {
  TempFolder work;
  tool({"archive", "list"}, kExitUsage);
  tool({"archive", "list", arg(work / "missing.pak")}, kExitUsage);
  tool({"archive", "create", arg(work / "x.pak"), arg(work / "no-such-folder")}, kExitUsage);
  tool({"frobnicate"}, kExitUsage);
  tool({}, kExitUsage);
  EXPECT_TRUE(has(tool({"--help"}, kExitFine), "archive create OUT DIR"));
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
