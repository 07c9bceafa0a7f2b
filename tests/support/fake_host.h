// A scripted stand-in for the dialog: it records every call the run makes,
// answers each message box as the test says, and lets a test act at an
// exact point of a run from inside a call (on the worker's thread).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "run/run_host.h"

struct HostCall {
  enum Kind { ReadInstallFolder, SetProgressRange, SetProgressPosition, ShowMessage, RequestClose };
  explicit HostCall(Kind k, int callFirst = 0, int callSecond = 0) : kind(k), first(callFirst), second(callSecond) {}
  Kind kind;
  int first = 0;   // range minimum, or position
  int second = 0;  // range maximum
  void* owner = nullptr;
  std::string text;     // CP932
  std::string caption;  // CP932
  uint32_t style = 0;
};

class FakeHost : public RunHost {
 public:
  // What readInstallFolder hands out (cut to the buffer like WM_GETTEXT).
  std::string installFolder;

  // The retry prompts are answered with Retry this many times, then Cancel
  // (so a forgotten script cannot loop for ever); other boxes with OK.
  int retries = 0;
  // Called on the worker's thread inside setProgressPosition / showMessage
  // (before the answer is chosen): a test may block here or act on the run.
  std::function<void(int position)> onProgressPosition;
  std::function<void(const HostCall&)> onShowMessage;

  void readInstallFolder(char* buffer, int size) override;
  void setProgressRange(int minimum, int maximum) override { calls.emplace_back(HostCall::SetProgressRange, minimum, maximum); }
  void setProgressPosition(int position) override;
  int showMessage(void* owner, const char* text, const char* caption, uint32_t style) override;
  void requestClose() override { calls.emplace_back(HostCall::RequestClose); }

  // Read these once the run has ended (or from the worker's own callbacks).
  std::vector<HostCall> calls;
  std::vector<HostCall> callsOf(HostCall::Kind kind) const;
  std::vector<HostCall> messages() const { return callsOf(HostCall::ShowMessage); }
  std::vector<int> positions() const;
  int closeRequests() const { return static_cast<int>(callsOf(HostCall::RequestClose).size()); }
};

// An event a test waits on, and another thread sets: a point in a run.
class Signal {
 public:
  void raise() { plat::setEvent(event_); }
  void wait() { plat::waitForever(event_); }

 private:
  plat::EventHandle event_ = plat::createManualResetEvent(nullptr, false);
};
