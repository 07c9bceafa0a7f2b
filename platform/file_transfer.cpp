// Whole transfers over the platform file, the same on both sides: a short
// transfer becomes a failure with a code, so no caller checks counts.
#include "platform/platform.h"

namespace plat {

bool File::readExactly(void* buffer, uint32_t count) {
  uint32_t got = 0;
  if (!read(buffer, count, &got)) return false;
  if (got != count) {
    setLastError(kErrorHandleEof);
    return false;
  }
  return true;
}

bool File::writeExactly(const void* buffer, uint32_t count) {
  uint32_t put = 0;
  if (!write(buffer, count, &put)) {
    // A failed call that left no code of its own still tells a failure.
    if (lastError() == 0) setLastError(kErrorWriteFault);
    return false;
  }
  if (put != count) {
    setLastError(kErrorWriteFault);
    return false;
  }
  return true;
}

}  // namespace plat
