#include "ui/install_folder.h"

#include <shlobj.h>

#include <vector>

#include "platform/cp932.h"


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

// The game's installer is a 32-bit program: on 64-bit Windows its key lies
// in the 32-bit view of HKEY_LOCAL_MACHINE\SOFTWARE (WOW6432Node), which a
// 64-bit program reaches only by asking for it. A 64-bit installer's key is
// in the 64-bit view.
constexpr REGSAM kInstallerViews[] = {KEY_WOW64_32KEY, KEY_WOW64_64KEY};

bool openMachineKey(const char* keyCp932, REGSAM view, RegistryKey* opened) {
  std::wstring keyName;
  if (!cp932ToWide(keyCp932, &keyName)) return false;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ | view, &opened->key) == ERROR_SUCCESS;
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

// Program Files as a 32-bit program sees it: "C:\Program Files (x86)" on
// 64-bit Windows, which is where a 32-bit installer puts the game by default.
std::string derivedInstallFolder() {
  std::string base = kLastResortProgramFiles;
  RegistryKey currentVersion;
  if (openMachineKey(kCurrentVersionKey, KEY_WOW64_32KEY, &currentVersion)) {
    std::string programFiles;
    if (readRegistryString(currentVersion.key, kProgramFilesValue, &programFiles)) base = programFiles;
  }
  return base + loadCp932String(IDS_PROGRAM_FILES_SUBFOLDER);
}

// An item list the shell handed out, freed as the shell asks.
struct ItemList {
  LPITEMIDLIST items = nullptr;
  ~ItemList() { CoTaskMemFree(items); }
};

}  // namespace

std::string initialInstallFolder() {
  const std::string gameKey = loadCp932String(IDS_GAME_REGISTRY_KEY);
  for (REGSAM view : kInstallerViews) {
    RegistryKey game;
    std::string folder;
    if (openMachineKey(gameKey.c_str(), view, &game) && readRegistryString(game.key, kInstallFolderValue, &folder))
      return folder;
  }
  return derivedInstallFolder();
}

std::string chosenFolderText(const std::string& path) {
  if (path.empty() || endsWithBackslash(path)) return path;
  if (path.size() + 1 >= kBrowsePathBufferSize) return path;  // no room for one more byte and the NUL
  return path + "\\";
}

ChosenFolder chosenFolderFromPath(const wchar_t* widePath) {
  ChosenFolder chosen;
  std::string path;
  bool lossless = true;
  wideToCp932(widePath, &path, &lossless);
  if (!lossless || path.size() >= kBrowsePathBufferSize) {
    chosen.usable = false;
    return chosen;
  }
  chosen.text = chosenFolderText(path);
  return chosen;
}

bool isAbsoluteFolder(const std::string& text) {
  auto separator = [&](size_t at) { return at < text.size() && (text[at] == '\\' || text[at] == '/'); };
  unsigned char drive = text.empty() ? 0 : static_cast<unsigned char>(text[0] | 0x20);
  if (drive >= 'a' && drive <= 'z' && text.size() >= 2 && text[1] == ':') return separator(2);
  if (!separator(0) || !separator(1)) return false;
  // A share: a server and a share name; "\\.\" and "\\?\" name devices.
  std::vector<std::string> parts = cp932PathParts(text);
  return parts.size() >= 4 && !parts[2].empty() && parts[2] != "." && parts[2] != "?" && !parts[3].empty();
}

int CALLBACK browseCallback(HWND browser, UINT message, LPARAM, LPARAM data) {
  if (message == BFFM_INITIALIZED && data != 0) SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, data);
  return 0;
}

void browseForInstallFolder(HWND dialog, HWND owner) {
  wchar_t current[256] = {};
  SendDlgItemMessageW(dialog, IDC_INSTALL_FOLDER, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(current));

  ItemList desktop;
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

  ItemList chosen;
  chosen.items = SHBrowseForFolderW(&settings);
  if (chosen.items == nullptr) return;  // cancelled: the text stays

  // The result is not examined: an item without a file-system path leaves
  // the buffer empty.
  wchar_t widePath[kBrowsePathBufferSize] = {};
  SHGetPathFromIDListW(chosen.items, widePath);
  ChosenFolder folder = chosenFolderFromPath(widePath);
  if (!folder.usable) {
    messageBoxCp932(dialog, kUnusableFolderText, kBrowseTitle, kUnusableFolderStyle);
    return;
  }
  setWindowTextCp932(GetDlgItem(dialog, IDC_INSTALL_FOLDER), folder.text.c_str());
}
