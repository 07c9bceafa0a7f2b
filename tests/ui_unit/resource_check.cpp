// Reads back out of the built executables what Windows reads from them,
// through the calls Windows uses, and fails when a build has lost any of
// it: the manifest (elevation, supported systems, DPI, Common Controls 6)
// as an activation context, the version resource, and the dialog template.
//
//   resource_check <SoreluneUpdate.exe> <updtool.exe>
//
// One line per check; exit code 1 when any check fails.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "updater_version.h"

namespace {

int failures = 0;

std::string utf8(const std::wstring& wide) {
  std::string text(wide.size() * 3, '\0');
  text.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &text[0],
                                                      static_cast<int>(text.size()), nullptr, nullptr)));
  return text;
}

void check(const wchar_t* program, bool passed, const std::string& what, const std::string& seen = "") {
  std::printf("%s %s: %s%s\n", passed ? "ok  " : "FAIL", utf8(program).c_str(), what.c_str(),
              passed || seen.empty() ? "" : (" (found \"" + seen + "\")").c_str());
  failures += passed ? 0 : 1;
}

void checkManifest(const wchar_t* name, const wchar_t* path, bool dialogProgram) {
  ACTCTXW request = {};
  request.cbSize = sizeof(request);
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = path;
  request.lpResourceName = MAKEINTRESOURCEW(1);
  HANDLE context = CreateActCtxW(&request);
  check(name, context != INVALID_HANDLE_VALUE, "the manifest (type 24, id 1) makes an activation context");
  if (context == INVALID_HANDLE_VALUE) return;
  ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level = {};
  bool read = QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &level, sizeof(level), nullptr);
  check(name, read && level.UiAccess == 0 &&
                  level.RunLevel == (dialogProgram ? ACTCTX_RUN_LEVEL_REQUIRE_ADMIN : ACTCTX_RUN_LEVEL_AS_INVOKER),
        dialogProgram ? "requireAdministrator, no uiAccess" : "asInvoker, no uiAccess", std::to_string(level.RunLevel));

  // Windows 7, 8, 8.1 and 10/11, each somewhere among the compatibility
  // elements (whose layout differs between system versions).
  const GUID systems[] = {{0x35138b9a, 0x5d96, 0x4fbd, {0x8e, 0x2d, 0xa2, 0x44, 0x02, 0x25, 0xf9, 0x3a}},
                          {0x4a2f28e3, 0x53b9, 0x4441, {0xba, 0x9c, 0xd6, 0x9d, 0x4a, 0x4a, 0x6e, 0x38}},
                          {0x1f676c76, 0x80e1, 0x4239, {0x95, 0xbb, 0x83, 0xd0, 0xf6, 0xd0, 0xda, 0x78}},
                          {0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}}};
  BYTE compatibility[1024] = {};
  int found = 0;
  if (QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext, compatibility, sizeof(compatibility), nullptr)) {
    for (const GUID& system : systems) {
      const BYTE *bytes = reinterpret_cast<const BYTE*>(&system), *end = compatibility + sizeof(compatibility);
      found += std::search(static_cast<const BYTE*>(compatibility), end, bytes, bytes + sizeof(GUID)) != end;
    }
  }
  check(name, found == 4, "supportedOS Windows 7, 8, 8.1, 10/11", std::to_string(found));

  // With the context active, comctl32.dll is taken from the Common
  // Controls 6 assembly, the only one the manifest can name.
  ULONG_PTR cookie = 0;
  ACTCTX_SECTION_KEYED_DATA redirection = {};
  redirection.cbSize = sizeof(redirection);
  bool commonControls6 = ActivateActCtx(context, &cookie) &&
                         FindActCtxSectionStringW(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION, L"comctl32.dll", &redirection);
  if (cookie != 0) DeactivateActCtx(0, cookie);
  check(name, commonControls6 == dialogProgram,
        dialogProgram ? "depends on Common Controls 6" : "no Common Controls dependency (a console tool)");

  const wchar_t* settings[][3] = {{L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness", L"PerMonitorV2, System"},
                                  {L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware", L"true"}};
  for (auto& setting : settings) {
    wchar_t value[128] = {};
    QueryActCtxSettingsW(0, context, setting[0], setting[1], value, 128, nullptr);
    if (dialogProgram) check(name, std::wcscmp(value, setting[2]) == 0, utf8(setting[1]) + " " + utf8(setting[2]), utf8(value));
  }
  ReleaseActCtx(context);
}

void checkVersion(const wchar_t* name, const wchar_t* path, const wchar_t* description) {
  std::vector<BYTE> block(GetFileVersionInfoSizeW(path, nullptr));
  if (block.empty() || !GetFileVersionInfoW(path, 0, static_cast<DWORD>(block.size()), block.data()))
    return check(name, false, "version resource");
  void* value = nullptr;
  UINT length = 0;
  const DWORD numbers[] = {UPDATER_VERSION_NUMBERS};
  const DWORD high = MAKELONG(numbers[1], numbers[0]), low = MAKELONG(numbers[3], numbers[2]);
  auto* fixed = VerQueryValueW(block.data(), L"\\", &value, &length) ? static_cast<VS_FIXEDFILEINFO*>(value) : nullptr;
  check(name, fixed && fixed->dwFileVersionMS == high && fixed->dwFileVersionLS == low &&
                  fixed->dwProductVersionMS == high && fixed->dwProductVersionLS == low,
        "file and product version numbers " UPDATER_VERSION_TEXT ".0");
  auto* translation = VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) && length >= 4
                          ? static_cast<WORD*>(value) : nullptr;
  check(name, translation && translation[0] == 0x0411 && translation[1] == 1200, "translation 0411 (Japanese), UTF-16");

  const wchar_t* fields[][2] = {{L"CompanyName", L"Quorvane"},        {L"ProductName", L"Sorelune"},
                                {L"FileDescription", description},    {L"OriginalFilename", name},
                                {L"FileVersion", UPDATER_VERSION_WIDE}, {L"ProductVersion", UPDATER_VERSION_WIDE}};
  for (auto& field : fields) {
    std::wstring query = std::wstring(L"\\StringFileInfo\\041104B0\\") + field[0];
    std::wstring text = VerQueryValueW(block.data(), query.c_str(), &value, &length) ? static_cast<wchar_t*>(value) : L"";
    check(name, text == field[1], utf8(field[0]) + " \"" + utf8(field[1]) + "\"", utf8(text));
  }
}

// The file's bytes at a relative virtual address, through its section table;
// null when no section holds `size` bytes there.
const BYTE* atAddress(const std::vector<BYTE>& image, DWORD rva, size_t size) {
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    DWORD start = section->VirtualAddress, length = std::max(section->Misc.VirtualSize, section->SizeOfRawData);
    if (rva < start || rva + size > start + length) continue;
    size_t offset = section->PointerToRawData + (rva - start);
    return offset + size <= image.size() ? image.data() + offset : nullptr;
  }
  return nullptr;
}

// What the loader reads before the program runs: the DLLs it imports, all
// of them Windows' known DLLs (never searched for) or Common Controls,
// which the manifest binds; and the load configuration, whose
// DependentLoadFlags make the loader search the system folder alone for
// what those DLLs load in turn. Wine ignores the flag, so it is read here.
void checkLoaderRecords(const wchar_t* name, const wchar_t* path) {
  std::vector<BYTE> image;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  LARGE_INTEGER size = {};
  if (file != INVALID_HANDLE_VALUE && GetFileSizeEx(file, &size)) {
    image.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!ReadFile(file, image.data(), static_cast<DWORD>(image.size()), &got, nullptr) || got != image.size()) image.clear();
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (image.size() < 4096) return check(name, false, "the executable can be read");
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + reinterpret_cast<IMAGE_DOS_HEADER*>(image.data())->e_lfanew);
  const IMAGE_DATA_DIRECTORY* directories = nt->OptionalHeader.DataDirectory;

  const char* const allowed[] = {"advapi32.dll", "comdlg32.dll", "gdi32.dll", "imm32.dll", "kernel32.dll", "msvcrt.dll",
                                 "ole32.dll", "oleaut32.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll",
                                 "shell32.dll", "shlwapi.dll", "user32.dll", "ws2_32.dll", "comctl32.dll"};
  std::string imports, strangers;
  DWORD at = directories[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(atAddress(image, at, sizeof(IMAGE_IMPORT_DESCRIPTOR)));
       entry != nullptr && entry->Name != 0;
       at += sizeof *entry, entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(atAddress(image, at, sizeof *entry))) {
    const char* text = reinterpret_cast<const char*>(atAddress(image, entry->Name, 1));
    std::string dll = text ? text : "?";
    std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char c) { return std::tolower(c); });
    imports += dll + " ";
    if (std::find_if(std::begin(allowed), std::end(allowed), [&](const char* a) { return dll == a; }) == std::end(allowed))
      strangers += dll + " ";
  }
  check(name, !imports.empty() && strangers.empty(), "imports only known DLLs and Common Controls (" + imports + ")",
        strangers);

  const IMAGE_DATA_DIRECTORY& configuration = directories[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
  auto* record = reinterpret_cast<const IMAGE_LOAD_CONFIG_DIRECTORY64*>(
      atAddress(image, configuration.VirtualAddress, sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64)));
  check(name, configuration.VirtualAddress != 0 && record != nullptr && record->Size == configuration.Size &&
                  record->Size >= 0x50,
        "a load configuration directory that holds DependentLoadFlags", std::to_string(configuration.Size));
  check(name, record != nullptr && record->Reserved1 == LOAD_LIBRARY_SEARCH_SYSTEM32,
        "DependentLoadFlags LOAD_LIBRARY_SEARCH_SYSTEM32", record ? std::to_string(record->Reserved1) : "");
}

// Dialog template 102 as stored, field by field: a line for the dialog,
// one for its font, one per item.
std::string dialogTemplate(const wchar_t* path) {
  HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  HRSRC resource = module ? FindResourceW(module, MAKEINTRESOURCEW(102), RT_DIALOG) : nullptr;
  if (resource == nullptr) return "no dialog template 102";
  const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, resource)));
  size_t size = SizeofResource(module, resource), at = 0;
  std::string dump;
  auto take = [&](size_t bytes) {
    DWORD value = 0;
    if (at + bytes <= size) std::memcpy(&value, data + at, bytes);
    at += bytes;
    return value;
  };
  auto numbers = [&](std::initializer_list<size_t> sizes) {
    for (size_t bytes : sizes) {
      char number[16];
      std::snprintf(number, sizeof(number), bytes == 4 ? " 0x%08lX" : " %lu", take(bytes));
      dump += number;
    }
  };
  // A string, or 0xFFFF and an ordinal.
  auto text = [&] {
    std::wstring wide;
    for (wchar_t c = static_cast<wchar_t>(take(2)); at <= size && c != 0; c = static_cast<wchar_t>(take(2))) {
      if (c == 0xFFFF && wide.empty()) return "#" + std::to_string(take(2));
      wide += c;
    }
    return utf8(wide);
  };
  dump = "dialog";
  numbers({2, 2, 4, 4, 4});
  DWORD count = take(2);
  numbers({2, 2, 2, 2});
  dump += " menu=" + text();
  dump += " class=" + text();
  dump += " " + text() + "\nfont";
  numbers({2, 2, 1, 1});
  dump += " " + text() + "\n";
  for (DWORD item = 0; item < count && at <= size; ++item) {
    at = (at + 3) & ~static_cast<size_t>(3);
    dump += "item";
    numbers({4, 4, 4, 2, 2, 2, 2, 4});
    std::string itemClass = text();  // class names go by any case
    std::transform(itemClass.begin(), itemClass.end(), itemClass.begin(), [](unsigned char c) { return std::tolower(c); });
    dump += " " + itemClass + " " + text() + "\n";
    take(take(2));  // creation data
  }
  FreeLibrary(module);
  return at <= size ? dump : dump + "cut short\n";
}

// version, signature, help id, extended style, style, x, y, width, height,
// menu, class, title; font: points, weight, italic, character set, face;
// item: help id, extended style, style, x, y, width, height, id, class, text.
const char kExpectedTemplate[] =
    "dialog 1 65535 0x00000000 0x00040000 0x90C000C0 0 0 222 83 menu= class= 「Sorelune」　アップデート\n"
    "font 9 0 0 1 ＭＳ Ｐゴシック\n"
    "item 0x00000000 0x00000000 0x48010001 165 7 50 14 0x00000001 button OK\n"
    "item 0x00000000 0x00000000 0x50010000 165 61 50 15 0x00000002 button ｷｬﾝｾﾙ\n"
    "item 0x00000000 0x00000000 0x50810080 7 29 185 12 0x000003E8 edit \n"
    "item 0x00000000 0x00000000 0x50010000 194 27 21 15 0x000003E9 button 参照\n"
    "item 0x00000000 0x00000000 0x50020000 7 13 193 10 0xFFFFFFFF static 「Sorelune」のアップデートを行います\n"
    "item 0x00000000 0x00000000 0x50010000 115 61 50 15 0x000003EA button 実行\n"
    "item 0x00000000 0x00000000 0x40800000 7 47 208 10 0x000003EB msctls_progress32 Progress1\n";

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: resource_check SoreluneUpdate.exe updtool.exe\n");
    return 2;
  }
  // Sorelune アップデートプログラム, Sorelune 更新データ作成ツール
  checkManifest(L"SoreluneUpdate.exe", argv[1], true);
  checkLoaderRecords(L"SoreluneUpdate.exe", argv[1]);
  checkVersion(L"SoreluneUpdate.exe", argv[1], L"Sorelune \x30a2\x30c3\x30d7\x30c7\x30fc\x30c8\x30d7\x30ed\x30b0\x30e9\x30e0");
  std::string dialog = dialogTemplate(argv[1]);
  check(L"SoreluneUpdate.exe", dialog == kExpectedTemplate, "dialog template 102", "\n" + dialog);
  checkManifest(L"updtool.exe", argv[2], false);
  checkVersion(L"updtool.exe", argv[2], L"Sorelune \x66f4\x65b0\x30c7\x30fc\x30bf\x4f5c\x6210\x30c4\x30fc\x30eb");
  std::printf("resource check: %d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
