// The state that the dialog's thread and the worker share, and the worker's
// thread record. Flags are single-byte lock-free atomics written by one side
// and polled by the other; the pause event is the only synchronisation.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "archive/content.h"
#include "platform/platform.h"
#include "platform/held_folders.h"

class PackageArchive;

// Every joined path and package path of a run lives in a buffer this size:
// at most 255 bytes and the NUL.
constexpr size_t kRunPathSize = 256;

// The install folder text immediately followed by `relative`, with no
// separator inserted. False, and an empty buffer, when the result would not
// fit in kRunPathSize bytes: a path is refused, never truncated.
bool joinTargetPath(const char* installFolder, const char* relative, char (&joined)[kRunPathSize]);

// The install folder text that the run read from its dialog at the start.
extern char runInstallFolder[kRunPathSize];
class RunHost;

uint32_t runUpdate(void* argument);

struct UpdateWorker {
  plat::ThreadHandle threadHandle;
  std::atomic<uint8_t> cancelRequested{0};
  plat::ThreadProc threadProc = runUpdate;

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
