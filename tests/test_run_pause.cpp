// The pause and cancel protocol on the worker's side, with the real pause
// event and the run on a real second thread. The fake dialog's callbacks
// run on the worker and mark exact points of the run; the test's thread
// plays the dialog's part from there.
#include <gtest/gtest.h>

#include <string>

#include "run/run_state.h"
#include "tests/support/run_fixture.h"

namespace {

class RunPauseTest : public RunFixture {
 protected:
  void SetUp() override {
    RunFixture::SetUp();
    deliver("a.dat", "new a");
    deliver("b.dat", "new b");
    deliver("c.dat", "new c");
  }
  // The dialog's side of a confirmed cancel, as it runs after the question.
  static void confirmCancel() {
    runState.worker.cancelRequested.store(1);
    plat::setEvent(runState.pauseEvent.load());
  }
  static void answerNo() { plat::setEvent(runState.pauseEvent.load()); }
  std::string lastText() const { return host_.messages().empty() ? "" : host_.messages().back().text; }
  void startWorker() {
    ASSERT_TRUE(writeFile(delivery_ / "UpDate.lst", "C\ta.dat\nC\tb.dat\nC\tc.dat\n"));
    ASSERT_TRUE(runState.worker.start());
  }
  void joinWorker() {
    plat::joinThread(runState.worker.threadHandle);
    plat::closeThreadHandle(runState.worker.threadHandle);
    runState.worker.threadHandle = plat::ThreadHandle{};
  }

  Signal reached_;
};

// The dialog resets the event while an entry is being performed (here:
// from the bar's move after entry 0); the worker must stop before entry 1.
TEST_F(RunPauseTest, AHeldWorkerStopsBeforeItsNextEntryWhenTheCancelIsConfirmed) {
  int moves = 0;
  host_.onProgressPosition = [&](int) {
    if (++moves == 2) {
      plat::resetEvent(runState.pauseEvent.load());
      reached_.raise();
    }
  };
  startWorker();
  reached_.wait();
  EXPECT_TRUE(isInstalled("a.dat"));
  EXPECT_FALSE(isInstalled("b.dat")) << "held before the next entry";
  EXPECT_EQ(runState.running.load(), 1);
  confirmCancel();
  joinWorker();

  EXPECT_EQ(lastText(), sjis("ユーザーにより更新処理を中止しました。"));
  EXPECT_EQ(host_.messages().back().owner, kDialogWindow);
  EXPECT_EQ(host_.closeRequests(), 1);
  EXPECT_FALSE(isInstalled("b.dat"));
  EXPECT_FALSE(isInstalled("c.dat"));
  EXPECT_EQ(runState.running.load(), 0);
}

TEST_F(RunPauseTest, AHeldWorkerGoesOnWhenTheUserSaysNo) {
  int moves = 0;
  host_.onProgressPosition = [&](int) {
    if (++moves == 3) {
      plat::resetEvent(runState.pauseEvent.load());
      reached_.raise();
    }
  };
  startWorker();
  reached_.wait();
  EXPECT_TRUE(isInstalled("b.dat"));
  EXPECT_FALSE(isInstalled("c.dat"));
  answerNo();
  joinWorker();
  EXPECT_EQ(lastText(), sjis("ファイル更新処理が終了しました"));
  EXPECT_EQ(installed("c.dat"), "new c");
}

// Cancel confirmed right after the list was loaded, while verification is
// still ahead: the run stops at its first entry, before anything is written.
TEST_F(RunPauseTest, ACancelDuringVerificationStopsBeforeAnythingIsWritten) {
  Signal goOn;
  host_.onProgressPosition = [&](int) {
    if (host_.positions().size() == 1) {
      reached_.raise();
      goOn.wait();
    }
  };
  startWorker();
  reached_.wait();
  plat::resetEvent(runState.pauseEvent.load());
  confirmCancel();
  goOn.raise();
  joinWorker();
  EXPECT_EQ(lastText(), sjis("ユーザーにより更新処理を中止しました。"));
  EXPECT_FALSE(isInstalled("a.dat"));
  EXPECT_EQ(host_.positions(), std::vector<int>{0});
}

TEST_F(RunPauseTest, AVerificationFailureWinsOverAnEarlierCancel) {
  Signal goOn;
  host_.onProgressPosition = [&](int) {
    reached_.raise();
    goOn.wait();
  };
  ASSERT_TRUE(writeFile(delivery_ / "UpDate.lst", "C\ta.dat\nC\tmissing.dat\n"));
  ASSERT_TRUE(runState.worker.start());
  reached_.wait();
  confirmCancel();
  goOn.raise();
  joinWorker();
  EXPECT_EQ(lastText(), sjis("更新用ファイルが見つかりませんでした。更新処理を中止します。"));
}

// A cancel confirmed while the worker waits before its final message comes
// too late: the run ends with its normal outcome.
TEST_F(RunPauseTest, ACancelBeforeTheFinalMessageChangesNothing) {
  host_.onProgressPosition = [&](int position) {
    if (position == 1000) {
      plat::resetEvent(runState.pauseEvent.load());
      reached_.raise();
    }
  };
  startWorker();
  reached_.wait();
  EXPECT_TRUE(host_.messages().empty()) << "held before the outcome";
  confirmCancel();
  joinWorker();
  EXPECT_EQ(lastText(), sjis("ファイル更新処理が終了しました"));
  EXPECT_EQ(host_.messages().back().caption, sjis("アップデート終了"));
  EXPECT_EQ(installed("c.dat"), "new c");
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
