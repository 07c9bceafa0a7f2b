#include "tests/support/test_files.h"

#include <filesystem>
#include <fstream>
#include <random>

#include "archive/archive_writer.h"
#include "platform/cp932.h"
#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

// A CP932 path as the host's own: UTF-8 underneath, slashes on POSIX.
fs::path hostPath(const std::string& cp932) {
  std::string utf8 = utf8Of(cp932);
#ifndef _WIN32
  for (char& c : utf8)
    if (c == '\\') c = '/';
#endif
  return fs::u8path(utf8);
}

std::string cp932Of(const fs::path& path) {
  std::string cp932;
  return plat::utf8ToCp932(path.u8string(), &cp932) ? cp932 : "";
}

// Makes every folder that a separator of the path ends (a trail byte 0x5C
// ends none).
void makeParents(const std::string& path) {
  for (size_t i = 0; i < path.size(); ++i)
    if (isCp932LeadByte(static_cast<unsigned char>(path[i])))
      ++i;
    else if (path[i] == '\\' && i > 0)
      plat::createFolder(path.substr(0, i).c_str());
}

}  // namespace

TempFolder::TempFolder() {
  std::random_device random;
  std::error_code error;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    fs::path candidate = fs::temp_directory_path(error) / ("updater-test-" + std::to_string(random()));
    if (fs::create_directory(candidate, error)) path_ = cp932Of(candidate) + "\\";
  }
}

TempFolder::~TempFolder() {
  if (path_.empty()) return;
  std::error_code error;
  fs::path root = hostPath(path_.substr(0, path_.size() - 1));
  // Read-only files are made writable first, or Windows keeps them.
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
  fs::remove_all(root, error);
}

CurrentDirectory::CurrentDirectory(const std::string& folder) {
  plat::currentFolder(&previous_);
  plat::setCurrentFolder(folder.c_str());
}

CurrentDirectory::~CurrentDirectory() { plat::setCurrentFolder(previous_.c_str()); }

bool writeFile(const std::string& path, const std::string& bytes) {
  plat::File file;
  return file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways) &&
         file.writeExactly(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool writeFileAndFolders(const std::string& path, const std::string& bytes) {
  makeParents(path);
  return writeFile(path, bytes);
}

bool readFile(const std::string& path, std::string* bytes) {
  plat::File file;
  uint64_t size = 0;
  if (!file.open(path.c_str(), plat::kGenericRead, plat::kShareRead | plat::kShareWrite, plat::kOpenExisting) ||
      !file.size(&size))
    return false;
  bytes->assign(static_cast<size_t>(size), '\0');
  return size == 0 || file.readExactly(&(*bytes)[0], static_cast<uint32_t>(size));
}

std::string readFileOrEmpty(const std::string& path) {
  std::string bytes;
  return readFile(path, &bytes) ? bytes : "";
}

bool writeArchiveFile(const std::string& path, const ArchiveEntries& entries) {
  ArchiveWriter writer;
  if (!writer.create(path.c_str())) return false;
  for (const auto& [name, bytes] : entries) {
    Content content;
    if (!holdContent(bytes.data(), static_cast<uint32_t>(bytes.size()), &content) || !writer.add(name, content))
      return false;
  }
  return writer.finish();
}

std::string archiveBytes(const ArchiveEntries& entries) {
  static const TempFolder scratch;
  return writeArchiveFile(scratch / "archive", entries) ? readFileOrEmpty(scratch / "archive") : "";
}

// Both through the platform layer's own mapping of names.
static bool isPresent(std::string path, bool folder) {
  if (!path.empty() && path.back() == '\\') path.pop_back();
  plat::FileSearch search;
  plat::FoundFile found;
  return search.first(path.c_str(), &found) && !(found.attributes & plat::kAttributeDirectory) == !folder;
}

bool fileIsPresent(const std::string& path) { return isPresent(path, false); }

bool makeFolder(const std::string& path) {
  makeParents(path + "\\");
  return isPresent(path, true);
}

bool removeTree(const std::string& path) {
  std::error_code error;
  fs::remove_all(hostPath(path), error);
  return !error;
}

std::map<std::string, std::string> filesBelow(const std::string& folder) {
  std::map<std::string, std::string> files;
  std::error_code error;
  fs::path root = hostPath(folder.substr(0, folder.size() - 1));
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error))
    if (it->is_regular_file(error)) {
      std::string name = cp932Of(it->path().lexically_relative(root).make_preferred());
      for (char& c : name)
        if (c == '/') c = '\\';
      // A file too large to hold (a sparse one) by its size.
      uintmax_t size = it->file_size(error);
      files[name] = size > (64u << 20) ? "<" + std::to_string(size) + " bytes>" : readFileOrEmpty(folder + name);
    }
  return files;
}

int64_t modificationStamp(const std::string& path) {
  std::error_code error;
  return fs::last_write_time(hostPath(path), error).time_since_epoch().count();
}

bool makeReadOnly(const std::string& path) {
  std::error_code error;
  fs::permissions(hostPath(path), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove, error);
  return !error;
}

bool giveUnusualTraits(const std::string& path) {
#ifdef _WIN32
  return SetFileAttributesW(hostPath(path).wstring().c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) != FALSE;
#else
  std::error_code error;
  fs::permissions(hostPath(path), fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, error);
  return !error;
#endif
}

bool writeFileNamedInUtf8(const std::string& folder, const std::string& utf8Name, const std::string& bytes) {
  std::ofstream file(hostPath(folder) / fs::u8path(utf8Name), std::ios::binary);
  return file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) && file.flush();
}

#ifdef _WIN32
namespace {

// Wine makes no symbolic links of its own; another program of the machine,
// the system's ln, does, as it would beside a game. Wine then shows them
// as they lie on disk.
bool symlinkBesideWine(const fs::path& link, const fs::path& target) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  auto unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == nullptr) return false;
  char* unixLink = unixName(link.wstring().c_str());
  char* unixTarget = unixName(target.wstring().c_str());
  std::string command = std::string("ln -s \"") + (unixTarget ? unixTarget : "") + "\" \"" + (unixLink ? unixLink : "") + "\"";
  HeapFree(GetProcessHeap(), 0, unixLink);
  HeapFree(GetProcessHeap(), 0, unixTarget);
  std::wstring wide(command.size() + 1, L'\0');
  wide.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, command.c_str(), -1, &wide[0], static_cast<int>(wide.size()))));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(L"Z:\\bin\\ln", &wide[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // Wine cannot wait for a program of the machine: the link is awaited.
  for (int tries = 0; tries < 500; ++tries) {
    if (GetFileAttributesW(link.wstring().c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    Sleep(10);
  }
  return false;
}

}  // namespace
#endif

bool makeLink(LinkKind kind, const std::string& link, const std::string& target) {
  std::error_code error;
  fs::path from = hostPath(target), to = hostPath(link);
  if (kind == LinkKind::File) fs::create_symlink(from, to, error);
  if (kind == LinkKind::Folder) fs::create_directory_symlink(from, to, error);
  if (kind == LinkKind::SecondName) fs::create_hard_link(from, to, error);
#ifdef _WIN32
  if (error && kind != LinkKind::SecondName) return symlinkBesideWine(to, from);
#endif
  return !error;
}

bool readOnlyAttributeHolds() {
  static const bool holds = [] {
    TempFolder probe;
    plat::File file;
    return writeFile(probe / "x", "x") && makeReadOnly(probe / "x") &&
           !file.open((probe / "x").c_str(), plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting);
  }();
  return holds;
}

std::string utf8Of(const std::string& cp932) {
  std::string utf8;
  plat::cp932ToUtf8(cp932, &utf8);
  return utf8;
}
