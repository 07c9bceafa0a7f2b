#include "tools/progress.h"

#include <chrono>
#include <cstdio>

namespace {

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
