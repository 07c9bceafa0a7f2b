#include "archive/content.h"

#include <cstring>
#include <new>

#include "archive/package_archive.h"
#include "platform/platform.h"

uint32_t contentHeldWholeLimit = kContentPieceSize;

std::unique_ptr<char[]> allocateContent(uint32_t size) {
  return std::unique_ptr<char[]>(new (std::nothrow) char[static_cast<size_t>(size) + 1]);
}

namespace {

bool readFile(const char* path, Content* content, bool* opened, bool locateLarge) {
  content->release();
  if (opened != nullptr) *opened = false;
  plat::File file;
  if (!file.open(path, plat::kGenericRead, plat::kShareRead, plat::kOpenExisting)) return false;
  if (opened != nullptr) *opened = true;
  uint64_t fileSize = 0;
  if (!file.size(&fileSize)) return false;
  // Contents have 32-bit sizes.
  if (fileSize > 0xFFFFFFFEu) {
    plat::setLastError(plat::kErrorFileTooLarge);
    return false;
  }
  uint32_t size = static_cast<uint32_t>(fileSize);
  if (locateLarge && size > contentHeldWholeLimit) {
    content->path = path;
    content->size = size;
    content->fileSize = size;
    content->located = true;
    return true;
  }
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

}  // namespace

bool readWholeFile(const char* path, Content* content, bool* opened) {
  return readFile(path, content, opened, false);
}

bool readFileContent(const char* path, Content* content, bool* opened) {
  return readFile(path, content, opened, true);
}

ContentReader::ContentReader(const Content& content) : content_(content) {}

ContentReader::~ContentReader() = default;

// Opens a located content's file and checks that it still holds the
// content where it was found.
bool ContentReader::open() {
  file_.reset(new (std::nothrow) plat::File);
  piece_.reset(new (std::nothrow) char[contentHeldWholeLimit]);
  if (!file_ || !piece_) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return false;
  }
  // An entry may be read from the archive that is being appended to.
  uint32_t share = content_.fileSize != 0 ? plat::kShareRead : plat::kShareRead | plat::kShareWrite;
  if (!file_->open(content_.path.c_str(), plat::kGenericRead, share, plat::kOpenExisting)) return false;
  uint64_t size = 0;
  if (!file_->size(&size)) return false;
  bool holds = content_.fileSize != 0 ? size == content_.fileSize
                                      : static_cast<uint64_t>(content_.offset) + content_.size <= size;
  if (!holds) {
    plat::setLastError(kErrorInvalidData);
    return false;
  }
  return content_.offset == 0 || file_->seek(content_.offset, plat::SeekOrigin::Begin);
}

bool ContentReader::next(const char** bytes, uint32_t* count) {
  *count = 0;
  *bytes = "";
  if (delivered_ >= content_.size) return true;
  if (!content_.located) {
    *bytes = content_.bytes.get();
    *count = content_.size;
    delivered_ = content_.size;
    return true;
  }
  if (!file_ && !open()) return false;
  uint32_t left = content_.size - delivered_;
  uint32_t wanted = left < contentHeldWholeLimit ? left : contentHeldWholeLimit;
  if (!file_->readExactly(piece_.get(), wanted)) {
    // A file that shrank while it was read.
    if (plat::lastError() == plat::kErrorHandleEof) plat::setLastError(kErrorInvalidData);
    return false;
  }
  *bytes = piece_.get();
  *count = wanted;
  delivered_ += wanted;
  return true;
}

bool ContentReader::finish() {
  if (delivered_ < content_.size) {
    plat::setLastError(kErrorInvalidData);
    return false;
  }
  if (!file_ || content_.fileSize == 0) return true;
  uint64_t size = 0;
  if (!file_->size(&size)) return false;
  if (size != content_.fileSize) {
    plat::setLastError(kErrorInvalidData);
    return false;
  }
  return true;
}

bool writeContent(plat::File& file, const Content& content) {
  if (!content.located) return file.writeExactly(content.bytes ? content.bytes.get() : "", content.size);
  ContentReader reader(content);
  const char* piece = nullptr;
  uint32_t count = 0;
  do {
    if (!reader.next(&piece, &count)) return false;
    if (count > 0 && !file.writeExactly(piece, count)) return false;
  } while (count > 0);
  return reader.finish();
}

ContentMatch matchContent(const Content& a, const Content& b) {
  if (a.size != b.size) return ContentMatch::Different;
  if (a.size == 0) return ContentMatch::Same;
  if (!a.located && !b.located)
    return std::memcmp(a.bytes.get(), b.bytes.get(), a.size) == 0 ? ContentMatch::Same : ContentMatch::Different;
  // Piece against piece; a held content is one piece, so the located one
  // is read in pieces against the matching part of it.
  ContentReader readerA(a), readerB(b);
  const char* bytesA = nullptr;
  const char* bytesB = nullptr;
  uint32_t leftA = 0, leftB = 0;
  uint32_t compared = 0;
  while (compared < a.size) {
    if (leftA == 0 && !readerA.next(&bytesA, &leftA)) return ContentMatch::FirstUnreadable;
    if (leftB == 0 && !readerB.next(&bytesB, &leftB)) return ContentMatch::SecondUnreadable;
    uint32_t step = leftA < leftB ? leftA : leftB;
    if (std::memcmp(bytesA, bytesB, step) != 0) return ContentMatch::Different;
    bytesA += step;
    bytesB += step;
    leftA -= step;
    leftB -= step;
    compared += step;
  }
  if (!readerA.finish()) return ContentMatch::FirstUnreadable;
  if (!readerB.finish()) return ContentMatch::SecondUnreadable;
  return ContentMatch::Same;
}
