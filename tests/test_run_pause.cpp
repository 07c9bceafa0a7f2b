// The pause and cancel protocol on the worker's side, with the real pause
// event and the run on a real second thread. The fake dialog's callbacks
// run on the worker and mark exact points of the run; the test's thread
// plays the dialog's part from there.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "run/run_state.h"
#include "tests/support/run_fixture.h"

namespace {

const char* const kUserCancelled = "ユーザーにより更新処理を中止しました。";
const char* const kDone = "ファイル更新処理が終了しました";

class RunPauseTest : public RunFixture {
 protected:
  void SetUp() override {
    RunFixture::SetUp();
    for (const char* name : {"a.dat", "b.dat", "c.dat"}) deliver(name, std::string("new ") + name);
  }
  // The dialog's side of a confirmed cancel, as it runs after the question.
  static void confirmCancel() {
    runState.worker.cancelRequested.store(1);
    plat::setEvent(runState.pauseEvent.load());
  }
  std::string lastText() const { return host_.messages().empty() ? "" : host_.messages().back().text; }
  void startWorker(const std::string& list = "C\ta.dat\nC\tb.dat\nC\tc.dat\n") {
    ASSERT_TRUE(writeFile(delivery_ / "UpDate.lst", list));
    ASSERT_TRUE(runState.worker.start());
  }
  void joinWorker() {
    plat::joinThread(runState.worker.threadHandle);
    plat::closeThreadHandle(runState.worker.threadHandle);
    runState.worker.threadHandle = plat::ThreadHandle{};
  }
  // The installed targets' first letters, in list order.
  std::string installedNames() const {
    std::string names;
    for (const char* name : {"a.dat", "b.dat", "c.dat"})
      if (isInstalled(name)) names += name[0];
    return names;
  }
};

// The dialog resets the event while an entry is being performed (here:
// from a move of the bar); the worker must hold before its next step and
// then follow the answer. A cancel that comes once every entry is done is
// too late: the run ends with its normal outcome.
TEST_F(RunPauseTest, AHeldWorkerWaitsBeforeItsNextStepAndFollowsTheAnswer) {
  struct Case {
    const char* what;
    int holdAtMove;  // 1 is the bar's start, 2 follows entry 0, 5 the last entry
    const char* installedAtHold;
    bool cancel;
    const char* text;
    const char* caption;
    const char* installedAtTheEnd;
  };
  const Case cases[] = {
      {"cancel after entry 0 stops before entry 1", 2, "a", true, kUserCancelled, "アップデート中止", "a"},
      {"no after entry 1 goes on", 3, "ab", false, kDone, "アップデート終了", "abc"},
      {"cancel before the final message changes nothing", 5, "abc", true, kDone, "アップデート終了", "abc"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    for (const char* name : {"a.dat", "b.dat", "c.dat"}) plat::deleteFile((game_ / name).c_str());
    startOver();
    Signal reached;
    int moves = 0;
    host_.onProgressPosition = [&](int) {
      if (++moves == test.holdAtMove) {
        plat::resetEvent(runState.pauseEvent.load());
        reached.raise();
      }
    };
    startWorker();
    reached.wait();
    EXPECT_EQ(installedNames(), test.installedAtHold) << "held before the next entry";
    EXPECT_TRUE(host_.messages().empty()) << "held before the outcome";
    EXPECT_EQ(runState.running.load(), 1);
    if (test.cancel)
      confirmCancel();
    else
      plat::setEvent(runState.pauseEvent.load());
    joinWorker();

    EXPECT_EQ(lastText(), sjis(test.text));
    EXPECT_EQ(host_.messages().back().caption, sjis(test.caption));
    EXPECT_EQ(host_.messages().back().owner, kDialogWindow);
    EXPECT_EQ(host_.closeRequests(), 1);
    EXPECT_EQ(installedNames(), test.installedAtTheEnd);
    EXPECT_EQ(runState.running.load(), 0);
  }
}

// Cancel confirmed at the bar's first move, while verification is still
// ahead: the run stops at its first entry, before anything is written; a
// list that fails verification ends with that failure instead.
TEST_F(RunPauseTest, ACancelDuringVerificationStopsBeforeAnythingIsWritten) {
  const std::pair<const char*, const char*> cases[] = {
      {"C\ta.dat\nC\tb.dat\n", kUserCancelled},
      {"C\ta.dat\nC\tmissing.dat\n", "更新用ファイルが見つかりませんでした。更新処理を中止します。"}};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.first);
    startOver();
    Signal reached, goOn;
    host_.onProgressPosition = [&](int) {
      if (host_.positions().size() == 1) {
        reached.raise();
        goOn.wait();
      }
    };
    startWorker(test.first);
    reached.wait();
    plat::resetEvent(runState.pauseEvent.load());
    confirmCancel();
    goOn.raise();
    joinWorker();
    EXPECT_EQ(lastText(), sjis(test.second));
    EXPECT_FALSE(isInstalled("a.dat"));
    EXPECT_EQ(host_.positions(), std::vector<int>{0});
  }
}

TEST_F(RunPauseTest, TheRunMakesItsEventSignalledAndKeepsAnExistingOne) {
  EXPECT_FALSE(runState.pauseEvent.load());
  ASSERT_TRUE(writeFile(delivery_ / "UpDate.lst", "E\n"));
  runWorkerToEnd();
  plat::EventHandle made = runState.pauseEvent.load();
  ASSERT_TRUE(made);
  plat::waitForever(made);  // signalled: returns at once

  // An event that is already there is reused and signalled again.
  startOver();
  plat::EventHandle existing = plat::createManualResetEvent(nullptr, false);
  runState.pauseEvent.store(existing);
  runWorkerToEnd();
  EXPECT_EQ(runState.pauseEvent.load().raw, existing.raw);
  plat::waitForever(existing);
  EXPECT_EQ(lastText(), sjis("全データが最新でしたので更新処理は行いませんでした"));
}

}  // namespace
