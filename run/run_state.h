// The state that the dialog's thread and the worker share, and the worker's
// thread record. Flags are single-byte lock-free atomics written by one side
// and polled by the other; the pause event is the only synchronisation.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "archive/content.h"
#include "platform/platform.h"
#include "platform/held_folders.h"

class PackageArchive;
class RunHost;

uint32_t runUpdate(void* argument);

struct UpdateWorker {
  plat::ThreadHandle threadHandle;
  std::atomic<uint8_t> cancelRequested{0};
  plat::ThreadProc threadProc = runUpdate;
  uint32_t threadId = 0;

  // Clears the cancel request and starts threadProc on a new thread.
  bool start();
};

struct RunState {
  std::atomic<uint8_t> running{0};
  std::atomic<plat::EventHandle> pauseEvent{plat::EventHandle{}};
  RunHost* dialog = nullptr;
  void* dialogWindow = nullptr;
  int32_t changedFileCount = 0;
  std::unique_ptr<PackageArchive> currentPackage;
  // The folders below the install folder that the run's writes go through,
  // and the update folder (the current folder) with the folders below it
  // that its reads go through.
  HeldFolders targetFolders;
  HeldFolders updateFolder;
  // How the run holds and reads contents.
  ContentLimits contentLimits;
  UpdateWorker worker;

  RunState();
  ~RunState();
};

extern RunState runState;
