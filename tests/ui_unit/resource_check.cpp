// Reads the manifest and the version resource back out of the built
// executables the way Windows does before it starts them, and fails when a
// build has lost any of it: the elevation level, the DPI setting, the
// Common Controls 6 dependency, the supported systems, the version fields.
//
//   resource_check <SoreluneUpdate.exe> <updtool.exe>
//
// One line per check; exit code 1 when any check fails.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "updater_version.h"

namespace {

struct Program {
  const wchar_t* path;
  const wchar_t* fileName;
  const wchar_t* description;
  ACTCTX_REQUESTED_RUN_LEVEL runLevel;
  bool hasWindows;  // the dialog program: DPI and Common Controls apply
};

int failures = 0;

std::string utf8(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::vector<char> buffer(static_cast<size_t>(length));
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, buffer.data(), length, nullptr, nullptr);
  return buffer.data();
}

void check(const Program& program, bool passed, const std::string& what, const std::wstring& seen = L"") {
  std::string line = std::string(passed ? "ok   " : "FAIL ") + utf8(program.fileName) + ": " + what;
  if (!passed && !seen.empty()) line += " (found \"" + utf8(seen) + "\")";
  std::printf("%s\n", line.c_str());
  if (!passed) ++failures;
}

// The manifest exactly as the loader finds it: resource type 24, id 1.
std::string manifestText(const Program& program) {
  HMODULE module = LoadLibraryExW(program.path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) return std::string();
  std::string text;
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
  HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
  const char* bytes = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (bytes != nullptr) text.assign(bytes, SizeofResource(module, found));
  FreeLibrary(module);
  return text;
}

std::wstring setting(HANDLE context, const wchar_t* space, const wchar_t* name) {
  wchar_t value[128] = {};
  SIZE_T written = 0;
  if (!QueryActCtxSettingsW(0, context, space, name, value, 128, &written)) return std::wstring();
  return value;
}

// The identities of the assemblies the context depends on, one per line.
std::wstring dependencies(HANDLE context) {
  SIZE_T size = 0;
  QueryActCtxW(0, context, nullptr, ActivationContextDetailedInformation, nullptr, 0, &size);
  std::vector<BYTE> detail(size + sizeof(ACTIVATION_CONTEXT_DETAILED_INFORMATION));
  if (!QueryActCtxW(0, context, nullptr, ActivationContextDetailedInformation, detail.data(), detail.size(), &size))
    return std::wstring();
  DWORD count = reinterpret_cast<ACTIVATION_CONTEXT_DETAILED_INFORMATION*>(detail.data())->ulAssemblyCount;
  std::wstring identities;
  for (DWORD index = 2; index <= count; ++index) {  // 1 is the program itself
    std::vector<BYTE> assembly(4096);
    if (!QueryActCtxW(0, context, &index, AssemblyDetailedInformationInActivationContext, assembly.data(),
                      assembly.size(), &size))
      continue;
    auto* info = reinterpret_cast<ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION*>(assembly.data());
    if (info->lpAssemblyEncodedAssemblyIdentity != nullptr) identities += info->lpAssemblyEncodedAssemblyIdentity;
    identities += L"\n";
  }
  return identities;
}

void checkManifest(const Program& program) {
  std::string text = manifestText(program);
  check(program, !text.empty(), "manifest resource (type 24, id 1)");
  if (text.empty()) return;

  ACTCTXW request = {};
  request.cbSize = sizeof(request);
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = program.path;
  request.lpResourceName = MAKEINTRESOURCEW(1);
  HANDLE context = CreateActCtxW(&request);
  check(program, context != INVALID_HANDLE_VALUE, "the manifest makes an activation context");
  if (context == INVALID_HANDLE_VALUE) return;

  ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level = {};
  SIZE_T size = 0;
  bool read = QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &level, sizeof(level), &size);
  check(program, read && level.RunLevel == program.runLevel,
        program.runLevel == ACTCTX_RUN_LEVEL_REQUIRE_ADMIN ? "requestedExecutionLevel requireAdministrator"
                                                           : "requestedExecutionLevel asInvoker",
        std::to_wstring(level.RunLevel));
  check(program, read && level.UiAccess == 0, "uiAccess false");

  // Windows 7, 8, 8.1 and 10/11, in any order.
  const GUID systems[] = {
      {0x35138b9a, 0x5d96, 0x4fbd, {0x8e, 0x2d, 0xa2, 0x44, 0x02, 0x25, 0xf9, 0x3a}},
      {0x4a2f28e3, 0x53b9, 0x4441, {0xba, 0x9c, 0xd6, 0x9d, 0x4a, 0x4a, 0x6e, 0x38}},
      {0x1f676c76, 0x80e1, 0x4239, {0x95, 0xbb, 0x83, 0xd0, 0xf6, 0xd0, 0xda, 0x78}},
      {0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}}};
  // Newer systems (and Wine) add a 64-bit MaxVersionTested to each element,
  // which also moves the array to offset 8; the size returned tells which
  // layout came back.
  std::vector<BYTE> compatibility(1024);
  int found = 0;
  if (QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext, compatibility.data(),
                   compatibility.size(), &size) && size >= sizeof(DWORD)) {
    DWORD count = *reinterpret_cast<DWORD*>(compatibility.data());
    bool older = size == sizeof(DWORD) + count * sizeof(COMPATIBILITY_CONTEXT_ELEMENT);
    size_t offset = older ? sizeof(DWORD) : 8, stride = older ? sizeof(COMPATIBILITY_CONTEXT_ELEMENT) : 32;
    for (DWORD i = 0; i < count && offset + (i + 1) * stride <= size; ++i) {
      COMPATIBILITY_CONTEXT_ELEMENT element;
      std::memcpy(&element, compatibility.data() + offset + i * stride, sizeof(element));
      for (const GUID& system : systems) {
        if (element.Type == ACTCTX_COMPATIBILITY_ELEMENT_TYPE_OS && IsEqualGUID(element.Id, system)) ++found;
      }
    }
  }
  check(program, found == 4, "supportedOS Windows 7, 8, 8.1, 10/11", std::to_wstring(found));

  const wchar_t kSettings2005[] = L"http://schemas.microsoft.com/SMI/2005/WindowsSettings";
  const wchar_t kSettings2016[] = L"http://schemas.microsoft.com/SMI/2016/WindowsSettings";
  std::wstring identities = dependencies(context);
  bool commonControls = identities.find(L"Microsoft.Windows.Common-Controls") != std::wstring::npos;
  if (program.hasWindows) {
    std::wstring awareness = setting(context, kSettings2016, L"dpiAwareness");
    check(program, awareness == L"PerMonitorV2, System", "dpiAwareness per-monitor v2, then system-aware", awareness);
    std::wstring aware = setting(context, kSettings2005, L"dpiAware");
    check(program, aware == L"true", "dpiAware true (system-aware before Windows 10)", aware);
    check(program,
          commonControls && text.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"") != std::string::npos,
          "depends on Common Controls 6", identities);
  } else {
    check(program, !commonControls, "no Common Controls dependency (a console tool)", identities);
  }
  ReleaseActCtx(context);
}

std::wstring versionString(const std::vector<BYTE>& block, const wchar_t* name) {
  std::wstring query = std::wstring(L"\\StringFileInfo\\041104B0\\") + name;
  wchar_t* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) || value == nullptr)
    return std::wstring();
  return value;
}

void checkVersion(const Program& program) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(program.path, &handle);
  check(program, size != 0, "version resource");
  if (size == 0) return;
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoW(program.path, 0, size, block.data())) {
    check(program, false, "version resource readable");
    return;
  }

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  const DWORD numbers[] = {UPDATER_VERSION_NUMBERS};
  const DWORD high = MAKELONG(numbers[1], numbers[0]), low = MAKELONG(numbers[3], numbers[2]);
  bool fixedRead = VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr;
  check(program, fixedRead && fixed->dwFileVersionMS == high && fixed->dwFileVersionLS == low &&
                     fixed->dwProductVersionMS == high && fixed->dwProductVersionLS == low,
        "file and product version numbers " UPDATER_VERSION_TEXT ".0");

  WORD* translation = nullptr;
  bool japanese = VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                                 &length) &&
                  length >= 4 && translation[0] == 0x0411 && translation[1] == 1200;
  check(program, japanese, "translation 0411 (Japanese), UTF-16");

  struct Field {
    const wchar_t* name;
    std::wstring expected;
  };
  for (const Field& field : {Field{L"CompanyName", L"Quorvane"}, Field{L"ProductName", L"Sorelune"},
                             Field{L"FileDescription", program.description},
                             Field{L"OriginalFilename", program.fileName},
                             Field{L"FileVersion", UPDATER_VERSION_WIDE}, Field{L"ProductVersion", UPDATER_VERSION_WIDE}}) {
    std::wstring value = versionString(block, field.name);
    check(program, value == field.expected, utf8(field.name) + " \"" + utf8(field.expected) + "\"", value);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: resource_check SoreluneUpdate.exe updtool.exe\n");
    return 2;
  }
  const Program programs[] = {
      // Sorelune アップデートプログラム
      {argv[1], L"SoreluneUpdate.exe", L"Sorelune \x30a2\x30c3\x30d7\x30c7\x30fc\x30c8\x30d7\x30ed\x30b0\x30e9\x30e0",
       ACTCTX_RUN_LEVEL_REQUIRE_ADMIN, true},
      // Sorelune 更新データ作成ツール
      {argv[2], L"updtool.exe", L"Sorelune \x66f4\x65b0\x30c7\x30fc\x30bf\x4f5c\x6210\x30c4\x30fc\x30eb",
       ACTCTX_RUN_LEVEL_AS_INVOKER, false},
  };
  for (const Program& program : programs) {
    checkManifest(program);
    checkVersion(program);
  }
  std::printf("resource check: %d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
