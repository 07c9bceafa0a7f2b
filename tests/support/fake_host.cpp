#include "tests/support/fake_host.h"

#include <cstring>
#include <memory>

void FakeHost::readInstallFolder(char* buffer, int size) {
  HostCall call(HostCall::ReadInstallFolder);
  calls.push_back(call);
  if (size <= 0) return;
  size_t length = installFolder.size();
  if (length > static_cast<size_t>(size - 1)) length = static_cast<size_t>(size - 1);
  std::memcpy(buffer, installFolder.data(), length);
  buffer[length] = '\0';
}

void FakeHost::setProgressRange(int minimum, int maximum) {
  HostCall call(HostCall::SetProgressRange);
  call.first = minimum;
  call.second = maximum;
  calls.push_back(call);
}

void FakeHost::setProgressPosition(int position) {
  HostCall call(HostCall::SetProgressPosition);
  call.first = position;
  calls.push_back(call);
  if (onProgressPosition) onProgressPosition(position);
}

int FakeHost::showMessage(void* owner, const char* text, const char* caption, uint32_t style) {
  HostCall call(HostCall::ShowMessage);
  call.owner = owner;
  call.text = text;
  call.caption = caption;
  call.style = style;
  if (answerMessage)
    call.answer = answerMessage(call);
  else
    call.answer = (style & 0xF) == kMbRetryCancel ? kIdCancel : kIdOk;
  calls.push_back(call);
  if (onShowMessage) onShowMessage(call);
  return call.answer;
}

void FakeHost::requestClose() { calls.push_back(HostCall(HostCall::RequestClose)); }

std::vector<HostCall> FakeHost::messages() const {
  std::vector<HostCall> found;
  for (const HostCall& call : calls)
    if (call.kind == HostCall::ShowMessage) found.push_back(call);
  return found;
}

std::vector<int> FakeHost::positions() const {
  std::vector<int> found;
  for (const HostCall& call : calls)
    if (call.kind == HostCall::SetProgressPosition) found.push_back(call.first);
  return found;
}

int FakeHost::closeRequests() const {
  int count = 0;
  for (const HostCall& call : calls)
    if (call.kind == HostCall::RequestClose) ++count;
  return count;
}

void FakeHost::retryPrompts(int retries) {
  auto remaining = std::make_shared<int>(retries);
  answerMessage = [remaining](const HostCall& call) {
    if ((call.style & 0xF) != kMbRetryCancel) return kIdOk;
    if (*remaining > 0) {
      --*remaining;
      return kIdRetry;
    }
    return kIdCancel;
  };
}
