// Contents of entries and files, read, compared and copied in pieces of one
// size: small ones held whole in a buffer one byte longer than the content,
// the last byte a NUL that is not counted; larger ones only located (an
// open file, an offset, a size) and read piece by piece through that file
// whenever they are compared or written, so that memory stays bounded
// whatever the sizes, and what is written is what was compared.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plat {
class File;
class Folder;
}

constexpr uint32_t kContentPieceSize = 1u << 20;
// ERROR_INVALID_DATA: the last error when a located content no longer lies
// in its file as it did, and when an archive's index cannot be read or its
// layout does not allow a change that leaves the other entries as they are.
constexpr uint32_t kErrorInvalidData = 13;

// How contents are held and read; a content keeps the limits it was made
// under. Tests lower them to stream small files.
struct ContentLimits {
  // Larger contents are located rather than held, and read in pieces of at
  // most this size.
  uint32_t piece = kContentPieceSize;
  // How much of a located content a comparison keeps for the write that
  // may follow it, so that the write reads those bytes no more.
  uint32_t retained = 32u << 20;
};
// Every content held whole: for a caller that keeps contents as bytes of
// its own.
constexpr ContentLimits kContentsHeldWhole{0xFFFFFFFFu, 0};
// For a comparison that no write follows: nothing is kept of what it read.
constexpr ContentLimits kContentsCompared{kContentPieceSize, 0};

struct Content {
  std::unique_ptr<char[]> bytes;  // the whole content when it is held
  uint32_t size = 0;
  // A located content: `size` bytes at `offset` of `file`, which is the
  // content's own (`ownFile`, a whole loose file held open while the
  // content lives) or one that outlives the content. `wholeFile`: the
  // file's size must stay `size` while it is read.
  plat::File* file = nullptr;
  std::unique_ptr<plat::File> ownFile;
  uint32_t offset = 0;
  bool wholeFile = false;
  bool located = false;
  ContentLimits limits;

  // The first pieces of a located content as a comparison read them.
  std::vector<std::unique_ptr<char[]>> prefixPieces;
  std::vector<uint32_t> prefixSizes;
  uint32_t prefixBytes = 0;

  Content();
  ~Content();
  Content(Content&&) noexcept;
  Content& operator=(Content&&) noexcept;

  bool present() const { return bytes != nullptr || located; }
  // The bytes of a held content ("" for none).
  const char* heldBytes() const { return bytes ? bytes.get() : ""; }
  void release();
};

// Allocates size + 1 bytes without throwing; none when memory runs out.
std::unique_ptr<char[]> allocateContent(uint32_t size);

// A copy of `size` bytes, held whole.
bool holdContent(const char* bytes, uint32_t size, Content* content);

// `size` bytes at `offset` of an open file that outlives the content: read
// whole in one read when they fit limits.piece, else only located. False
// when a read fails or falls short, or memory runs out; the last error
// says why.
bool readFilePart(plat::File& file, uint32_t offset, uint32_t size, const ContentLimits& limits, Content* content);

// As readFileContent for the file `name` of a held folder, opened never
// through a link.
bool readFileContentIn(const plat::Folder& folder, const std::string& name, Content* content,
                       const ContentLimits& limits, bool* opened = nullptr);

// A whole open file of `size` bytes, located: the content owns the file.
bool locateWholeFile(std::unique_ptr<plat::File> file, uint32_t size, const ContentLimits& limits, Content* content);

// Reads a file by its path: opened as an existing file for reading with
// read sharing, its size taken from the file system; held whole (one read
// of that size) when it fits limits.piece, else located. Content that
// arrives shorter than the file's size is refused, so that truncated bytes
// are never taken for the file. False (and no content) when the file does
// not open, the read fails or falls short, or memory runs out; the last
// error then says why, and *opened (when given) tells a file that did not
// open from one that could not be read.
bool readFileContent(const char* path, Content* content, const ContentLimits& limits, bool* opened = nullptr);

// Told the size of every piece as it is compared or written.
using ContentProgress = std::function<void(uint32_t bytes)>;

// Delivers a content piece by piece, at most limits.piece bytes at a time.
// A located content is read through its file, which must still hold it: a
// whole file whose size changed since it was located, or an entry that no
// longer lies in its file, fails the reading (kErrorInvalidData or the
// read's own error) rather than deliver other bytes.
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
  uint32_t pieceSize_ = 0;
  uint32_t delivered_ = 0;
};

// Writes the whole content at the file's position. False on a failed or
// short write, or when a located content could not be delivered whole
// (then *readFailed, when given, is set).
bool writeContent(plat::File& file, const Content& content, const ContentProgress& progress = {},
                  bool* readFailed = nullptr);

// Identical: the same size and the same bytes over that size. Two absent
// contents (size 0) are identical. A located content whose reading fails
// says which; the last error then says why. `second` keeps what was read
// of it while that stays within its limits.retained, for writeContent.
enum class ContentMatch { Same, Different, FirstUnreadable, SecondUnreadable };
ContentMatch matchContent(const Content& first, Content& second, const ContentProgress& progress = {});
