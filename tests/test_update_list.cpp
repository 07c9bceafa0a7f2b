// The update list loader: list texts and the entries they give, or their
// refusal, and the observer's account of each piece.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "list/update_list.h"
#include "tests/support/test_files.h"

namespace {

class UpdateListTest : public ::testing::Test {
 protected:
  bool load(const std::string& text, ListObserver* observer = nullptr) {
    EXPECT_TRUE(writeFile(folder_ / "UpDate.lst", text));
    return loadUpdateListFrom((folder_ / "UpDate.lst").c_str(), &list_, observer);
  }
  // Every stored entry as "letter|path|source|entry".
  std::vector<std::string> entries() const {
    std::vector<std::string> all;
    for (int i = 0; i < list_.count; ++i)
      all.push_back(std::string(1, static_cast<char>(list_.commands[i])) + "|" + list_.paths[i] + "|" +
                    list_.sourceNames[i] + "|" + list_.entryNames[i]);
    return all;
  }

  TempFolder folder_;
  UpdateList list_;
};

TEST_F(UpdateListTest, EachTextGivesItsEntriesOrIsRefused) {
  std::string many, full;  // 100,000 skipped lines; 512 entries
  for (int i = 0; i < 100000; ++i) many += "x\tnothing\n";
  std::vector<std::string> fullEntries;
  for (int i = 0; i < 512; ++i) {
    full += "C\tf" + std::to_string(i) + "\n";
    fullEntries.push_back("C|f" + std::to_string(i) + "||");
  }
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
      {"a 10 MiB line without a line end", std::string(10 * 1024 * 1024, 'Z') + "\nC\tafter.dat\n", {"C|after.dat||"}},
      {"100,000 skipped lines", many + "N\n", {"N|||"}},
      {"512 entries and comments", full + "# comments do not count\n", fullEntries},
      {"513 entries refuse the whole list", full + "E\n", {}},
      {"an empty list", "", {}},
      {"no usable line", "# comment\n\nc\tlower\n", {}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    EXPECT_EQ(load(test.text), !test.entries.empty());
    EXPECT_EQ(entries(), test.entries);
  }
  list_.count = 3;
  EXPECT_FALSE(loadUpdateListFrom((folder_ / "absent.lst").c_str(), &list_));
  EXPECT_EQ(list_.count, 3) << "an unreadable file leaves the list as it was";
}

class RecordingObserver : public ListObserver {
 public:
  // A piece as "line:continuation:goesOn:outcome:index".
  void onPiece(const ListPiece& piece) override {
    seen.push_back(std::to_string(piece.lineNumber) + ":" + std::to_string(piece.continuation) + ":" +
                   std::to_string(piece.lineGoesOn) + ":" + std::to_string(static_cast<int>(piece.outcome)) + ":" +
                   std::to_string(piece.entryIndex));
  }
  std::vector<std::string> seen;
};

TEST_F(UpdateListTest, ObserverHearsEveryPieceWithItsLineAndOutcome) {
  // Outcomes: 0 stored, 1 unknown letter, 2 too few fields, 3 over capacity.
  RecordingObserver observer;
  ASSERT_TRUE(load("C\ta\nI\tx\ty\nq\nR\t" + std::string(300, 'r') + "\nE\n", &observer));
  // The rest of line 4 begins with 'r'.
  EXPECT_EQ(observer.seen,
            (std::vector<std::string>{"1:0:0:0:0", "2:0:0:2:-1", "3:0:0:1:-1", "4:0:1:0:1", "4:1:0:1:-1", "5:0:0:0:2"}));

  RecordingObserver full;  // the entries past the capacity are heard too
  std::string text;
  for (int i = 0; i < 514; ++i) text += "N\n";
  EXPECT_FALSE(load(text, &full));
  ASSERT_EQ(full.seen.size(), 514u);
  EXPECT_EQ(full.seen[511], "512:0:0:0:511");
  EXPECT_EQ(full.seen[512], "513:0:0:3:-1");
  EXPECT_EQ(full.seen[513], "514:0:0:3:-1");
}

}  // namespace
