#include "tests/support/run_reset.h"

#include <cstring>

#include "archive/archive_update.h"
#include "archive/package_archive.h"
#include "list/update_list.h"
#include "run/loose_file.h"
#include "run/run_state.h"

void resetRunState() {
  runState.running.store(0);
  runState.pauseEvent.store(plat::EventHandle{});
  runState.dialog = nullptr;
  runState.dialogWindow = nullptr;
  runState.changedFileCount = 0;
  runState.currentPackage.reset();
  forgetTargetArchives();
  contentHeldWholeLimit = kContentPieceSize;
  runState.worker.threadHandle = plat::ThreadHandle{};
  runState.worker.cancelRequested.store(0);
  runState.worker.threadProc = runUpdate;
  runState.worker.threadId = 0;

  for (int i = 0; i < kUpdateListCapacity; ++i) {
    updateList.commands[i] = 0;
    updateList.paths[i].clear();
    updateList.sourceNames[i].clear();
    updateList.entryNames[i].clear();
  }
  updateList.count = 0;
  std::memset(runInstallFolder, 0, sizeof runInstallFolder);
}

void runWorkerToEnd() {
  if (!runState.worker.start()) return;
  plat::joinThread(runState.worker.threadHandle);
  plat::closeThreadHandle(runState.worker.threadHandle);
  runState.worker.threadHandle = plat::ThreadHandle{};
}
