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
  bool load(const std::string& text) {
    EXPECT_TRUE(writeFile(folder_ / "UpDate.lst", text));
    return loadUpdateListFrom((folder_ / "UpDate.lst").c_str(), &list_);
  }
  std::string command(int i) const { return std::string(1, static_cast<char>(list_.commands[i])); }

  TempFolder folder_;
  UpdateList list_;
};

TEST_F(UpdateListTest, EachCommandStoresItsFieldsAndSkipsWhatItCannotUse) {
  ASSERT_TRUE(load(
      "C\tdata\\a.dat\n"
      "R\tb.dat\textra\tmore\n"
      "I\tpack.arc\tsrc.bin\tentry\\name.bin\n"
      "P\tupdate.pak\n"
      "P\n"
      "E\n"
      "N this comment begins with a capital N\n"
      "I\tonly\ttwo\n"   // skipped: I needs three fields
      "C\n"              // skipped: C needs a field
      "R   \t \n"        // skipped: white space is no field
      "c\tlower.dat\n"   // skipped: letters are case-sensitive
      "X\tunknown\n"     // skipped
      " C\tindented\n"   // skipped: the letter is the first byte
      "\n"));
  ASSERT_EQ(list_.count, 7);
  EXPECT_EQ(command(0), "C");
  EXPECT_EQ(list_.paths[0], "data\\a.dat");
  EXPECT_EQ(command(1), "R");
  EXPECT_EQ(list_.paths[1], "b.dat");
  EXPECT_EQ(list_.sourceNames[1], "");
  EXPECT_EQ(list_.entryNames[1], "");
  EXPECT_EQ(command(2), "I");
  EXPECT_EQ(list_.paths[2], "pack.arc");
  EXPECT_EQ(list_.sourceNames[2], "src.bin");
  EXPECT_EQ(list_.entryNames[2], "entry\\name.bin");
  EXPECT_EQ(command(3), "P");
  EXPECT_EQ(list_.paths[3], "update.pak");
  EXPECT_EQ(command(4), "P");
  EXPECT_EQ(list_.paths[4], "");
  EXPECT_EQ(command(5), "E");
  EXPECT_EQ(command(6), "N");
  EXPECT_EQ(list_.paths[6], "");
}

TEST_F(UpdateListTest, AnyWhiteSpaceSeparatesAndNoneIsNeededAfterTheLetter) {
  ASSERT_TRUE(load("Cdirect.dat\n"
                   "C  \v\f spaced.dat   \n"
                   "I one\t\t two   three\n"
                   "C\tname with space.dat\n"));
  ASSERT_EQ(list_.count, 4);
  EXPECT_EQ(list_.paths[0], "direct.dat");
  EXPECT_EQ(list_.paths[1], "spaced.dat");
  EXPECT_EQ(list_.paths[2], "one");
  EXPECT_EQ(list_.sourceNames[2], "two");
  EXPECT_EQ(list_.entryNames[2], "three");
  EXPECT_EQ(list_.paths[3], "name");
}

TEST_F(UpdateListTest, DoubleByteNamesAreReadWhole) {
  ASSERT_TRUE(load("C\t" + kSoHyou + "\\" + kSoHyou + ".dat\r\n"));
  ASSERT_EQ(list_.count, 1);
  EXPECT_EQ(list_.paths[0], kSoHyou + "\\" + kSoHyou + ".dat");
}

TEST_F(UpdateListTest, TextModeLineEndsAndEndOfTextMark) {
  // CR LF is one line end; the last line needs none; 0x1A ends the text.
  ASSERT_TRUE(load("C\ta.dat\r\nR\tb.dat\r\nC\tc.dat"));
  ASSERT_EQ(list_.count, 3);
  EXPECT_EQ(list_.paths[2], "c.dat");

  ASSERT_TRUE(load("C\ta.dat\r\n\x1a" "C\thidden.dat\r\n"));
  ASSERT_EQ(list_.count, 1);
}

TEST_F(UpdateListTest, LongLinesAreReadInPiecesOf255Bytes) {
  // 300 bytes before the line end: a piece of 255 bytes, then one of 45.
  std::string first = "C\t" + std::string(253, 'a');
  std::string rest = "R\t" + std::string(43, 'b');
  ASSERT_TRUE(load(first + rest + "\n"));
  ASSERT_EQ(list_.count, 2);
  EXPECT_EQ(list_.paths[0], std::string(253, 'a'));
  EXPECT_EQ(command(1), "R");
  EXPECT_EQ(list_.paths[1], std::string(43, 'b'));

  // A line of exactly 255 bytes leaves its line end as a piece of its own.
  ASSERT_TRUE(load("C\t" + std::string(253, 'x') + "\nC\ty\n"));
  ASSERT_EQ(list_.count, 2);
  EXPECT_EQ(list_.paths[1], "y");
}

TEST_F(UpdateListTest, NulBytesEndTheScanOfTheirPiece) {
  ASSERT_TRUE(load(std::string("\0C\tskipped\n", 11) + std::string("C\tkept\0dropped\n", 15)));
  ASSERT_EQ(list_.count, 1);
  EXPECT_EQ(list_.paths[0], "kept");
}

TEST_F(UpdateListTest, MissingEmptyAndUselessListsAreRefused) {
  list_.count = 3;
  EXPECT_FALSE(loadUpdateListFrom((folder_ / "absent.lst").c_str(), &list_));
  EXPECT_EQ(list_.count, 3) << "an unreadable file leaves the list as it was";
  EXPECT_FALSE(load(""));
  EXPECT_EQ(list_.count, 0);
  EXPECT_FALSE(load("# comment\n\nc\tlower\n"));
  EXPECT_EQ(list_.count, 0);
}

TEST_F(UpdateListTest, ReloadingNeverKeepsTextOfAnEarlierLoad) {
  ASSERT_TRUE(load("I\tarc\tsrc\tentry\n"));
  ASSERT_TRUE(load("P\n"));
  ASSERT_EQ(list_.count, 1);
  EXPECT_EQ(list_.paths[0], "");
  EXPECT_EQ(list_.sourceNames[0], "");
  EXPECT_EQ(list_.entryNames[0], "");
}

TEST_F(UpdateListTest, MoreThan512EntriesRefuseTheWholeList) {
  std::string text;
  for (int i = 0; i < 512; ++i) text += "C\tf" + std::to_string(i) + "\n";
  ASSERT_TRUE(load(text + "# comments do not count\n"));
  EXPECT_EQ(list_.count, 512);
  EXPECT_EQ(list_.paths[511], "f511");

  EXPECT_FALSE(load(text + "E\n"));
  EXPECT_EQ(list_.count, 0);
}

TEST_F(UpdateListTest, HugeInputsGiveACleanResult) {
  // A 10 MiB line without a line end, then a real entry.
  ASSERT_TRUE(load(std::string(10 * 1024 * 1024, 'Z') + "\nC\tafter.dat\n"));
  ASSERT_EQ(list_.count, 1);
  EXPECT_EQ(list_.paths[0], "after.dat");

  // 100,000 lines, all skipped but one.
  std::string many;
  for (int i = 0; i < 100000; ++i) many += "x\tnothing\n";
  EXPECT_TRUE(load(many + "N\n"));
  EXPECT_EQ(list_.count, 1);
}

class RecordingObserver : public ListObserver {
 public:
  struct Seen {
    int line;
    bool continuation;
    bool goesOn;
    PieceOutcome outcome;
    int index;
  };
  void onPiece(const ListPiece& piece) override {
    seen.push_back({piece.lineNumber, piece.continuation, piece.lineGoesOn, piece.outcome, piece.entryIndex});
  }
  std::vector<Seen> seen;
};

TEST_F(UpdateListTest, ObserverHearsEveryPieceWithItsLineAndOutcome) {
  ASSERT_TRUE(writeFile(folder_ / "UpDate.lst", "C\ta\nI\tx\ty\nq\n" + std::string("R\t") +
                                                    std::string(300, 'r') + "\nE\n"));
  RecordingObserver observer;
  ASSERT_TRUE(loadUpdateListFrom((folder_ / "UpDate.lst").c_str(), &list_, &observer));
  ASSERT_EQ(observer.seen.size(), 6u);
  EXPECT_EQ(observer.seen[0].outcome, PieceOutcome::Stored);
  EXPECT_EQ(observer.seen[0].index, 0);
  EXPECT_EQ(observer.seen[1].outcome, PieceOutcome::TooFewFields);
  EXPECT_EQ(observer.seen[2].outcome, PieceOutcome::UnknownLetter);
  EXPECT_EQ(observer.seen[3].line, 4);
  EXPECT_TRUE(observer.seen[3].goesOn);
  EXPECT_EQ(observer.seen[4].line, 4);
  EXPECT_TRUE(observer.seen[4].continuation);
  EXPECT_EQ(observer.seen[4].outcome, PieceOutcome::UnknownLetter);  // starts with 'r'
  EXPECT_EQ(observer.seen[5].line, 5);
  EXPECT_EQ(observer.seen[5].index, 2);
}

TEST_F(UpdateListTest, ObserverHearsTheEntriesPastTheCapacity) {
  std::string text;
  for (int i = 0; i < 514; ++i) text += "N\n";
  ASSERT_TRUE(writeFile(folder_ / "UpDate.lst", text));
  RecordingObserver observer;
  EXPECT_FALSE(loadUpdateListFrom((folder_ / "UpDate.lst").c_str(), &list_, &observer));
  ASSERT_EQ(observer.seen.size(), 514u);
  EXPECT_EQ(observer.seen[511].outcome, PieceOutcome::Stored);
  EXPECT_EQ(observer.seen[512].outcome, PieceOutcome::OverCapacity);
  EXPECT_EQ(observer.seen[513].outcome, PieceOutcome::OverCapacity);
}

TEST(UpdateListScan, CountsItemsLikeTheFormattedScan) {
  ScannedLine scanned;
  scanListLine("", &scanned);
  EXPECT_EQ(scanned.itemCount, 0);
  scanListLine("P", &scanned);
  EXPECT_EQ(scanned.itemCount, 1);
  scanListLine("P \t\r\n", &scanned);
  EXPECT_EQ(scanned.itemCount, 1);
  scanListLine("I a b c d e", &scanned);
  EXPECT_EQ(scanned.itemCount, 4);
  EXPECT_STREQ(scanned.fields[2], "c");
  scanListLine("\tC x", &scanned);  // the letter is a tab
  EXPECT_EQ(scanned.letter, '\t');
  EXPECT_EQ(scanned.itemCount, 3);
}

}  // namespace
