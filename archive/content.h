// Whole contents in memory: an entry's or a file's bytes in a buffer one
// byte longer than the content, the last byte a NUL that is not counted.
#pragma once

#include <cstdint>
#include <memory>

struct Content {
  std::unique_ptr<char[]> bytes;  // none when there is no content
  uint32_t size = 0;

  bool present() const { return bytes != nullptr; }
  void release() {
    bytes.reset();
    size = 0;
  }
};

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

// Identical: the same size and the same bytes over that size. Two absent
// contents (size 0) are identical.
bool sameContent(const Content& a, const Content& b);
