#include "archive/content.h"

#include <cstring>
#include <new>

#include "archive/package_archive.h"
#include "platform/platform.h"

uint32_t contentHeldWholeLimit = kContentPieceSize;
uint32_t contentRetainedLimit = 32u << 20;

Content::Content() = default;
Content::~Content() = default;
Content::Content(Content&&) noexcept = default;
Content& Content::operator=(Content&&) noexcept = default;

bool Content::retainPrefix(const char* piece, uint32_t count) {
  if (static_cast<uint64_t>(prefixBytes) + count > contentRetainedLimit) return false;
  std::unique_ptr<char[]> copy(new (std::nothrow) char[count == 0 ? 1 : count]);
  if (!copy) return false;
  std::memcpy(copy.get(), piece, count);
  prefixPieces.push_back(std::move(copy));
  prefixSizes.push_back(count);
  prefixBytes += count;
  return true;
}

void Content::release() {
  prefixPieces.clear();
  prefixSizes.clear();
  prefixBytes = 0;
  bytes.reset();
  size = 0;
  file = nullptr;
  ownFile.reset();
  offset = 0;
  wholeFile = false;
  located = false;
}

std::unique_ptr<char[]> allocateContent(uint32_t size) {
  return std::unique_ptr<char[]>(new (std::nothrow) char[static_cast<size_t>(size) + 1]);
}

namespace {

// The file at `path`, or the file `path` of `folder` when one is given.
bool readFile(const plat::Folder* folder, const char* path, Content* content, bool* opened, bool locateLarge) {
  content->release();
  if (opened != nullptr) *opened = false;
  std::unique_ptr<plat::File> held(new (std::nothrow) plat::File);
  if (!held) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return false;
  }
  plat::File& file = *held;
  bool open = folder != nullptr ? file.openIn(*folder, path, plat::kGenericRead, plat::kShareRead, plat::kOpenExisting)
                                 : file.open(path, plat::kGenericRead, plat::kShareRead, plat::kOpenExisting);
  if (!open) return false;
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
    content->ownFile = std::move(held);
    content->file = content->ownFile.get();
    content->size = size;
    content->wholeFile = true;
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
  return readFile(nullptr, path, content, opened, false);
}

bool readFileContentIn(const plat::Folder& folder, const std::string& name, Content* content, bool* opened) {
  return readFile(&folder, name.c_str(), content, opened, true);
}

ContentReader::ContentReader(const Content& content, uint32_t from) : content_(content), delivered_(from) {}

ContentReader::~ContentReader() = default;

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
  if (!piece_) {
    piece_.reset(new (std::nothrow) char[contentHeldWholeLimit]);
    if (!piece_) {
      plat::setLastError(plat::kErrorNotEnoughMemory);
      return false;
    }
    // The content must still lie in its file, whole.
    uint64_t size = 0;
    if (!content_.file->size(&size)) return false;
    bool holds = content_.wholeFile ? size == content_.size
                                    : static_cast<uint64_t>(content_.offset) + content_.size <= size;
    if (!holds) {
      plat::setLastError(kErrorInvalidData);
      return false;
    }
  }
  uint32_t left = content_.size - delivered_;
  uint32_t wanted = left < contentHeldWholeLimit ? left : contentHeldWholeLimit;
  // The file may be shared with other readers and writers between pieces.
  if (!content_.file->seek(static_cast<int64_t>(content_.offset) + delivered_, plat::SeekOrigin::Begin) ||
      !content_.file->readExactly(piece_.get(), wanted)) {
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
  if (!content_.located || !content_.wholeFile) return true;
  uint64_t size = 0;
  if (!content_.file->size(&size)) return false;
  if (size != content_.size) {
    plat::setLastError(kErrorInvalidData);
    return false;
  }
  return true;
}

bool writeContent(plat::File& file, const Content& content) {
  if (!content.located) return file.writeExactly(content.bytes ? content.bytes.get() : "", content.size);
  // What a comparison kept goes first; the rest is read as it is written.
  for (size_t i = 0; i < content.prefixPieces.size(); ++i)
    if (!file.writeExactly(content.prefixPieces[i].get(), content.prefixSizes[i])) return false;
  ContentReader reader(content, content.prefixBytes);
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
