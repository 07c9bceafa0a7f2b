// Win32 side of the platform layer: the real API. Every CP932 string is
// converted to UTF-16 with code page 932 (not CP_ACP) and the wide-character
// functions are called, so the program behaves the same whatever the
// system's ANSI code page is.
#include "platform/platform.h"
#include "platform/cp932.h"
#include "platform/win32/wide_text.h"

#include <windows.h>
#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

constexpr UINT kCp932 = 932;

// The system's conversions, each asked first how much it writes. Text
// stops at its first NUL, which the result leaves out.
bool toWide(UINT codePage, const char* text, std::wstring* wide) {
  wide->clear();
  int length = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (length <= 0) return false;
  std::wstring buffer(static_cast<size_t>(length), L'\0');
  if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, -1, &buffer[0], length) <= 0) return false;
  wide->assign(buffer.c_str());
  return true;
}

// *usedDefault, where given, tells a character that the code page lacks.
bool fromWide(UINT codePage, DWORD flags, const wchar_t* wide, std::string* text, BOOL* usedDefault) {
  text->clear();
  int length = WideCharToMultiByte(codePage, flags, wide, -1, nullptr, 0, nullptr, usedDefault);
  if (length <= 0) return false;
  std::string buffer(static_cast<size_t>(length), '\0');
  if (WideCharToMultiByte(codePage, flags, wide, -1, &buffer[0], length, nullptr, nullptr) <= 0) return false;
  text->assign(buffer.c_str());
  return true;
}

}  // namespace

bool cp932ToWide(const char* text, std::wstring* wide) {
  if (text != nullptr) return toWide(kCp932, text, wide);
  wide->clear();
  return false;
}

void wideToCp932(const wchar_t* wide, std::string* text, bool* lossless) {
  BOOL usedDefault = FALSE;
  text->clear();
  bool whole = wide == nullptr || (fromWide(kCp932, WC_NO_BEST_FIT_CHARS, wide, text, &usedDefault) && !usedDefault);
  if (lossless != nullptr) *lossless = whole;
}

bool wideToUtf8(const wchar_t* wide, std::string* text) { return fromWide(CP_UTF8, 0, wide, text, nullptr); }

namespace plat {

namespace {

// Every failure ends by setting the last error: false, or no object.
bool fail(DWORD code) {
  SetLastError(code);
  return false;
}

std::nullptr_t refuse(DWORD code) {
  SetLastError(code);
  return nullptr;
}

// A path whose bytes are not CP932 names no file.
bool widePath(const char* path, std::wstring* wide) { return cp932ToWide(path, wide) || fail(kErrorInvalidName); }

// Text handed out by this layer: CP932 that holds every character.
bool cp932Text(const wchar_t* wide, std::string* text) {
  bool lossless = false;
  wideToCp932(wide, text, &lossless);
  return lossless || fail(kErrorInvalidName);
}

}  // namespace

bool cp932ToUtf8(const std::string& cp932, std::string* utf8) {
  std::wstring wide;
  return cp932ToWide(cp932.c_str(), &wide) && wideToUtf8(wide.c_str(), utf8);
}

bool utf8ToCp932(const std::string& utf8, std::string* cp932) {
  std::wstring wide;
  BOOL usedDefault = FALSE;
  if (toWide(CP_UTF8, utf8.c_str(), &wide) && fromWide(kCp932, 0, wide.c_str(), cp932, &usedDefault) && !usedDefault)
    return true;
  cp932->clear();
  return false;
}

namespace {

// Relative opens, which Win32 does not offer: NtCreateFile with a folder
// handle as the root, resolved once from ntdll (loaded in every process).
using NtCreateFileProc = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                          ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using StatusToErrorProc = ULONG(NTAPI*)(NTSTATUS);
using NtQueryVolumeInformationFileProc = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
using NtSetInformationFileProc = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
constexpr ULONG kFileRenameInformation = 10;

constexpr NTSTATUS kStatusObjectNameCollision = static_cast<NTSTATUS>(0xC0000035L);
constexpr NTSTATUS kStatusNotADirectory = static_cast<NTSTATUS>(0xC0000103L);

// A function of ntdll, or none.
template <typename Proc>
Proc ntdllProc(const char* name) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll == nullptr ? nullptr : reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
}

struct NativeCalls {
  NtCreateFileProc createFile = ntdllProc<NtCreateFileProc>("NtCreateFile");
  StatusToErrorProc statusToError = ntdllProc<StatusToErrorProc>("RtlNtStatusToDosError");
  NtQueryVolumeInformationFileProc queryVolume =
      ntdllProc<NtQueryVolumeInformationFileProc>("NtQueryVolumeInformationFile");
  NtSetInformationFileProc setInformation = ntdllProc<NtSetInformationFileProc>("NtSetInformationFile");
};

const NativeCalls& nativeCalls() {
  static const NativeCalls calls;
  return calls;
}

// FILE_FS_DEVICE_INFORMATION (FileFsDeviceInformation, class 4).
struct VolumeDevice {
  ULONG deviceType;
  ULONG characteristics;
};
constexpr ULONG kFileFsDeviceInformation = 4;
constexpr ULONG kDeviceDisk = 0x07;              // FILE_DEVICE_DISK
constexpr ULONG kDeviceDiskFileSystem = 0x08;    // FILE_DEVICE_DISK_FILE_SYSTEM
constexpr ULONG kRemovableOrRemote = 0x01 | 0x10;  // FILE_REMOVABLE_MEDIA | FILE_REMOTE_DEVICE

// A disk that is neither removable nor reached over a network; anything
// the volume does not say of itself counts as not.
bool onFixedLocalVolume(HANDLE file) {
  const NativeCalls& calls = nativeCalls();
  if (calls.queryVolume == nullptr) return false;
  VolumeDevice device = {};
  IO_STATUS_BLOCK io = {};
  if (calls.queryVolume(file, &io, &device, sizeof device, kFileFsDeviceInformation) < 0) return false;
  bool disk = device.deviceType == kDeviceDisk || device.deviceType == kDeviceDiskFileSystem;
  return disk && (device.characteristics & kRemovableOrRemote) == 0;
}

// Opens `name` relative to the folder handle `root` (with
// FILE_OPEN_REPARSE_POINT among the options, never following a link at the
// name). On failure the last error is the Win32 code of the status.
HANDLE openRelative(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                    ULONG options, NTSTATUS* status) {
  const NativeCalls& calls = nativeCalls();
  *status = static_cast<NTSTATUS>(0xC0000001L);
  if (calls.createFile == nullptr || calls.statusToError == nullptr || name.size() > 0x7FFF) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING text;
  text.Buffer = const_cast<PWSTR>(name.c_str());
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK io = {};
  HANDLE handle = nullptr;
  // Reading its attributes is how a handle tells a link: asked for always
  // (it takes no part in sharing).
  *status = calls.createFile(&handle, access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &object, &io, nullptr,
                             FILE_ATTRIBUTE_NORMAL, share,
                             disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (*status < 0) {
    // Win32's own code for a name that is taken.
    SetLastError(*status == kStatusObjectNameCollision ? ERROR_FILE_EXISTS : calls.statusToError(*status));
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(0);
  return handle;
}

// A reparse point that stands for another name: a symbolic link, a junction
// or a mount point (the name-surrogate tags). Other tags (files kept in the
// cloud, deduplicated files) are the file's own data. Wine shows a folder
// link by its attribute alone, with no tag.
bool isLinkTag(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (tag == 0 || IsReparseTagNameSurrogate(tag));
}

// What an open handle is: a link itself, or the file's own data behind a
// reparse point that is no link.
enum class HandleKind { Plain, Link, OtherReparse };

HandleKind handleKind(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
    // Where the tag cannot be had, a reparse point of any kind is taken
    // for a link, and so is a handle that tells nothing.
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) return HandleKind::Link;
    return information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT ? HandleKind::Link : HandleKind::Plain;
  }
  if (!(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return HandleKind::Plain;
  return isLinkTag(tag.FileAttributes, tag.ReparseTag) ? HandleKind::Link : HandleKind::OtherReparse;
}

// A link seen by its name. Windows shows it on the handle as well, which is
// what holds; Wine shows a folder link only here.
bool namedLink(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(path.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return isLinkTag(data.dwFileAttributes, data.dwReserved0);
}

// Which file a handle reaches: its volume and its index there.
bool fileIdentity(HANDLE handle, uint64_t identity[2]) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(handle, &information)) return false;
  identity[0] = information.dwVolumeSerialNumber;
  identity[1] = static_cast<uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
  return true;
}

void closeKeepingError(HANDLE handle) {
  DWORD saved = GetLastError();
  CloseHandle(handle);
  SetLastError(saved);
}

// Lets go of a handle that is not what was asked for.
std::nullptr_t refuseClosing(HANDLE handle, DWORD code) {
  CloseHandle(handle);
  return refuse(code);
}

// The folders a Folder holds are shared for reading and writing, so that
// files come and go in them, but not for deletion, so that they stay where
// they are.
constexpr ULONG kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ACCESS_MASK kFolderAccess = FILE_TRAVERSE | FILE_READ_ATTRIBUTES;



class WindowsFolder : public OpenFolder {
 public:
  WindowsFolder(HANDLE handle, std::string folderPath) : handle(handle) { path = std::move(folderPath); }
  ~WindowsFolder() override { closeKeepingError(handle); }
  HANDLE handle;
};

class WindowsMapping : public MappedBytes {
 public:
  ~WindowsMapping() override { UnmapViewOfFile(base); }
  void* base = nullptr;
};

// The attributes a replacement takes over; read-only is left out, as a
// target that carries it is never replaced, and a temporary file that
// carried it could not go again.
constexpr DWORD kTraitAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

class WindowsFile : public OpenFile {
 public:
  explicit WindowsFile(HANDLE handle) : handle_(handle) {}
  ~WindowsFile() override { closeKeepingError(handle_); }

  bool readAt(uint64_t offset, void* buffer, uint32_t count, uint32_t* transferred) override {
    OVERLAPPED at = atOffset(offset);
    DWORD done = 0;
    BOOL ok = ReadFile(handle_, buffer, count, &done, &at);
    *transferred = done;
    // Past the end a synchronous read with an offset reports the end.
    if (!ok && GetLastError() == ERROR_HANDLE_EOF) return true;
    return ok != FALSE;
  }

  bool writeAt(uint64_t offset, const void* buffer, uint32_t count, uint32_t* transferred) override {
    OVERLAPPED at = atOffset(offset);
    DWORD done = 0;
    BOOL ok = WriteFile(handle_, buffer, count, &done, &at);
    *transferred = done;
    return ok != FALSE;
  }

  bool size(uint64_t* bytes) override {
    LARGE_INTEGER result;
    if (!GetFileSizeEx(handle_, &result)) return false;
    *bytes = static_cast<uint64_t>(result.QuadPart);
    return true;
  }

  bool setSize(uint64_t bytes) override {
    FILE_END_OF_FILE_INFO end = {};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(bytes);
    return SetFileInformationByHandle(handle_, FileEndOfFileInfo, &end, sizeof end) != FALSE;
  }

  bool flush() override { return FlushFileBuffers(handle_) != FALSE; }

  bool describe(uint32_t* names, bool* readOnly) override {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle_, &information)) return false;
    *names = information.nNumberOfLinks;
    *readOnly = (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    return true;
  }

  bool clearReadOnly() override {
    FILE_BASIC_INFO basic = {};
    if (!GetFileInformationByHandleEx(handle_, FileBasicInfo, &basic, sizeof basic)) return false;
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle_, FileBasicInfo, &basic, sizeof basic) != FALSE;
  }

  bool traits(FileTraits* traits) override {
    FILE_BASIC_INFO basic = {};
    if (!GetFileInformationByHandleEx(handle_, FileBasicInfo, &basic, sizeof basic)) return false;
    traits->attributes = basic.FileAttributes & kTraitAttributes;
    traits->created = static_cast<uint64_t>(basic.CreationTime.QuadPart);
    return true;
  }

  bool adoptTraits(const FileTraits& traits) override {
    FILE_BASIC_INFO basic = {};
    if (!GetFileInformationByHandleEx(handle_, FileBasicInfo, &basic, sizeof basic)) return false;
    // Zero times are left as they are.
    FILE_BASIC_INFO changed = {};
    changed.CreationTime.QuadPart = static_cast<LONGLONG>(traits.created);
    changed.FileAttributes = (basic.FileAttributes & ~kTraitAttributes) | traits.attributes;
    if (changed.FileAttributes == 0) changed.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle_, FileBasicInfo, &changed, sizeof changed) != FALSE;
  }

  bool removeName() override {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle_, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
  }

  bool putInPlace(const OpenFolder& folder, const std::string& name) override {
    std::wstring wideName;
    if (!widePath(name.c_str(), &wideName)) return false;
    const NativeCalls& calls = nativeCalls();
    if (calls.setInformation == nullptr || calls.statusToError == nullptr || wideName.size() > 0x7FFF)
      return fail(ERROR_INVALID_FUNCTION);
    // FILE_RENAME_INFORMATION, the name right after the fixed fields; the
    // words keep it aligned.
    struct RenameInformation {
      BOOLEAN replaceIfExists;
      HANDLE rootDirectory;
      ULONG fileNameLength;
      WCHAR fileName[1];
    };
    size_t bytes = offsetof(RenameInformation, fileName) + wideName.size() * sizeof(wchar_t);
    std::vector<uint64_t> words(bytes / sizeof(uint64_t) + 1);
    auto* information = reinterpret_cast<RenameInformation*>(words.data());
    information->replaceIfExists = TRUE;
    information->rootDirectory = static_cast<const WindowsFolder&>(folder).handle;
    information->fileNameLength = static_cast<ULONG>(wideName.size() * sizeof(wchar_t));
    std::memcpy(reinterpret_cast<unsigned char*>(words.data()) + offsetof(RenameInformation, fileName), wideName.data(),
                wideName.size() * sizeof(wchar_t));
    IO_STATUS_BLOCK io = {};
    NTSTATUS status =
        calls.setInformation(handle_, &io, information, static_cast<ULONG>(bytes), kFileRenameInformation);
    if (status < 0) return fail(calls.statusToError(status));
    SetLastError(0);
    return true;
  }

  std::unique_ptr<MappedBytes> map(uint64_t offset, uint32_t length) override {
    if (!onFixedLocalVolume(handle_)) return refuse(kErrorNotSupported);
    HANDLE mapping = CreateFileMappingW(handle_, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) return nullptr;
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    uint64_t start = offset / system.dwAllocationGranularity * system.dwAllocationGranularity;
    size_t span = static_cast<size_t>(offset - start) + length;
    void* base = MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(start >> 32), static_cast<DWORD>(start), span);
    DWORD error = GetLastError();
    CloseHandle(mapping);  // the view keeps what it needs
    if (base == nullptr) return refuse(error);
    auto view = std::make_unique<WindowsMapping>();
    view->base = base;
    view->bytes = static_cast<const char*>(base) + (offset - start);
    return view;
  }

 private:
  static OVERLAPPED atOffset(uint64_t offset) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
  }
  HANDLE handle_;
};

class WindowsFileSystem : public FileSystem {
 public:
  std::unique_ptr<OpenFile> open(const char* path, uint32_t access, uint32_t share, uint32_t disposition) override {
    std::wstring wide;
    if (!widePath(path, &wide)) return nullptr;
    HANDLE handle = CreateFileW(wide.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<WindowsFile>(handle);
  }

  std::unique_ptr<OpenFile> openIn(const OpenFolder& folder, const std::string& name, uint32_t access, uint32_t share,
                                   uint32_t disposition) override {
    std::wstring wideName;
    if (!widePath(name.c_str(), &wideName)) return nullptr;
    HANDLE root = static_cast<const WindowsFolder&>(folder).handle;
    ULONG how = disposition == kCreateNew ? FILE_CREATE : FILE_OPEN;
    NTSTATUS status = 0;
    HANDLE handle =
        openRelative(root, wideName, access, share, how, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, &status);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    HandleKind kind = handleKind(handle);
    if (kind == HandleKind::OtherReparse) {
      // The file's data lies behind its reparse point: opened again through
      // it (once the first open is closed, which would share with it), and
      // taken only when that is the very file checked; another is refused
      // as a link is.
      uint64_t checked[2] = {}, reached[2] = {};
      bool known = fileIdentity(handle, checked);
      CloseHandle(handle);
      handle = known ? openRelative(root, wideName, access, share, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &status)
                     : INVALID_HANDLE_VALUE;
      if (handle == INVALID_HANDLE_VALUE) return nullptr;
      bool same = fileIdentity(handle, reached) && reached[0] == checked[0] && reached[1] == checked[1];
      kind = same ? HandleKind::Plain : HandleKind::Link;
    }
    if (kind == HandleKind::Link) return refuseClosing(handle, kErrorCantAccessFile);
    SetLastError(0);
    return std::make_unique<WindowsFile>(handle);
  }

  std::unique_ptr<OpenFolder> openRoot(const char* path) override {
    std::wstring wide;
    if (!widePath(path, &wide)) return nullptr;
    HANDLE handle = CreateFileW(wide.c_str(), kFolderAccess | SYNCHRONIZE, kFolderShare, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information) || !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      return refuseClosing(handle, ERROR_PATH_NOT_FOUND);
    std::string folderPath = path;
    if (!endsWithBackslash(folderPath)) folderPath += '\\';
    return std::make_unique<WindowsFolder>(handle, folderPath);
  }

  std::unique_ptr<OpenFolder> openCurrent() override {
    std::unique_ptr<OpenFolder> folder = openRoot(".");
    if (folder) folder->path.clear();
    return folder;
  }

  std::unique_ptr<OpenFolder> openChild(const OpenFolder& parent, const std::string& name, bool create) override {
    std::wstring wideName, widePathText;
    if (!widePath(name.c_str(), &wideName) || !widePath((parent.path + name).c_str(), &widePathText)) return nullptr;
    if (namedLink(widePathText)) return refuse(kErrorCantAccessFile);
    NTSTATUS status = 0;
    HANDLE handle = openRelative(static_cast<const WindowsFolder&>(parent).handle, wideName, kFolderAccess, kFolderShare,
                                 create ? FILE_OPEN_IF : FILE_OPEN,
                                 FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT, &status);
    if (handle == INVALID_HANDLE_VALUE) {
      // A missing folder on the way is a missing path; a file where the
      // folder would be is a missing path too, or a name already taken.
      DWORD error = GetLastError();
      if (status == kStatusNotADirectory) error = create ? ERROR_ALREADY_EXISTS : ERROR_PATH_NOT_FOUND;
      return refuse(error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error);
    }
    if (handleKind(handle) == HandleKind::Link) return refuseClosing(handle, kErrorCantAccessFile);
    return std::make_unique<WindowsFolder>(handle, parent.path + name + "\\");
  }

  bool attributes(const char* path, uint32_t* attributes) override {
    std::wstring wide;
    if (!widePath(path, &wide)) return false;
    DWORD found = GetFileAttributesW(wide.c_str());
    if (found == INVALID_FILE_ATTRIBUTES) return false;
    *attributes = found;
    return true;
  }

  bool createFolder(const char* path) override {
    std::wstring wide;
    return widePath(path, &wide) && CreateDirectoryW(wide.c_str(), nullptr) != FALSE;
  }

  bool deleteFile(const char* path) override {
    std::wstring wide;
    return widePath(path, &wide) && DeleteFileW(wide.c_str()) != FALSE;
  }

  bool search(const char* pattern, std::vector<FoundFile>* found) override {
    found->clear();
    std::wstring wide;
    if (!widePath(pattern, &wide)) return false;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(wide.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
      FoundFile file;
      file.attributes = data.dwFileAttributes;
      wideToCp932(data.cFileName, &file.name, &file.nameable);
      if (!file.nameable) file.name.clear();
      wideToUtf8(data.cFileName, &file.utf8Name);  // empty where it fails
      found->push_back(file);
    } while (FindNextFileW(search, &data));
    FindClose(search);
    return true;
  }
};

}  // namespace

FileSystem& systemFiles() {
  static WindowsFileSystem system;
  return system;
}

bool currentFolder(std::string* path) {
  DWORD length = GetCurrentDirectoryW(0, nullptr);
  if (length == 0) return false;
  std::vector<wchar_t> buffer(length);
  if (GetCurrentDirectoryW(length, buffer.data()) == 0) return false;
  std::wstring wide = buffer.data();
  if (wide.size() > 3 && wide.back() == L'\\') wide.pop_back();
  return cp932Text(wide.c_str(), path);
}

bool temporaryFolder(std::string* path) {
  wchar_t buffer[MAX_PATH + 2];
  DWORD length = GetTempPathW(MAX_PATH + 2, buffer);
  if (length == 0 || length > MAX_PATH + 1) return false;
  return cp932Text(buffer, path);
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

void closeEvent(EventHandle event) {
  if (event.raw != nullptr) CloseHandle(event.raw);
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

ThreadHandle startThread(ThreadProc proc, void* argument) {
  auto* start = new ThreadStart{proc, argument};
  HANDLE thread = CreateThread(nullptr, 0, threadTrampoline, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return ThreadHandle{};
  }
  return ThreadHandle{thread};
}

void joinThread(ThreadHandle thread) {
  if (thread.raw != nullptr) WaitForSingleObject(thread.raw, INFINITE);
}

void closeThreadHandle(ThreadHandle thread) {
  if (thread.raw != nullptr) CloseHandle(thread.raw);
}

}  // namespace plat
