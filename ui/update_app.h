// The application object: its start-up shows the dialog and ends the
// process when the dialog has ended.
#pragma once

#include <windows.h>

class UpdateDialog;

class UpdateApp {
 public:
  UpdateApp() = default;
  // Shows UpdateDialog modally; always false, so nothing runs after it.
  bool showMainDialog();
  // The dialog while it is shown, null otherwise.
  UpdateDialog* mainDialog = nullptr;
};

extern UpdateApp updateApp;
