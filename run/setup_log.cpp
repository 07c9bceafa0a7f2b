#include "run/setup_log.h"

#include <string>

#include "platform/platform.h"
#include "platform/text_stream.h"
#include "platform/held_folders.h"

void registerCreatedFile(const char* createdPath, HeldFolders& folders) {
  FileSpot spot;
  plat::File log;
  // Mode "a+" lets others read and write beside it.
  if (!folders.reachInRoot(kSetupLogName, &spot) ||
      !log.openIn(*spot.folder, spot.name, plat::kGenericRead | plat::kGenericWrite, plat::kShareRead | plat::kShareWrite,
                  plat::kOpenExisting))
    return;
  uint32_t names = 0;
  bool readOnly = false;
  if (!log.describe(&names, &readOnly) || names != 1) return;
  std::string line = std::string("F\t") + createdPath + "\n";
  if (!plat::lastLineIs(log, line)) plat::appendText(log, line.data(), line.size());
}
