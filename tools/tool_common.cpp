#include "tools/tool_common.h"

#include <algorithm>
#include <cstdio>

#include "platform/platform.h"

std::string shown(const std::string& cp932) {
  std::string utf8;
  if (cp932.find('\0') == std::string::npos && plat::cp932ToUtf8(cp932, &utf8)) return utf8;
  // Character by character, so that one bad byte does not hide the rest.
  std::string result;
  char escaped[8];
  for (size_t i = 0; i < cp932.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(cp932[i]);
    if (byte >= 0x20 && byte < 0x7F) {
      result.push_back(static_cast<char>(byte));
      continue;
    }
    if (isCp932LeadByte(byte) && i + 1 < cp932.size()) {
      std::string pair = cp932.substr(i, 2);
      std::string converted;
      if (plat::cp932ToUtf8(pair, &converted)) {
        result += converted;
        ++i;
        continue;
      }
    } else if (byte >= 0xA1 && byte <= 0xDF) {
      std::string converted;
      if (plat::cp932ToUtf8(std::string(1, static_cast<char>(byte)), &converted)) {
        result += converted;
        continue;
      }
    }
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    result += escaped;
  }
  return result;
}

std::string jsonText(const std::string& utf8) {
  std::string result = "\"";
  char escaped[8];
  for (unsigned char byte : utf8) {
    switch (byte) {
      case '"': result += "\\\""; break;
      case '\\': result += "\\\\"; break;
      case '\n': result += "\\n"; break;
      case '\r': result += "\\r"; break;
      case '\t': result += "\\t"; break;
      default:
        if (byte < 0x20) {
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          result += escaped;
        } else {
          result.push_back(static_cast<char>(byte));
        }
    }
  }
  return result + "\"";
}

std::string jsonName(const std::string& cp932) { return jsonText(shown(cp932)); }

bool argumentPath(const std::string& utf8, std::string* cp932) {
  if (!plat::utf8ToCp932(utf8, cp932)) return false;
  for (char& c : *cp932)
    if (c == '/') c = '\\';  // 0x2F is never a CP932 trail byte
  return true;
}

std::string asFolder(const std::string& path) {
  if (path.empty()) return path;
  std::vector<std::string> parts = pathParts(path);
  // A trailing 0x5C may be the trail byte of a character: only a separator
  // leaves an empty last part.
  if (!parts.empty() && parts.back().empty()) return path;
  return path + "\\";
}

namespace {

bool isAbsolute(const std::string& path) {
  if (!path.empty() && path[0] == '\\') return true;
  return path.size() >= 2 && path[1] == ':';
}

}  // namespace

bool absolutePath(const std::string& path, std::string* absolute) {
  if (isAbsolute(path)) {
    *absolute = path;
    return true;
  }
  std::string current;
  if (!plat::currentFolder(&current)) return false;
  *absolute = asFolder(current) + path;
  return true;
}

std::vector<std::string> pathParts(const std::string& path) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < path.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(path[i]);
    if (isCp932LeadByte(byte) && i + 1 < path.size()) {
      parts.back() += path.substr(i, 2);
      ++i;
    } else if (byte == '\\' || byte == '/') {
      parts.emplace_back();
    } else {
      parts.back().push_back(path[i]);
    }
  }
  return parts;
}

std::string parentFolder(const std::string& relative) {
  std::vector<std::string> parts = pathParts(relative);
  std::string parent;
  for (size_t i = 0; i + 1 < parts.size(); ++i) parent += (i ? "\\" : "") + parts[i];
  return parent;
}

std::string pathEscape(const std::string& path) {
  if (!path.empty() && (path[0] == '\\' || path[0] == '/')) return "it begins with a backslash, the root of the drive";
  std::vector<std::string> parts = pathParts(path);
  for (const std::string& part : parts)
    if (part.find(':') != std::string::npos) return "it names a drive or a stream (\":\")";
  for (const std::string& part : parts)
    if (part == "..") return "it goes up with \"..\"";
  return "";
}

bool holdsListWhiteSpace(const std::string& text) {
  for (unsigned char byte : text)
    if (byte == ' ' || byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' || byte == '\r') return true;
  return false;
}

std::string foldedName(const std::string& name) {
  std::string folded = name;
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
  return folded;
}

PathKind pathKind(const std::string& path) {
  std::string probe = path;
  for (;;) {  // a search does not take a trailing backslash
    std::vector<std::string> parts = pathParts(probe);
    if (probe.size() <= 1 || parts.size() < 2 || !parts.back().empty()) break;
    probe.pop_back();
  }
  if (probe.find_first_of("*?") != std::string::npos) return PathKind::Missing;
  plat::FileSearch search;
  plat::FoundFile found;
  if (!search.first(probe.c_str(), &found)) return PathKind::Missing;
  return (found.attributes & plat::kAttributeDirectory) ? PathKind::Folder : PathKind::File;
}

bool isReadOnlyFile(const std::string& path) {
  if (path.find_first_of("*?") != std::string::npos) return false;
  plat::FileSearch search;
  plat::FoundFile found;
  return search.first(path.c_str(), &found) && !(found.attributes & plat::kAttributeDirectory) &&
         (found.attributes & plat::kAttributeReadOnly);
}

namespace {

bool collectFiles(const std::string& folder, const std::string& prefix, std::vector<std::string>* files, int depth) {
  if (depth > 64) return false;  // a link loop, not a game tree
  plat::FileSearch search;
  plat::FoundFile found;
  std::string pattern = folder + "*";
  if (!search.first(pattern.c_str(), &found)) return plat::lastError() == plat::kErrorFileNotFound;
  std::vector<plat::FoundFile> entries;
  do {
    if (found.name == "." || found.name == "..") continue;
    entries.push_back(found);
  } while (search.next(&found));
  search.close();
  for (const plat::FoundFile& entry : entries) {
    if (entry.attributes & plat::kAttributeDirectory) {
      if (!collectFiles(folder + entry.name + "\\", prefix + entry.name + "\\", files, depth + 1)) return false;
    } else {
      files->push_back(prefix + entry.name);
    }
  }
  return true;
}

}  // namespace

bool listFilesBelow(const std::string& folder, std::vector<std::string>* files) {
  files->clear();
  if (pathKind(folder) != PathKind::Folder) {
    plat::setLastError(plat::kErrorPathNotFound);
    return false;
  }
  if (!collectFiles(asFolder(folder), "", files, 0)) return false;
  std::sort(files->begin(), files->end());
  return true;
}

bool makeFolders(const std::string& folder) {
  std::vector<std::string> parts = pathParts(folder);
  std::string partial;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) partial += "\\";
    partial += parts[i];
    // Skip the root, a drive and the empty part after a trailing backslash.
    if (parts[i].empty() || (i == 0 && parts[i].size() == 2 && parts[i][1] == ':')) continue;
    if (pathKind(partial) == PathKind::Folder) continue;
    if (!plat::createFolder(partial.c_str()) && pathKind(partial) != PathKind::Folder) return false;
  }
  return true;
}

bool writeWholeFile(const std::string& path, const char* bytes, uint32_t size) {
  plat::File file;
  if (!file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways)) return false;
  return size == 0 || file.writeExactly(bytes, size);
}

std::string lastErrorText() {
  uint32_t code = plat::lastError();
  std::string text;
  char number[32];
  std::snprintf(number, sizeof number, "error %u", code);
  if (plat::systemMessage(code, &text)) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return std::string(number) + ": " + shown(text);
  }
  return number;
}
