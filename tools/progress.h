// The publisher tool's progress line.
#pragma once

#include <cstdint>
#include <string>

#include "tools/tool_common.h"

// "files and bytes done of the total, the current file" on standard error
// while a terminal shows it (ToolOutput::progress is set), never under
// --json. Updates are spaced out so that printing costs nothing.
class Progress {
 public:
  explicit Progress(ToolOutput* output) : output_(output) {}
  ~Progress() { finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void start(const char* phase, uint64_t files, uint64_t bytes);
  void nextFile(const std::string& cp932);
  void advance(uint64_t bytes);
  // advance() for every piece of a content compared or written.
  ContentProgress pieces() {
    return [this](uint32_t bytes) { advance(bytes); };
  }
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
