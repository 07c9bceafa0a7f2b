// updtool list check: each way the updater skips a line or reads it
// otherwise than it looks is named at its line; a clean list passes.
#include "tests/tool_test_helpers.h"

namespace {

TEST(ToolListCheck, EachSkippedOrMisreadLineIsNamed) {
  TempFolder work;
  CurrentDirectory here(work.path());
  std::string full;
  for (int i = 0; i < 520; ++i) full += "C\tf" + std::to_string(i) + "\n";
  const std::string music = "\xe9\x9f\xb3\xe6\xa5\xbd";  // 音楽 in UTF-8: valid CP932 as well
  struct Case { std::string list; std::vector<std::string> findings; std::string said; };  // findings: line:code
  std::vector<Case> cases = {
      // "ソ表" ends in 0x5C twice: no separator, no escape. Comments are notes, no problem.
      {"# update 1.2\r\n// for Sorelune\r\nP\tUpDate.pak\r\nR\tdata\\" + kSoHyou + ".txt\r\nC\tnew.txt\r\nN\r\n"
       "I\tdata.pak\tsrc\tentry\r\nE\r\nP\r\n", {"1:comment", "2:comment"}, R"("lines":9,"entries":7,"problems":0)"},
      {"c\tlower.txt\r\nX\tunknown\r\nI\tdata.pak\tsource\r\nNote: patch 1.2\r\nPatch notes\r\nC\tmy file.txt\r\n"
       "R\t..\\outside.txt\r\nC\tC:\\x.dll\r\nI\tok.pak\tsrc\\AUX.txt\te\r\n C\tindented.txt\r\nC\tbad\x81\x20" "b\r\n"
       "; a comment\r\n\r\nC\t" + std::string(300, 'x') + "\r\nC\tok.txt\r\nE\x1a\r\nC\tnever.txt\r\n",
       {"1:lower-case-letter", "2:unknown-letter", "3:too-few-fields", "4:comment-entry", "5:comment-entry",
        "6:field-cut", "7:path-refused", "8:path-refused", "9:path-refused",
        "10:leading-white-space", "11:invalid-cp932", "11:field-cut", "12:comment", "14:split-line",
        "16:end-of-text-mark"}, R"(the source \"src\\AUX.txt\" breaks the rule for paths: \"AUX.txt\" names a Windows device)"},
      // The second piece of a long line begins with "R": a hidden entry.
      {"C\t" + std::string(253, 'a') + "R\tsecret.txt\n", {"1:split-line"}, "byte 256, read as entry 2: R secret.txt"},
      {full, {"513:over-capacity"}, ""},
      {"x\n\n", {"1:unknown-letter", "0:no-entries"}, ""},
      // A list saved as UTF-8 often reads as valid CP932 too, naming other files.
      {"C\tbgm.ogg\r\nC\t" + music + "\\bgm02.ogg\r\n", {"2:utf8-text"}, arg(music) + R"(\\bgm02.ogg\" to it)"},
      // Kanji and half-width kana in CP932 are not taken for UTF-8.
      {"C\t" + kSoHyou + "\\a.txt\r\nC\t\x89\xb9\x8a\x79.ogg\r\nC\t\xb1\xb2.txt\r\n", {}, ""},
      {"C\t\xed\xa0\x80.txt\r\n", {"1:invalid-cp932"}, ""},  // a UTF-8 surrogate is no UTF-8
      // The whole report as a script reads it.
      {"C\tmy file.txt\r\n; note\r\n", {"1:field-cut", "2:comment"},
       R"({"file":"UpDate.lst","lines":2,"entries":1,"problems":1,"findings":[{"line":1,"code":"field-cut",)"
       R"("severity":"problem","message":"a field is cut at white space: the updater takes \"my\" and ignores )"
       R"(\"file.txt\""},{"line":2,"code":"comment","severity":"note","message":"comment line: skipped"}]})" "\n"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.list.substr(0, 40));
    ASSERT_TRUE(writeFile(work / "UpDate.lst", test.list));
    ToolOutput output;
    int exit = runTool({"--json", "list", "check"}, &output);
    std::vector<std::string> lines = valuesOf(output.out, "line"), codes = valuesOf(output.out, "code");
    for (size_t i = 0; i < codes.size(); ++i) lines[i] += ":" + codes[i];
    EXPECT_EQ(lines, test.findings) << output.out;
    expectInOrder(output.out, {test.said});
    EXPECT_EQ(exit, valuesOf(output.out, "problems") == std::vector<std::string>{"0"} ? kExitFine : kExitProblems);
  }
  // The last list as a person reads it.
  expectInOrder(tool({"list", "check"}, kExitProblems).out,
                {"UpDate.lst:1: a field is cut", "[field-cut]\nUpDate.lst:2: note: ", "\nUpDate.lst: 1 entries"});
}

}  // namespace
