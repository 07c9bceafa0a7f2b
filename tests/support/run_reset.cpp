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
  releaseTargetArchive();
  runState.targetFolders.release();
  runState.updateFolder.close();
  runState.contentLimits = ContentLimits();
  runState.worker.threadHandle = plat::ThreadHandle{};
  runState.worker.cancelRequested.store(0);
  runState.worker.threadProc = runUpdate;

  updateList = UpdateList();
  std::memset(runInstallFolder, 0, sizeof runInstallFolder);
}
