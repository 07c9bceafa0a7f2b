#include "archive/content.h"

#include <cstring>
#include <new>

#include "platform/platform.h"

std::unique_ptr<char[]> allocateContent(uint32_t size) {
  return std::unique_ptr<char[]>(new (std::nothrow) char[static_cast<size_t>(size) + 1]);
}

bool readWholeFile(const char* path, Content* content, bool* opened) {
  content->release();
  if (opened != nullptr) *opened = false;
  plat::File file;
  if (!file.open(path, plat::kGenericRead, plat::kShareRead, plat::kOpenExisting)) return false;
  if (opened != nullptr) *opened = true;
  uint64_t fileSize = 0;
  if (!file.size(&fileSize)) return false;
  // Contents are held whole with 32-bit sizes.
  if (fileSize > 0xFFFFFFFEu) {
    plat::setLastError(plat::kErrorFileTooLarge);
    return false;
  }
  uint32_t size = static_cast<uint32_t>(fileSize);
  std::unique_ptr<char[]> bytes = allocateContent(size);
  if (!bytes) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return false;
  }
  if (!file.readExactly(bytes.get(), size)) return false;
  bytes[size] = '\0';
  content->bytes = std::move(bytes);
  content->size = size;
  return true;
}

bool sameContent(const Content& a, const Content& b) {
  if (a.size != b.size) return false;
  if (a.size == 0) return true;
  return std::memcmp(a.bytes.get(), b.bytes.get(), a.size) == 0;
}
