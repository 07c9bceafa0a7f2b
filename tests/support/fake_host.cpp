#include "tests/support/fake_host.h"

#include <algorithm>
#include <cstring>
#include <memory>

void FakeHost::readInstallFolder(char* buffer, int size) {
  calls.emplace_back(HostCall::ReadInstallFolder);
  if (size <= 0) return;
  size_t length = std::min(installFolder.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, installFolder.data(), length);
  buffer[length] = '\0';
}

void FakeHost::setProgressRange(int minimum, int maximum) {
  calls.emplace_back(HostCall::SetProgressRange);
  calls.back().first = minimum;
  calls.back().second = maximum;
}

void FakeHost::setProgressPosition(int position) {
  calls.emplace_back(HostCall::SetProgressPosition);
  calls.back().first = position;
  if (onProgressPosition) onProgressPosition(position);
}

int FakeHost::showMessage(void* owner, const char* text, const char* caption, uint32_t style) {
  HostCall call(HostCall::ShowMessage);
  call.owner = owner;
  call.text = text;
  call.caption = caption;
  call.style = style;
  if (onShowMessage) onShowMessage(call);
  if (answerMessage)
    call.answer = answerMessage(call);
  else
    call.answer = (style & 0xF) == kMbRetryCancel ? kIdCancel : kIdOk;
  calls.push_back(call);
  return call.answer;
}

void FakeHost::requestClose() { calls.emplace_back(HostCall::RequestClose); }

std::vector<HostCall> FakeHost::callsOf(HostCall::Kind kind) const {
  std::vector<HostCall> found;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(found), [&](const HostCall& c) { return c.kind == kind; });
  return found;
}

std::vector<int> FakeHost::positions() const {
  std::vector<int> found;
  for (const HostCall& call : callsOf(HostCall::SetProgressPosition)) found.push_back(call.first);
  return found;
}

void FakeHost::retryPrompts(int retries) {
  auto remaining = std::make_shared<int>(retries);
  answerMessage = [remaining](const HostCall& call) {
    if ((call.style & 0xF) != kMbRetryCancel) return kIdOk;
    return (*remaining)-- > 0 ? kIdRetry : kIdCancel;
  };
}
