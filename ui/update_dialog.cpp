#include "ui/update_dialog.h"

#include <commctrl.h>

#include <string>

#include "run/run_state.h"
#include "ui/install_folder.h"
#include "ui/resource_ids.h"
#include "ui/ui_messages.h"
#include "ui/ui_text.h"

namespace {

// Posted by setProgressPosition: the bar takes the latest position.
constexpr UINT kMessageShowLatestPosition = WM_APP + 1;

// The dialog's only static label carries the id -1, stored as 0xFFFFFFFF.
HWND labelWindow(HWND dialog) {
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    if (static_cast<DWORD>(GetWindowLongPtrW(child, GWLP_ID)) == 0xFFFFFFFFu) return child;
  }
  return nullptr;
}

void signalPause() {
  plat::EventHandle pause = runState.pauseEvent.load();
  if (pause) plat::setEvent(pause);
}

}  // namespace

void ProgressControl::setRange(int minimum, int maximum) {
  SendMessageW(window, PBM_SETRANGE, 0, MAKELPARAM(minimum, maximum));
}

void ProgressControl::setPosition(int position) { SendMessageW(window, PBM_SETPOS, static_cast<WPARAM>(position), 0); }

UpdateDialog::UpdateDialog() {
  icon_ = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_UPDATER_ICON));
}

INT_PTR UpdateDialog::runModal() {
  return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_UPDATE_DIALOG), nullptr, dialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK UpdateDialog::dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  UpdateDialog* dialog = reinterpret_cast<UpdateDialog*>(GetWindowLongPtrW(window, DWLP_USER));
  if (message == WM_INITDIALOG) {
    dialog = reinterpret_cast<UpdateDialog*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    dialog->window_ = window;
    return dialog->onInitDialog();
  }
  if (dialog == nullptr) return FALSE;
  switch (message) {
    case WM_PAINT:
      return dialog->onPaint();
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(dialog->onQueryDragIcon());
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_BROWSE:
          if (HIWORD(wParam) == BN_CLICKED) dialog->onBrowse();
          return TRUE;
        case IDC_EXECUTE:
          if (HIWORD(wParam) == BN_CLICKED) dialog->onExecute();
          return TRUE;
        case IDCANCEL:
          dialog->onCancel();
          return TRUE;
        case IDOK:
          EndDialog(window, IDOK);
          return TRUE;
      }
      return FALSE;
    case WM_DESTROY:
      dialog->onDestroy();
      return FALSE;
    case kMessageShowLatestPosition:
      dialog->showLatestPosition();
      return TRUE;
  }
  return FALSE;
}

BOOL UpdateDialog::onInitDialog() {
  progress_.window = GetDlgItem(window_, IDC_PROGRESS);
  if (icon_ != nullptr) {
    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
  }

  setWindowTextCp932(GetDlgItem(window_, IDC_INSTALL_FOLDER), initialInstallFolder().c_str());

  std::string label = loadCp932String(IDS_GAME_TITLE) + kLabelSuffix;
  HWND labelControl = labelWindow(window_);
  if (labelControl != nullptr) setWindowTextCp932(labelControl, label.c_str());
  return TRUE;  // the focus goes to the first control that takes it: Cancel
}

BOOL UpdateDialog::onPaint() {
  if (!IsIconic(window_)) return FALSE;
  PAINTSTRUCT paint;
  HDC context = BeginPaint(window_, &paint);
  SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(context), 0);
  int iconWidth = GetSystemMetrics(SM_CXICON);
  int iconHeight = GetSystemMetrics(SM_CYICON);
  RECT client;
  GetClientRect(window_, &client);
  int x = (client.right - client.left - iconWidth + 1) / 2;
  int y = (client.bottom - client.top - iconHeight + 1) / 2;
  if (icon_ != nullptr) DrawIcon(context, x, y, icon_);
  EndPaint(window_, &paint);
  return TRUE;
}

void UpdateDialog::onBrowse() { browseForInstallFolder(window_, window_); }

void UpdateDialog::onExecute() {
  // A folder that is not absolute would send every target to the update
  // folder: refused as Browse refuses a folder it cannot use.
  if (!isAbsoluteFolder(windowTextCp932(GetDlgItem(window_, IDC_INSTALL_FOLDER)))) {
    messageBoxCp932(window_, kUnusableFolderText, kBrowseTitle, kUnusableFolderStyle);
    return;
  }
  if (messageBoxCp932(window_, kConfirmRunText, kConfirmRunCaption, MB_OKCANCEL) != IDOK) return;

  // WM_ENABLE only greys the edit control's text; the control stays a
  // window the worker can read.
  SendDlgItemMessageW(window_, IDC_INSTALL_FOLDER, WM_ENABLE, 0, 0);
  ShowWindow(progress_.window, SW_SHOW);
  EnableWindow(GetDlgItem(window_, IDC_BROWSE), FALSE);
  EnableWindow(GetDlgItem(window_, IDC_EXECUTE), FALSE);

  runState.dialog = this;
  runState.dialogWindow = window_;
  // The run counts as active from here, not only from the worker's first
  // step: a Cancel in between would otherwise end the process while the
  // worker starts writing.
  runState.running.store(1);
  if (!runState.worker.start()) runState.running.store(0);
}

void UpdateDialog::onCancel() {
  if (runState.running.load() == 0) {
    EndDialog(window_, IDCANCEL);
    return;
  }
  if (runState.worker.cancelRequested.load() != 0) return;  // already on its way out

  plat::EventHandle pause = runState.pauseEvent.load();
  if (pause) plat::resetEvent(pause);
  int answer = messageBoxCp932(window_, kConfirmCancelText, kConfirmCancelCaption, MB_OKCANCEL);
  if (answer == IDOK) {
    runState.worker.cancelRequested.store(1);
    signalPause();
    // A run that has ended meanwhile is not ended from here: a worker held
    // at its final wait clears the flag as soon as it is released and then
    // shows its outcome, which ending the dialog now would take away with
    // the process. Its last act, the close request, ends the dialog.
    return;
  }
  signalPause();
}

void UpdateDialog::onDestroy() {
  if (runState.running.load() != 0) runState.worker.cancelRequested.store(1);
}

void UpdateDialog::readInstallFolder(char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return;
  wchar_t wide[256] = {};
  SendDlgItemMessageW(runState.dialogWindow ? static_cast<HWND>(runState.dialogWindow) : window_, IDC_INSTALL_FOLDER,
                      WM_GETTEXT, 256, reinterpret_cast<LPARAM>(wide));
  std::string text;
  wideToCp932(wide, &text);
  truncateCp932(&text, static_cast<size_t>(size) - 1);
  text.copy(buffer, text.size());
  buffer[text.size()] = '\0';
}

void UpdateDialog::setProgressRange(int minimum, int maximum) {
  rangeMinimum_.store(minimum);
  rangeMaximum_.store(maximum);
  progress_.setRange(minimum, maximum);
}

void UpdateDialog::setProgressPosition(int position) {
  latestPosition_.store(position);
  // A full or empty bar is shown before the worker goes on to its message.
  if (position <= rangeMinimum_.load() || position >= rangeMaximum_.load()) {
    progress_.setPosition(position);
    return;
  }
  if (!positionPosted_.exchange(true)) PostMessageW(window_, kMessageShowLatestPosition, 0, 0);
}

// The flag is cleared before the position is read: a position stored after
// that read posts its own message.
void UpdateDialog::showLatestPosition() {
  positionPosted_.store(false);
  progress_.setPosition(latestPosition_.load());
}

int UpdateDialog::showMessage(void* owner, const char* text, const char* caption, uint32_t style) {
  return messageBoxCp932(static_cast<HWND>(owner), text, caption, style);
}

void UpdateDialog::requestClose() { SendMessageW(window_, WM_CLOSE, 0, 0); }
