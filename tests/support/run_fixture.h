// A test fixture for the update run: a delivery folder that is the current
// directory (list, loose sources, packages), an install folder, and the
// scripted dialog wired into runState. Both folders go at the end.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "list/update_list.h"
#include "run/loose_file.h"
#include "run/run_state.h"
#include "tests/support/fake_host.h"
#include "tests/support/run_reset.h"
#include "tests/support/test_files.h"

// UTF-8 test text as the CP932 bytes the program uses, converted
// independently of the escaped strings in the program's sources.
inline std::string sjis(const std::string& utf8) {
  std::string cp932;
  EXPECT_TRUE(plat::utf8ToCp932(utf8, &cp932)) << utf8;
  return cp932;
}

// The file-error prompt, with the system's own text for the code.
inline std::string expectedPrompt(const std::string& path, const char* hexCode, uint32_t code) {
  std::string systemText;
  if (!plat::systemMessage(code, &systemText)) systemText.clear();
  return sjis("ファイルの更新中にエラーが発生しました") + "\n\nfilename:" + path + "\nerrorcode:" + hexCode +
         "\nerrorcomment:" + systemText;
}

class RunFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    resetRunState();
    host_.installFolder = game_.path();
    runState.dialog = &host_;
    runState.dialogWindow = kDialogWindow;
  }
  void TearDown() override { resetRunState(); }

  // A second run in the same test: run state and dialog as at the start,
  // the folders as they are.
  void startOver() {
    host_ = FakeHost();
    SetUp();
  }

  void deliver(const std::string& name, const std::string& bytes) { ASSERT_TRUE(writeFileAndFolders(delivery_ / name, bytes)); }

  // A whole run on this thread, behind the fake dialog.
  uint32_t run(const std::string& list) {
    EXPECT_TRUE(writeFile(delivery_ / "UpDate.lst", list));
    return runUpdate(&runState.worker);
  }

  static void* const kDialogWindow;

  TempFolder delivery_;
  TempFolder game_;
  CurrentDirectory inDelivery_{delivery_.path()};
  FakeHost host_;
};

inline void* const RunFixture::kDialogWindow = reinterpret_cast<void*>(static_cast<intptr_t>(0x5150));
