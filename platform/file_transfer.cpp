// What both sides share above their system calls: whole transfers, and
// the outcomes of a replace.
#include "platform/platform.h"

namespace plat {

bool hookAllowsOpen(const std::string& path, uint32_t access, uint32_t disposition) {
  IoFaultHook* hook = ioFaultHook();
  uint32_t refused = 0;
  if (hook == nullptr || hook->beforeOpen(path.c_str(), access, disposition, &refused)) return true;
  setLastError(refused);
  return false;
}

bool File::readExactly(void* buffer, uint32_t count) {
  uint32_t got = 0;
  if (!read(buffer, count, &got)) return false;
  if (got != count) {
    setLastError(kErrorHandleEof);
    return false;
  }
  return true;
}

bool File::readExactlyAt(uint64_t offset, void* buffer, uint32_t count) {
  uint32_t got = 0;
  if (!readAt(offset, buffer, count, &got)) return false;
  if (got != count) {
    setLastError(kErrorHandleEof);
    return false;
  }
  return true;
}

bool File::writeExactly(const void* buffer, uint32_t count) {
  const char* bytes = static_cast<const char*>(buffer);
  while (count > 0) {
    uint32_t put = 0;
    if (!write(bytes, count, &put)) {
      // A failed call that left no code of its own still tells a failure.
      if (lastError() == 0) setLastError(kErrorWriteFault);
      return false;
    }
    if (put == 0) {
      setLastError(kErrorWriteFault);
      return false;
    }
    bytes += put;
    count -= put;
  }
  return true;
}

ReplaceResult replaceFileIn(const Folder& folder, const std::string& target, const std::string& replacement,
                            bool targetExists) {
  IoFaultHook* hook = ioFaultHook();
  uint32_t standIn = 0;
  bool replaced = hook && hook->standInForReplace(&standIn) ? (setLastError(standIn), false)
                                                            : systemReplace(folder, target, replacement, targetExists);
  if (replaced) return ReplaceResult::Replaced;
  uint32_t error = lastError();
  // Without a backup name, both codes mean that the old file has left the
  // target's name (gone, or under a name of the system's) while the new one
  // keeps its own: the move that failed is made again. Should that fail
  // too, the new bytes stay where they are, the only copy there is.
  if (error == kErrorUnableToMoveReplacement || error == kErrorUnableToMoveReplacement2)
    return systemMove(folder, replacement, target) ? ReplaceResult::Replaced : ReplaceResult::TargetNameEmpty;
  setLastError(error);
  return ReplaceResult::Unchanged;
}

}  // namespace plat
