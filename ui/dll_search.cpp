#include "ui/dll_search.h"

#include <windows.h>

// The DLLs that load with the program itself, before any of its code runs,
// are searched by the loader's own flags: the load configuration directory
// carries LOAD_LIBRARY_SEARCH_SYSTEM32 as its DependentLoadFlags. GNU ld
// does not point data directory 10 at this record; scripts/pe-load-config
// does, after the link and before signing.
extern "C" __attribute__((used)) const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = {
    sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64),  // Size
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    LOAD_LIBRARY_SEARCH_SYSTEM32,  // DependentLoadFlags (called Reserved1 in older headers)
    0, 0, 0, 0};

void loadDllsFromTheSystemFolderOnly() {
  using SetDefaultDllDirectoriesProc = BOOL(WINAPI*)(DWORD);
  auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesProc>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (setDefaultDllDirectories != nullptr && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  SetDllDirectoryW(L"");
}
