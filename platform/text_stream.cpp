#include "platform/text_stream.h"

#include <string>

namespace plat {

namespace {
constexpr unsigned char kEndOfText = 0x1A;
constexpr size_t kChunkSize = 64 * 1024;
}  // namespace

void TextReader::begin() {
  chunk_.assign(kChunkSize, 0);
  chunkPos_ = chunkLength_ = 0;
  ended_ = false;
}

bool TextReader::open(const char* path) {
  begin();
  return file_.open(path, kGenericRead, kShareRead | kShareWrite, kOpenExisting);
}

bool TextReader::openIn(const Folder& folder, const std::string& name) {
  begin();
  return file_.openIn(folder, name, kGenericRead, kShareRead | kShareWrite, kOpenExisting);
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

bool appendText(File& file, const char* text, size_t length) {
  uint64_t size = 0;
  if (file.size(&size) && size > 0) {
    unsigned char last = 0;
    if (file.seek(-1, SeekOrigin::End) && file.readExactly(&last, 1) && last == kEndOfText) {
      file.seek(-1, SeekOrigin::End);
      file.truncateHere();
    }
  }
  uint64_t end = 0;
  if (!file.seek(0, SeekOrigin::End, &end)) return false;
  std::string translated;
  translated.reserve(length + 16);
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') translated.push_back('\r');
    translated.push_back(text[i]);
  }
  if (file.writeExactly(translated.data(), static_cast<uint32_t>(translated.size()))) return true;
  // A write that stopped part way (a full disk) is cut off again, so the
  // text never ends in a partial line; cutting needs no room.
  uint32_t failure = lastError();
  if (file.seek(static_cast<int64_t>(end), SeekOrigin::Begin)) file.truncateHere();
  setLastError(failure);
  return false;
}

bool lastLineIs(File& file, const std::string& line) {
  // The line as a writer leaves it (CR LF) or as another may (LF), a final
  // 0x1A after it, and the line end before it: no more is read.
  uint64_t size = 0;
  if (!file.size(&size)) return false;
  size_t body = line.size() - 1;
  uint64_t wanted = body + 4;
  uint64_t start = size > wanted ? size - wanted : 0;
  std::string tail(static_cast<size_t>(size - start), '\0');
  if (!file.seek(static_cast<int64_t>(start), SeekOrigin::Begin) ||
      (!tail.empty() && !file.readExactly(&tail[0], static_cast<uint32_t>(tail.size()))))
    return false;
  if (!tail.empty() && static_cast<unsigned char>(tail.back()) == kEndOfText) tail.pop_back();
  for (const char* end : {"\r\n", "\n"}) {
    std::string ending = line.substr(0, body) + end;
    if (tail.size() < ending.size() || tail.compare(tail.size() - ending.size(), ending.size(), ending) != 0) continue;
    size_t before = tail.size() - ending.size();
    // The line begins the text, or follows a line end.
    if ((before == 0 && start == 0) || (before > 0 && tail[before - 1] == '\n')) return true;
  }
  return false;
}

}  // namespace plat
