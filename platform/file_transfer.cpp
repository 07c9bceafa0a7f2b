// What both sides share above their system calls: whole transfers, and
// the fault hook's say in opens and renames.
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

bool hookStandsInForRename() {
  IoFaultHook* hook = ioFaultHook();
  uint32_t code = 0;
  if (hook == nullptr || !hook->standInForRename(&code)) return false;
  setLastError(code);
  return true;
}

}  // namespace plat
