// updtool list check: each way a line is skipped or read otherwise than it
// looks is reported at its line, and a clean list passes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/test_files.h"
#include "tools/list_check.h"
#include "tools/tool_common.h"

namespace {

std::string arg(const std::string& cp932) { return utf8Of(cp932); }

// The findings of a list, as "line:code" strings in report order.
std::vector<std::string> findingsOf(const std::string& bytes) {
  TempFolder work;
  EXPECT_TRUE(writeFile(work / "UpDate.lst", bytes));
  ListReport report;
  EXPECT_TRUE(checkUpdateList((work / "UpDate.lst").c_str(), &report));
  std::vector<std::string> found;
  for (const ListFinding& finding : report.findings) found.push_back(std::to_string(finding.line) + ":" + finding.code);
  return found;
}

// `list check` on a list of these bytes: its exit code and output.
ToolOutput check(const std::string& bytes, int exit, bool json = false) {
  TempFolder work;
  EXPECT_TRUE(writeFile(work / "UpDate.lst", bytes));
  ToolOutput output;
  output.json = json;
  EXPECT_EQ(runTool({"list", "check", arg(work / "UpDate.lst")}, &output), exit) << output.out;
  return output;
}

TEST(ToolListCheck, CleanListWithNotesHasNoProblemAndExitsZero) {
  // "ソ表" ends in 0x5C twice: no separator, no escape. Notes are no problem.
  ToolOutput output = check("# update 1.2\r\n// for Sorelune\r\nP\tUpDate.pak\r\nR\tdata\\" + kSoHyou +
                                ".txt\r\nC\tnew.txt\r\nN\r\nI\tdata.pak\tsrc\tentry\r\nE\r\nP\r\n",
                            kExitFine);
  EXPECT_NE(output.out.find("7 entries from 9 lines; 0 problems"), std::string::npos) << output.out;
}

TEST(ToolListCheck, EachSkippedOrMisreadLineIsNamed) {
  std::string list =
      "c\tlower.txt\r\n"                  // 1
      "X\tunknown\r\n"                    // 2
      "I\tdata.pak\tsource\r\n"           // 3
      "Note: patch 1.2\r\n"               // 4
      "Patch notes\r\n"                   // 5
      "C\tmy file.txt\r\n"                // 6
      "R\t..\\outside.txt\r\n"            // 7
      "C\tC:\\windows\\x.dll\r\n"         // 8
      "I\t\\rooted.pak\ts\te\r\n"         // 9
      " C\tindented.txt\r\n"              // 10
      "C\tbad\x81\x20" "byte\r\n"        // 11
      "; a comment\r\n"                   // 12
      "\r\n"                              // 13
      "C\t" + std::string(300, 'x') + "\r\n"  // 14
      "C\tok.txt\r\n"                     // 15
      "E\x1a\r\nC\tnever.txt\r\n";        // 16
  std::vector<std::string> found = findingsOf(list);
  std::vector<std::string> expected = {"1:lower-case-letter", "2:unknown-letter",   "3:too-few-fields",
                                       "4:comment-entry",     "5:comment-entry",    "6:field-cut",
                                       "7:path-leaves-folder", "8:path-leaves-folder", "9:path-leaves-folder",
                                       "10:leading-white-space", "11:invalid-cp932", "11:field-cut",
                                       "12:comment",          "14:split-line",      "16:end-of-text-mark"};
  EXPECT_EQ(found, expected);

  ToolOutput output = check(list, kExitProblems, true);
  EXPECT_NE(output.out.find("\"line\":6,\"code\":\"field-cut\",\"severity\":\"problem\""), std::string::npos) << output.out;
  EXPECT_NE(output.out.find("\"code\":\"comment\",\"severity\":\"note\""), std::string::npos);
}

TEST(ToolListCheck, ListBeyondCapacityAndEmptyListStopTheRun) {
  std::string list;
  for (int i = 0; i < 520; ++i) list += "C\tf" + std::to_string(i) + "\n";
  EXPECT_EQ(findingsOf(list), std::vector<std::string>{"513:over-capacity"});
  EXPECT_EQ(findingsOf("x\n\n"), (std::vector<std::string>{"1:unknown-letter", "0:no-entries"}));

  TempFolder work;
  ToolOutput output;
  EXPECT_EQ(runTool({"list", "check", arg(work / "missing.lst")}, &output), kExitUsage);
  EXPECT_NE(output.err.find("missing.lst\" does not exist"), std::string::npos) << output.err;
}

// A list saved as UTF-8 often reads as valid CP932 too, naming other files.
TEST(ToolListCheck, ListSavedAsUtf8IsFlagged) {
  const std::string music = "\xe9\x9f\xb3\xe6\xa5\xbd";  // 音楽 in UTF-8: valid CP932 as well
  struct Case {
    std::string bytes;
    std::vector<std::string> findings;
  };
  std::vector<Case> cases = {
      {"C\tbgm.ogg\r\nC\t" + music + "\\bgm02.ogg\r\n", {"2:utf8-text"}},
      {"C\t" + kSoHyou + "\\a.txt\r\nC\t\x89\xb9\x8a\x79.ogg\r\n", {}},  // CP932 kanji
      {"C\t\xb1\xb2.txt\r\n", {}},                                        // half-width kana
      {"C\tplain.txt\r\n", {}},                                             // ASCII alone says nothing
      {"C\t\xed\xa0\x80.txt\r\n", {"1:invalid-cp932"}},                   // a UTF-8 surrogate is no UTF-8
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.bytes);
    EXPECT_EQ(findingsOf(test.bytes), test.findings);
  }
  ToolOutput output = check(cases[0].bytes, kExitProblems);
  EXPECT_NE(output.out.find("\"C\t" + utf8Of("\xe9\x9f\xb3\xe6\xa5\xbd") + "\\bgm02.ogg\" to it"), std::string::npos) << output.out;
}

TEST(ToolListCheck, SplitLineTellsWhatEachPieceBecomes) {
  // The second piece of the long line begins with "R": a hidden entry.
  std::string longLine = "C\t" + std::string(253, 'a') + "R\tsecret.txt\n";
  TempFolder work;
  ASSERT_TRUE(writeFile(work / "UpDate.lst", longLine));
  ListReport report;
  ASSERT_TRUE(checkUpdateList((work / "UpDate.lst").c_str(), &report));
  ASSERT_EQ(report.list->count, 2);
  ASSERT_FALSE(report.findings.empty());
  EXPECT_EQ(report.findings[0].code, "split-line");
  EXPECT_NE(report.findings[0].message.find("from byte 256, read as entry 2: R secret.txt"), std::string::npos)
      << report.findings[0].message;
  EXPECT_EQ(report.entryLines, (std::vector<int>{1, 1}));
}

}  // namespace
