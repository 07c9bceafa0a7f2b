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
// "Directory" exactly as stored, or, when the game's key is missing or its
// value cannot be read into the buffer, the Program Files folder (or
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

// Shows the folder browser over `owner`, preselecting the folder in edit
// control 1000 of `dialog`, and puts the chosen item's path into it.
void browseForInstallFolder(HWND dialog, HWND owner);

// The browser's callback: preselects the callback data's path.
int CALLBACK browseCallback(HWND browser, UINT message, LPARAM parameter, LPARAM data);
