#include "tests/support/fake_host.h"

#include <algorithm>
#include <cstring>

void FakeHost::readInstallFolder(char* buffer, int size) {
  calls.emplace_back(HostCall::ReadInstallFolder);
  size_t length = std::min(installFolder.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, installFolder.data(), length);
  buffer[length] = '\0';
}

void FakeHost::setProgressPosition(int position) {
  calls.emplace_back(HostCall::SetProgressPosition, position);
  if (onProgressPosition) onProgressPosition(position);
}

int FakeHost::showMessage(void* owner, const char* text, const char* caption, uint32_t style) {
  HostCall call(HostCall::ShowMessage);
  call.owner = owner, call.text = text, call.caption = caption, call.style = style;
  if (onShowMessage) onShowMessage(call);
  calls.push_back(call);
  if ((style & 0xF) != kMbRetryCancel) return kIdOk;
  return retries-- > 0 ? kIdRetry : kIdCancel;
}

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
