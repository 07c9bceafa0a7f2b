// The Windows side of the dialog that needs no window: text crossing the
// CP932 boundary, the program's string table, registry values and the
// text of a chosen folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "ui/install_folder.h"
#include "ui/resource_ids.h"
#include "ui/ui_text.h"

namespace {

// ソ and 表 end in the byte 0x5C, which is not a backslash there.
const char kSo[] = "\x83\\";               // ソ
const char kGameSo[] = "C:\\\x83Q\x81[\x83\x80\\\x83\\";  // C:\ゲーム\ソ

TEST(TextCrossing, Cp932RoundTripKeepsDoubleByteCharactersAndRefusesWhatItCannotCarry) {
  const std::string path = std::string("D:\\") + kSo + "\x95\\" + "\\";  // D:\ソ表\ .
  std::wstring wide;
  ASSERT_TRUE(cp932ToWide(path.c_str(), &wide));
  EXPECT_EQ(wide, L"D:\\\x30bd\x8868\\");
  std::string back;
  bool lossless = false;
  wideToCp932(wide.c_str(), &back, &lossless);
  EXPECT_TRUE(lossless);
  EXPECT_EQ(back, path);

  wide = L"x";
  EXPECT_FALSE(cp932ToWide("\x83", &wide));  // a lead byte alone
  EXPECT_TRUE(wide.empty());
  wideToCp932(L"caf\x00e9", &back, &lossless);  // é has no CP932 code
  EXPECT_FALSE(lossless);
}

TEST(TextCrossing, TruncationNeverSplitsACharacter) {
  struct Case { std::string text; size_t limit; std::string expected; };
  for (Case c : {Case{"\x83\x41\x83\x43", 3, "\x83\x41"},  // アイ
                 Case{"abcdef", 6, "abcdef"}, Case{"abcdef", 2, "ab"}}) {
    truncateCp932(&c.text, c.limit);
    EXPECT_EQ(c.text, c.expected) << c.limit;
  }
}

TEST(StringTable, EntriesLoadAsCp932) {
  EXPECT_EQ(loadCp932String(IDS_PROGRAM_FILES_SUBFOLDER), "\\Quorvane\\Sorelune\\");
  EXPECT_EQ(loadCp932String(IDS_GAME_REGISTRY_KEY), "SOFTWARE\\Quorvane\\Sorelune");
  EXPECT_EQ(loadCp932String(IDS_GAME_TITLE), "Sorelune");
  EXPECT_EQ(loadCp932String(2), "");
}

// One backslash unless there is one; a folder ending in ソ still gets it; a
// full buffer gets none.
TEST(ChosenFolder, OneBackslashUnlessThereIsOneOrNoRoom) {
  std::string fits = "C:\\" + std::string(255, 'a');  // 258 bytes
  std::string full = "C:\\" + std::string(256, 'a');  // 259 bytes: the NUL takes the last byte
  for (auto [folder, shown] : {std::pair<std::string, std::string>{"C:\\", "C:\\"},
                               {"C:\\Games", "C:\\Games\\"},
                               {"C:\\Games\\save.dat", "C:\\Games\\save.dat\\"},
                               {"", ""},
                               {kGameSo, std::string(kGameSo) + "\\"},
                               {fits, fits + "\\"},
                               {full, full}})
    EXPECT_EQ(chosenFolderText(folder), shown) << folder;
  EXPECT_FALSE(endsWithBackslash(kGameSo));
  EXPECT_TRUE(endsWithBackslash(std::string(kGameSo) + "\\"));
  EXPECT_FALSE(endsWithBackslash(kSo));
}

// A path CP932 cannot name never reaches the field (it would empty it and
// send a run to the update folder); an item without a path still empties it.
TEST(ChosenFolder, UnnameablePathsKeepTheFieldAnItemWithoutAPathEmptiesIt) {
  const std::wstring longJapanese = L"C:\\" + std::wstring(129, L'\x30bd');  // 261 bytes in CP932
  struct Case { std::wstring path; bool usable; std::string text; };
  for (const Case& c : {Case{L"", true, ""},
                        Case{L"D:\\\x30bd", true, std::string("D:\\") + kSo + "\\"},
                        Case{L"Z:\\tmp\\Caf\x00e9", false, ""},
                        Case{L"C:\\Users\\Jos\x00e9\\Sorelune\\", false, ""},
                        Case{L"C:\\\x00c5sa", false, ""},  // no best-fit "A" either
                        Case{longJapanese, false, ""}}) {
    ChosenFolder chosen = chosenFolderFromPath(c.path.c_str());
    EXPECT_EQ(chosen.usable, c.usable) << c.path.size();
    EXPECT_EQ(chosen.text, c.text) << c.path.size();
  }
}

// A key of its own under HKEY_CURRENT_USER, removed afterwards.
class RegistryValues : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = L"Software\\SoreluneUpdaterTest\\" + std::to_wstring(GetCurrentProcessId());
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, name_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(key_);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\SoreluneUpdaterTest");
  }
  void setString(const wchar_t* value, const std::wstring& text, DWORD type = REG_SZ) {
    RegSetValueExW(key_, value, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  HKEY key_ = nullptr;
  std::wstring name_;
};

TEST_F(RegistryValues, StringValueArrivesAsCp932) {
  setString(L"Directory", L"D:\\\x30bd\x30ec\x30eb\x30fc\x30f3\\");  // D:\ソレルーン\ .
  std::string text;
  ASSERT_TRUE(readRegistryString(key_, "Directory", &text));
  EXPECT_EQ(text, "D:\\\x83\\\x83\x8c\x83\x8b\x81[\x83\x93\\");

  // The value must fit the buffer with its NUL.
  setString(L"Directory", std::wstring(127, L'a'));
  ASSERT_TRUE(readRegistryString(key_, "Directory", &text));
  EXPECT_EQ(text.size(), 127u);
  setString(L"Directory", std::wstring(128, L'a'));
  EXPECT_FALSE(readRegistryString(key_, "Directory", &text));
  EXPECT_TRUE(text.empty());
  // 64 double-byte characters are 128 bytes in CP932: too long as well.
  setString(L"Directory", std::wstring(64, L'\x30bd'));
  EXPECT_FALSE(readRegistryString(key_, "Directory", &text));
  EXPECT_TRUE(text.empty());
}

TEST_F(RegistryValues, UnreadableValuesGiveNoText) {
  std::string text = "stale";
  EXPECT_FALSE(readRegistryString(key_, "Directory", &text));  // missing
  EXPECT_TRUE(text.empty());
  DWORD number = 7;
  RegSetValueExW(key_, L"Directory", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
  text = "stale";
  EXPECT_FALSE(readRegistryString(key_, "Directory", &text));
  EXPECT_TRUE(text.empty());
  setString(L"Directory", L"C:\\caf\x00e9\\");  // not CP932
  EXPECT_FALSE(readRegistryString(key_, "Directory", &text));
}

}  // namespace
