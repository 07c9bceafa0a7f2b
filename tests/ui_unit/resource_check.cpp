// Reads back out of the built executables what Windows reads from them,
// through the calls Windows uses, and fails when a build has lost any of
// it: the manifest (elevation, supported systems, DPI, Common Controls 6)
// as an activation context, the version resource, and the dialog template.
//
//   resource_check <SoreluneUpdate.exe> <updtool.exe>
//
// One line per check; exit code 1 when any check fails.
#include <windows.h>

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

template <typename Info>
bool query(HANDLE context, ULONG what, Info* info, SIZE_T size = sizeof(Info), SIZE_T* written = nullptr, DWORD* index = nullptr) {
  SIZE_T ignored = 0;
  return QueryActCtxW(0, context, index, what, info, size, written ? written : &ignored) != FALSE;
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
  bool read = query(context, RunlevelInformationInActivationContext, &level);
  check(name, read && level.RunLevel == (dialogProgram ? ACTCTX_RUN_LEVEL_REQUIRE_ADMIN : ACTCTX_RUN_LEVEL_AS_INVOKER) &&
                  level.UiAccess == 0,
        dialogProgram ? "requireAdministrator, no uiAccess" : "asInvoker, no uiAccess", std::to_string(level.RunLevel));

  // Windows 7, 8, 8.1 and 10/11. Newer systems (and Wine) add a 64-bit
  // MaxVersionTested to each element, which also moves the array to offset
  // 8; the size returned tells which layout came back.
  const GUID systems[] = {{0x35138b9a, 0x5d96, 0x4fbd, {0x8e, 0x2d, 0xa2, 0x44, 0x02, 0x25, 0xf9, 0x3a}},
                          {0x4a2f28e3, 0x53b9, 0x4441, {0xba, 0x9c, 0xd6, 0x9d, 0x4a, 0x4a, 0x6e, 0x38}},
                          {0x1f676c76, 0x80e1, 0x4239, {0x95, 0xbb, 0x83, 0xd0, 0xf6, 0xd0, 0xda, 0x78}},
                          {0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}}};
  BYTE compatibility[1024] = {};
  SIZE_T size = 0;
  int found = 0;
  if (query(context, CompatibilityInformationInActivationContext, &compatibility, sizeof(compatibility), &size)) {
    DWORD count = 0;
    std::memcpy(&count, compatibility, sizeof(count));
    bool older = size == sizeof(DWORD) + count * sizeof(COMPATIBILITY_CONTEXT_ELEMENT);
    size_t offset = older ? sizeof(DWORD) : 8, stride = older ? sizeof(COMPATIBILITY_CONTEXT_ELEMENT) : 32;
    for (DWORD i = 0; i < count && offset + (i + 1) * stride <= size; ++i) {
      COMPATIBILITY_CONTEXT_ELEMENT element;
      std::memcpy(&element, compatibility + offset + i * stride, sizeof(element));
      for (const GUID& system : systems)
        found += element.Type == ACTCTX_COMPATIBILITY_ELEMENT_TYPE_OS && IsEqualGUID(element.Id, system);
    }
  }
  check(name, found == 4, "supportedOS Windows 7, 8, 8.1, 10/11", std::to_string(found));

  // The assemblies the context depends on (index 1 is the program itself).
  std::vector<BYTE> buffer(4096);
  auto* detail = reinterpret_cast<ACTIVATION_CONTEXT_DETAILED_INFORMATION*>(buffer.data());
  DWORD count = query(context, ActivationContextDetailedInformation, detail, buffer.size()) ? detail->ulAssemblyCount : 0;
  std::wstring identities;
  for (DWORD index = 2; index <= count; ++index) {
    auto* info = reinterpret_cast<ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION*>(buffer.data());
    if (query(context, AssemblyDetailedInformationInActivationContext, info, buffer.size(), nullptr, &index) &&
        info->lpAssemblyEncodedAssemblyIdentity != nullptr)
      identities += std::wstring(info->lpAssemblyEncodedAssemblyIdentity) + L" ";
  }
  bool commonControls6 = identities.find(L"Microsoft.Windows.Common-Controls") != std::wstring::npos &&
                         identities.find(L"version=\"6.") != std::wstring::npos;
  check(name, commonControls6 == dialogProgram,
        dialogProgram ? "depends on Common Controls 6" : "no Common Controls dependency (a console tool)", utf8(identities));

  if (dialogProgram) {
    struct Setting { const wchar_t* space; const wchar_t* name; const wchar_t* expected; };
    for (const Setting& s : {Setting{L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness", L"PerMonitorV2, System"},
                             Setting{L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware", L"true"}}) {
      wchar_t value[128] = {};
      QueryActCtxSettingsW(0, context, s.space, s.name, value, 128, &size);
      check(name, std::wcscmp(value, s.expected) == 0, utf8(s.name) + " " + utf8(s.expected), utf8(value));
    }
  }
  ReleaseActCtx(context);
}

void checkVersion(const wchar_t* name, const wchar_t* path, const wchar_t* description) {
  DWORD handle = 0;
  std::vector<BYTE> block(GetFileVersionInfoSizeW(path, &handle));
  bool read = !block.empty() && GetFileVersionInfoW(path, 0, static_cast<DWORD>(block.size()), block.data());
  check(name, read, "version resource");
  if (!read) return;

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

// Dialog template 102 as stored, one line for the dialog and one per item.
class TemplateReader {
 public:
  TemplateReader(const BYTE* data, size_t size) : data_(data), size_(size) {}
  bool ok() const { return ok_; }
  DWORD take(size_t bytes) {
    DWORD value = 0;
    if (at_ + bytes > size_) ok_ = false;
    else std::memcpy(&value, data_ + at_, bytes);
    at_ += bytes;
    return value;
  }
  int coordinate() { return static_cast<short>(take(2)); }
  // A string, or an ordinal: 0xFFFF and a number (0x80 to 0x82 name the
  // button, edit and static classes).
  std::string text() {
    if (at_ + 2 <= size_ && data_[at_] == 0xFF && data_[at_ + 1] == 0xFF) {
      take(2);
      DWORD ordinal = take(2);
      return ordinal == 0x80 ? "button" : ordinal == 0x81 ? "edit" : ordinal == 0x82 ? "static" : "#" + std::to_string(ordinal);
    }
    std::wstring wide;
    for (wchar_t c = static_cast<wchar_t>(take(2)); ok_ && c != 0; c = static_cast<wchar_t>(take(2))) wide += c;
    return utf8(wide);
  }
  void alignToDword() { at_ = (at_ + 3) & ~static_cast<size_t>(3); }

 private:
  const BYTE* data_;
  size_t size_, at_ = 0;
  bool ok_ = true;
};

std::string dialogTemplate(const wchar_t* path) {
  HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  HRSRC resource = module ? FindResourceW(module, MAKEINTRESOURCEW(102), RT_DIALOG) : nullptr;
  if (resource == nullptr) return "no dialog template 102";
  TemplateReader reader(static_cast<const BYTE*>(LockResource(LoadResource(module, resource))), SizeofResource(module, resource));
  char line[160];
  std::string dump;
  DWORD version = reader.take(2), signature = reader.take(2), help = reader.take(4), exStyle = reader.take(4), style = reader.take(4);
  DWORD count = reader.take(2);
  int x = reader.coordinate(), y = reader.coordinate(), cx = reader.coordinate(), cy = reader.coordinate();
  std::snprintf(line, sizeof(line), "dialogex %lu,0x%lX style=0x%08lX exstyle=0x%08lX help=%lu %d,%d,%d,%d menu=", version,
                signature, style, exStyle, help, x, y, cx, cy);
  std::string menu = reader.text(), windowClass = reader.text();  // in this order
  dump = line + menu + " class=" + windowClass + " title=" + reader.text() + "\n";
  DWORD points = reader.take(2), weight = reader.take(2), italic = reader.take(1), charset = reader.take(1);
  std::snprintf(line, sizeof(line), "font %lu,%lu,%lu,%lu,", points, weight, italic, charset);
  dump += line + reader.text() + "\n";
  for (DWORD i = 0; i < count && reader.ok(); ++i) {
    reader.alignToDword();
    help = reader.take(4), exStyle = reader.take(4), style = reader.take(4);
    x = reader.coordinate(), y = reader.coordinate(), cx = reader.coordinate(), cy = reader.coordinate();
    DWORD id = reader.take(4);
    std::snprintf(line, sizeof(line), "item 0x%08lX style=0x%08lX exstyle=0x%08lX help=%lu %d,%d,%d,%d ", id, style,
                  exStyle, help, x, y, cx, cy);
    std::string itemClass = reader.text();  // class names go by any case
    for (char& c : itemClass) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    dump += line + itemClass + " " + reader.text() + "\n";
    reader.take(reader.take(2));  // creation data
  }
  FreeLibrary(module);
  return reader.ok() ? dump : dump + "cut short\n";
}

const char kExpectedTemplate[] =
    "dialogex 1,0xFFFF style=0x90C000C0 exstyle=0x00040000 help=0 0,0,222,83 menu= class= title=「Sorelune」　アップデート\n"
    "font 9,0,0,1,ＭＳ Ｐゴシック\n"
    "item 0x00000001 style=0x48010001 exstyle=0x00000000 help=0 165,7,50,14 button OK\n"
    "item 0x00000002 style=0x50010000 exstyle=0x00000000 help=0 165,61,50,15 button ｷｬﾝｾﾙ\n"
    "item 0x000003E8 style=0x50810080 exstyle=0x00000000 help=0 7,29,185,12 edit \n"
    "item 0x000003E9 style=0x50010000 exstyle=0x00000000 help=0 194,27,21,15 button 参照\n"
    "item 0xFFFFFFFF style=0x50020000 exstyle=0x00000000 help=0 7,13,193,10 static 「Sorelune」のアップデートを行います\n"
    "item 0x000003EA style=0x50010000 exstyle=0x00000000 help=0 115,61,50,15 button 実行\n"
    "item 0x000003EB style=0x40800000 exstyle=0x00000000 help=0 7,47,208,10 msctls_progress32 Progress1\n";

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: resource_check SoreluneUpdate.exe updtool.exe\n");
    return 2;
  }
  // Sorelune アップデートプログラム, Sorelune 更新データ作成ツール
  checkManifest(L"SoreluneUpdate.exe", argv[1], true);
  checkVersion(L"SoreluneUpdate.exe", argv[1], L"Sorelune \x30a2\x30c3\x30d7\x30c7\x30fc\x30c8\x30d7\x30ed\x30b0\x30e9\x30e0");
  std::string dialog = dialogTemplate(argv[1]);
  check(L"SoreluneUpdate.exe", dialog == kExpectedTemplate, "dialog template 102, field by field", "\n" + dialog);
  checkManifest(L"updtool.exe", argv[2], false);
  checkVersion(L"updtool.exe", argv[2], L"Sorelune \x66f4\x65b0\x30c7\x30fc\x30bf\x4f5c\x6210\x30c4\x30fc\x30eb");
  std::printf("resource check: %d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
