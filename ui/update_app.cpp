#include "ui/update_app.h"

#include <commctrl.h>
#include <objbase.h>

#include "run/run_state.h"
#include "ui/dll_search.h"
#include "ui/update_dialog.h"

// Static initialisation builds the application object first and then the
// exit step; at exit the step runs before the object goes.
UpdateApp updateApp;

namespace {

// Closes the worker's thread handle at process exit. The thread itself is
// not waited for: it has sent its last message by the time the dialog ends.
struct WorkerHandleExitStep {
  ~WorkerHandleExitStep() {
    if (runState.worker.threadHandle) plat::closeThreadHandle(runState.worker.threadHandle);
  }
};
WorkerHandleExitStep workerHandleExitStep;

}  // namespace

bool UpdateApp::showMainDialog() {
  UpdateDialog dialog;
  mainDialog = &dialog;
  dialog.runModal();
  mainDialog = nullptr;
  return false;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  loadDllsFromTheSystemFolderOnly();
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  // The shell's folder browser needs COM on the dialog's thread.
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  updateApp.showMainDialog();
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}
