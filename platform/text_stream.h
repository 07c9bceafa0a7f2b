// Text streams with the C runtime's text-mode rules, done in the project's
// own code so both builds read and write exactly the same bytes:
// CR LF reads as LF, 0x1A ends the text, LF is written as CR LF, and opening
// for appending drops a final 0x1A.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace plat {

class TextReader {
 public:
  // Opens for reading (mode "r": other openers may read and write).
  bool open(const char* path);
  // The same for the file `name` of a held folder, never through a link.
  bool openIn(const Folder& folder, const std::string& name);

  // Like fgets: stores at most size - 1 bytes, stopping after an LF, and a
  // NUL after them. Returns the number of bytes stored; 0 at end of text.
  size_t readLine(char* buffer, size_t size);

 private:
  // Next byte after text-mode translation, or -1 at end of text.
  int nextByte();
  int rawByte();
  void begin();

  File file_;
  std::vector<unsigned char> chunk_;
  size_t chunkPos_ = 0;
  size_t chunkLength_ = 0;
  bool ended_ = false;
};

// Appends text to an open file as mode "a+" does: a final 0x1A goes first,
// and every LF is written as CR LF. False when the write fails, which
// leaves none of the text behind.
bool appendText(File& file, const char* text, size_t length);

// Whether the text's last line, as a reader in text mode sees it, is
// `line` (which ends with its LF). Reads only the file's tail; a 0x1A
// before the tail is not looked for.
bool lastLineIs(File& file, const std::string& line);

}  // namespace plat
