// Any bytes as "UpDate.lst": the loader ends cleanly, within its capacity,
// with fields that are what the scan may produce.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "list/update_list.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "fuzz-update-list-" + std::to_string(reinterpret_cast<uintptr_t>(&path) & 0xFFFF) +
                                  ".lst";
  {
    plat::File file;
    if (!file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways)) std::abort();
    uint32_t written = 0;
    if (size > 0 && !file.write(data, static_cast<uint32_t>(size), &written)) std::abort();
  }
  static UpdateList list;
  bool loaded = loadUpdateListFrom(path.c_str(), &list);
  if (loaded != (list.count > 0)) std::abort();
  if (list.count < 0 || list.count > kUpdateListCapacity) std::abort();
  for (int i = 0; i < list.count; ++i) {
    if (!std::strchr("CRIPEN", list.commands[i])) std::abort();
    for (const std::string* field : {&list.paths[i], &list.sourceNames[i], &list.entryNames[i]}) {
      if (field->size() > 255) std::abort();
      for (unsigned char byte : *field)
        if (byte == '\0' || isListWhiteSpace(byte)) std::abort();
    }
    char command = static_cast<char>(list.commands[i]);
    if ((command == 'C' || command == 'R') && list.paths[i].empty()) std::abort();
    if (command == 'I' && (list.paths[i].empty() || list.sourceNames[i].empty() || list.entryNames[i].empty()))
      std::abort();
  }
  plat::deleteFile(path.c_str());
  return 0;
}
