// Text at the window boundary. The program's own texts are code-page-932
// byte strings; windows, the registry and the string table hold UTF-16.
// Every crossing converts with code page 932 explicitly, never with the
// system's ANSI code page, so the program behaves the same in any locale.
#pragma once

#include <windows.h>

#include <string>

#include "platform/cp932.h"
#include "platform/win32/wide_text.h"

// String-table entry `id` of the program, converted to CP932 (empty when
// the entry is missing).
std::string loadCp932String(UINT id);

// Window text through the wide functions, in CP932.
std::string windowTextCp932(HWND window);
void setWindowTextCp932(HWND window, const char* text);

// A message box whose text and caption are CP932.
int messageBoxCp932(HWND owner, const char* text, const char* caption, UINT style);
