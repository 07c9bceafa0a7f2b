// Text crossing on the Win32 side: CP932 <-> UTF-16 with code page 932,
// never the system's ANSI code page, so the program behaves the same in
// any locale. Used by the file layer and by the dialog.
#pragma once

#include <string>

// CP932 to UTF-16. False (and an empty result) for bytes that are not CP932.
bool cp932ToWide(const char* text, std::wstring* wide);

// UTF-16 to CP932. Characters that CP932 lacks become '?', without any
// best-fit look-alike ("é" must not quietly become "e" and name another
// file); *lossless says whether every character crossed.
void wideToCp932(const wchar_t* wide, std::string* text, bool* lossless = nullptr);

// UTF-16 to UTF-8 (the console text and the publisher tool's arguments).
// False when the system's conversion fails.
bool wideToUtf8(const wchar_t* wide, std::string* text);
