#include "platform/text_stream.h"

#include <string>

namespace plat {

namespace {
constexpr unsigned char kEndOfText = 0x1A;
constexpr size_t kChunkSize = 64 * 1024;
}  // namespace

bool TextReader::open(const char* path) {
  chunk_.assign(kChunkSize, 0);
  chunkPos_ = chunkLength_ = 0;
  ended_ = false;
  return file_.open(path, kGenericRead, kShareRead | kShareWrite, kOpenExisting);
}

int TextReader::rawByte() {
  if (ended_) return -1;
  if (chunkPos_ == chunkLength_) {
    uint32_t got = 0;
    // A failed read ends the text, as it ends a C runtime stream.
    if (!file_.read(chunk_.data(), static_cast<uint32_t>(chunk_.size()), &got) || got == 0) {
      ended_ = true;
      return -1;
    }
    chunkPos_ = 0;
    chunkLength_ = got;
  }
  return chunk_[chunkPos_++];
}

int TextReader::nextByte() {
  int byte = rawByte();
  if (byte == kEndOfText) {
    ended_ = true;
    return -1;
  }
  if (byte == '\r') {
    int following = rawByte();
    if (following == '\n') return '\n';
    if (following >= 0) --chunkPos_;  // not part of a line end: read it next time
  }
  return byte;
}

size_t TextReader::readLine(char* buffer, size_t size) {
  if (size == 0) return 0;
  size_t stored = 0;
  while (stored + 1 < size) {
    int byte = nextByte();
    if (byte < 0) break;
    buffer[stored++] = static_cast<char>(byte);
    if (byte == '\n') break;
  }
  buffer[stored] = '\0';
  return stored;
}

bool appendText(const char* path, const char* text, size_t length) {
  File file;
  if (!file.open(path, kGenericRead | kGenericWrite, kShareRead | kShareWrite, kOpenAlways)) return false;
  uint64_t size = 0;
  if (file.size(&size) && size > 0) {
    unsigned char last = 0;
    if (file.seek(-1, SeekOrigin::End) && file.readExactly(&last, 1) && last == kEndOfText) {
      file.seek(-1, SeekOrigin::End);
      file.truncateHere();
    }
  }
  if (!file.seek(0, SeekOrigin::End)) return false;
  std::string translated;
  translated.reserve(length + 16);
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') translated.push_back('\r');
    translated.push_back(text[i]);
  }
  return file.writeExactly(translated.data(), static_cast<uint32_t>(translated.size()));
}

}  // namespace plat
