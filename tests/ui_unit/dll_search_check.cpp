// The program's DLL search, in a process of its own: a DLL planted beside
// the program is not found by name once the search is set, although it
// loads when asked for beside the program (so this test could fail), and a
// system DLL's name planted there gives the system's own.
#include <windows.h>

#include <cstdio>
#include <string>

#include "ui/dll_search.h"

namespace {

int failures = 0;

void check(bool passed, const char* what) {
  std::printf("%s %s\n", passed ? "ok  " : "FAIL", what);
  failures += passed ? 0 : 1;
}

std::wstring folderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\') + 1); }

std::wstring modulePath(HMODULE module) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(module, path, MAX_PATH);
  return path;
}

}  // namespace

int main() {
  std::wstring here = folderOf(modulePath(nullptr));
  std::wstring probe = here + L"probe\\sorelune_probe.dll";
  const wchar_t* const planted[] = {L"sorelune_probe.dll", L"dwmapi.dll"};
  for (const wchar_t* name : planted) CopyFileW(probe.c_str(), (here + name).c_str(), FALSE);

  loadDllsFromTheSystemFolderOnly();
  SetLastError(0);
  HMODULE byName = LoadLibraryW(L"sorelune_probe.dll");
  check(byName == nullptr && GetLastError() == ERROR_MOD_NOT_FOUND, "a DLL beside the program does not load by name");
  HMODULE beside = LoadLibraryExW(L"sorelune_probe.dll", nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
  check(beside != nullptr && GetProcAddress(beside, "soreluneProbe") != nullptr,
        "the same DLL loads when asked for beside the program");
  HMODULE system = LoadLibraryW(L"dwmapi.dll");
  check(system == nullptr || GetProcAddress(system, "soreluneProbe") == nullptr,
        "a system DLL's name planted beside the program gives the system's DLL");

  for (HMODULE module : {byName, beside, system})
    if (module != nullptr) FreeLibrary(module);
  for (const wchar_t* name : planted) DeleteFileW((here + name).c_str());
  std::printf("dll search: %d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
