// Text streams with the C runtime's text-mode rules, done in the project's
// own code so both builds read and write exactly the same bytes:
// CR LF reads as LF, 0x1A ends the text, LF is written as CR LF, and opening
// for appending drops a final 0x1A.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace plat {

class TextReader {
 public:
  // Opens for reading (mode "r": other openers may read and write).
  bool open(const char* path);

  // Like fgets: stores at most size - 1 bytes, stopping after an LF, and a
  // NUL after them. Returns the number of bytes stored; 0 at end of text.
  size_t readLine(char* buffer, size_t size);

 private:
  // Next byte after text-mode translation, or -1 at end of text.
  int nextByte();
  int rawByte();

  File file_;
  std::vector<unsigned char> chunk_;
  size_t chunkPos_ = 0;
  size_t chunkLength_ = 0;
  bool ended_ = false;
};

// Opens like mode "a+" (created when missing), drops a final 0x1A, and
// appends text with every LF written as CR LF. False when the file cannot be
// opened or the write fails; a failed write leaves none of the text behind.
bool appendText(const char* path, const char* text, size_t length);

}  // namespace plat
