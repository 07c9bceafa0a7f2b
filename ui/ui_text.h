// Text at the window boundary. The program's own texts are code-page-932
// byte strings; windows, the registry and the string table hold UTF-16.
// Every crossing converts with code page 932 explicitly, never with the
// system's ANSI code page, so the program behaves the same in any locale.
#pragma once

#include <windows.h>

#include <string>

// CP932 to UTF-16. False (and an empty result) for bytes that are not CP932.
bool cp932ToWide(const char* text, std::wstring* wide);

// UTF-16 to CP932. Characters that CP932 lacks become '?', without any
// best-fit look-alike; *lossless says whether any did.
void wideToCp932(const wchar_t* wide, std::string* text, bool* lossless = nullptr);

// Shortens a CP932 string to at most maxBytes bytes without splitting a
// double-byte character.
void truncateCp932(std::string* text, size_t maxBytes);

// Whether the text's last character is the single-byte backslash. A
// double-byte character such as ソ (0x83 0x5C) ends in the byte 0x5C
// without being one.
bool endsWithBackslash(const std::string& text);

// String-table entry `id` of the program, converted to CP932 (empty when
// the entry is missing).
std::string loadCp932String(UINT id);

// Window text through the wide functions, in CP932.
std::string windowTextCp932(HWND window);
void setWindowTextCp932(HWND window, const char* text);
