// The game's install folder: where it comes from when the dialog opens,
// and the folder browser that replaces it.
#pragma once

#include <windows.h>

#include <string>

// The size of the buffers the registry values are read into; a value must
// fit with its NUL.
constexpr size_t kRegistryValueBufferSize = 128;
// The browser's path buffer; a chosen path keeps at most 259 bytes.
constexpr size_t kBrowsePathBufferSize = 260;

// The folder the edit control starts with: the game's registry entry
// "Directory" exactly as stored, looked up first in the 32-bit registry view
// and then in the 64-bit one; when neither view has a key whose value can be
// read into the buffer, the 32-bit view's Program Files folder (or
// "C:\Program Files") followed by string 1.
std::string initialInstallFolder();

// A string value of an open key that fits the 128-byte buffer as CP932 with
// its NUL. False for anything else (missing, not a string, too long, not
// CP932), with an empty text.
bool readRegistryString(HKEY key, const char* valueCp932, std::string* text);

// The text of a chosen path as the edit control receives it: one backslash
// appended unless it is empty, already ends in one, or has no room left in
// the 260-byte buffer. The last character is looked at, not the last byte,
// so a folder whose name ends in ソ or 表 still gets its separator.
std::string chosenFolderText(const std::string& path);

// What a chosen item does to the install folder field.
struct ChosenFolder {
  bool usable = true;  // false: the field keeps its text and the player is told
  std::string text;    // the field's new text when usable
};

// The decision for the chosen item's file-system path (empty for an item
// without one, which empties the field). A path that CP932 cannot spell, or
// that does not fit the 260-byte buffer, cannot be used: emptying the field
// would send a run to the update folder itself.
ChosenFolder chosenFolderFromPath(const wchar_t* widePath);

// Whether the text names a folder by an absolute path, as the run needs
// it: a drive ("X:\..." or "X:/...") or a share ("\\server\share\...").
// Anything else, an empty text included, would make every target relative
// to the update folder, where the program runs.
bool isAbsoluteFolder(const std::string& text);

// Shows the folder browser over `owner`, preselecting the folder in edit
// control 1000 of `dialog`, and puts the chosen item's path into it.
void browseForInstallFolder(HWND dialog, HWND owner);

// The browser's callback: preselects the callback data's path.
int CALLBACK browseCallback(HWND browser, UINT message, LPARAM parameter, LPARAM data);
