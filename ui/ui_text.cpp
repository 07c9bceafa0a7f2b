#include "ui/ui_text.h"

#include <vector>

std::string loadCp932String(UINT id) {
  // A zero buffer length asks for a pointer into the resource itself.
  const wchar_t* resource = nullptr;
  int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&resource), 0);
  std::string text;
  if (length <= 0 || resource == nullptr) return text;
  std::wstring wide(resource, static_cast<size_t>(length));
  wideToCp932(wide.c_str(), &text);
  return text;
}

std::string windowTextCp932(HWND window) {
  int length = GetWindowTextLengthW(window);
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
  GetWindowTextW(window, buffer.data(), length + 1);
  std::string text;
  wideToCp932(buffer.data(), &text);
  return text;
}

void setWindowTextCp932(HWND window, const char* text) {
  std::wstring wide;
  cp932ToWide(text, &wide);
  SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

int messageBoxCp932(HWND owner, const char* text, const char* caption, UINT style) {
  std::wstring wideText, wideCaption;
  cp932ToWide(text, &wideText);
  cp932ToWide(caption, &wideCaption);
  return MessageBoxW(owner, wideText.c_str(), wideCaption.c_str(), style);
}
