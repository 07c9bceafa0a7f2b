#include "tools/byte_stream.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "archive/package_archive.h"

namespace {

// One piece of a transfer: large enough that the calls cost nothing next
// to the disk, small enough that two of them are no memory to speak of.
constexpr uint32_t kPieceSize = 1u << 20;

// A buffer no larger than the run needs: most files of a game are small,
// and a fresh megabyte for each would cost more than reading them.
std::unique_ptr<char[]> pieceBuffer(uint64_t runSize) {
  return std::unique_ptr<char[]>(new char[std::max<uint64_t>(1, std::min<uint64_t>(kPieceSize, runSize))]);
}

// Reads a run piece by piece.
class RunReader {
 public:
  bool open(const ByteRun& run) {
    run_ = run;
    if (!file_.open(run.path.c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting)) return false;
    if (run.whole) {
      // Only sizes the buffer: a whole run ends where reading ends.
      if (!file_.size(&run_.size)) run_.size = kPieceSize;
      return true;
    }
    return file_.seek(static_cast<int64_t>(run.offset), plat::SeekOrigin::Begin);
  }
  // The buffer a piece needs.
  uint32_t pieceSize() const {
    return static_cast<uint32_t>(std::max<uint64_t>(1, std::min<uint64_t>(kPieceSize, run_.size)));
  }
  // The next piece of at most `capacity` bytes; fewer only at the end of
  // the run, 0 after it. A part of a file that ends early is a read fault:
  // the archive promised those bytes.
  bool next(char* buffer, uint32_t capacity, uint32_t* got) {
    uint32_t want = capacity;
    if (!run_.whole) want = static_cast<uint32_t>(std::min<uint64_t>(capacity, run_.size - done_));
    *got = 0;
    if (want == 0) return true;
    if (!run_.whole) {
      if (!file_.readExactly(buffer, want)) return false;
      *got = want;
    } else if (!file_.read(buffer, want, got)) {
      return false;
    }
    done_ += *got;
    return true;
  }

 private:
  plat::File file_;
  ByteRun run_;
  uint64_t done_ = 0;
};

uint64_t nowMilliseconds() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string mebibytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

}  // namespace

ByteRun wholeFile(const std::string& path) { return ByteRun{path, true, 0, 0}; }
ByteRun partOfFile(const std::string& path, uint64_t offset, uint64_t size) { return ByteRun{path, false, offset, size}; }

Progress::Progress(ToolOutput* output) : output_(output) {}

void Progress::start(const char* phase, uint64_t files, uint64_t bytes) {
  active_ = !output_->json && static_cast<bool>(output_->progress);
  phase_ = phase;
  files_ = files;
  bytes_ = bytes;
  filesDone_ = bytesDone_ = 0;
  current_.clear();
  show(true);
}

void Progress::nextFile(const std::string& cp932) {
  if (!current_.empty()) ++filesDone_;
  current_ = cp932;
  fileStart_ = bytesDone_;
  show(false);
}

void Progress::fileDone(uint64_t bytes) {
  bytesDone_ = fileStart_ + bytes;
  show(false);
}

void Progress::advance(uint64_t bytes) {
  bytesDone_ += bytes;
  show(false);
}

void Progress::finish() {
  if (!active_) return;
  // Blank the line, so that the report starts on a clean one.
  output_->progress("\r" + std::string(lastWidth_, ' ') + "\r");
  active_ = false;
  lastWidth_ = 0;
}

void Progress::show(bool force) {
  if (!active_) return;
  uint64_t now = nowMilliseconds();
  if (!force && now - shownAt_ < 200) return;
  shownAt_ = now;
  std::string line = phase_ + ": " + std::to_string(filesDone_) + " of " + std::to_string(files_) + " files, " +
                     mebibytes(bytesDone_) + " of " + mebibytes(bytes_) + (current_.empty() ? "" : "  " + shown(current_));
  size_t width = line.size();
  if (width < lastWidth_) line += std::string(lastWidth_ - width, ' ');
  lastWidth_ = width;
  output_->progress("\r" + line);
}

bool fileSizeOf(const std::string& path, uint64_t* size) {
  plat::File file;
  if (!file.open(path.c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting)) return false;
  return file.size(size);
}

bool sameBytes(const ByteRun& a, const ByteRun& b, bool* same, Progress* progress, std::string* failedPath) {
  *same = false;
  RunReader first, second;
  if (!first.open(a)) return *failedPath = a.path, false;
  if (!second.open(b)) return *failedPath = b.path, false;
  // One piece size for both sides, so that equal runs give equal pieces.
  uint32_t piece = std::max(first.pieceSize(), second.pieceSize());
  std::unique_ptr<char[]> left = pieceBuffer(piece), right = pieceBuffer(piece);
  for (;;) {
    uint32_t gotLeft = 0, gotRight = 0;
    if (!first.next(left.get(), piece, &gotLeft)) return *failedPath = a.path, false;
    if (!second.next(right.get(), piece, &gotRight)) return *failedPath = b.path, false;
    if (progress) progress->advance(gotLeft);
    if (gotLeft != gotRight || std::memcmp(left.get(), right.get(), gotLeft) != 0) return true;
    if (gotLeft == 0) break;
  }
  *same = true;
  return true;
}

bool PartComparer::open(const std::string& first, const std::string& second) {
  firstPath_ = first;
  secondPath_ = second;
  return first_.open(first.c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting) &&
         second_.open(second.c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting);
}

bool PartComparer::readPart(plat::File* file, uint64_t offset, uint32_t size, char* buffer) {
  return file->seek(static_cast<int64_t>(offset), plat::SeekOrigin::Begin) && file->readExactly(buffer, size);
}

bool PartComparer::same(uint64_t firstOffset, uint64_t secondOffset, uint64_t size, bool* same, std::string* failedPath) {
  *same = false;
  left_.resize(std::min<uint64_t>(std::max<uint64_t>(size, 1), kPieceSize));
  right_.resize(left_.size());
  for (uint64_t done = 0; done < size;) {
    uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(kPieceSize, size - done));
    if (!readPart(&first_, firstOffset + done, piece, left_.data())) return *failedPath = firstPath_, false;
    if (!readPart(&second_, secondOffset + done, piece, right_.data())) return *failedPath = secondPath_, false;
    if (std::memcmp(left_.data(), right_.data(), piece) != 0) return true;
    done += piece;
  }
  *same = true;
  return true;
}

bool appendBytes(const ByteRun& from, plat::File* to, uint64_t* copied, Progress* progress, std::string* failedPath) {
  *copied = 0;
  RunReader reader;
  if (!reader.open(from)) return *failedPath = from.path, false;
  uint32_t piece = reader.pieceSize();
  std::unique_ptr<char[]> buffer = pieceBuffer(piece);
  for (;;) {
    uint32_t got = 0;
    if (!reader.next(buffer.get(), piece, &got)) return *failedPath = from.path, false;
    if (got == 0) return true;
    if (!to->writeExactly(buffer.get(), got)) {
      failedPath->clear();  // the caller knows the file it writes
      return false;
    }
    *copied += got;
    if (progress) progress->advance(got);
  }
}

bool copyToFile(const ByteRun& from, const std::string& to, uint64_t* copied, Progress* progress, std::string* failedPath) {
  plat::File file;
  if (!file.open(to.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways)) return *failedPath = to, false;
  if (!appendBytes(from, &file, copied, progress, failedPath)) {
    if (failedPath->empty()) *failedPath = to;
    return false;
  }
  return true;
}

bool PackageWriter::open(const std::string& path) {
  path_ = path;
  index_.clear();
  position_ = 0;
  if (!file_.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways)) return false;
  // The header as the builder writes it; its index fields are set at the end.
  char header[kArchiveHeaderSize] = {};
  std::memcpy(header, kArchiveMagic, sizeof kArchiveMagic);
  std::memcpy(header + sizeof kArchiveMagic, "SORELUNE", 8);
  return put(header, sizeof header);
}

bool PackageWriter::put(const void* bytes, uint32_t count) {
  if (!file_.writeExactly(bytes, count)) return false;
  position_ += count;
  return true;
}

bool PackageWriter::add(const std::string& name, const ByteRun& content, Progress* progress, std::string* failedPath) {
  uint64_t nameOffset = position_;
  if (!put(name.c_str(), static_cast<uint32_t>(name.size() + 1))) return *failedPath = path_, false;
  uint64_t dataOffset = position_;
  uint64_t copied = 0;
  if (!appendBytes(content, &file_, &copied, progress, failedPath)) {
    if (failedPath->empty()) *failedPath = path_;
    return false;
  }
  position_ += copied;
  unsigned char record[kArchiveRecordSize] = {};
  putArchiveUint32(record, static_cast<uint32_t>(nameOffset));
  putArchiveUint32(record + 4, static_cast<uint32_t>(name.size() + 1));
  putArchiveUint32(record + 8, static_cast<uint32_t>(dataOffset));
  putArchiveUint32(record + 12, static_cast<uint32_t>(copied));
  index_.append(reinterpret_cast<const char*>(record), sizeof record);
  return true;
}

bool PackageWriter::finish() {
  uint64_t indexOffset = position_;
  if (!index_.empty() && !put(index_.data(), static_cast<uint32_t>(index_.size()))) return false;
  unsigned char fields[8];
  putArchiveUint32(fields, static_cast<uint32_t>(indexOffset));
  putArchiveUint32(fields + 4, static_cast<uint32_t>(index_.size()));
  if (!file_.seek(16, plat::SeekOrigin::Begin) || !file_.writeExactly(fields, sizeof fields)) return false;
  file_.close();
  return true;
}
