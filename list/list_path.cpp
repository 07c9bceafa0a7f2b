#include "list/list_path.h"

#include <vector>

#include "platform/cp932.h"

namespace {

char foldedAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c; }

// Windows opens a device for these names in any folder and with any
// extension: the stem before the first dot, spaces before it ignored.
bool namesDevice(const std::string& part) {
  std::string stem = part.substr(0, part.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) c = foldedAscii(c);
  for (const char* device : {"con", "prn", "aux", "nul", "conin$", "conout$"})
    if (stem == device) return true;
  return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) && stem[3] >= '1' &&
         stem[3] <= '9';
}

ListPathFault characterFault(const std::string& part) {
  for (size_t i = 0; i < part.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(part[i]);
    if (isCp932LeadByte(byte) && i + 1 < part.size()) {
      ++i;  // a trail byte is part of its character
      continue;
    }
    if (byte == ':') return ListPathFault::Colon;
    if (byte == '*' || byte == '?') return ListPathFault::Wildcard;
    if (byte < 0x20 || byte == '<' || byte == '>' || byte == '"' || byte == '|') return ListPathFault::ReservedByte;
  }
  return ListPathFault::None;
}

ListPathFault partFault(const std::string& part) {
  if (part.empty()) return ListPathFault::EmptyPart;
  if (part == "..") return ListPathFault::ParentFolder;
  ListPathFault fault = characterFault(part);
  if (fault != ListPathFault::None) return fault;
  // A trail byte is never 0x20 or 0x2E, so the last byte is a character.
  if (part.back() == '.' || part.back() == ' ') return ListPathFault::TrailingDotOrSpace;
  if (namesDevice(part)) return ListPathFault::DeviceName;
  return ListPathFault::None;
}

}  // namespace

ListPathCheck checkListPath(const std::string& path) {
  ListPathCheck check;
  if (!path.empty() && (path[0] == '\\' || path[0] == '/')) {
    check.fault = ListPathFault::LeadingSeparator;
    return check;
  }
  for (const std::string& part : cp932PathParts(path)) {
    check.fault = partFault(part);
    if (check.fault != ListPathFault::None) {
      check.part = part;
      return check;
    }
  }
  return check;
}
