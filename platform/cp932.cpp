#include "platform/cp932.h"

size_t cp932PrefixLength(const char* text, size_t length, size_t maxBytes) {
  size_t kept = 0;
  while (kept < length) {
    size_t width = isCp932LeadByte(static_cast<unsigned char>(text[kept])) && kept + 1 < length ? 2 : 1;
    if (kept + width > maxBytes) break;
    kept += width;
  }
  return kept;
}

void truncateCp932(std::string* text, size_t maxBytes) {
  if (text->size() > maxBytes) text->resize(cp932PrefixLength(text->data(), text->size(), maxBytes));
}

bool endsWithBackslash(const std::string& text) {
  size_t at = 0, last = std::string::npos;
  while (at < text.size()) {
    last = at;
    at += (isCp932LeadByte(static_cast<unsigned char>(text[at])) && at + 1 < text.size()) ? 2 : 1;
  }
  return last != std::string::npos && at - last == 1 && text[last] == '\\';
}
