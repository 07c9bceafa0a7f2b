// The pause and cancel protocol on the worker's side, with the real pause
// event and the run on a real second thread. The fake dialog resets the
// event from a move of the bar (on the worker, as the dialog does while an
// entry is performed); the test's thread then plays the dialog's part.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/run_fixture.h"

namespace {

// The dialog's answers: a confirmed cancel, and "no" to the question.
void confirmCancel() {
  runState.worker.cancelRequested.store(1);
  plat::setEvent(runState.pauseEvent.load());
}
void resume() { plat::setEvent(runState.pauseEvent.load()); }

using RunPauseTest = RunFixture;

// The worker holds before its next step and follows the answer; a cancel
// once every entry is done is too late.
TEST_F(RunPauseTest, AHeldWorkerWaitsBeforeItsNextStepAndFollowsTheAnswer) {
  const struct {
    int holdAtMove;  // 1 is the bar's start (verification ahead), 2 follows entry 0, 5 the last entry
    void (*answer)();
    const char* installedAtHold;
    const char* text;
    const char* installedAtTheEnd;
  } cases[] = {
      {1, confirmCancel, "   ", "ユーザーにより更新処理を中止しました。", "   "},
      {2, confirmCancel, "a  ", "ユーザーにより更新処理を中止しました。", "a  "},
      {3, resume, "ab ", "ファイル更新処理が終了しました", "abc"},
      {5, confirmCancel, "abc", "ファイル更新処理が終了しました", "abc"},
  };
  const auto installedNames = [&] {
    std::string names;
    for (const char* name : {"a.dat", "b.dat", "c.dat"}) names += fileIsPresent(game_ / name) ? name[0] : ' ';
    return names;
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.holdAtMove);
    for (const char* name : {"a.dat", "b.dat", "c.dat"}) plat::deleteFile((game_ / name).c_str());
    startOver();
    for (const char* name : {"a.dat", "b.dat", "c.dat"}) deliver(name, std::string("new ") + name);
    deliver("UpDate.lst", "C\ta.dat\nC\tb.dat\nC\tc.dat\n");
    Signal reached;
    host_.onProgressPosition = [&, moves = 0](int) mutable {
      if (++moves != test.holdAtMove) return;
      plat::resetEvent(runState.pauseEvent.load());
      reached.raise();
    };
    ASSERT_TRUE(runState.worker.start());
    reached.wait();
    EXPECT_EQ(installedNames(), test.installedAtHold);
    EXPECT_TRUE(host_.messages().empty()) << "held before the outcome";
    EXPECT_EQ(runState.running.load(), 1);
    test.answer();
    plat::joinThread(runState.worker.threadHandle);
    plat::closeThreadHandle(runState.worker.threadHandle);
    EXPECT_EQ(host_.closeRequests(), 1);
    EXPECT_EQ(host_.messages().back().owner, kDialogWindow);
    EXPECT_EQ(host_.messages().back().text, sjis(test.text));
    EXPECT_EQ(installedNames(), test.installedAtTheEnd);
    EXPECT_EQ(runState.running.load(), 0);
  }
}

}  // namespace

namespace {

// An event of the pause event's name that another program made first could
// pause, resume or free the run: the run takes one without a name.
TEST_F(RunPauseTest, ARunNeverPausesOnAnotherProgramsEvent) {
  plat::EventHandle foreign = plat::createManualResetEvent("Cansel", false);
  ASSERT_TRUE(foreign);
  EXPECT_EQ(run("E\n"), 1u);
  EXPECT_TRUE(runState.pauseEvent.load() && runState.pauseEvent.load().raw != foreign.raw);
  plat::closeEvent(foreign);
}

}  // namespace
