// Contents of entries and files: small ones held whole in a buffer one byte
// longer than the content, the last byte a NUL that is not counted; larger
// ones only located (an open file, an offset, a size) and read piece by
// piece through that file whenever they are compared or written, so that
// memory stays bounded whatever the sizes, and what is written is what was
// compared.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plat {
class File;
class Folder;
}

// Contents larger than this are located rather than held, and are read in
// pieces of at most this size. Tests lower it to stream small files.
constexpr uint32_t kContentPieceSize = 1u << 20;
extern uint32_t contentHeldWholeLimit;  // kContentPieceSize

// While one lives, every content is held whole: for a caller that keeps
// contents as bytes of its own (a dry run that remembers what it would have
// written).
class ContentsHeldWhole {
 public:
  ContentsHeldWhole() : saved_(contentHeldWholeLimit) { contentHeldWholeLimit = 0xFFFFFFFFu; }
  ~ContentsHeldWhole() { contentHeldWholeLimit = saved_; }
  ContentsHeldWhole(const ContentsHeldWhole&) = delete;
  ContentsHeldWhole& operator=(const ContentsHeldWhole&) = delete;

 private:
  uint32_t saved_;
};

struct Content {
  std::unique_ptr<char[]> bytes;  // the whole content when it is held
  uint32_t size = 0;
  // A located content: `size` bytes at `offset` of `file`, which is the
  // content's own (`ownFile`, a whole loose file held open while the
  // content lives) or an archive's that outlives the content. `wholeFile`:
  // the file's size must stay `size` while it is read.
  plat::File* file = nullptr;
  std::unique_ptr<plat::File> ownFile;
  uint32_t offset = 0;
  bool wholeFile = false;
  bool located = false;

  // The first bytes of a located content, kept in memory where a reader
  // that compared them kept them, so that writing the content reads them
  // no more (at most contentRetainedLimit bytes).
  std::vector<std::unique_ptr<char[]>> prefixPieces;
  std::vector<uint32_t> prefixSizes;
  uint32_t prefixBytes = 0;

  Content();
  ~Content();
  Content(Content&&) noexcept;
  Content& operator=(Content&&) noexcept;

  bool present() const { return bytes != nullptr || located; }
  void release();
  // Keeps a copy of the next piece of a located content's prefix, as long
  // as the prefix stays within contentRetainedLimit; false when it does not.
  bool retainPrefix(const char* piece, uint32_t count);
};

// How much of a located content a comparison keeps for the write that may
// follow it. Tests lower it with contentHeldWholeLimit.
extern uint32_t contentRetainedLimit;  // 32 MiB

// Allocates size + 1 bytes without throwing; none when memory runs out.
std::unique_ptr<char[]> allocateContent(uint32_t size);

// Reads a file whole: opened as an existing file for reading with read
// sharing, its size taken from the file system, one read of that size.
// Content that arrives shorter than the file's size is refused, so that
// truncated bytes are never taken for the file. False (and no content)
// when the file does not open, the read fails or falls short, or memory
// runs out; the last error then says why, and *opened (when given) tells a
// file that did not open from one that could not be read.
bool readWholeFile(const char* path, Content* content, bool* opened = nullptr);

// As readWholeFile for the file `name` of a held folder, opened never
// through a link; a file larger than contentHeldWholeLimit is only
// located: opened and sized, not read.
bool readFileContentIn(const plat::Folder& folder, const std::string& name, Content* content, bool* opened);

// Delivers a content piece by piece, at most contentHeldWholeLimit bytes at
// a time. A located content is read through its file, which must still
// hold it: a whole file whose size changed since it was located, or an
// entry that no longer lies in its file, fails the reading
// (kErrorInvalidData or the read's own error) rather than deliver other
// bytes.
class ContentReader {
 public:
  // Delivers the content from `from` on.
  explicit ContentReader(const Content& content, uint32_t from = 0);
  ~ContentReader();
  ContentReader(const ContentReader&) = delete;
  ContentReader& operator=(const ContentReader&) = delete;

  // The next piece: *bytes and *count (0 at the end). False when the
  // reading failed; the last error says why.
  bool next(const char** bytes, uint32_t* count);
  // True once every byte was delivered and a whole file still has the size
  // it had when located, so that a file that grew while it was read fails.
  bool finish();

 private:
  const Content& content_;
  std::unique_ptr<char[]> piece_;
  uint32_t delivered_ = 0;
};

// Writes the whole content at the file's position: a held one in one
// transfer, a located one piece by piece. False on a failed or short write,
// or when a located content could not be delivered whole.
bool writeContent(plat::File& file, const Content& content);

// Identical: the same size and the same bytes over that size. Two absent
// contents (size 0) are identical. A located content whose reading fails
// says which; the last error then says why.
enum class ContentMatch { Same, Different, FirstUnreadable, SecondUnreadable };
ContentMatch matchContent(const Content& a, const Content& b);
inline bool sameContent(const Content& a, const Content& b) { return matchContent(a, b) == ContentMatch::Same; }
