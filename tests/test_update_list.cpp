// The update list loader: scan rules, commands, long lines, text mode,
// capacity and the observer's account of each piece.
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

TEST_F(UpdateListTest, EachLineIsStoredOrSkippedByTheScanRules) {
  struct Case {
    const char* what;
    std::string text;
    std::vector<std::string> entries;
  };
  std::string many;  // 100,000 lines, all skipped but the last
  for (int i = 0; i < 100000; ++i) many += "x\tnothing\n";
  // All cases load into one list, in this order: an I at an index followed
  // by a P there shows that no text of an earlier load survives.
  const std::vector<Case> cases = {
      {"each command takes its fields; the rest is skipped",
       "C\tdata\\a.dat\n"
       "R\tb.dat\textra\tmore\n"
       "I\tpack.arc\tsrc.bin\tentry\\name.bin\n"
       "P\tupdate.pak\n"
       "P\n"
       "E\n"
       "N this comment begins with a capital N\n"
       "I\tonly\ttwo\n"   // I needs three fields
       "C\n"              // C needs a field
       "R   \t \n"        // white space is no field
       "c\tlower.dat\n"   // letters are case-sensitive
       "X\tunknown\n"
       " C\tindented\n"   // the letter is the first byte
       "\tC x\n"          // ... even a tab
       "\n",
       {"C|data\\a.dat||", "R|b.dat||", "I|pack.arc|src.bin|entry\\name.bin", "P|update.pak||", "P|||", "E|||",
        "N|||"}},
      {"extra fields are ignored", "I a b c d e\n", {"I|a|b|c"}},
      {"trailing white space is no field", "P \t\r\n", {"P|||"}},
      {"any white space separates, none is needed after the letter",
       "Cdirect.dat\nC  \v\f spaced.dat   \nI one\t\t two   three\nC\tname with space.dat\n",
       {"C|direct.dat||", "C|spaced.dat||", "I|one|two|three", "C|name||"}},
      {"double-byte names are read whole", "C\t" + kSoHyou + "\\" + kSoHyou + ".dat\r\n",
       {"C|" + kSoHyou + "\\" + kSoHyou + ".dat||"}},
      {"CR LF ends a line; the last needs none", "C\ta.dat\r\nR\tb.dat\r\nC\tc.dat",
       {"C|a.dat||", "R|b.dat||", "C|c.dat||"}},
      {"0x1A ends the text", "C\ta.dat\r\n\x1a" "C\thidden.dat\r\n", {"C|a.dat||"}},
      {"300 bytes: a piece of 255, then one of 45",
       "C\t" + std::string(253, 'a') + "R\t" + std::string(43, 'b') + "\n",
       {"C|" + std::string(253, 'a') + "||", "R|" + std::string(43, 'b') + "||"}},
      {"a line of exactly 255 bytes leaves its line end as a piece of its own",
       "C\t" + std::string(253, 'x') + "\nC\ty\n", {"C|" + std::string(253, 'x') + "||", "C|y||"}},
      {"NUL ends the scan of its piece", std::string("\0C\tskipped\n", 11) + std::string("C\tkept\0dropped\n", 15),
       {"C|kept||"}},
      {"a 10 MiB line without a line end", std::string(10 * 1024 * 1024, 'Z') + "\nC\tafter.dat\n",
       {"C|after.dat||"}},
      {"100,000 skipped lines", many + "N\n", {"N|||"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    EXPECT_TRUE(load(test.text));
    EXPECT_EQ(entries(), test.entries);
  }
}

TEST_F(UpdateListTest, MissingEmptyUselessAndOverfullListsAreRefused) {
  list_.count = 3;
  EXPECT_FALSE(loadUpdateListFrom((folder_ / "absent.lst").c_str(), &list_));
  EXPECT_EQ(list_.count, 3) << "an unreadable file leaves the list as it was";
  EXPECT_FALSE(load(""));
  EXPECT_EQ(list_.count, 0);
  EXPECT_FALSE(load("# comment\n\nc\tlower\n"));
  EXPECT_EQ(list_.count, 0);

  std::string text;
  for (int i = 0; i < 512; ++i) text += "C\tf" + std::to_string(i) + "\n";
  ASSERT_TRUE(load(text + "# comments do not count\n"));
  EXPECT_EQ(list_.count, 512);
  EXPECT_EQ(list_.paths[511], "f511");
  EXPECT_FALSE(load(text + "E\n")) << "513 entries refuse the whole list";
  EXPECT_EQ(list_.count, 0);
}

// A piece as "line:continuation:goesOn:outcome:index".
std::string pieceText(int line, bool continuation, bool goesOn, PieceOutcome outcome, int index) {
  return std::to_string(line) + ":" + std::to_string(continuation) + ":" + std::to_string(goesOn) + ":" +
         std::to_string(static_cast<int>(outcome)) + ":" + std::to_string(index);
}

class RecordingObserver : public ListObserver {
 public:
  void onPiece(const ListPiece& piece) override {
    seen.push_back(pieceText(piece.lineNumber, piece.continuation, piece.lineGoesOn, piece.outcome, piece.entryIndex));
  }
  std::vector<std::string> seen;
};

TEST_F(UpdateListTest, ObserverHearsEveryPieceWithItsLineAndOutcome) {
  using O = PieceOutcome;
  const auto piece = pieceText;
  RecordingObserver observer;
  ASSERT_TRUE(load("C\ta\nI\tx\ty\nq\nR\t" + std::string(300, 'r') + "\nE\n", &observer));
  EXPECT_EQ(observer.seen, (std::vector<std::string>{
                               piece(1, false, false, O::Stored, 0), piece(2, false, false, O::TooFewFields, -1),
                               piece(3, false, false, O::UnknownLetter, -1), piece(4, false, true, O::Stored, 1),
                               // the rest of line 4 begins with 'r'
                               piece(4, true, false, O::UnknownLetter, -1), piece(5, false, false, O::Stored, 2)}));

  // The entries past the capacity are heard too.
  RecordingObserver full;
  std::string text;
  for (int i = 0; i < 514; ++i) text += "N\n";
  EXPECT_FALSE(load(text, &full));
  ASSERT_EQ(full.seen.size(), 514u);
  EXPECT_EQ(full.seen[511], piece(512, false, false, O::Stored, 511));
  EXPECT_EQ(full.seen[512], piece(513, false, false, O::OverCapacity, -1));
  EXPECT_EQ(full.seen[513], piece(514, false, false, O::OverCapacity, -1));
}

}  // namespace
