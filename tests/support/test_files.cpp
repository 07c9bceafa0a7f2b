#include "tests/support/test_files.h"

#include <atomic>
#include <cstdio>
#include <vector>

#include "platform/cp932.h"
#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
std::wstring wide(const std::string& cp932) {
  int length = MultiByteToWideChar(932, 0, cp932.c_str(), -1, nullptr, 0);
  std::vector<wchar_t> buffer(static_cast<size_t>(length > 0 ? length : 1));
  MultiByteToWideChar(932, 0, cp932.c_str(), -1, buffer.data(), length);
  return buffer.data();
}

std::string narrow(const std::wstring& text) {
  int length = WideCharToMultiByte(932, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::vector<char> buffer(static_cast<size_t>(length > 0 ? length : 1));
  WideCharToMultiByte(932, 0, text.c_str(), -1, buffer.data(), length, nullptr, nullptr);
  return buffer.data();
}

void removeTree(const std::wstring& folder) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full = folder + L"\\" + name;
      SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        removeTree(full);
      else
        DeleteFileW(full.c_str());
    } while (FindNextFileW(search, &data));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}
#else
std::string native(const std::string& cp932) {
  std::string utf8;
  plat::cp932ToUtf8(cp932, &utf8);
  for (char& c : utf8)
    if (c == '\\') c = '/';
  return utf8;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }
#endif

std::atomic<int> gFolderSerial{0};

}  // namespace

TempFolder::TempFolder() {
#ifdef _WIN32
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  for (;;) {
    std::wstring candidate = std::wstring(base) + L"updater-test-" + std::to_wstring(GetCurrentProcessId()) +
                             L"-" + std::to_wstring(gFolderSerial++);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = narrow(candidate) + "\\";
      break;
    }
  }
#else
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/updater-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) path_ = std::string(buffer.data()) + "\\";
  (void)gFolderSerial;
#endif
}

TempFolder::~TempFolder() {
  if (path_.empty()) return;
#ifdef _WIN32
  removeTree(wide(path_.substr(0, path_.size() - 1)));
#else
  std::string folder = native(path_.substr(0, path_.size() - 1));
  // Give back write permission first, so read-only test files go too.
  nftw(folder.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return chmod(p, 0755) * 0; }, 16,
       FTW_PHYS);
  nftw(folder.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
#endif
}

CurrentDirectory::CurrentDirectory(const std::string& folder) {
#ifdef _WIN32
  wchar_t buffer[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, buffer);
  previous_ = narrow(buffer);
  SetCurrentDirectoryW(wide(folder).c_str());
#else
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) != nullptr) previous_ = buffer;
  if (chdir(native(folder).c_str()) != 0) std::perror("chdir");
#endif
}

CurrentDirectory::~CurrentDirectory() {
#ifdef _WIN32
  SetCurrentDirectoryW(wide(previous_).c_str());
#else
  if (chdir(previous_.c_str()) != 0) std::perror("chdir");
#endif
}

bool writeFile(const std::string& path, const std::string& bytes) {
  plat::File file;
  if (!file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways)) return false;
  return file.writeExactly(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool readFile(const std::string& path, std::string* bytes) {
  plat::File file;
  if (!file.open(path.c_str(), plat::kGenericRead, plat::kShareRead | plat::kShareWrite, plat::kOpenExisting))
    return false;
  uint64_t size = 0;
  if (!file.size(&size)) return false;
  bytes->assign(static_cast<size_t>(size), '\0');
  return size == 0 || file.readExactly(&(*bytes)[0], static_cast<uint32_t>(size));
}

std::string readFileOrEmpty(const std::string& path) {
  std::string bytes;
  readFile(path, &bytes);
  return bytes;
}

bool fileIsPresent(const std::string& path) {
  plat::FileSearch search;
  plat::FoundFile found;
  return search.first(path.c_str(), &found) && !(found.attributes & plat::kAttributeDirectory);
}

bool makeFolder(const std::string& path) {
  std::string partial;
  for (size_t i = 0; i < path.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(path[i]);
    partial.push_back(path[i]);
    bool lead = isCp932LeadByte(byte);
    if (lead && i + 1 < path.size()) {
      partial.push_back(path[++i]);
      continue;
    }
    if ((byte == '\\' || i + 1 == path.size()) && partial.size() > 1) plat::createFolder(partial.c_str());
  }
  plat::FileSearch search;
  plat::FoundFile found;
  std::string probe = path;
  if (!probe.empty() && probe.back() == '\\') probe.pop_back();
  return search.first(probe.c_str(), &found) && (found.attributes & plat::kAttributeDirectory);
}

int64_t modificationStamp(const std::string& path) {
#ifdef _WIN32
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
#else
  struct stat st;
  if (stat(native(path).c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
#endif
}

bool makeReadOnly(const std::string& path) {
#ifdef _WIN32
  return SetFileAttributesW(wide(path).c_str(), FILE_ATTRIBUTE_READONLY) != FALSE;
#else
  return chmod(native(path).c_str(), 0444) == 0;
#endif
}

bool writeFileNamedInUtf8(const std::string& folder, const std::string& utf8Name, const std::string& bytes) {
#ifdef _WIN32
  int length = MultiByteToWideChar(CP_UTF8, 0, utf8Name.c_str(), -1, nullptr, 0);
  std::vector<wchar_t> name(static_cast<size_t>(length > 0 ? length : 1));
  MultiByteToWideChar(CP_UTF8, 0, utf8Name.c_str(), -1, name.data(), length);
  HANDLE file = CreateFileW((wide(folder) + name.data()).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
#else
  FILE* file = std::fopen((native(folder) + utf8Name).c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
#endif
}

bool readOnlyAttributeHolds() {
  static const bool holds = [] {
    TempFolder folder;
    std::string path = folder / "probe.dat";
    if (!writeFile(path, "x") || !makeReadOnly(path)) return false;
    plat::File file;
    return !file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting);
  }();
  return holds;
}

std::string utf8Of(const std::string& cp932) {
  std::string utf8;
  plat::cp932ToUtf8(cp932, &utf8);
  return utf8;
}
