// A test driver for SoreluneUpdate.exe, run in the same Wine prefix (or on
// the same Windows desktop) as the program. It finds the updater's dialog
// and its message boxes, reads and sets control texts, reads visibility,
// enabled state and focus, clicks buttons and answers boxes.
//
// Each argument is one step; the steps run in order and the first that
// fails ends the driver with exit code 1 and a line on stderr. Texts are
// UTF-8 on the command line and on output. Control ids are numbers; the
// label is -1.
#include <windows.h>
#include <commctrl.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t kDialogTitle[] = L"\x300cSorelune\x300d\x3000\x30a2\x30c3\x30d7\x30c7\x30fc\x30c8";
DWORD gTimeoutMs = 30000;
HWND gDialog = nullptr;
HWND gBox = nullptr;

std::string utf8(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::vector<char> buffer(static_cast<size_t>(length));
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, buffer.data(), length, nullptr, nullptr);
  return std::string(buffer.data());
}

// Shows line breaks as \n so that every report stays on one line.
std::string printable(const std::wstring& wide) {
  std::string text = utf8(wide), out;
  for (char c : text) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

void say(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool fail(const std::string& why) {
  std::string line = "ui_driver: " + why + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  return false;
}

// The argument's backslash-n sequences stand for line breaks.
std::wstring argumentText(const wchar_t* argument) {
  std::wstring text;
  for (const wchar_t* at = argument; *at != 0; ++at) {
    if (at[0] == L'\\' && at[1] == L'n') {
      text += L'\n';
      ++at;
    } else {
      text += *at;
    }
  }
  return text;
}

std::wstring textOf(HWND window) {
  wchar_t buffer[4096] = {};
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000, &result);
  return buffer;
}

std::wstring classOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

DWORD controlId(HWND window) { return static_cast<DWORD>(GetWindowLongPtrW(window, GWLP_ID)); }

HWND control(HWND dialog, long id) {
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
    if (controlId(child) == static_cast<DWORD>(id)) return child;
  return nullptr;
}

bool sameProcess(HWND a, HWND b) {
  DWORD first = 0, second = 0;
  GetWindowThreadProcessId(a, &first);
  GetWindowThreadProcessId(b, &second);
  return first == second;
}

HWND findDialog() {
  HWND dialog = FindWindowW(L"#32770", kDialogTitle);
  return (dialog != nullptr && IsWindowVisible(dialog)) ? dialog : nullptr;
}

bool hasChildOfClass(HWND window, const wchar_t* className) {
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
    if (_wcsicmp(classOf(child).c_str(), className) == 0) return true;
  return false;
}

// The text of the item selected in the folder browser's tree. The tree
// lives in the updater's process, so the item record and its text buffer
// are placed in that process's memory.
std::wstring browserSelection(HWND browser) {
  HWND tree = nullptr;
  for (HWND child = GetWindow(browser, GW_CHILD); child != nullptr && tree == nullptr;
       child = GetWindow(child, GW_HWNDNEXT))
    if (_wcsicmp(classOf(child).c_str(), L"SysTreeView32") == 0) tree = child;
  if (tree == nullptr) return std::wstring();
  auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
  DWORD processId = 0;
  GetWindowThreadProcessId(tree, &processId);
  HANDLE process = item != nullptr ? OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId)
                                   : nullptr;
  if (process == nullptr) return std::wstring();
  const size_t textChars = 260;
  auto* remote = static_cast<BYTE*>(
      VirtualAllocEx(process, nullptr, sizeof(TVITEMW) + textChars * sizeof(wchar_t), MEM_COMMIT, PAGE_READWRITE));
  std::wstring text;
  if (remote != nullptr) {
    TVITEMW request = {};
    request.mask = TVIF_TEXT;
    request.hItem = item;
    request.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(TVITEMW));
    request.cchTextMax = static_cast<int>(textChars);
    wchar_t buffer[textChars] = {};
    if (WriteProcessMemory(process, remote, &request, sizeof(request), nullptr) &&
        SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(remote)) &&
        ReadProcessMemory(process, remote + sizeof(TVITEMW), buffer, sizeof(buffer) - sizeof(wchar_t), nullptr))
      text = buffer;
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  CloseHandle(process);
  return text;
}

// The box's message: its static control with text (the icon has none).
std::wstring boxText(HWND box) {
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    if (_wcsicmp(classOf(child).c_str(), L"Static") != 0) continue;
    std::wstring text = textOf(child);
    if (!text.empty()) return text;
  }
  return std::wstring();
}

std::wstring caption(HWND window) { return textOf(window); }

const char* buttonName(DWORD id) {
  switch (id) {
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    case IDABORT: return "Abort";
    case IDRETRY: return "Retry";
    case IDIGNORE: return "Ignore";
    case IDYES: return "Yes";
    case IDNO: return "No";
    default: return "?";
  }
}

std::string boxButtons(HWND box) {
  std::string names;
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    if (_wcsicmp(classOf(child).c_str(), L"Button") != 0 || !IsWindowVisible(child)) continue;
    if (!names.empty()) names += ",";
    names += buttonName(controlId(child));
  }
  return names;
}

struct BoxSearch {
  HWND dialog;
  const std::wstring* caption;
  HWND found;
};

BOOL CALLBACK visitTopLevel(HWND window, LPARAM parameter) {
  BoxSearch* search = reinterpret_cast<BoxSearch*>(parameter);
  if (window == search->dialog || !IsWindowVisible(window)) return TRUE;
  if (classOf(window) != L"#32770" || !sameProcess(window, search->dialog)) return TRUE;
  if (hasChildOfClass(window, L"SysTreeView32")) return TRUE;  // the folder browser
  if (search->caption != nullptr && !search->caption->empty() && caption(window) != *search->caption) return TRUE;
  search->found = window;
  return FALSE;
}

HWND findBox(const std::wstring* wantedCaption) {
  if (gDialog == nullptr || !IsWindow(gDialog)) return nullptr;
  BoxSearch search{gDialog, wantedCaption, nullptr};
  EnumWindows(visitTopLevel, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

BOOL CALLBACK visitBrowser(HWND window, LPARAM parameter) {
  BoxSearch* search = reinterpret_cast<BoxSearch*>(parameter);
  if (window == search->dialog || !IsWindowVisible(window)) return TRUE;
  if (classOf(window) != L"#32770" || !sameProcess(window, search->dialog)) return TRUE;
  if (!hasChildOfClass(window, L"SysTreeView32")) return TRUE;
  search->found = window;
  return FALSE;
}

HWND findBrowser() {
  if (gDialog == nullptr || !IsWindow(gDialog)) return nullptr;
  BoxSearch search{gDialog, nullptr, nullptr};
  EnumWindows(visitBrowser, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

template <typename Condition>
bool waitFor(Condition condition, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(50);
  }
}

bool needDialog() {
  if (gDialog == nullptr) gDialog = findDialog();
  if (gDialog == nullptr || !IsWindow(gDialog)) return fail("the updater's dialog is not open");
  return true;
}

bool needControl(const wchar_t* idText, HWND* window) {
  if (!needDialog()) return false;
  long id = std::wcstol(idText, nullptr, 10);
  *window = control(gDialog, id);
  if (*window == nullptr) return fail("no control " + utf8(idText));
  return true;
}

bool yesNo(const wchar_t* text, bool* value) {
  if (std::wcscmp(text, L"yes") == 0) *value = true;
  else if (std::wcscmp(text, L"no") == 0) *value = false;
  else return fail("expected yes or no, got " + utf8(text));
  return true;
}

// Clicking is what a user can do: the control must be visible and enabled.
// The click reaches the parent as the button's BN_CLICKED notification,
// posted, so that a box the click opens does not hold the driver.
bool clickButton(HWND parent, HWND button) {
  if (!IsWindowVisible(button)) return fail("button " + std::to_string(controlId(button)) + " is hidden");
  if (!IsWindowEnabled(button)) return fail("button " + std::to_string(controlId(button)) + " is disabled");
  if (!IsWindowEnabled(parent)) return fail("the window of button " + std::to_string(controlId(button)) + " is disabled");
  PostMessageW(parent, WM_COMMAND, MAKEWPARAM(controlId(button), BN_CLICKED), reinterpret_cast<LPARAM>(button));
  return true;
}

HWND focusOf(HWND window) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof(info);
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

DWORD buttonIdByName(const wchar_t* name) {
  const wchar_t* names[] = {L"", L"OK", L"Cancel", L"Abort", L"Retry", L"Ignore", L"Yes", L"No"};
  for (DWORD id = 1; id < 8; ++id)
    if (_wcsicmp(names[id], name) == 0) return id;
  return 0;
}

std::string rectText(HWND window) {
  RECT rect;
  GetWindowRect(window, &rect);
  char text[64];
  std::snprintf(text, sizeof(text), "%ldx%ld+%ld+%ld", rect.right - rect.left, rect.bottom - rect.top, rect.left,
                rect.top);
  return text;
}

// --- the dialog template, read from the program file ---

struct TemplateReader {
  const BYTE* at;
  const BYTE* end;
  bool ok = true;
  WORD word() {
    if (at + 2 > end) { ok = false; return 0; }
    WORD value = static_cast<WORD>(at[0] | (at[1] << 8));
    at += 2;
    return value;
  }
  DWORD dword() {
    DWORD low = word();
    return low | (static_cast<DWORD>(word()) << 16);
  }
  BYTE byte() {
    if (at + 1 > end) { ok = false; return 0; }
    return *at++;
  }
  std::wstring string() {
    std::wstring text;
    for (WORD c = word(); ok && c != 0; c = word()) text += static_cast<wchar_t>(c);
    return text;
  }
  // A string or an ordinal (0xFFFF followed by the number).
  std::wstring nameOrOrdinal() {
    if (at + 2 <= end && at[0] == 0xFF && at[1] == 0xFF) {
      word();
      return L"#" + std::to_wstring(word());
    }
    return string();
  }
  void alignDword(const BYTE* base) {
    while (((at - base) & 3) != 0) ++at;
  }
};

std::wstring lowerClass(const std::wstring& name) {
  if (name == L"#128") return L"button";
  if (name == L"#129") return L"edit";
  if (name == L"#130") return L"static";
  std::wstring lower = name;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
  return lower;
}

bool dumpTemplate(const wchar_t* program) {
  HMODULE module = LoadLibraryExW(program, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return fail("cannot load " + utf8(program));
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(102), MAKEINTRESOURCEW(5));  // RT_DIALOG
  if (resource == nullptr) return fail("no dialog template 102");
  const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(module, resource)));
  TemplateReader reader{base, base + SizeofResource(module, resource)};
  WORD version = reader.word(), signature = reader.word();
  if (version != 1 || signature != 0xFFFF) return fail("template 102 is not an extended dialog template");
  DWORD help = reader.dword(), exStyle = reader.dword(), style = reader.dword();
  WORD count = reader.word();
  short x = static_cast<short>(reader.word()), y = static_cast<short>(reader.word());
  short cx = static_cast<short>(reader.word()), cy = static_cast<short>(reader.word());
  std::wstring menu = reader.nameOrOrdinal(), windowClass = reader.nameOrOrdinal(), title = reader.string();
  char line[512];
  std::snprintf(line, sizeof(line), "dialog style=0x%08lX exstyle=0x%08lX help=%lu rect=%d,%d,%d,%d menu=%s class=%s",
                style, exStyle, help, x, y, cx, cy, utf8(menu).c_str(), utf8(windowClass).c_str());
  say(line);
  say("title=" + utf8(title));
  if (style & DS_SETFONT) {
    WORD points = reader.word(), weight = reader.word();
    BYTE italic = reader.byte(), charset = reader.byte();
    std::wstring face = reader.string();
    std::snprintf(line, sizeof(line), "font=%u,%u,%u,%u,", points, weight, italic, charset);
    say(line + utf8(face));
  }
  for (WORD i = 0; i < count && reader.ok; ++i) {
    reader.alignDword(base);
    DWORD itemHelp = reader.dword(), itemExStyle = reader.dword(), itemStyle = reader.dword();
    short ix = static_cast<short>(reader.word()), iy = static_cast<short>(reader.word());
    short icx = static_cast<short>(reader.word()), icy = static_cast<short>(reader.word());
    DWORD id = reader.dword();
    std::wstring itemClass = lowerClass(reader.nameOrOrdinal());
    std::wstring text = reader.nameOrOrdinal();
    WORD extra = reader.word();
    reader.at += extra;
    std::snprintf(line, sizeof(line), "item id=0x%08lX style=0x%08lX exstyle=0x%08lX help=%lu rect=%d,%d,%d,%d class=",
                  id, itemStyle, itemExStyle, itemHelp, ix, iy, icx, icy);
    say(line + utf8(itemClass) + " text=" + utf8(text));
  }
  FreeLibrary(module);
  return reader.ok ? true : fail("template 102 is cut short");
}

// --- the steps ---

bool runStep(int argc, wchar_t** argv, int* index) {
  std::wstring step = argv[(*index)++];
  auto argument = [&](const wchar_t** value) {
    if (*index >= argc) return fail("step " + utf8(step) + " needs an argument");
    *value = argv[(*index)++];
    return true;
  };
  const wchar_t* a = nullptr;
  const wchar_t* b = nullptr;

  if (step == L"timeout") {
    if (!argument(&a)) return false;
    gTimeoutMs = static_cast<DWORD>(std::wcstoul(a, nullptr, 10));
    return true;
  }
  if (step == L"sleep") {
    if (!argument(&a)) return false;
    Sleep(static_cast<DWORD>(std::wcstoul(a, nullptr, 10)));
    return true;
  }
  if (step == L"clock") {
    // Seconds on the performance counter, for timing a run between steps.
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    char line[64];
    std::snprintf(line, sizeof(line), "clock %.6f", static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart));
    say(line);
    return true;
  }
  if (step == L"dump-template") return argument(&a) && dumpTemplate(a);
  if (step == L"wait-dialog") {
    if (!waitFor([] { return (gDialog = findDialog()) != nullptr; }, gTimeoutMs))
      return fail("the updater's dialog did not open");
    return true;
  }
  if (step == L"wait-closed") {
    // Also true when the dialog has already gone.
    if (gDialog == nullptr) gDialog = findDialog();
    if (!waitFor([] { return gDialog == nullptr || !IsWindow(gDialog); }, gTimeoutMs))
      return fail("the dialog did not close");
    return true;
  }
  if (step == L"controls") {
    if (!needDialog()) return false;
    HWND focus = focusOf(gDialog);
    for (HWND child = GetWindow(gDialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
      char line[128];
      std::snprintf(line, sizeof(line), "control id=%ld class=%s visible=%s enabled=%s focus=%s text=",
                    static_cast<long>(static_cast<int>(controlId(child))), utf8(classOf(child)).c_str(),
                    IsWindowVisible(child) ? "yes" : "no", IsWindowEnabled(child) ? "yes" : "no",
                    child == focus ? "yes" : "no");
      say(line + printable(textOf(child)));
    }
    return true;
  }
  if (step == L"expect-text") {
    HWND window;
    if (!argument(&a) || !argument(&b) || !needControl(a, &window)) return false;
    std::wstring actual = textOf(window), expected = argumentText(b);
    if (actual != expected) return fail("control " + utf8(a) + " shows \"" + printable(actual) + "\", expected \"" + printable(expected) + "\"");
    return true;
  }
  if (step == L"print-text") {
    HWND window;
    if (!argument(&a) || !needControl(a, &window)) return false;
    say(printable(textOf(window)));
    return true;
  }
  if (step == L"set-text") {
    HWND window;
    if (!argument(&a) || !argument(&b) || !needControl(a, &window)) return false;
    std::wstring text = argumentText(b);
    SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    return true;
  }
  if (step == L"expect-visible" || step == L"expect-enabled") {
    HWND window;
    bool expected = false;
    if (!argument(&a) || !argument(&b) || !needControl(a, &window) || !yesNo(b, &expected)) return false;
    bool actual = step == L"expect-visible" ? IsWindowVisible(window) != FALSE : IsWindowEnabled(window) != FALSE;
    if (actual != expected) return fail("control " + utf8(a) + (step == L"expect-visible" ? " visible=" : " enabled=") + (actual ? "yes" : "no"));
    return true;
  }
  if (step == L"expect-focus") {
    HWND window;
    if (!argument(&a) || !needControl(a, &window)) return false;
    HWND focus = focusOf(gDialog);
    if (focus != window) return fail("the focus is on control " + std::to_string(focus ? static_cast<int>(controlId(focus)) : 0) + ", not " + utf8(a));
    return true;
  }
  if (step == L"click") {
    HWND window;
    if (!argument(&a) || !needControl(a, &window)) return false;
    return clickButton(gDialog, window);
  }
  if (step == L"key") {
    if (!argument(&a) || !needDialog()) return false;
    WPARAM key = std::wcscmp(a, L"escape") == 0   ? VK_ESCAPE
                 : std::wcscmp(a, L"return") == 0 ? VK_RETURN
                 : std::wcscmp(a, L"tab") == 0    ? VK_TAB
                                                  : 0;
    if (key == 0) return fail("unknown key " + utf8(a));
    // Posted to the focused control (or the dialog), the key reaches the
    // dialog's message loop as typed input does.
    HWND target = focusOf(gDialog);
    if (target == nullptr || (target != gDialog && !IsChild(gDialog, target))) target = gDialog;
    PostMessageW(target, WM_KEYDOWN, key, 1);
    PostMessageW(target, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
    return true;
  }
  if (step == L"wait-box") {
    // The caption to wait for, or * for any box.
    if (!argument(&a)) return false;
    std::wstring wanted = std::wcscmp(a, L"*") == 0 ? std::wstring() : argumentText(a);
    if (!needDialog()) return false;
    if (!waitFor([&] { return (gBox = findBox(&wanted)) != nullptr; }, gTimeoutMs))
      return fail("no message box" + (wanted.empty() ? std::string() : " \"" + utf8(wanted) + "\"") + " appeared");
    return true;
  }
  if (step == L"print-box") {
    if (gBox == nullptr || !IsWindow(gBox)) return fail("no current message box");
    HWND owner = GetWindow(gBox, GW_OWNER);
    say("box caption=" + printable(caption(gBox)) + " buttons=" + boxButtons(gBox) +
        " owner=" + (owner == gDialog ? "dialog" : owner == nullptr ? "none" : "other") + " text=" + printable(boxText(gBox)));
    return true;
  }
  if (step == L"expect-box") {
    // caption, text, buttons, owner (dialog or none)
    const wchar_t *c, *t, *buttons, *owner;
    if (!argument(&c) || !argument(&t) || !argument(&buttons) || !argument(&owner)) return false;
    if (gBox == nullptr || !IsWindow(gBox)) return fail("no current message box");
    std::string problems;
    std::wstring actualCaption = caption(gBox), actualText = boxText(gBox);
    if (actualCaption != argumentText(c)) problems += " caption=\"" + printable(actualCaption) + "\"";
    if (actualText != argumentText(t)) problems += " text=\"" + printable(actualText) + "\"";
    if (boxButtons(gBox) != utf8(buttons)) problems += " buttons=" + boxButtons(gBox);
    HWND actualOwner = GetWindow(gBox, GW_OWNER);
    std::string ownerName = actualOwner == gDialog ? "dialog" : actualOwner == nullptr ? "none" : "other";
    if (ownerName != utf8(owner)) problems += " owner=" + ownerName;
    if (!problems.empty()) return fail("message box differs:" + problems);
    return true;
  }
  if (step == L"expect-box-buttons") {
    // buttons and owner only, for boxes whose text holds system wording
    if (!argument(&a) || !argument(&b)) return false;
    if (gBox == nullptr || !IsWindow(gBox)) return fail("no current message box");
    HWND actualOwner = GetWindow(gBox, GW_OWNER);
    std::string ownerName = actualOwner == gDialog ? "dialog" : actualOwner == nullptr ? "none" : "other";
    if (boxButtons(gBox) != utf8(a) || ownerName != utf8(b))
      return fail("message box has buttons=" + boxButtons(gBox) + " owner=" + ownerName);
    return true;
  }
  if (step == L"expect-box-text-starts") {
    if (!argument(&a)) return false;
    if (gBox == nullptr || !IsWindow(gBox)) return fail("no current message box");
    std::wstring text = boxText(gBox), prefix = argumentText(a);
    if (text.compare(0, prefix.size(), prefix) != 0) return fail("message box text is \"" + printable(text) + "\"");
    return true;
  }
  if (step == L"answer") {
    if (!argument(&a)) return false;
    if (gBox == nullptr || !IsWindow(gBox)) return fail("no current message box");
    DWORD id = buttonIdByName(a);
    HWND button = id != 0 ? control(gBox, static_cast<long>(id)) : nullptr;
    if (button == nullptr) return fail("the message box has no button " + utf8(a));
    HWND box = gBox;
    if (!clickButton(box, button)) return false;
    if (!waitFor([&] { return !IsWindow(box); }, gTimeoutMs)) return fail("the message box stayed open");
    gBox = nullptr;
    return true;
  }
  if (step == L"expect-no-box") {
    // A caption, or * for any box.
    if (!argument(&a) || !needDialog()) return false;
    std::wstring unwanted = std::wcscmp(a, L"*") == 0 ? std::wstring() : argumentText(a);
    HWND box = findBox(&unwanted);
    if (box != nullptr) return fail("a message box is open: " + printable(caption(box)) + " / " + printable(boxText(box)));
    return true;
  }
  if (step == L"wait-progress") {
    HWND window;
    if (!argument(&a) || !needControl(L"1003", &window)) return false;
    LRESULT wanted = std::wcstol(a, nullptr, 10);
    if (!waitFor([&] { return SendMessageW(window, PBM_GETPOS, 0, 0) == wanted; }, gTimeoutMs))
      return fail("the progress bar stays at " + std::to_string(SendMessageW(window, PBM_GETPOS, 0, 0)));
    return true;
  }
  if (step == L"print-progress") {
    HWND window;
    if (!needControl(L"1003", &window)) return false;
    // Each limit comes back as the return value; a PBRANGE would need
    // memory in the other process.
    LRESULT high = SendMessageW(window, PBM_GETRANGE, FALSE, 0);
    LRESULT low = SendMessageW(window, PBM_GETRANGE, TRUE, 0);
    say("progress position=" + std::to_string(SendMessageW(window, PBM_GETPOS, 0, 0)) + " range=" +
        std::to_string(low) + "-" + std::to_string(high));
    return true;
  }
  if (step == L"wait-browser") {
    if (!needDialog()) return false;
    if (!waitFor([&] { return (gBox = findBrowser()) != nullptr; }, gTimeoutMs)) return fail("the folder browser did not open");
    return true;
  }
  if (step == L"browse-to") {
    // Opens the folder browser with 参照 until it has preselected the item
    // named (Wine's browser does not always get as far as the folder when it
    // first opens; it is cancelled and opened again). It stays open as the
    // current box.
    if (!argument(&a) || !needDialog()) return false;
    HWND browse = control(gDialog, 1001);
    if (browse == nullptr) return fail("no control 1001");
    std::wstring seen;
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (!clickButton(gDialog, browse)) return false;
      if (!waitFor([&] { return (gBox = findBrowser()) != nullptr; }, gTimeoutMs)) return fail("the folder browser did not open");
      if (waitFor([&] { return (seen = browserSelection(gBox)) == a; }, 15000)) return true;
      HWND browser = gBox, cancel = control(browser, IDCANCEL);
      if (cancel == nullptr || !clickButton(browser, cancel) || !waitFor([&] { return !IsWindow(browser); }, gTimeoutMs))
        return fail("the folder browser did not close");
      gBox = nullptr;
    }
    return fail("the browser selected \"" + utf8(seen) + "\", not \"" + utf8(a) + "\"");
  }
  if (step == L"rect") {
    // The current box if there is one, else the dialog: WxH+X+Y on screen.
    HWND window = (gBox != nullptr && IsWindow(gBox)) ? gBox : gDialog;
    if (window == nullptr && !needDialog()) return false;
    say(rectText(window != nullptr ? window : gDialog));
    return true;
  }
  return fail("unknown step " + utf8(step));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Output lines end in LF, for the shell scripts that read them.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  int index = 1;
  while (index < argc) {
    int step = index;
    if (!runStep(argc, argv, &index)) {
      fail("(at step " + std::to_string(step) + ": " + utf8(argv[step]) + ")");
      return 1;
    }
  }
  return 0;
}
