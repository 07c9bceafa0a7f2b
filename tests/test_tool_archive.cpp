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

int tool(const std::vector<std::string>& arguments, ToolOutput* output) { return runTool(arguments, output); }

void setUint32(std::string* bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

TEST(ToolArchive, CreateListAndExtractKeepEveryNameAndByte) {
  TempFolder work;
  ASSERT_TRUE(makeFolder(work / ("src\\" + kSoHyou + "\\deep")));
  ASSERT_TRUE(writeFile(work / "src\\top.txt", "top"));
  ASSERT_TRUE(writeFile(work / ("src\\" + kSoHyou + "\\deep\\a.bin"), std::string("\0\x01\x02", 3)));
  ASSERT_TRUE(writeFile(work / "src\\empty.dat", ""));

  ToolOutput created;
  ASSERT_EQ(tool({"archive", "create", arg(work / "out.pak"), arg(work / "src")}, &created), kExitFine) << created.err;

  // The updater's own reader finds each file under its relative CP932 name.
  PackageArchive archive((work / "out.pak").c_str());
  ASSERT_EQ(archive.loadedEntryCount(), 3);
  Content content;
  ASSERT_TRUE(archive.readEntry((kSoHyou + "\\deep\\a.bin").c_str(), &content));
  EXPECT_EQ(std::string(content.bytes.get(), content.size), std::string("\0\x01\x02", 3));
  ASSERT_TRUE(archive.readEntry("TOP.TXT", &content));
  EXPECT_EQ(std::string(content.bytes.get(), content.size), "top");

  ToolOutput listed;
  listed.json = true;
  ASSERT_EQ(tool({"archive", "list", arg(work / "out.pak")}, &listed), kExitFine);
  EXPECT_NE(listed.out.find("\"name\":" + jsonText(arg(kSoHyou) + "\\deep\\a.bin") + ",\"dataOffset\":"), std::string::npos)
      << listed.out;
  EXPECT_NE(listed.out.find("\"unreferencedBytes\":0"), std::string::npos);

  ToolOutput extracted;
  ASSERT_EQ(tool({"archive", "extract", arg(work / "out.pak"), arg(work / "copy")}, &extracted), kExitFine) << extracted.err;
  EXPECT_EQ(readFileOrEmpty(work / "copy\\top.txt"), "top");
  EXPECT_EQ(readFileOrEmpty(work / ("copy\\" + kSoHyou + "\\deep\\a.bin")), std::string("\0\x01\x02", 3));
  EXPECT_TRUE(fileIsPresent(work / "copy\\empty.dat"));

  ToolOutput verified;
  EXPECT_EQ(tool({"archive", "verify", arg(work / "out.pak")}, &verified), kExitFine) << verified.out;
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
    ToolOutput output;
    output.json = true;
    EXPECT_EQ(tool({"archive", "verify", arg(work / "a.pak")}, &output), test.exit) << output.out;
    if (*test.code != '\0') {
      EXPECT_NE(output.out.find(std::string("\"code\":\"") + test.code + "\""), std::string::npos) << output.out;
    }
  }

  ToolOutput listed;
  listed.json = true;
  ASSERT_TRUE(writeFile(work / "a.pak", sound + "leftover"));
  ASSERT_EQ(tool({"archive", "list", arg(work / "a.pak")}, &listed), kExitFine);
  EXPECT_NE(listed.out.find("\"indexReadable\":true,\"unreferencedBytes\":8"), std::string::npos) << listed.out;

  // An index the reader refuses lists no entry, and says so.
  ToolOutput refused;
  refused.json = true;
  ASSERT_TRUE(writeFile(work / "a.pak", indexOutside));
  ASSERT_EQ(tool({"archive", "list", arg(work / "a.pak")}, &refused), kExitFine);
  EXPECT_NE(refused.out.find("\"indexReadable\":false"), std::string::npos) << refused.out;
  EXPECT_NE(refused.out.find("\"entries\":[]"), std::string::npos);
}

TEST(ToolArchive, ExtractWritesNothingOutsideItsFolder) {
  TempFolder work;
  ASSERT_TRUE(writeArchiveFile((work / "evil.pak").c_str(), {{"..\\escape.txt", "x"},
                                                            {"\\rooted.txt", "x"},
                                                            {"C:drive.txt", "x"},
                                                            {"sub\\..\\..\\up.txt", "x"},
                                                            {"good\\ok.txt", "fine"},
                                                            {"GOOD\\OK.TXT", "shadowed"}}));
  ToolOutput output;
  EXPECT_EQ(tool({"archive", "extract", arg(work / "evil.pak"), arg(work / "out")}, &output), kExitProblems);
  EXPECT_EQ(readFileOrEmpty(work / "out\\good\\ok.txt"), "fine");
  EXPECT_FALSE(fileIsPresent(work / "escape.txt"));
  EXPECT_FALSE(fileIsPresent(work / "up.txt"));
  EXPECT_FALSE(fileIsPresent(work / "out\\drive.txt"));
  EXPECT_NE(output.out.find("not extracted"), std::string::npos);
}

TEST(ToolArchive, UsageAndInputErrorsExitWithTwo) {
  TempFolder work;
  ToolOutput output;
  EXPECT_EQ(tool({"archive", "list"}, &output), kExitUsage);
  EXPECT_EQ(tool({"archive", "list", arg(work / "missing.pak")}, &output), kExitUsage);
  EXPECT_EQ(tool({"archive", "create", arg(work / "x.pak"), arg(work / "no-such-folder")}, &output), kExitUsage);
  EXPECT_EQ(tool({"frobnicate"}, &output), kExitUsage);
  EXPECT_EQ(tool({}, &output), kExitUsage);
  ToolOutput help;
  EXPECT_EQ(tool({"--help"}, &help), kExitFine);
  EXPECT_NE(help.out.find("archive create OUT DIR"), std::string::npos);
}

#ifndef _WIN32
// Only a case-sensitive file system can hold two names that the archive
// takes for one; the second could never be read.
TEST(ToolArchive, CreateRefusesNamesThatFoldTogether) {
  TempFolder work;
  ASSERT_TRUE(makeFolder(work / "src"));
  ASSERT_TRUE(writeFile(work / "src\\Readme.txt", "1"));
  ASSERT_TRUE(writeFile(work / "src\\README.TXT", "2"));
  ToolOutput output;
  EXPECT_EQ(tool({"archive", "create", arg(work / "out.pak"), arg(work / "src")}, &output), kExitProblems);
  EXPECT_FALSE(fileIsPresent(work / "out.pak"));
}
#endif

}  // namespace
