// Any bytes as "UpDate.lst": the loader ends cleanly, within its capacity,
// with fields that are what the scan may produce.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "list/update_list.h"
#include "tests/support/test_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TempFolder folder;
  static UpdateList list;
  const std::string path = folder / "UpDate.lst";
  if (!writeFile(path, std::string(reinterpret_cast<const char*>(data), size))) std::abort();
  bool loaded = loadUpdateListFrom(path.c_str(), &list);
  if (loaded != (list.count > 0) || list.count > kUpdateListCapacity) std::abort();
  for (int i = 0; i < list.count; ++i) {
    char command = static_cast<char>(list.commands[i]);
    if (command == '\0' || !std::strchr("CRIPEN", command)) std::abort();
    for (const std::string* field : {&list.paths[i], &list.sourceNames[i], &list.entryNames[i]}) {
      if (field->size() > 255) std::abort();
      for (unsigned char byte : *field)
        if (byte == '\0' || isListWhiteSpace(byte)) std::abort();
    }
    bool pathNeeded = command == 'C' || command == 'R' || command == 'I';
    if ((pathNeeded && list.paths[i].empty()) ||
        (command == 'I' && (list.sourceNames[i].empty() || list.entryNames[i].empty())))
      std::abort();
  }
  return 0;
}
