// The pause and cancel protocol on the worker's side, with the real pause
// event and the run on a real second thread. The fake dialog's callbacks
// run on the worker and mark exact points of the run; the test's thread
// plays the dialog's part from there.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/run_fixture.h"

namespace {

const char* const kUserCancelled = "ユーザーにより更新処理を中止しました。";
const char* const kDone = "ファイル更新処理が終了しました";

class RunPauseTest : public RunFixture {
 protected:
  // The dialog's side of a confirmed cancel, as it runs after the question.
  static void confirmCancel() {
    runState.worker.cancelRequested.store(1);
    plat::setEvent(runState.pauseEvent.load());
  }
  // Runs the list on the worker. At the bar's `move`-th move the dialog
  // resets the pause event, or (`inCallback`) the worker waits inside the
  // move for the test's thread; that sees what is installed by then (first
  // letters, returned) and answers with `answer`.
  std::string runHeld(const std::string& list, int move, bool inCallback, void (*answer)()) {
    for (const char* name : {"a.dat", "b.dat", "c.dat"}) deliver(name, std::string("new ") + name);
    deliver("UpDate.lst", list);
    Signal reached, goOn;
    int moves = 0;
    host_.onProgressPosition = [&](int) {
      if (++moves != move) return;
      if (!inCallback) plat::resetEvent(runState.pauseEvent.load());
      reached.raise();
      if (inCallback) goOn.wait();
    };
    EXPECT_TRUE(runState.worker.start());
    reached.wait();
    std::string installedThen = installedNames();
    EXPECT_TRUE(host_.messages().empty()) << "held before the outcome";
    EXPECT_EQ(runState.running.load(), 1);
    answer();
    goOn.raise();
    plat::joinThread(runState.worker.threadHandle);
    plat::closeThreadHandle(runState.worker.threadHandle);
    runState.worker.threadHandle = plat::ThreadHandle{};
    EXPECT_EQ(host_.closeRequests(), 1);
    EXPECT_EQ(host_.messages().back().owner, kDialogWindow);
    EXPECT_EQ(runState.running.load(), 0);
    return installedThen;
  }
  std::string installedNames() const {
    std::string names;
    for (const char* name : {"a.dat", "b.dat", "c.dat"})
      if (isInstalled(name)) names += name[0];
    return names;
  }
  std::string lastText() const { return host_.messages().back().text; }
};

void resume() { plat::setEvent(runState.pauseEvent.load()); }

// The dialog resets the event while an entry is performed (here: from a
// move of the bar); the worker holds before its next step and follows the
// answer. A cancel once every entry is done is too late.
TEST_F(RunPauseTest, AHeldWorkerWaitsBeforeItsNextStepAndFollowsTheAnswer) {
  const struct {
    int holdAtMove;  // 1 is the bar's start, 2 follows entry 0, 5 the last entry
    void (*answer)();
    const char* installedAtHold;
    const char* text;
    const char* installedAtTheEnd;
  } cases[] = {
      {2, confirmCancel, "a", kUserCancelled, "a"},
      {3, resume, "ab", kDone, "abc"},
      {5, confirmCancel, "abc", kDone, "abc"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.holdAtMove);
    for (const char* name : {"a.dat", "b.dat", "c.dat"}) plat::deleteFile((game_ / name).c_str());
    startOver();
    EXPECT_EQ(runHeld("C\ta.dat\nC\tb.dat\nC\tc.dat\n", test.holdAtMove, false, test.answer), test.installedAtHold);
    EXPECT_EQ(lastText(), sjis(test.text));
    EXPECT_EQ(installedNames(), test.installedAtTheEnd);
  }
}

// Cancel confirmed at the bar's first move, while verification is still
// ahead: the run stops before its first entry; a list that fails
// verification ends with that failure instead.
TEST_F(RunPauseTest, ACancelDuringVerificationStopsBeforeAnythingIsWritten) {
  const std::pair<const char*, const char*> cases[] = {
      {"C\ta.dat\nC\tb.dat\n", kUserCancelled},
      {"C\ta.dat\nC\tmissing.dat\n", "更新用ファイルが見つかりませんでした。更新処理を中止します。"}};
  for (const auto& [list, text] : cases) {
    startOver();
    runHeld(list, 1, true, confirmCancel);
    EXPECT_EQ(lastText(), sjis(text)) << list;
    EXPECT_EQ(installedNames(), "");
    EXPECT_EQ(host_.positions(), std::vector<int>{0});
  }
}

TEST_F(RunPauseTest, TheRunMakesItsEventSignalledAndKeepsAnExistingOne) {
  deliver("UpDate.lst", "E\n");
  runWorkerToEnd();
  plat::EventHandle made = runState.pauseEvent.load();
  ASSERT_TRUE(made);
  plat::waitForever(made);  // signalled: returns at once

  startOver();
  plat::EventHandle existing = plat::createManualResetEvent(nullptr, false);
  runState.pauseEvent.store(existing);
  runWorkerToEnd();
  EXPECT_EQ(runState.pauseEvent.load().raw, existing.raw);
  plat::waitForever(existing);
  EXPECT_EQ(lastText(), sjis("全データが最新でしたので更新処理は行いませんでした"));
}

}  // namespace
