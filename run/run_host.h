// What the update run needs of its dialog. The Windows dialog implements it
// with window messages sent from the worker thread; tests use a scripted fake.
#pragma once

#include <cstdint>

// Message box styles and answers (MessageBox values).
constexpr uint32_t kMbOk = 0x0;
constexpr uint32_t kMbOkCancel = 0x1;
constexpr uint32_t kMbRetryCancel = 0x5;
constexpr uint32_t kMbIconError = 0x10;
constexpr uint32_t kMbIconWarning = 0x30;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdRetry = 4;

class RunHost {
 public:
  virtual ~RunHost() = default;
  // WM_GETTEXT to the install-folder edit control: at most size - 1 bytes
  // and a NUL.
  virtual void readInstallFolder(char* buffer, int size) = 0;
  // PBM_SETRANGE with the low word the minimum and the high word the maximum.
  virtual void setProgressRange(int minimum, int maximum) = 0;
  // PBM_SETPOS.
  virtual void setProgressPosition(int position) = 0;
  // MessageBox; owner is the dialog's window, or null for an unowned box.
  // Returns the button pressed (kIdOk, kIdCancel, kIdRetry, ...).
  virtual int showMessage(void* owner, const char* text, const char* caption, uint32_t style) = 0;
  // WM_CLOSE to the dialog's window.
  virtual void requestClose() = 0;
};
