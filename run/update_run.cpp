// The worker's procedure: one whole update run, from reading the install
// folder to the close request. Nothing on disk changes before the three
// verification passes have all succeeded.
#include <cstring>

#include "archive/archive_update.h"
#include "archive/package_archive.h"
#include "list/update_list.h"
#include "platform/platform.h"
#include "run/loose_file.h"
#include "run/run_host.h"
#include "run/run_messages.h"
#include "run/run_state.h"
#include "run/verification.h"

namespace {

constexpr int kProgressMaximum = 1000;
constexpr const char kPauseEventName[] = "Cansel";

// Lets go of every file and folder the run holds open.
void releaseHeldFiles() {
  runState.currentPackage.reset();
  releaseTargetArchive();
  runState.targetFolders.release();
  runState.updateFolder.close();
}

// Every abort: no further entry, no wait, and nothing stays held.
uint32_t abortRun(RunHost* host, void* owner, const char* message) {
  releaseHeldFiles();
  runState.running.store(0);
  host->showMessage(owner, message, kCaptionAborted, kStyleAbort);
  host->requestClose();
  return 0;
}

// The quotient is held as a double before the multiplication, so 38
// entries leave the bar at 499 after index 19, not 500.
int progressAfterEntry(int index, int count) {
  double step = static_cast<double>(kProgressMaximum) / count;
  return static_cast<int>(step * index);
}

// Command "I", with the prompt after every failed attempt.
bool insertEntry(const UpdateEntry& entry) {
  char archivePath[kRunPathSize];
  bool joined = joinTargetPath(runInstallFolder, entry.path.c_str(), archivePath);
  std::string shownPath = std::string(runInstallFolder) + entry.path;
  for (;;) {
    plat::setLastError(0);
    if (joined) {
      if (insertIntoArchive(entry.path.c_str(), entry.sourceName.c_str(), entry.entryName.c_str())) return true;
    } else {
      plat::setLastError(plat::kErrorFilenameTooLong);
    }
    if (reportFileError(shownPath.c_str(), kCaptionUpdateError) == FileErrorAnswer::Cancel) return false;
  }
}

// Command "P": later sources come from this package, opened here in the
// update folder; a path naming no readable archive finds nothing later on.
// One that could not be held for want of memory prompts instead: its
// entries would read as absent and be passed over.
bool selectPackage(const std::string& path) {
  runState.currentPackage.reset();
  if (path.size() >= kRunPathSize) return true;
  for (;;) {
    runState.currentPackage = openSourcePackage(runState.updateFolder, path);
    if (runState.currentPackage) return true;
    plat::setLastError(plat::kErrorNotEnoughMemory);
    if (reportFileError(path.c_str(), kCaptionUpdateError) == FileErrorAnswer::Cancel) return false;
  }
}

// The run's own pause event: one of that name made by another program
// first would let that program pause, resume or free the run, so the run
// then takes an event that has no name.
plat::EventHandle createPauseEvent() {
  plat::EventHandle event = plat::createManualResetEvent(kPauseEventName, false);
  if (event && plat::lastError() == plat::kErrorAlreadyExists) {
    plat::closeEvent(event);
    event = plat::createManualResetEvent(nullptr, false);
  }
  return event;
}

void waitWhilePaused() {
  plat::EventHandle pause = runState.pauseEvent.load();
  if (pause) plat::waitForever(pause);
}

}  // namespace

uint32_t runUpdate(void*) {
  void* owner = runState.dialogWindow;
  RunHost* host = runState.dialog;
  if (host == nullptr) return 0;

  runState.running.store(1);
  if (!runState.pauseEvent.load()) runState.pauseEvent.store(createPauseEvent());
  plat::setEvent(runState.pauseEvent.load());

  char folder[kRunPathSize] = {};
  host->readInstallFolder(folder, static_cast<int>(sizeof folder));
  folder[kRunPathSize - 1] = '\0';
  std::memcpy(runInstallFolder, folder, sizeof folder);
  runState.targetFolders.reset(runInstallFolder);

  // Everything the run reads comes from the update folder as it is now.
  runState.updateFolder.holdCurrentFolder();
  if (!loadUpdateList(runState.updateFolder)) return abortRun(host, owner, kMessageListUnreadable);
  host->setProgressRange(0, kProgressMaximum);
  host->setProgressPosition(0);

  VerificationResult verification = verifyUpdateList(updateList, runInstallFolder, runState.updateFolder);
  if (verification.stop != VerificationStop::None)
    return abortRun(host, owner, verificationMessage(verification.stop));

  for (int j = 0; j < updateList.count; ++j) {
    waitWhilePaused();
    if (runState.worker.cancelRequested.load() == 1) return abortRun(host, owner, kMessageUserAborted);
    UpdateEntry entry = updateEntry(updateList, j);
    // The held target archive is let go when the run moves on to a loose
    // target, which may be that very file.
    if (entry.command == 'C' || entry.command == 'R') releaseTargetArchive();
    switch (entry.command) {
      case 'C':
        if (!copyLooseFile(j)) return abortRun(host, owner, kMessageUpdateFailed);
        break;
      case 'R':
        if (!replaceLooseFile(j)) return abortRun(host, owner, kMessageUpdateFailed);
        break;
      case 'I':
        if (!insertEntry(entry)) return abortRun(host, owner, kMessageUpdateFailed);
        break;
      case 'P':
        if (!selectPackage(entry.path)) return abortRun(host, owner, kMessageUpdateFailed);
        break;
      default:
        break;
    }
    host->setProgressPosition(progressAfterEntry(j, updateList.count));
  }

  host->setProgressPosition(kProgressMaximum);
  releaseHeldFiles();
  waitWhilePaused();
  runState.running.store(0);
  const char* outcome = runState.changedFileCount != 0 ? kMessageUpdateDone : kMessageAllUpToDate;
  host->showMessage(owner, outcome, kCaptionFinished, kStyleOutcome);
  host->requestClose();
  return 1;
}
