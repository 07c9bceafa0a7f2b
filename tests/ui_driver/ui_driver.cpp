// A test driver for SoreluneUpdate.exe, run in the same Wine prefix (or on
// the same Windows desktop) as the program. It finds the updater's dialog,
// its message boxes and its folder browser, prints what they show, and
// clicks, types and answers as a user does.
//
// Each argument is one step; the steps run in order and the first that
// fails ends the driver with exit code 1 and a line on stderr. Texts are
// UTF-8 on the command line and on output, line breaks shown there as \n.
// Control ids are numbers; the label is -1.
#include <windows.h>
#include <commctrl.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

const wchar_t kDialogTitle[] = L"\x300cSorelune\x300d\x3000\x30a2\x30c3\x30d7\x30c7\x30fc\x30c8";
DWORD gTimeoutMs = 30000;
HWND gDialog = nullptr;
HWND gBox = nullptr;  // the message box or folder browser the last wait found

// UTF-8, with line breaks as \n so that every report stays on one line.
std::string printable(const std::wstring& wide) {
  std::string text(wide.size() * 3 + 1, '\0'), out;
  text.resize(static_cast<size_t>(
      WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), &text[0], static_cast<int>(text.size()), nullptr, nullptr)));
  for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
}

void say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

bool fail(const std::string& why) {
  std::fputs(("ui_driver: " + why + "\n").c_str(), stderr);
  return false;
}

std::wstring textOf(HWND window) {
  wchar_t buffer[4096] = {};
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000, &result);
  return buffer;
}

bool isClass(HWND window, const wchar_t* name) {
  wchar_t actual[256] = {};
  GetClassNameW(window, actual, 256);
  return _wcsicmp(actual, name) == 0;
}

int controlId(HWND window) { return static_cast<int>(GetWindowLongPtrW(window, GWLP_ID)); }

HWND child(HWND parent, int id, const wchar_t* className = nullptr) {
  for (HWND at = GetWindow(parent, GW_CHILD); at != nullptr; at = GetWindow(at, GW_HWNDNEXT))
    if (className != nullptr ? isClass(at, className) : controlId(at) == id) return at;
  return nullptr;
}

HWND findDialog() {
  HWND dialog = FindWindowW(L"#32770", kDialogTitle);
  return (dialog != nullptr && IsWindowVisible(dialog)) ? dialog : nullptr;
}

// A visible top-level dialog of the updater's process other than its main
// one: the folder browser, or a message box with the caption (any, when
// the caption is empty or "*").
HWND findTopLevel(std::wstring caption, bool browser = false) {
  DWORD dialogProcess = 0, process = 0;
  if (gDialog == nullptr || !GetWindowThreadProcessId(gDialog, &dialogProcess)) return nullptr;
  if (caption == L"*") caption.clear();
  for (HWND at = FindWindowExW(nullptr, nullptr, L"#32770", nullptr); at != nullptr;
       at = FindWindowExW(nullptr, at, L"#32770", nullptr)) {
    GetWindowThreadProcessId(at, &process);
    if (at != gDialog && IsWindowVisible(at) && process == dialogProcess &&
        (child(at, 0, L"SysTreeView32") != nullptr) == browser && (caption.empty() || textOf(at) == caption))
      return at;
  }
  return nullptr;
}

// The text of the item selected in the folder browser's tree. The tree
// lives in the updater's process, so the item record and its text buffer
// are placed in that process's memory.
std::wstring browserSelection(HWND browser) {
  HWND tree = child(browser, 0, L"SysTreeView32");
  auto item = tree ? reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0)) : nullptr;
  DWORD processId = 0;
  GetWindowThreadProcessId(browser, &processId);
  HANDLE process = item ? OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId) : nullptr;
  if (process == nullptr) return std::wstring();
  wchar_t text[MAX_PATH] = {};
  auto* remote = static_cast<BYTE*>(VirtualAllocEx(process, nullptr, sizeof(TVITEMW) + sizeof(text), MEM_COMMIT, PAGE_READWRITE));
  if (remote != nullptr) {
    TVITEMW request = {};
    request.mask = TVIF_TEXT;
    request.hItem = item;
    request.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(TVITEMW));
    request.cchTextMax = MAX_PATH - 1;
    if (!WriteProcessMemory(process, remote, &request, sizeof(request), nullptr) ||
        !SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(remote)) ||
        !ReadProcessMemory(process, remote + sizeof(TVITEMW), text, sizeof(text) - sizeof(wchar_t), nullptr))
      text[0] = 0;
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  CloseHandle(process);
  return text;
}

const wchar_t* const kButtonNames[] = {L"", L"OK", L"Cancel", L"Abort", L"Retry", L"Ignore", L"Yes", L"No"};

// "box caption=… buttons=OK,Cancel owner=dialog|none|other text=…"
std::string describeBox(HWND box) {
  std::wstring buttons, text;
  for (HWND at = GetWindow(box, GW_CHILD); at != nullptr; at = GetWindow(at, GW_HWNDNEXT)) {
    if (isClass(at, L"Button") && IsWindowVisible(at) && controlId(at) >= 1 && controlId(at) <= 7)
      buttons += (buttons.empty() ? L"" : L",") + std::wstring(kButtonNames[controlId(at)]);
    if (isClass(at, L"Static") && text.empty()) text = textOf(at);  // the icon has no text
  }
  HWND owner = GetWindow(box, GW_OWNER);
  return "box caption=" + printable(textOf(box)) + " buttons=" + printable(buttons) +
         " owner=" + (owner == gDialog ? "dialog" : owner == nullptr ? "none" : "other") + " text=" + printable(text);
}

template <typename Condition>
bool waitFor(Condition condition, DWORD timeoutMs = gTimeoutMs) {
  for (DWORD start = GetTickCount();; Sleep(50)) {
    if (condition()) return true;
    if (GetTickCount() - start > timeoutMs) return false;
  }
}

// The dialog found before, or the one that opens within the time-out.
bool needDialog() {
  return (gDialog != nullptr && IsWindow(gDialog)) || waitFor([] { return (gDialog = findDialog()) != nullptr; }) ||
         fail("the updater's dialog is not open");
}

bool needBox() { return (gBox != nullptr && IsWindow(gBox)) || fail("no current message box"); }

// Clicking is what a user can do: the button and its window must be visible
// and enabled. The click reaches the parent as BN_CLICKED, posted, so that
// a box the click opens does not hold the driver.
bool clickButton(HWND parent, HWND button) {
  if (button == nullptr) return fail("no such button");
  if (!IsWindowVisible(button) || !IsWindowEnabled(button) || !IsWindowEnabled(parent))
    return fail("button " + std::to_string(controlId(button)) + " is hidden or disabled");
  PostMessageW(parent, WM_COMMAND, MAKEWPARAM(controlId(button), BN_CLICKED), reinterpret_cast<LPARAM>(button));
  return true;
}

bool closeCurrent(const wchar_t* buttonName) {
  if (!needBox()) return false;
  HWND box = gBox, button = nullptr;
  for (int id = 1; id < 8; ++id)
    if (_wcsicmp(kButtonNames[id], buttonName) == 0) button = child(box, id);
  if (!clickButton(box, button)) return false;
  gBox = nullptr;
  return waitFor([&] { return !IsWindow(box); }) || fail("the box stayed open");
}

HWND focusOf(HWND window) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof(info);
  return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
}

// Opens the folder browser with 参照 until it has preselected the item
// named: Wine's browser does not always get as far as the folder when it
// first opens, so it is cancelled and opened again. It stays open as the
// current box.
bool browseTo(const std::wstring& name) {
  std::wstring seen;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!clickButton(gDialog, child(gDialog, 1001))) return false;
    if (!waitFor([&] { return (gBox = findTopLevel(L"", true)) != nullptr; })) return fail("the folder browser did not open");
    if (waitFor([&] { return (seen = browserSelection(gBox)) == name; }, 15000)) return true;
    if (!closeCurrent(L"Cancel")) return false;
  }
  return fail("the browser selected \"" + printable(seen) + "\", not \"" + printable(name) + "\"");
}

bool runStep(int argc, wchar_t** argv, int* index) {
  std::wstring step = argv[(*index)++];
  const wchar_t* a = L"";
  const wchar_t* b = L"";
  // Steps with arguments take them from the next ones; most need the dialog.
  int arguments = step == L"set-text" ? 2 : 0;
  for (const wchar_t* name : {L"timeout", L"sleep", L"wait-box", L"wait-progress", L"click", L"key", L"answer", L"text",
                              L"expect-no-box", L"browse-to"})
    arguments += step == name;
  if (*index + arguments > argc) return fail("step " + printable(step) + " needs an argument");
  if (arguments > 0) a = argv[(*index)++];
  if (arguments > 1) b = argv[(*index)++];
  bool needsDialog = true;
  for (const wchar_t* name : {L"timeout", L"sleep", L"clock", L"wait-closed", L"print-box", L"answer"})
    needsDialog &= step != name;
  if (needsDialog && !needDialog()) return false;
  HWND control = needsDialog ? child(gDialog, static_cast<int>(std::wcstol(a, nullptr, 10))) : nullptr;
  if ((step == L"text" || step == L"set-text") && control == nullptr) return fail("no control " + printable(a));

  if (step == L"timeout") gTimeoutMs = static_cast<DWORD>(std::wcstoul(a, nullptr, 10));
  else if (step == L"sleep") Sleep(static_cast<DWORD>(std::wcstoul(a, nullptr, 10)));
  else if (step == L"clock") {  // seconds on the performance counter, for timing a run between steps
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    say("clock " + std::to_string(static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart)));
  } else if (step == L"wait-dialog") {  // needDialog() waits for it
  } else if (step == L"wait-closed") {
    // Also true when the dialog has already gone.
    if (gDialog == nullptr) gDialog = findDialog();
    if (!waitFor([] { return gDialog == nullptr || !IsWindow(gDialog); })) return fail("the dialog did not close");
  } else if (step == L"controls") {
    // One line per control, in template order: id, visible, enabled, text.
    for (HWND at = GetWindow(gDialog, GW_CHILD); at != nullptr; at = GetWindow(at, GW_HWNDNEXT))
      say(std::to_string(controlId(at)) + (IsWindowVisible(at) ? " visible" : " hidden") +
          (IsWindowEnabled(at) ? " enabled " : " disabled ") + printable(textOf(at)));
  } else if (step == L"focus") {
    HWND focus = focusOf(gDialog);
    say("focus " + (focus != nullptr && IsChild(gDialog, focus) ? std::to_string(controlId(focus)) : std::string("none")));
  } else if (step == L"text") {
    say(printable(textOf(control)));
  } else if (step == L"set-text") {
    SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(b));
  } else if (step == L"click") {
    return clickButton(gDialog, control);
  } else if (step == L"key") {
    WPARAM key = std::wcscmp(a, L"escape") == 0 ? VK_ESCAPE : std::wcscmp(a, L"return") == 0 ? VK_RETURN
                 : std::wcscmp(a, L"tab") == 0  ? VK_TAB : 0;
    if (key == 0) return fail("unknown key " + printable(a));
    // Posted to the focused control (or the dialog), the key reaches the
    // dialog's message loop as typed input does.
    HWND target = focusOf(gDialog);
    if (target == nullptr || (target != gDialog && !IsChild(gDialog, target))) target = gDialog;
    PostMessageW(target, WM_KEYDOWN, key, 1);
    PostMessageW(target, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
  } else if (step == L"wait-box") {
    if (!waitFor([&] { return (gBox = findTopLevel(a)) != nullptr; })) return fail("no message box \"" + printable(a) + "\" appeared");
  } else if (step == L"print-box") {
    if (!needBox()) return false;
    say(describeBox(gBox));
  } else if (step == L"expect-no-box") {
    HWND box = findTopLevel(a);
    if (box != nullptr) return fail("a message box is open: " + describeBox(box));
  } else if (step == L"answer") {
    return closeCurrent(a);
  } else if (step == L"wait-progress") {
    HWND bar = child(gDialog, 1003);
    LRESULT wanted = std::wcstol(a, nullptr, 10);
    if (!waitFor([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) == wanted; }))
      return fail("the progress bar stays at " + std::to_string(SendMessageW(bar, PBM_GETPOS, 0, 0)));
  } else if (step == L"browse-to") {
    return browseTo(a);
  } else if (step == L"rect") {
    // The current box if there is one, else the dialog: WxH+X+Y on screen.
    RECT r;
    GetWindowRect(gBox != nullptr && IsWindow(gBox) ? gBox : gDialog, &r);
    say(std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top) + "+" + std::to_string(r.left) + "+" +
        std::to_string(r.top));
  } else {
    return fail("unknown step " + printable(step));
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Output lines end in LF, for the shell scripts that read them.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  for (int index = 1; index < argc;) {
    int step = index;
    if (!runStep(argc, argv, &index)) {
      fail("(at step " + std::to_string(step) + ": " + printable(argv[step]) + ")");
      return 1;
    }
  }
  return 0;
}
