// Byte-level rules of code page 932 that the program needs without any
// conversion: where a double-byte character starts, and cutting or testing
// a string without splitting one (its trail byte may be 0x5C, the
// backslash, as in ソ 0x83 0x5C).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

inline bool isCp932LeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// The longest prefix of the text, at most maxBytes bytes long, that ends on
// a character boundary.
size_t cp932PrefixLength(const char* text, size_t length, size_t maxBytes);

// Shortens a string to at most maxBytes bytes on a character boundary.
void truncateCp932(std::string* text, size_t maxBytes);

// Whether the last character is the single-byte backslash.
bool endsWithBackslash(const std::string& text);

// The parts of a path split at backslashes and slashes, the way Windows
// reads it: a trail byte 0x5C (ソ, 表, 能) separates nothing. A path that
// begins or ends with a separator, or holds two in a row, gives empty parts.
std::vector<std::string> cp932PathParts(const std::string& path);
