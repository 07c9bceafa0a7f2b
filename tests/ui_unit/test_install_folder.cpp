// The Windows side of the install folder that needs no window, at the
// limits the dialog driven end to end does not reach: text crossing the
// CP932 boundary, registry values, and the text of a chosen folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <tuple>

#include "ui/install_folder.h"
#include "ui/ui_text.h"

namespace {

// ソ and 表 end in the byte 0x5C, which is not a backslash there.
const char kSo[] = "\x83\\";                              // ソ
const char kGameSo[] = "C:\\\x83Q\x81[\x83\x80\\\x83\\";  // C:\ゲーム\ソ

// A lead byte alone cannot cross (the round trip of Japanese names is shown
// end to end, a name CP932 lacks below), and a cut never splits a character.
TEST(TextCrossing, WhatCannotCrossIsRefusedAndACutNeverSplitsACharacter) {
  std::wstring wide = L"x";
  EXPECT_FALSE(cp932ToWide("\x83", &wide));  // a lead byte alone
  EXPECT_TRUE(wide.empty());
  for (auto [text, limit, kept] : {std::tuple<std::string, size_t, std::string>{"\x83\x41\x83\x43", 3, "\x83\x41"},  // アイ
                                   {"abcdef", 6, "abcdef"}, {"abcdef", 2, "ab"}}) {
    truncateCp932(&text, limit);
    EXPECT_EQ(text, kept) << limit;
  }
}

// One backslash unless there is one; a folder ending in ソ still gets it; a
// full buffer gets none. A path CP932 cannot name never reaches the field
// (it would empty it and send a run to the update folder); an item without
// a path still empties it.
TEST(ChosenFolder, OneBackslashUnlessThereIsOneOrNoRoomAndOnlyNameablePaths) {
  std::string fits = "C:\\" + std::string(255, 'a');  // 258 bytes
  std::string full = "C:\\" + std::string(256, 'a');  // 259 bytes: the NUL takes the last byte
  for (auto [folder, shown] : {std::pair<std::string, std::string>{"C:\\", "C:\\"}, {"C:\\Games", "C:\\Games\\"},
                               {"", ""},
                               {kGameSo, std::string(kGameSo) + "\\"}, {fits, fits + "\\"}, {full, full}})
    EXPECT_EQ(chosenFolderText(folder), shown) << folder;

  struct Case { std::wstring path; bool usable; std::string text; };
  for (const Case& c : {Case{L"", true, ""}, Case{L"D:\\\x30bd", true, std::string("D:\\") + kSo + "\\"},
                        Case{L"C:\\Users\\Jos\x00e9\\Sorelune\\", false, ""},
                        Case{L"C:\\\x00c5sa", false, ""},  // no best-fit "A" either
                        Case{L"C:\\" + std::wstring(129, L'\x30bd'), false, ""}}) {  // 261 bytes in CP932
    ChosenFolder chosen = chosenFolderFromPath(c.path.c_str());
    EXPECT_EQ(chosen.usable, c.usable) << c.path.size();
    EXPECT_EQ(chosen.text, c.text) << c.path.size();
  }
}

// The run takes a drive or a share; anything else would resolve its
// targets against the update folder.
TEST(InstallFolderText, OnlyADriveOrAShareIsAFolderToRun) {
  for (auto [text, absolute] : {std::pair<std::string, bool>{"C:\\Games\\", true}, {"d:/games/", true}, {"C:\\", true},
                                {std::string("C:\\") + kSo + "\\", true}, {"\\\\server\\share\\", true},
                                {"", false}, {"Games\\", false}, {"\\Games\\", false}, {"C:Games\\", false},
                                {"1:\\x\\", false}, {"\\\\server\\", false}, {"\\\\.\\C:\\", false},
                                {"\\\\?\\C:\\", false}, {"\\\\\\share\\", false}})
    EXPECT_EQ(isAbsoluteFolder(text), absolute) << text;
}

// A value must be a string that fits the 128-byte buffer in CP932 with its
// NUL; anything else gives no text at all, never stale or cut text.
TEST(RegistryValues, OnlyAStringThatFitsTheBufferInCp932GivesText) {
  const wchar_t* const name = L"Software\\SoreluneUpdaterTest";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
  struct Case { DWORD type; std::wstring data; bool readable; std::string text; };
  const DWORD seven = 7;
  for (const Case& c : {Case{REG_SZ, std::wstring(127, L'a'), true, std::string(127, 'a')},
                        Case{REG_SZ, std::wstring(128, L'a'), false, ""},
                        Case{REG_SZ, std::wstring(64, L'\x30bd'), false, ""},  // 128 bytes in CP932
                        Case{REG_SZ, L"C:\\caf\x00e9\\", false, ""},           // not CP932
                        Case{REG_DWORD, std::wstring(reinterpret_cast<const wchar_t*>(&seven), 2), false, ""},
                        Case{REG_NONE, L"", false, ""}}) {                    // missing
    RegDeleteValueW(key, L"Directory");
    if (c.type != REG_NONE)
      RegSetValueExW(key, L"Directory", 0, c.type, reinterpret_cast<const BYTE*>(c.data.c_str()),
                     c.type == REG_DWORD ? sizeof(seven) : static_cast<DWORD>((c.data.size() + 1) * sizeof(wchar_t)));
    std::string text = "stale";
    EXPECT_EQ(readRegistryString(key, "Directory", &text), c.readable) << c.data.size();
    EXPECT_EQ(text, c.text) << c.data.size();
  }
  RegCloseKey(key);
  RegDeleteTreeW(HKEY_CURRENT_USER, name);
}

}  // namespace
