#include "ui/ui_text.h"

#include <vector>

namespace {
constexpr UINT kCodePage = 932;

bool isLeadByte(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }
}  // namespace

bool cp932ToWide(const char* text, std::wstring* wide) {
  wide->clear();
  if (text == nullptr || *text == '\0') return text != nullptr;
  int length = MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (length <= 0) return false;
  std::vector<wchar_t> buffer(static_cast<size_t>(length));
  if (MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, text, -1, buffer.data(), length) <= 0) return false;
  wide->assign(buffer.data());
  return true;
}

void wideToCp932(const wchar_t* wide, std::string* text, bool* lossless) {
  text->clear();
  if (lossless != nullptr) *lossless = true;
  if (wide == nullptr || *wide == L'\0') return;
  // No best-fit mapping: "é" must not quietly become "e" and name another
  // file; it becomes '?', which names none.
  BOOL usedDefault = FALSE;
  int length = WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, wide, -1, nullptr, 0, nullptr, &usedDefault);
  if (length <= 0) {
    if (lossless != nullptr) *lossless = false;
    return;
  }
  std::vector<char> buffer(static_cast<size_t>(length));
  WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, wide, -1, buffer.data(), length, nullptr, nullptr);
  text->assign(buffer.data());
  if (lossless != nullptr) *lossless = !usedDefault;
}

void truncateCp932(std::string* text, size_t maxBytes) {
  if (text->size() <= maxBytes) return;
  size_t keep = 0;
  while (keep < text->size()) {
    size_t width = isLeadByte(static_cast<unsigned char>((*text)[keep])) ? 2 : 1;
    if (keep + width > maxBytes) break;
    keep += width;
  }
  text->resize(keep);
}

bool endsWithBackslash(const std::string& text) {
  size_t at = 0, last = std::string::npos;
  while (at < text.size()) {
    last = at;
    at += (isLeadByte(static_cast<unsigned char>(text[at])) && at + 1 < text.size()) ? 2 : 1;
  }
  return last != std::string::npos && at - last == 1 && text[last] == '\\';
}

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
