#include "run/run_state.h"

#include "archive/package_archive.h"

static_assert(std::atomic<uint8_t>::is_always_lock_free, "run flags must be lock-free bytes");

RunState runState;

RunState::RunState() = default;
RunState::~RunState() = default;

bool UpdateWorker::start() {
  cancelRequested.store(0);
  threadHandle = plat::startThread(threadProc, this, &threadId);
  return static_cast<bool>(threadHandle);
}
