#include "run/run_state.h"

#include "archive/package_archive.h"

#include <cstring>

static_assert(std::atomic<uint8_t>::is_always_lock_free, "run flags must be lock-free bytes");

RunState runState;
char runInstallFolder[kRunPathSize];

bool joinTargetPath(const char* installFolder, const char* relative, char (&joined)[kRunPathSize]) {
  joined[0] = '\0';
  size_t folderLength = std::strlen(installFolder);
  size_t relativeLength = std::strlen(relative);
  if (folderLength + relativeLength >= kRunPathSize) return false;
  std::memcpy(joined, installFolder, folderLength);
  std::memcpy(joined + folderLength, relative, relativeLength + 1);
  return true;
}


RunState::RunState() = default;
RunState::~RunState() = default;

bool UpdateWorker::start() {
  cancelRequested.store(0);
  threadHandle = plat::startThread(threadProc, this);
  return static_cast<bool>(threadHandle);
}
