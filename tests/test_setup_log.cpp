// Registration of created files in "Setup.log": only an existing log is
// extended, one "F", tab, path, CR LF line per call, bytes unchanged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "run/setup_log.h"
#include "tests/support/test_files.h"

namespace {

TEST(SetupLog, EachCreatedFileBecomesOneLineOfAnExistingLog) {
  struct Case {
    const char* what;
    std::string before;
    std::vector<std::string> created;
    std::string after;
  };
  const std::vector<Case> cases = {
      // The path's CP932 bytes go in unchanged, trail bytes 0x5C included.
      {"lines in order", "F\tD:\\Game\\game.exe\r\n", {"D:\\Game\\data\\a.dat", "D:\\Game\\\x83\x5c\x95\x5c.dat"},
       "F\tD:\\Game\\game.exe\r\nF\tD:\\Game\\data\\a.dat\r\nF\tD:\\Game\\\x83\x5c\x95\x5c.dat\r\n"},
      {"no final line break: joined", "F\tD:\\Game\\game.exe", {"D:\\Game\\a.dat"},
       "F\tD:\\Game\\game.exeF\tD:\\Game\\a.dat\r\n"},
      {"empty log", "", {"D:\\Game\\a.dat"}, "F\tD:\\Game\\a.dat\r\n"},
      // Appending in text mode drops a final end-of-text byte first.
      {"end-of-text mark", "F\tD:\\Game\\old.dat\r\n\x1a", {"D:\\Game\\a.dat"},
       "F\tD:\\Game\\old.dat\r\nF\tD:\\Game\\a.dat\r\n"},
      // A run stopped after logging a file, before making it, logs it again:
      // the same last line is not written twice, an earlier one is.
      {"already the last line",
       "F\tD:\\Game\\a.dat\r\n",
       {"D:\\Game\\a.dat", "D:\\Game\\b.dat", "D:\\Game\\a.dat"},
       "F\tD:\\Game\\a.dat\r\nF\tD:\\Game\\b.dat\r\nF\tD:\\Game\\a.dat\r\n"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    TempFolder game;
    ASSERT_TRUE(writeFile(game / "Setup.log", test.before));
    for (const std::string& path : test.created) EXPECT_TRUE(registerCreatedFile(path.c_str(), game.path().c_str()));
    EXPECT_EQ(readFileOrEmpty(game / "Setup.log"), test.after);
  }
}

TEST(SetupLog, AMissingOrHeldLogIsLeftAlone) {
  TempFolder game;
  EXPECT_FALSE(registerCreatedFile((game / "data\\a.dat").c_str(), game.path().c_str()));
  EXPECT_FALSE(fileIsPresent(game / "Setup.log")) << "never created";

  ASSERT_TRUE(writeFile(game / "Setup.log", "F\tD:\\Game\\game.exe\r\n"));
  // Held by a reader that shares reading only: it opens for reading, not for appending.
  plat::File holder;
  ASSERT_TRUE(holder.open((game / "Setup.log").c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting));
  EXPECT_TRUE(registerCreatedFile("D:\\Game\\a.dat", game.path().c_str())) << "it exists, so true";
  holder.close();
  EXPECT_EQ(readFileOrEmpty(game / "Setup.log"), "F\tD:\\Game\\game.exe\r\n");
}

}  // namespace
