#include "archive/content.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/platform.h"

Content::Content() = default;
Content::~Content() = default;
Content::Content(Content&&) noexcept = default;
Content& Content::operator=(Content&&) noexcept = default;

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

bool holdContent(const char* bytes, uint32_t size, Content* content) {
  content->release();
  std::unique_ptr<char[]> held = allocateContent(size);
  if (!held) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return false;
  }
  if (size > 0) std::memcpy(held.get(), bytes, size);
  held[size] = '\0';
  content->bytes = std::move(held);
  content->size = size;
  return true;
}

namespace {

// Reads exactly `size` bytes at `offset` into a new held content, in one read.
bool readHeld(plat::File& file, uint32_t offset, uint32_t size, Content* content) {
  std::unique_ptr<char[]> bytes = allocateContent(size);
  if (!bytes) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return false;
  }
  if (size > 0 && !file.readExactlyAt(offset, bytes.get(), size)) return false;
  bytes[size] = '\0';
  content->bytes = std::move(bytes);
  content->size = size;
  return true;
}

}  // namespace

bool readFilePart(plat::File& file, uint32_t offset, uint32_t size, const ContentLimits& limits, Content* content) {
  content->release();
  content->limits = limits;
  if (size > limits.piece) {
    content->file = &file;
    content->offset = offset;
    content->size = size;
    content->located = true;
    return true;
  }
  return readHeld(file, offset, size, content);
}

bool locateWholeFile(std::unique_ptr<plat::File> file, uint32_t size, const ContentLimits& limits, Content* content) {
  content->release();
  if (!file) {
    plat::setLastError(plat::kErrorNotEnoughMemory);
    return false;
  }
  content->limits = limits;
  content->ownFile = std::move(file);
  content->file = content->ownFile.get();
  content->size = size;
  content->wholeFile = true;
  content->located = true;
  return true;
}

namespace {

// The file at `path`, or the file `path` of `folder` when one is given.
bool readFile(const plat::Folder* folder, const char* path, Content* content, bool* opened,
              const ContentLimits& limits) {
  content->release();
  if (opened != nullptr) *opened = false;
  plat::File file;
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
  // Memory is asked for once the file is known to be there: a file that
  // cannot be held is unreadable, not absent.
  if (size > limits.piece)
    return locateWholeFile(std::unique_ptr<plat::File>(new (std::nothrow) plat::File(std::move(file))), size, limits,
                           content);
  content->limits = limits;
  return readHeld(file, 0, size, content);
}

}  // namespace

bool readFileContent(const char* path, Content* content, const ContentLimits& limits, bool* opened) {
  return readFile(nullptr, path, content, opened, limits);
}

bool readFileContentIn(const plat::Folder& folder, const std::string& name, Content* content,
                       const ContentLimits& limits, bool* opened) {
  return readFile(&folder, name.c_str(), content, opened, limits);
}

namespace {

// The piece buffer of the last reading on this thread, kept for the next:
// a run compares a thousand small files as often as one large one, and
// fresh memory for each costs the system a page fault per page.
struct SparePiece {
  std::unique_ptr<char[]> bytes;
  uint32_t size = 0;
};
thread_local SparePiece sparePiece;

}  // namespace

ContentReader::ContentReader(const Content& content, uint32_t from) : content_(content), delivered_(from) {}

ContentReader::~ContentReader() {
  if (piece_ && pieceSize_ >= sparePiece.size) sparePiece = SparePiece{std::move(piece_), pieceSize_};
}

bool ContentReader::next(const char** bytes, uint32_t* count) {
  *count = 0;
  *bytes = "";
  if (delivered_ >= content_.size) return true;
  if (!content_.located) {
    *bytes = content_.bytes.get() + delivered_;
    *count = content_.size - delivered_;
    delivered_ = content_.size;
    return true;
  }
  uint32_t pieceSize = content_.limits.piece;
  if (!piece_) {
    // No larger than the content needs: most contents are small.
    pieceSize_ = std::min(pieceSize, content_.size - delivered_);
    if (sparePiece.size >= pieceSize_) {
      pieceSize_ = sparePiece.size;
      piece_ = std::move(sparePiece.bytes);
      sparePiece.size = 0;
    } else {
      piece_.reset(new (std::nothrow) char[pieceSize_]);
    }
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
  uint32_t wanted = std::min(pieceSize, content_.size - delivered_);
  // The file may be shared with other readers and writers between pieces.
  if (!content_.file->readExactlyAt(static_cast<uint64_t>(content_.offset) + delivered_, piece_.get(), wanted)) {
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

bool writeContent(plat::File& file, const Content& content, const ContentProgress& progress, bool* readFailed) {
  if (readFailed != nullptr) *readFailed = false;
  // What a comparison kept goes first; the rest is read as it is written.
  for (size_t i = 0; i < content.prefixPieces.size(); ++i) {
    if (!file.writeExactly(content.prefixPieces[i].get(), content.prefixSizes[i])) return false;
    if (progress) progress(content.prefixSizes[i]);
  }
  ContentReader reader(content, content.prefixBytes);
  const char* piece = nullptr;
  uint32_t count = 0;
  do {
    if (!reader.next(&piece, &count)) {
      if (readFailed != nullptr) *readFailed = true;
      return false;
    }
    if (!file.writeExactly(piece, count)) return false;
    if (count > 0 && progress) progress(count);
  } while (count > 0);
  if (reader.finish()) return true;
  if (readFailed != nullptr) *readFailed = true;
  return false;
}

namespace {

// Keeps a copy of the next piece of a located content's prefix, as long as
// the prefix stays within its limits; false when it does not.
bool retainPrefix(Content& content, const char* piece, uint32_t count) {
  if (static_cast<uint64_t>(content.prefixBytes) + count > content.limits.retained) return false;
  std::unique_ptr<char[]> copy(new (std::nothrow) char[count]);
  if (!copy) return false;
  std::memcpy(copy.get(), piece, count);
  content.prefixPieces.push_back(std::move(copy));
  content.prefixSizes.push_back(count);
  content.prefixBytes += count;
  return true;
}

}  // namespace

ContentMatch matchContent(const Content& first, Content& second, const ContentProgress& progress) {
  if (first.size != second.size) return ContentMatch::Different;
  if (first.size == 0) return ContentMatch::Same;
  // Piece against piece; a held content is one piece, so the located one
  // is read in pieces against the matching part of it.
  ContentReader readerA(first), readerB(second);
  bool retaining = second.located && second.prefixBytes == 0;
  const char* bytesA = nullptr;
  const char* bytesB = nullptr;
  uint32_t leftA = 0, leftB = 0;
  uint32_t compared = 0;
  while (compared < first.size) {
    if (leftA == 0 && !readerA.next(&bytesA, &leftA)) return ContentMatch::FirstUnreadable;
    if (leftB == 0) {
      if (!readerB.next(&bytesB, &leftB)) return ContentMatch::SecondUnreadable;
      retaining = retaining && retainPrefix(second, bytesB, leftB);
    }
    uint32_t step = std::min(leftA, leftB);
    if (std::memcmp(bytesA, bytesB, step) != 0) return ContentMatch::Different;
    if (progress) progress(step);
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
