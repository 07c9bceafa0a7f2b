// Contents compared and copied piece by piece, so that the tool's memory
// stays small whatever the sizes of the game's files: a loose file or an
// entry inside an archive is a run of bytes in a file, never a buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/tool_common.h"

// A run of bytes: a whole file (whole, its size taken from reading it to
// its end), or `size` bytes at `offset` (an archive entry's content).
struct ByteRun {
  std::string path;  // CP932
  bool whole = true;
  uint64_t offset = 0;
  uint64_t size = 0;
};

ByteRun wholeFile(const std::string& path);
ByteRun partOfFile(const std::string& path, uint64_t offset, uint64_t size);

// "files and bytes done of the total, the current file" on standard error
// while a terminal shows it (ToolOutput::progress is set), never under
// --json. Updates are spaced out so that printing costs nothing.
class Progress {
 public:
  explicit Progress(ToolOutput* output);
  ~Progress() { finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void start(const char* phase, uint64_t files, uint64_t bytes);
  void nextFile(const std::string& cp932);
  void advance(uint64_t bytes);
  // The current file counts `bytes` in all, however much of it was read.
  void fileDone(uint64_t bytes);
  void finish();  // clears the line

 private:
  void show(bool force);

  ToolOutput* output_;
  bool active_ = false;
  std::string phase_, current_;
  uint64_t files_ = 0, filesDone_ = 0, bytes_ = 0, bytesDone_ = 0, fileStart_ = 0;
  uint64_t shownAt_ = 0;
  size_t lastWidth_ = 0;
};

// The size of a file, or false (the last error says why).
bool fileSizeOf(const std::string& path, uint64_t* size);

// Whether two runs hold the same bytes; false on a read error (the last
// error says why, *failedPath which file).
bool sameBytes(const ByteRun& a, const ByteRun& b, bool* same, Progress* progress, std::string* failedPath);

// Compares parts of two files that stay open across many compares: the
// entries of two archives, thousands of them, each a seek and a read.
class PartComparer {
 public:
  bool open(const std::string& first, const std::string& second);
  // Whether `size` bytes at the two offsets are the same; false on a read
  // error (the last error says why, *failedPath which file).
  bool same(uint64_t firstOffset, uint64_t secondOffset, uint64_t size, bool* same, std::string* failedPath);

 private:
  bool readPart(plat::File* file, uint64_t offset, uint32_t size, char* buffer);

  plat::File first_, second_;
  std::string firstPath_, secondPath_;
  std::vector<char> left_, right_;
};

// Appends a run to an open file; *copied receives the byte count. False on
// a read or write error (*failedPath names the file that failed).
bool appendBytes(const ByteRun& from, plat::File* to, uint64_t* copied, Progress* progress, std::string* failedPath);

// Copies a run to a new file (replaced if present).
bool copyToFile(const ByteRun& from, const std::string& to, uint64_t* copied, Progress* progress, std::string* failedPath);

// A new package archive written entry by entry, each content streamed from
// its run: the header, then each name with its NUL and its content, then
// the index, then the header's index fields. The caller keeps the archive
// under kArchiveMaxPosition.
class PackageWriter {
 public:
  bool open(const std::string& path);
  bool add(const std::string& name, const ByteRun& content, Progress* progress, std::string* failedPath);
  bool finish();
  uint64_t size() const { return position_; }

 private:
  bool put(const void* bytes, uint32_t count);

  plat::File file_;
  std::string path_;
  std::string index_;
  uint64_t position_ = 0;
};
