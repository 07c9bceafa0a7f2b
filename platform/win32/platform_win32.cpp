// Win32 side of the platform layer: the real API. Every CP932 string is
// converted to UTF-16 with code page 932 (not CP_ACP) and the wide-character
// functions are called, so the program behaves the same whatever the
// system's ANSI code page is.
#include "platform/platform.h"
#include "platform/win32/wide_text.h"

#include <windows.h>

#include <vector>

namespace {
constexpr UINT kCp932 = 932;
}  // namespace

bool cp932ToWide(const char* text, std::wstring* wide) {
  wide->clear();
  if (text == nullptr) return false;
  if (*text == '\0') return true;
  int length = MultiByteToWideChar(kCp932, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (length <= 0) return false;
  std::vector<wchar_t> buffer(static_cast<size_t>(length));
  if (MultiByteToWideChar(kCp932, MB_ERR_INVALID_CHARS, text, -1, buffer.data(), length) <= 0) return false;
  wide->assign(buffer.data());
  return true;
}

void wideToCp932(const wchar_t* wide, std::string* text, bool* lossless) {
  text->clear();
  if (lossless != nullptr) *lossless = true;
  if (wide == nullptr || *wide == L'\0') return;
  BOOL usedDefault = FALSE;
  int length = WideCharToMultiByte(kCp932, WC_NO_BEST_FIT_CHARS, wide, -1, nullptr, 0, nullptr, &usedDefault);
  if (length <= 0) {
    if (lossless != nullptr) *lossless = false;
    return;
  }
  std::vector<char> buffer(static_cast<size_t>(length));
  WideCharToMultiByte(kCp932, WC_NO_BEST_FIT_CHARS, wide, -1, buffer.data(), length, nullptr, nullptr);
  text->assign(buffer.data());
  if (lossless != nullptr) *lossless = !usedDefault;
}

bool wideToUtf8(const wchar_t* wide, std::string* text) {
  text->clear();
  if (*wide == L'\0') return true;
  int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return false;
  std::vector<char> buffer(static_cast<size_t>(length));
  if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, buffer.data(), length, nullptr, nullptr) <= 0)
    return false;
  text->assign(buffer.data());
  return true;
}

namespace plat {

namespace {

IoFaultHook* gFaultHook = nullptr;

// A path whose bytes are not CP932 names no file.
bool widePath(const char* path, std::wstring* wide) {
  if (!cp932ToWide(path, wide)) {
    SetLastError(kErrorInvalidName);
    return false;
  }
  return true;
}

}  // namespace

bool cp932ToUtf8(const std::string& cp932, std::string* utf8) {
  std::wstring wide;
  if (!cp932ToWide(cp932.c_str(), &wide)) return false;
  return wideToUtf8(wide.c_str(), utf8);
}

bool utf8ToCp932(const std::string& utf8, std::string* cp932) {
  cp932->clear();
  if (utf8.empty()) return true;
  int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, nullptr, 0);
  if (length <= 0) return false;
  std::vector<wchar_t> wide(static_cast<size_t>(length));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, wide.data(), length);
  BOOL usedDefault = FALSE;
  int outLength = WideCharToMultiByte(kCp932, 0, wide.data(), -1, nullptr, 0, nullptr, &usedDefault);
  if (outLength <= 0 || usedDefault) return false;
  std::vector<char> out(static_cast<size_t>(outLength));
  WideCharToMultiByte(kCp932, 0, wide.data(), -1, out.data(), outLength, nullptr, nullptr);
  cp932->assign(out.data());
  return true;
}

void setIoFaultHook(IoFaultHook* hook) { gFaultHook = hook; }
IoFaultHook* ioFaultHook() { return gFaultHook; }

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = INVALID_HANDLE_VALUE; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    other.handle_ = INVALID_HANDLE_VALUE;
  }
  return *this;
}

bool File::open(const char* path, uint32_t access, uint32_t share, uint32_t disposition) {
  close();
  uint32_t refused = 0;
  if (gFaultHook && !gFaultHook->beforeOpen(path, access, disposition, &refused)) {
    SetLastError(refused);
    return false;
  }
  std::wstring wide;
  if (!widePath(path, &wide)) return false;
  if (gFaultHook && (disposition == kCreateAlways ||
                     (disposition == kOpenAlways && GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES)))
    gFaultHook->beforeChange(FileChange::Create);
  handle_ = CreateFileW(wide.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  return handle_ != INVALID_HANDLE_VALUE;
}

bool File::isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

void File::close() {
  if (handle_ != INVALID_HANDLE_VALUE) {
    // CloseHandle must not disturb the last error a caller is about to show.
    DWORD saved = GetLastError();
    CloseHandle(handle_);
    SetLastError(saved);
    handle_ = INVALID_HANDLE_VALUE;
  }
}

bool File::read(void* buffer, uint32_t count, uint32_t* transferred) {
  *transferred = 0;
  if (gFaultHook && !gFaultHook->beforeRead(&count)) {
    SetLastError(kErrorReadFault);
    return false;
  }
  DWORD done = 0;
  BOOL ok = ReadFile(handle_, buffer, count, &done, nullptr);
  *transferred = done;
  return ok != FALSE;
}

bool File::write(const void* buffer, uint32_t count, uint32_t* transferred) {
  *transferred = 0;
  if (gFaultHook && !gFaultHook->beforeWrite(&count)) {
    SetLastError(kErrorWriteFault);
    return false;
  }
  uint32_t failure = 0;
  if (gFaultHook) {
    LARGE_INTEGER zero, here, end;
    zero.QuadPart = 0;
    here.QuadPart = end.QuadPart = 0;
    SetFilePointerEx(handle_, zero, &here, FILE_CURRENT);
    GetFileSizeEx(handle_, &end);
    uint64_t reach = static_cast<uint64_t>(here.QuadPart) + count;
    uint64_t length = static_cast<uint64_t>(end.QuadPart);
    failure = gFaultHook->failWrite(reach > length ? reach - length : 0, &count);
    gFaultHook->beforeChange(FileChange::Write);
  }
  DWORD done = 0;
  BOOL ok = WriteFile(handle_, buffer, count, &done, nullptr);
  *transferred = done;
  if (ok && failure != 0) {
    SetLastError(failure);
    return false;
  }
  return ok != FALSE;
}

bool File::seek(int64_t distance, SeekOrigin origin, uint64_t* position) {
  LARGE_INTEGER move;
  move.QuadPart = distance;
  LARGE_INTEGER result;
  if (!SetFilePointerEx(handle_, move, &result, static_cast<DWORD>(origin))) return false;
  if (position != nullptr) *position = static_cast<uint64_t>(result.QuadPart);
  return true;
}

bool File::size(uint64_t* bytes) {
  LARGE_INTEGER result;
  if (!GetFileSizeEx(handle_, &result)) return false;
  *bytes = static_cast<uint64_t>(result.QuadPart);
  return true;
}

bool File::flush() { return FlushFileBuffers(handle_) != FALSE; }

bool File::truncateHere() {
  if (gFaultHook) gFaultHook->beforeChange(FileChange::Truncate);
  return SetEndOfFile(handle_) != FALSE;
}

bool copyFile(const char* from, const char* to, bool failIfExists) {
  std::wstring wideFrom, wideTo;
  if (!widePath(from, &wideFrom) || !widePath(to, &wideTo)) return false;
  if (gFaultHook) gFaultHook->beforeChange(FileChange::Create);
  return CopyFileW(wideFrom.c_str(), wideTo.c_str(), failIfExists ? TRUE : FALSE) != FALSE;
}

bool replaceFile(const char* target, const char* replacement) {
  std::wstring wideTarget, wideReplacement;
  if (!widePath(target, &wideTarget) || !widePath(replacement, &wideReplacement)) return false;
  if (gFaultHook) gFaultHook->beforeChange(FileChange::Replace);
  constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  if (GetFileAttributesW(wideTarget.c_str()) == INVALID_FILE_ATTRIBUTES)
    return MoveFileExW(wideReplacement.c_str(), wideTarget.c_str(), kMoveFlags) != FALSE;
  if (ReplaceFileW(wideTarget.c_str(), wideReplacement.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                   nullptr))
    return true;
  DWORD error = GetLastError();
  // Without a backup name, this code means the old file is gone and the new
  // one still has its own name: finish by moving it, so the target is never
  // left absent. A target that vanished meanwhile is made by the move too.
  if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
      (error == ERROR_FILE_NOT_FOUND && GetFileAttributesW(wideTarget.c_str()) == INVALID_FILE_ATTRIBUTES))
    return MoveFileExW(wideReplacement.c_str(), wideTarget.c_str(), kMoveFlags) != FALSE;
  if (error == ERROR_UNABLE_TO_REMOVE_REPLACED) {
    // Nothing changed; an open for writing tells why, in the code the
    // open itself gives (a target held open, a read-only one).
    HANDLE probe = CreateFileW(wideTarget.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return false;
    CloseHandle(probe);
  }
  SetLastError(error);
  return false;
}

namespace {

bool foundFromWide(const WIN32_FIND_DATAW& data, FoundFile* found) {
  found->attributes = data.dwFileAttributes;
  wideToCp932(data.cFileName, &found->name, &found->nameable);
  if (!found->nameable) found->name.clear();
  if (!wideToUtf8(data.cFileName, &found->utf8Name)) found->utf8Name.clear();
  return found->nameable;
}

}  // namespace

bool FileSearch::first(const char* pattern, FoundFile* found) {
  close();
  std::wstring wide;
  if (!widePath(pattern, &wide)) return false;
  WIN32_FIND_DATAW data;
  handle_ = FindFirstFileW(wide.c_str(), &data);
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  foundFromWide(data, found);
  return true;
}

bool FileSearch::next(FoundFile* found) {
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  WIN32_FIND_DATAW data;
  if (!FindNextFileW(handle_, &data)) return false;
  foundFromWide(data, found);
  return true;
}

void FileSearch::close() {
  if (handle_ != INVALID_HANDLE_VALUE) {
    FindClose(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
}

bool createFolder(const char* path) {
  std::wstring wide;
  if (!widePath(path, &wide)) return false;
  if (gFaultHook) gFaultHook->beforeChange(FileChange::Create);
  return CreateDirectoryW(wide.c_str(), nullptr) != FALSE;
}

bool deleteFile(const char* path) {
  std::wstring wide;
  if (!widePath(path, &wide)) return false;
  if (gFaultHook) gFaultHook->beforeChange(FileChange::Delete);
  return DeleteFileW(wide.c_str()) != FALSE;
}

bool currentFolder(std::string* path) {
  DWORD length = GetCurrentDirectoryW(0, nullptr);
  if (length == 0) return false;
  std::vector<wchar_t> buffer(length);
  if (GetCurrentDirectoryW(length, buffer.data()) == 0) return false;
  std::wstring wide = buffer.data();
  if (wide.size() > 3 && wide.back() == L'\\') wide.pop_back();
  bool lossless = false;
  wideToCp932(wide.c_str(), path, &lossless);
  if (!lossless) {
    SetLastError(kErrorInvalidName);
    return false;
  }
  return true;
}

bool setCurrentFolder(const char* path) {
  std::wstring wide;
  if (!widePath(path, &wide)) return false;
  return SetCurrentDirectoryW(wide.c_str()) != FALSE;
}

namespace {
UINT gConsoleOutputCodePage = 0;  // the console's own, while the tool prints UTF-8
}  // namespace

void useUtf8ConsoleOutput() {
  gConsoleOutputCodePage = GetConsoleOutputCP();  // 0 without a console
  if (gConsoleOutputCodePage != 0) SetConsoleOutputCP(CP_UTF8);
}

void restoreConsoleOutput() {
  if (gConsoleOutputCodePage != 0) SetConsoleOutputCP(gConsoleOutputCodePage);
  gConsoleOutputCodePage = 0;
}

uint32_t lastError() { return GetLastError(); }
void setLastError(uint32_t code) { SetLastError(code); }

bool systemMessage(uint32_t code, std::string* text) {
  wchar_t* message = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&message), 0,
      nullptr);
  bool ok = length > 0 && message != nullptr;
  if (ok) wideToCp932(message, text);
  if (message != nullptr) LocalFree(message);
  return ok;
}

EventHandle createManualResetEvent(const char* name, bool initiallySignalled) {
  std::wstring wide;
  if (name != nullptr && !cp932ToWide(name, &wide)) return EventHandle{};
  HANDLE event = CreateEventW(nullptr, TRUE, initiallySignalled ? TRUE : FALSE, name ? wide.c_str() : nullptr);
  return EventHandle{event};
}

bool setEvent(EventHandle event) { return SetEvent(event.raw) != FALSE; }
bool resetEvent(EventHandle event) { return ResetEvent(event.raw) != FALSE; }
void waitForever(EventHandle event) { WaitForSingleObject(event.raw, INFINITE); }

namespace {

struct ThreadStart {
  ThreadProc proc;
  void* argument;
};

DWORD WINAPI threadTrampoline(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  return start.proc(start.argument);
}

}  // namespace

ThreadHandle startThread(ThreadProc proc, void* argument, uint32_t* threadId) {
  auto* start = new ThreadStart{proc, argument};
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, threadTrampoline, start, 0, &id);
  if (thread == nullptr) {
    delete start;
    return ThreadHandle{};
  }
  if (threadId != nullptr) *threadId = id;
  return ThreadHandle{thread};
}

void joinThread(ThreadHandle thread) {
  if (thread.raw != nullptr) WaitForSingleObject(thread.raw, INFINITE);
}

void closeThreadHandle(ThreadHandle thread) {
  if (thread.raw != nullptr) CloseHandle(thread.raw);
}

void sleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace plat
