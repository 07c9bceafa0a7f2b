#include "ui/install_folder.h"

#include <shlobj.h>


#include "ui/resource_ids.h"
#include "ui/ui_messages.h"
#include "ui/ui_text.h"

namespace {

struct RegistryKey {
  HKEY key = nullptr;
  ~RegistryKey() {
    if (key != nullptr) RegCloseKey(key);
  }
};

bool openMachineKey(const char* keyCp932, RegistryKey* opened) {
  std::wstring keyName;
  if (!cp932ToWide(keyCp932, &keyName)) return false;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ, &opened->key) == ERROR_SUCCESS;
}

}  // namespace

// An unreadable value gives no text at all, so no stale or cut text ever
// reaches the edit control.
bool readRegistryString(HKEY key, const char* valueCp932, std::string* text) {
  text->clear();
  std::wstring valueName;
  if (!cp932ToWide(valueCp932, &valueName)) return false;
  wchar_t wide[kRegistryValueBufferSize + 1] = {};
  DWORD type = 0;
  DWORD size = sizeof(wide) - sizeof(wchar_t);  // keeps a terminator after the data
  if (RegQueryValueExW(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(wide), &size) != ERROR_SUCCESS)
    return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  bool lossless = true;
  wideToCp932(wide, text, &lossless);
  if (!lossless || text->size() + 1 > kRegistryValueBufferSize) {
    text->clear();
    return false;
  }
  return true;
}

namespace {

std::string derivedInstallFolder() {
  std::string base = kLastResortProgramFiles;
  RegistryKey currentVersion;
  if (openMachineKey(kCurrentVersionKey, &currentVersion)) {
    std::string programFiles;
    if (readRegistryString(currentVersion.key, kProgramFilesValue, &programFiles)) base = programFiles;
  }
  return base + loadCp932String(IDS_PROGRAM_FILES_SUBFOLDER);
}

struct ShellAllocator {
  IMalloc* allocator = nullptr;
  ~ShellAllocator() {
    if (allocator != nullptr) allocator->Release();
  }
};

struct ItemList {
  IMalloc* allocator;
  LPITEMIDLIST items = nullptr;
  explicit ItemList(IMalloc* owner) : allocator(owner) {}
  ~ItemList() {
    if (items != nullptr) allocator->Free(items);
  }
};

}  // namespace

std::string initialInstallFolder() {
  RegistryKey game;
  if (openMachineKey(loadCp932String(IDS_GAME_REGISTRY_KEY).c_str(), &game)) {
    std::string folder;
    if (readRegistryString(game.key, kInstallFolderValue, &folder)) return folder;
  }
  return derivedInstallFolder();
}

std::string chosenFolderText(const std::string& path) {
  if (path.empty() || endsWithBackslash(path)) return path;
  if (path.size() + 1 >= kBrowsePathBufferSize) return path;  // no room for one more byte and the NUL
  return path + "\\";
}

int CALLBACK browseCallback(HWND browser, UINT message, LPARAM, LPARAM data) {
  if (message == BFFM_INITIALIZED && data != 0) SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, data);
  return 0;
}

void browseForInstallFolder(HWND dialog, HWND owner) {
  wchar_t current[256] = {};
  SendDlgItemMessageW(dialog, IDC_INSTALL_FOLDER, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(current));

  ShellAllocator shell;
  if (FAILED(SHGetMalloc(&shell.allocator)) || shell.allocator == nullptr) return;
  ItemList desktop(shell.allocator);
  if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, &desktop.items))) return;

  std::wstring title;
  cp932ToWide(kBrowseTitle, &title);
  wchar_t displayName[kBrowsePathBufferSize] = {};
  BROWSEINFOW settings = {};
  settings.hwndOwner = owner;
  settings.pidlRoot = desktop.items;
  settings.pszDisplayName = displayName;
  settings.lpszTitle = title.c_str();
  settings.ulFlags = BIF_BROWSEINCLUDEFILES;
  settings.lpfn = browseCallback;
  settings.lParam = reinterpret_cast<LPARAM>(current);

  ItemList chosen(shell.allocator);
  chosen.items = SHBrowseForFolderW(&settings);
  if (chosen.items == nullptr) return;  // cancelled: the text stays

  // An item without a file-system path, or one that CP932 cannot spell
  // within the buffer, gives an empty text.
  wchar_t widePath[kBrowsePathBufferSize] = {};
  SHGetPathFromIDListW(chosen.items, widePath);
  std::string path;
  bool lossless = true;
  wideToCp932(widePath, &path, &lossless);
  if (!lossless || path.size() >= kBrowsePathBufferSize) path.clear();
  setWindowTextCp932(GetDlgItem(dialog, IDC_INSTALL_FOLDER), chosenFolderText(path).c_str());
}
