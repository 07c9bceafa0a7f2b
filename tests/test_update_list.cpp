// The update list loader: list texts and the entries they give, or their
// refusal. (What the observer hears shows in the list checker's findings.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "list/update_list.h"
#include "tests/support/test_files.h"

namespace {

TEST(UpdateList, EachTextGivesItsEntriesOrIsRefused) {
  std::string full;  // 512 entries
  std::vector<std::string> fullEntries;
  for (int i = 0; i < 512; ++i) full += "C\tf" + std::to_string(i) + "\n", fullEntries.push_back("C|f" + std::to_string(i) + "||");
  const std::string a253(253, 'a'), b43(43, 'b'), x253(253, 'x');
  // All texts load into one list, in this order: an I at an index followed
  // by a P there shows that no text of an earlier load survives.
  const struct {
    const char* what;
    std::string text;
    std::vector<std::string> entries;  // none: refused
  } cases[] = {
      {"each command takes its fields; the rest is skipped",
       "C\tdata\\a.dat\nR\tb.dat\textra\tmore\nI\tpack.arc\tsrc.bin\tentry\\name.bin\nP\tupdate.pak\nP\nE\n"
       "N this comment begins with a capital N\n"
       "I\tonly\ttwo\nC\nR   \t \nc\tlower.dat\nX\tunknown\n C\tindented\n\tC x\n\n",
       {"C|data\\a.dat||", "R|b.dat||", "I|pack.arc|src.bin|entry\\name.bin", "P|update.pak||", "P|||", "E|||",
        "N|||"}},
      {"extra fields are ignored", "I a b c d e\n", {"I|a|b|c"}},
      {"trailing white space is no field", "P \t\r\n", {"P|||"}},
      {"any white space separates, none is needed after the letter",
       "Cdirect.dat\nC  \v\f spaced.dat   \nI one\t\t two   three\nC\tname with space.dat\n",
       {"C|direct.dat||", "C|spaced.dat||", "I|one|two|three", "C|name||"}},
      {"double-byte names are read whole", "C\t" + kSoHyou + "\\" + kSoHyou + ".dat\r\n",
       {"C|" + kSoHyou + "\\" + kSoHyou + ".dat||"}},
      {"CR LF ends a line; the last needs none", "C\ta.dat\r\nR\tb.dat\r\nC\tc.dat", {"C|a.dat||", "R|b.dat||", "C|c.dat||"}},
      {"0x1A ends the text", "C\ta.dat\r\n\x1a" "C\thidden.dat\r\n", {"C|a.dat||"}},
      {"300 bytes: a piece of 255, then one of 45", "C\t" + a253 + "R\t" + b43 + "\n", {"C|" + a253 + "||", "R|" + b43 + "||"}},
      {"a line of exactly 255 bytes leaves its line end as a piece of its own", "C\t" + x253 + "\nC\ty\n",
       {"C|" + x253 + "||", "C|y||"}},
      {"NUL ends the scan of its piece", std::string("\0C\tskipped\n", 11) + std::string("C\tkept\0dropped\n", 15),
       {"C|kept||"}},
      {"a lone CR ends no line, and the NUL after it still ends its scan", std::string("I\ta\r\0b\tc\nC\td\n", 13),
       {"C|d||"}},
      {"a 10 MiB line without a line end", std::string(10 * 1024 * 1024, 'Z') + "\nC\tafter.dat\n", {"C|after.dat||"}},
      {"512 entries and comments", full + "# comments do not count\n", fullEntries},
      {"513 entries refuse the whole list", full + "E\n", {}},
      {"an empty list", "", {}},
      {"no usable line", "# comment\n\nc\tlower\n", {}},
  };
  TempFolder folder;
  const std::string path = folder / "UpDate.lst";
  UpdateList list;
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    ASSERT_TRUE(writeFile(path, test.text));
    EXPECT_EQ(loadUpdateListFrom(path.c_str(), &list), !test.entries.empty());
    std::vector<std::string> entries;  // "letter|path|source|entry"
    for (int i = 0; i < list.count; ++i)
      entries.push_back(std::string(1, static_cast<char>(list.commands[i])) + "|" + list.paths[i] + "|" +
                        list.sourceNames[i] + "|" + list.entryNames[i]);
    EXPECT_EQ(entries, test.entries);
  }
}

}  // namespace
