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

std::vector<std::string> cp932PathParts(const std::string& path) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < path.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(path[i]);
    if (isCp932LeadByte(byte) && i + 1 < path.size()) {
      parts.back().append(path, i, 2);
      ++i;
    } else if (byte == '\\' || byte == '/') {
      parts.emplace_back();
    } else {
      parts.back().push_back(path[i]);
    }
  }
  return parts;
}
