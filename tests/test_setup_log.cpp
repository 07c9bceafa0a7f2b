// Registration of created files in "Setup.log": only an existing log is
// extended, one "F", tab, path, CR LF line per call, bytes unchanged.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "run/setup_log.h"
#include "tests/support/test_files.h"

namespace {

TEST(SetupLog, WithoutALogNothingIsWrittenOrCreated) {
  TempFolder game;
  EXPECT_FALSE(registerCreatedFile((game / "data\\a.dat").c_str(), game.path().c_str()));
  EXPECT_FALSE(fileIsPresent(game / "Setup.log"));
}

TEST(SetupLog, AppendsOneLinePerFileInOrder) {
  TempFolder game;
  ASSERT_TRUE(writeFile(game / "Setup.log", "F\tD:\\Game\\game.exe\r\n"));
  EXPECT_TRUE(registerCreatedFile("D:\\Game\\data\\a.dat", game.path().c_str()));
  // The path's CP932 bytes go in unchanged, trail bytes 0x5C included.
  EXPECT_TRUE(registerCreatedFile("D:\\Game\\\x83\x5c\x95\x5c.dat", game.path().c_str()));
  EXPECT_EQ(readFileOrEmpty(game / "Setup.log"),
            "F\tD:\\Game\\game.exe\r\n"
            "F\tD:\\Game\\data\\a.dat\r\n"
            "F\tD:\\Game\\\x83\x5c\x95\x5c.dat\r\n");
}

TEST(SetupLog, ALogWithoutAFinalLineBreakGetsTheLineJoined) {
  TempFolder game;
  ASSERT_TRUE(writeFile(game / "Setup.log", "F\tD:\\Game\\game.exe"));
  EXPECT_TRUE(registerCreatedFile("D:\\Game\\a.dat", game.path().c_str()));
  EXPECT_EQ(readFileOrEmpty(game / "Setup.log"), "F\tD:\\Game\\game.exeF\tD:\\Game\\a.dat\r\n");
}

TEST(SetupLog, EmptyAndEndOfTextMarkedLogs) {
  TempFolder game;
  ASSERT_TRUE(writeFile(game / "Setup.log", ""));
  EXPECT_TRUE(registerCreatedFile("D:\\Game\\a.dat", game.path().c_str()));
  EXPECT_EQ(readFileOrEmpty(game / "Setup.log"), "F\tD:\\Game\\a.dat\r\n");
  // Appending in text mode drops a final end-of-text byte first.
  ASSERT_TRUE(writeFile(game / "Setup.log", "F\tD:\\Game\\old.dat\r\n\x1a"));
  EXPECT_TRUE(registerCreatedFile("D:\\Game\\a.dat", game.path().c_str()));
  EXPECT_EQ(readFileOrEmpty(game / "Setup.log"), "F\tD:\\Game\\old.dat\r\nF\tD:\\Game\\a.dat\r\n");
}

TEST(SetupLog, ALogThatCannotBeAppendedToIsSilent) {
  TempFolder game;
  ASSERT_TRUE(writeFile(game / "Setup.log", "F\tD:\\Game\\game.exe\r\n"));
  // Held by a reader that shares reading only: it opens for reading, not for appending.
  plat::File holder;
  ASSERT_TRUE(holder.open((game / "Setup.log").c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting));
  EXPECT_TRUE(registerCreatedFile("D:\\Game\\a.dat", game.path().c_str())) << "it exists, so true";
  holder.close();
  EXPECT_EQ(readFileOrEmpty(game / "Setup.log"), "F\tD:\\Game\\game.exe\r\n");
}

}  // namespace
