// The updater's one dialog (template 102): install folder, Browse, Execute,
// Cancel and the progress bar. It is also what the update run talks to:
// the worker calls its RunHost side, which sends window messages that the
// dialog's thread handles.
#pragma once

#include <windows.h>

#include <atomic>

#include "run/run_host.h"

// The progress bar, control 1003, once the dialog has bound it.
struct ProgressControl {
  HWND window = nullptr;
  void setRange(int minimum, int maximum);
  void setPosition(int position);
};

class UpdateDialog : public RunHost {
 public:
  UpdateDialog();
  ~UpdateDialog() override = default;
  UpdateDialog(const UpdateDialog&) = delete;
  UpdateDialog& operator=(const UpdateDialog&) = delete;

  // Runs the dialog modally with no parent; returns the button that ended it.
  INT_PTR runModal();
  HWND window() const { return window_; }

  // RunHost, called on the worker thread.
  void readInstallFolder(char* buffer, int size) override;
  void setProgressRange(int minimum, int maximum) override;
  void setProgressPosition(int position) override;
  int showMessage(void* owner, const char* text, const char* caption, uint32_t style) override;
  void requestClose() override;

 private:
  static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  BOOL onInitDialog();
  BOOL onPaint();
  HICON onQueryDragIcon() const { return icon_; }
  void onBrowse();
  void onExecute();
  void onCancel();
  void onDestroy();
  void showLatestPosition();

  HWND window_ = nullptr;
  ProgressControl progress_;
  // The worker moves the bar after every entry, far more often than a
  // screen shows it: the latest position waits here for the dialog's
  // thread, with at most one message posted for it, so that the worker
  // never waits for a repaint. The range's ends are set at once.
  std::atomic<int> latestPosition_{0};
  std::atomic<bool> positionPosted_{false};
  std::atomic<int> rangeMinimum_{0};
  std::atomic<int> rangeMaximum_{0};
  HICON icon_ = nullptr;
};
