// POSIX side of the platform layer, for the native test build and the tools.
// It emulates the Windows semantics the updater relies on: CP932 paths with
// backslash separators, share modes between opens of this process, the
// read-only attribute, Windows error codes, and manual-reset events.
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <iconv.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace plat {

namespace {

thread_local uint32_t tlsLastError = 0;

// The errno values that Windows codes stand for. An errno maps to the code
// of its first row; a code's message text is that of its first row's errno.
// Rows not `mapped` only give texts.
const struct ErrnoCode {
  int error;
  uint32_t code;
  bool mapped;
} kErrnoCodes[] = {
    {ENOENT, kErrorFileNotFound, true},
    {ENOTDIR, kErrorPathNotFound, true},
    {EMFILE, kErrorTooManyOpenFiles, true},
    {ENFILE, kErrorTooManyOpenFiles, true},
    {EACCES, kErrorAccessDenied, true},
    {EPERM, kErrorAccessDenied, true},
    {EROFS, kErrorAccessDenied, true},
    {EISDIR, kErrorAccessDenied, true},
    {EBADF, kErrorInvalidHandle, true},
    {ENOMEM, kErrorNotEnoughMemory, true},
    {EEXIST, kErrorFileExists, true},
    {EINVAL, kErrorInvalidParameter, true},
    {ENOSPC, kErrorDiskFull, true},
    {EDQUOT, kErrorDiskFull, true},
    {ENAMETOOLONG, kErrorFilenameTooLong, true},
    {EIO, kErrorIoDevice, true},
    {EIO, kErrorWriteFault, false},
    {EIO, kErrorReadFault, false},
    {EILSEQ, kErrorInvalidName, false},
};

uint32_t windowsErrorFromErrno(int error) {
  for (const ErrnoCode& row : kErrnoCodes)
    if (row.mapped && row.error == error) return row.code;
  return kErrorGenFailure;
}

// Every failure ends by setting the last error: false, or no object.
bool fail(uint32_t code) {
  tlsLastError = code;
  return false;
}

std::nullptr_t refuse(uint32_t code) {
  tlsLastError = code;
  return nullptr;
}

bool failWithErrno() { return fail(windowsErrorFromErrno(errno)); }

// A call that returns 0 on success and sets errno otherwise.
bool succeeded(int result) { return result == 0 || failWithErrno(); }

// The code for an open by path that failed with `error`: Windows tells a
// missing file (2) from a missing folder on the way (3).
uint32_t openError(int error, const std::string& native) {
  size_t slash = native.rfind('/');
  struct stat st;
  if (error == ENOENT && slash != std::string::npos && slash != 0 &&
      (::stat(native.substr(0, slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
    return kErrorPathNotFound;
  return windowsErrorFromErrno(error);
}

// A conversion descriptor of one thread for one direction, opened on first
// use and kept: opening one costs far more than converting a path.
class Converter {
 public:
  Converter(const char* from, const char* to) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (valid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool convert(const std::string& in, std::string* out) {
    // Both encodings write ASCII as ASCII, and most paths are nothing else.
    if (std::all_of(in.begin(), in.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
      *out = in;
      return true;
    }
    if (!valid()) return false;
    // Back to the initial state, as a freshly opened descriptor is.
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string result(in.size() * 4 + 4, '\0');
    char* inPtr = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    char* outPtr = &result[0];
    size_t outLeft = result.size();
    size_t rc = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
    if (rc == static_cast<size_t>(-1) || inLeft != 0) return false;
    result.resize(result.size() - outLeft);
    *out = result;
    return true;
  }

 private:
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t cd_;
};

}  // namespace

bool cp932ToUtf8(const std::string& cp932, std::string* utf8) {
  thread_local Converter toUtf8("CP932", "UTF-8");
  return toUtf8.convert(cp932, utf8);
}

bool utf8ToCp932(const std::string& utf8, std::string* cp932) {
  thread_local Converter toCp932("UTF-8", "CP932");
  return toCp932.convert(utf8, cp932);
}

namespace {

// Characters that one CP932 code converts back to although another
// character converts to that code too: U+301C WAVE DASH and U+FF5E both
// become 0x8160, which reads back as U+FF5E. A file named with the other
// character (as Linux and macOS input methods type it) is found only by
// looking through its folder.
bool holdsSharedCode(const std::string& utf8) {
  static const char* const kShared[] = {"\xEF\xBD\x9E", "\xEF\xBC\x8D", "\xE2\x88\xA5", "\xEF\xBF\xA0",
                                        "\xEF\xBF\xA1", "\xEF\xBF\xA2", "\xE2\x80\x95"};
  return std::any_of(std::begin(kShared), std::end(kShared),
                     [&](const char* shared) { return utf8.find(shared) != std::string::npos; });
}

int openFolderAt(int dirFd, const std::string& native, bool noFollow) {
  return ::openat(dirFd, native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0));
}

// Calls `each` with the name of every entry of a folder until it returns
// false; false when the folder cannot be read (errno says why).
template <typename Each>
bool listFolder(int dirFd, const std::string& folder, Each each) {
  // A description of its own: a duplicate would share the folder's position.
  int listed = openFolderAt(dirFd, folder, false);
  DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
  if (dir == nullptr) {
    if (listed >= 0) ::close(listed);
    return false;
  }
  while (struct dirent* entry = ::readdir(dir))
    if (!each(entry->d_name)) break;
  ::closedir(dir);
  return true;
}

// The name a folder holds for one part (UTF-8): the part itself, or, where
// it is missing and holds a character that shares its CP932 code, the
// entry of the folder with the same CP932 form. `dirFd` is the folder
// (AT_FDCWD and `folder` "." for the current one, else `folder` its path).
std::string nameOnDisk(int dirFd, const std::string& folder, const std::string& part) {
  struct stat st;
  std::string wanted;
  if (!holdsSharedCode(part) || ::fstatat(dirFd, (folder + part).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ||
      !utf8ToCp932(part, &wanted))
    return part;
  std::string found = part;
  listFolder(dirFd, folder.empty() ? "." : folder, [&](const char* entry) {
    std::string form;
    if (!utf8ToCp932(entry, &form) || form != wanted) return true;
    found = entry;
    return false;
  });
  return found;
}

// The path as the file system holds it, part by part.
std::string pathOnDisk(const std::string& utf8) {
  struct stat st;
  if (!holdsSharedCode(utf8) || ::lstat(utf8.c_str(), &st) == 0) return utf8;
  std::string resolved;
  for (size_t start = 0;;) {
    size_t slash = utf8.find('/', start);
    resolved += nameOnDisk(AT_FDCWD, resolved, utf8.substr(start, slash == std::string::npos ? slash : slash - start));
    if (slash == std::string::npos) return resolved;
    resolved += '/';
    start = slash + 1;
  }
}

// CP932 path with backslashes -> UTF-8 path with slashes. Converting first
// means a 0x5C trail byte (as in ソ or 表) never becomes a separator.
bool nativePath(const char* path, std::string* out) {
  if (path == nullptr || *path == '\0') return fail(kErrorPathNotFound);
  std::string utf8;
  if (!cp932ToUtf8(path, &utf8)) return fail(kErrorInvalidName);
  std::replace(utf8.begin(), utf8.end(), '\\', '/');
  *out = pathOnDisk(utf8);
  return true;
}

// A UTF-8 path with slashes as this layer hands paths out: CP932 with
// backslashes (0x2F is never a CP932 trail byte).
bool cp932Path(const char* native, std::string* path) {
  if (!utf8ToCp932(native, path)) return fail(kErrorInvalidName);
  std::replace(path->begin(), path->end(), '/', '\\');
  return true;
}

// One part of a path as the folder holds it; an empty one names nothing.
bool nativeName(int dirFd, const std::string& cp932, std::string* native) {
  std::string utf8;
  if (cp932.empty() || !cp932ToUtf8(cp932, &utf8)) return fail(kErrorInvalidName);
  *native = nameOnDisk(dirFd, "", utf8);
  return true;
}

// Share modes: every open of this process is recorded by file identity, and
// a new open is refused with the sharing-violation code when it conflicts,
// exactly as Windows checks access against share mode both ways. An open's
// access is recorded as the share bits it needs of the others.
struct OpenRecord {
  dev_t device;
  ino_t inode;
  uint32_t needs;
  uint32_t share;
};
std::mutex gShareMutex;
std::map<uint64_t, OpenRecord> gOpenRecords;  // by id, from 1
uint64_t gNextOpenId = 1;

bool sameFile(const OpenRecord& held, const struct stat& st) {
  return held.device == st.st_dev && held.inode == st.st_ino;
}

// Returns the record id, or 0 on a sharing violation.
uint64_t registerOpen(const struct stat& st, uint32_t access, uint32_t share) {
  uint32_t needs = (access & kGenericRead ? kShareRead : 0) | (access & kGenericWrite ? kShareWrite : 0) |
                   (access & kDeleteAccess ? kShareDelete : 0);
  std::lock_guard<std::mutex> lock(gShareMutex);
  for (const auto& held : gOpenRecords)
    if (sameFile(held.second, st) && ((needs & ~held.second.share) || (held.second.needs & ~share))) return 0;
  gOpenRecords[gNextOpenId] = {st.st_dev, st.st_ino, needs, share};
  return gNextOpenId++;
}

void unregisterOpen(uint64_t id) {
  std::lock_guard<std::mutex> lock(gShareMutex);
  gOpenRecords.erase(id);
}

// Whether this process holds the file open: a rename onto its name is
// then refused, as Windows refuses to replace an open file.
bool heldOpen(const struct stat& st) {
  std::lock_guard<std::mutex> lock(gShareMutex);
  for (const auto& held : gOpenRecords)
    if (sameFile(held.second, st)) return true;
  return false;
}

// A folder of this side is held by a descriptor; the emulation does not
// keep others from renaming it, but every open below it goes through the
// descriptor, wherever the folder has gone.
class PosixFolder : public OpenFolder {
 public:
  PosixFolder(int fd, std::string folderPath) : fd(fd) { path = std::move(folderPath); }
  ~PosixFolder() override { ::close(fd); }
  int fd;
};

int folderFd(const OpenFolder& folder) { return static_cast<const PosixFolder&>(folder).fd; }

class PosixMapping : public MappedBytes {
 public:
  ~PosixMapping() override { ::munmap(base, mapped); }
  void* base = nullptr;
  size_t mapped = 0;
};

class PosixFile : public OpenFile {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override {
    if (folderFd_ >= 0) ::close(folderFd_);
    ::close(fd_);
    unregisterOpen(lockId_);
  }

  // The one open of this side: `native` relative to `dirFd` (AT_FDCWD for a
  // path), with the emulation's read-only attribute and share modes; with
  // `noFollow`, a symbolic link at the name is refused as Windows refuses a
  // link where none may be.
  static std::unique_ptr<PosixFile> open(int dirFd, const std::string& native, uint32_t access, uint32_t share,
                                         uint32_t disposition, bool noFollow) {
    int flags = O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0);
    flags |= !(access & kGenericWrite) ? O_RDONLY : (access & kGenericRead) ? O_RDWR : O_WRONLY;
    if (disposition == kCreateAlways || disposition == kOpenAlways) flags |= O_CREAT;
    if (disposition == kCreateNew) flags |= O_CREAT | O_EXCL;

    // A file without any write bit stands for the read-only attribute, which
    // refuses writers even to an administrator (root ignores the mode bits).
    // A reader of an existing file needs no look first: the open itself
    // tells a missing file and a link (O_NOFOLLOW), the check after it a
    // folder.
    bool readsExisting = !(access & kGenericWrite) && disposition == kOpenExisting;
    struct stat before;
    bool existed = !readsExisting && ::fstatat(dirFd, native.c_str(), &before, noFollow ? AT_SYMLINK_NOFOLLOW : 0) == 0;
    if (existed && noFollow && S_ISLNK(before.st_mode))
      return refuse(disposition == kCreateNew ? kErrorFileExists : kErrorCantAccessFile);
    if (existed && disposition == kCreateNew) return refuse(kErrorFileExists);
    if (existed && (S_ISDIR(before.st_mode) || ((access & kGenericWrite) && (before.st_mode & 0222) == 0)))
      return refuse(kErrorAccessDenied);

    int fd = ::openat(dirFd, native.c_str(), flags, 0666);
    if (fd < 0 && errno == ELOOP && noFollow) return refuse(kErrorCantAccessFile);
    if (fd < 0) return refuse(dirFd == AT_FDCWD ? openError(errno, native) : windowsErrorFromErrno(errno));
    auto file = std::make_unique<PosixFile>(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) return refuse(kErrorAccessDenied);
    file->lockId_ = registerOpen(st, access, share);
    if (file->lockId_ == 0) return refuse(kErrorSharingViolation);
    // CREATE_ALWAYS truncates, but only once the share check has passed.
    if (disposition == kCreateAlways && !file->setSize(0)) return nullptr;
    // As on Windows, opening an existing file with CREATE_ALWAYS or
    // OPEN_ALWAYS reports ERROR_ALREADY_EXISTS; a fresh open reports success.
    tlsLastError = (existed && (disposition == kCreateAlways || disposition == kOpenAlways)) ? kErrorAlreadyExists : 0;
    return file;
  }

  // For a file opened with kDeleteAccess: where its name lies (a
  // descriptor of its own on the folder), so that it can go or change.
  void holdName(int folderFd, const std::string& name) {
    folderFd_ = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
    name_ = name;
  }

  bool readAt(uint64_t offset, void* buffer, uint32_t count, uint32_t* transferred) override {
    return transfer(count, transferred, [&](uint32_t done) {
      return ::pread(fd_, static_cast<char*>(buffer) + done, count - done, static_cast<off_t>(offset + done));
    });
  }

  bool writeAt(uint64_t offset, const void* buffer, uint32_t count, uint32_t* transferred) override {
    return transfer(count, transferred, [&](uint32_t done) {
      return ::pwrite(fd_, static_cast<const char*>(buffer) + done, count - done, static_cast<off_t>(offset + done));
    });
  }

  bool size(uint64_t* bytes) override {
    struct stat st;
    if (!succeeded(::fstat(fd_, &st))) return false;
    *bytes = static_cast<uint64_t>(st.st_size);
    return true;
  }

  bool setSize(uint64_t bytes) override { return succeeded(::ftruncate(fd_, static_cast<off_t>(bytes))); }
  bool flush() override { return succeeded(::fsync(fd_)); }

  bool describe(uint32_t* names, bool* readOnly) override {
    struct stat st;
    if (!succeeded(::fstat(fd_, &st))) return false;
    *names = static_cast<uint32_t>(st.st_nlink);
    *readOnly = (st.st_mode & 0222) == 0;
    return true;
  }

  bool clearReadOnly() override {
    struct stat st;
    return succeeded(::fstat(fd_, &st)) && succeeded(::fchmod(fd_, (st.st_mode & 07777) | 0200));
  }

  bool traits(FileTraits* traits) override {
    struct stat st;
    if (!succeeded(::fstat(fd_, &st))) return false;
    *traits = FileTraits{static_cast<uint32_t>(st.st_mode & 07777), 0};
    return true;
  }

  // The mode bits stand for the attributes; the creation time has no
  // counterpart here.
  bool adoptTraits(const FileTraits& traits) override {
    return succeeded(::fchmod(fd_, static_cast<mode_t>(traits.attributes)));
  }

  // The name goes only while it still names this very file: a name that
  // someone has pointed elsewhere meanwhile is left alone.
  bool removeName() override {
    struct stat mine, named;
    if (folderFd_ < 0 || ::fstat(fd_, &mine) != 0) return fail(kErrorAccessDenied);
    if (::fstatat(folderFd_, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != mine.st_dev ||
        named.st_ino != mine.st_ino)
      return fail(kErrorFileNotFound);
    return succeeded(::unlinkat(folderFd_, name_.c_str(), 0));
  }

  bool putInPlace(const OpenFolder& folder, const std::string& name) override {
    if (folderFd_ < 0) return fail(kErrorAccessDenied);  // not opened for its name to change
    std::string native;
    int to = folderFd(folder);
    if (!nativeName(to, name, &native)) return false;
    // What Windows keeps at the name: a folder, a read-only file, an open
    // one. A link is replaced, as the rename never follows it.
    struct stat there;
    if (::fstatat(to, native.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(there.st_mode) &&
        (S_ISDIR(there.st_mode) || (there.st_mode & 0222) == 0 || heldOpen(there)))
      return fail(kErrorAccessDenied);
    if (!succeeded(::renameat(folderFd_, name_.c_str(), to, native.c_str()))) return false;
    ::close(folderFd_);
    holdName(to, native);
    tlsLastError = 0;
    return true;
  }

  std::unique_ptr<MappedBytes> map(uint64_t offset, uint32_t length) override {
    uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    uint64_t start = offset / page * page;
    size_t span = static_cast<size_t>(offset - start) + length;
    void* base = ::mmap(nullptr, span, PROT_READ, MAP_SHARED, fd_, static_cast<off_t>(start));
    if (base == MAP_FAILED) return refuse(windowsErrorFromErrno(errno));
    auto view = std::make_unique<PosixMapping>();
    view->base = base;
    view->mapped = span;
    view->bytes = static_cast<const char*>(base) + (offset - start);
    return view;
  }

 private:
  // Calls `call` with what is done so far until `count` bytes are done or
  // one moves none (the end of the file).
  template <typename Call>
  static bool transfer(uint32_t count, uint32_t* transferred, Call call) {
    *transferred = 0;
    while (*transferred < count) {
      ssize_t n = call(*transferred);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return failWithErrno();
      if (n == 0) break;
      *transferred += static_cast<uint32_t>(n);
    }
    return true;
  }

  int fd_;
  uint64_t lockId_ = 0;
  int folderFd_ = -1;
  std::string name_;
};

uint32_t attributesOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return kAttributeDirectory;
  return kAttributeNormal | ((st.st_mode & 0222) == 0 ? kAttributeReadOnly : 0);
}

void addMatch(const std::string& name, const struct stat& st, std::vector<FoundFile>* found) {
  FoundFile file;
  file.utf8Name = name;
  file.nameable = utf8ToCp932(name, &file.name);
  if (!file.nameable) file.name.clear();
  file.attributes = attributesOf(st);
  found->push_back(file);
}

class PosixFileSystem : public FileSystem {
 public:
  std::unique_ptr<OpenFile> open(const char* path, uint32_t access, uint32_t share, uint32_t disposition) override {
    std::string native;
    if (!nativePath(path, &native)) return nullptr;
    return PosixFile::open(AT_FDCWD, native, access, share, disposition, false);
  }

  std::unique_ptr<OpenFile> openIn(const OpenFolder& folder, const std::string& name, uint32_t access, uint32_t share,
                                   uint32_t disposition) override {
    std::string native;
    if (!nativeName(folderFd(folder), name, &native)) return nullptr;
    auto file = PosixFile::open(folderFd(folder), native, access, share, disposition, true);
    if (file && (access & kDeleteAccess)) file->holdName(folderFd(folder), native);
    return file;
  }

  std::unique_ptr<OpenFolder> openRoot(const char* path) override {
    std::string native;
    if (!nativePath(path, &native)) return nullptr;
    int fd = openFolderAt(AT_FDCWD, native, false);
    if (fd < 0) return refuse(errno == ENOENT ? kErrorPathNotFound : windowsErrorFromErrno(errno));
    std::string folderPath = path;
    if (folderPath.back() != '\\' && folderPath.back() != '/') folderPath += '\\';
    return std::make_unique<PosixFolder>(fd, folderPath);
  }

  std::unique_ptr<OpenFolder> openCurrent() override {
    int fd = openFolderAt(AT_FDCWD, ".", false);
    if (fd < 0) return refuse(windowsErrorFromErrno(errno));
    return std::make_unique<PosixFolder>(fd, std::string());
  }

  std::unique_ptr<OpenFolder> openChild(const OpenFolder& parent, const std::string& name, bool create) override {
    std::string native;
    int parentFd = folderFd(parent);
    if (!nativeName(parentFd, name, &native)) return nullptr;
    struct stat st;
    bool exists = ::fstatat(parentFd, native.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISLNK(st.st_mode)) return refuse(kErrorCantAccessFile);
    if (exists && !S_ISDIR(st.st_mode)) return refuse(create ? kErrorAlreadyExists : kErrorPathNotFound);
    if (!exists && !create) return refuse(kErrorPathNotFound);
    // One that another made meanwhile is opened as it stands.
    if (!exists && ::mkdirat(parentFd, native.c_str(), 0777) != 0 && errno != EEXIST)
      return refuse(windowsErrorFromErrno(errno));
    int fd = openFolderAt(parentFd, native, true);
    if (fd < 0) return refuse(errno == ELOOP ? kErrorCantAccessFile : windowsErrorFromErrno(errno));
    return std::make_unique<PosixFolder>(fd, parent.path + name + "\\");
  }

  bool attributes(const char* path, uint32_t* attributes) override {
    std::string native;
    struct stat st;
    if (!nativePath(path, &native)) return false;
    if (::stat(native.c_str(), &st) != 0) return fail(openError(errno, native));
    *attributes = attributesOf(st);
    return true;
  }

  bool createFolder(const char* path) override {
    std::string native;
    if (!nativePath(path, &native)) return false;
    if (::mkdir(native.c_str(), 0777) == 0) return true;
    return fail(errno == EEXIST ? kErrorAlreadyExists : windowsErrorFromErrno(errno));
  }

  bool deleteFile(const char* path) override {
    std::string native;
    return nativePath(path, &native) && succeeded(::unlink(native.c_str()));
  }

  bool search(const char* pattern, std::vector<FoundFile>* found) override {
    found->clear();
    std::string native;
    if (!nativePath(pattern, &native)) return false;
    size_t slash = native.rfind('/');
    std::string folder = slash == std::string::npos ? "." : native.substr(0, slash == 0 ? 1 : slash);
    std::string leaf = native.substr(slash + 1);  // all of it without a slash (npos + 1 is 0)
    if (leaf.empty()) return fail(kErrorFileNotFound);
    struct stat st;
    auto match = [&](const char* entry) {
      // Names are case-sensitive on this side, as the file system is.
      if (::fnmatch(leaf.c_str(), entry, 0) == 0 && ::stat((folder + "/" + entry).c_str(), &st) == 0)
        addMatch(entry, st, found);
      return true;
    };
    if (leaf.find_first_of("*?") == std::string::npos) {
      if (::stat(native.c_str(), &st) == 0) addMatch(leaf, st, found);
    } else if (!listFolder(AT_FDCWD, folder, match)) {
      return fail(openError(errno, native));
    }
    return !found->empty() || fail(openError(ENOENT, native));
  }
};

}  // namespace

FileSystem& systemFiles() {
  static PosixFileSystem system;
  return system;
}

bool currentFolder(std::string* path) {
  std::vector<char> buffer(4096);
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) return failWithErrno();
  return cp932Path(buffer.data(), path);
}

bool temporaryFolder(std::string* path) {
  const char* folder = ::getenv("TMPDIR");
  return cp932Path(folder == nullptr || *folder == '\0' ? "/tmp" : folder, path);
}

bool setCurrentFolder(const char* path) {
  std::string native;
  return nativePath(path, &native) && succeeded(::chdir(native.c_str()));
}

void useUtf8ConsoleOutput() {}
void restoreConsoleOutput() {}

uint32_t lastError() { return tlsLastError; }
void setLastError(uint32_t code) { tlsLastError = code; }

// The Windows codes the program shows, each with the errno that means the
// same, so a prompt carries a real system text on this side too.
bool systemMessage(uint32_t code, std::string* text) {
  const char* utf8 = code == 0 ? "Success" : code == kErrorSharingViolation ? "The file is in use by another opener"
                                                                             : nullptr;
  for (const ErrnoCode& row : kErrnoCodes)
    if (utf8 == nullptr && row.code == code) utf8 = ::strerror(row.error);
  return utf8 != nullptr && utf8ToCp932(std::string(utf8) + ".\r\n", text);
}

namespace {

struct PosixEvent {
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;
};

std::mutex gEventNamesMutex;
std::map<std::string, PosixEvent*> gNamedEvents;
std::vector<std::unique_ptr<PosixEvent>> gAllEvents;  // events live as long as the process

bool signal(EventHandle handle, bool signalled) {
  auto* event = static_cast<PosixEvent*>(handle.raw);
  if (event == nullptr) return false;
  std::lock_guard<std::mutex> lock(event->mutex);
  event->signalled = signalled;
  event->changed.notify_all();
  return true;
}

}  // namespace

// Events live as long as the process: closing one lets go of nothing.
void closeEvent(EventHandle) {}

EventHandle createManualResetEvent(const char* name, bool initiallySignalled) {
  std::lock_guard<std::mutex> lock(gEventNamesMutex);
  auto named = name != nullptr ? gNamedEvents.find(name) : gNamedEvents.end();
  if (named != gNamedEvents.end()) {
    tlsLastError = kErrorAlreadyExists;
    return EventHandle{named->second};
  }
  gAllEvents.push_back(std::make_unique<PosixEvent>());
  PosixEvent* event = gAllEvents.back().get();
  event->signalled = initiallySignalled;
  if (name != nullptr) gNamedEvents[name] = event;
  tlsLastError = 0;
  return EventHandle{event};
}

bool setEvent(EventHandle handle) { return signal(handle, true); }
bool resetEvent(EventHandle handle) { return signal(handle, false); }

void waitForever(EventHandle handle) {
  auto* event = static_cast<PosixEvent*>(handle.raw);
  if (event == nullptr) return;
  std::unique_lock<std::mutex> lock(event->mutex);
  event->changed.wait(lock, [event] { return event->signalled; });
}

// A thread handle is the std::thread itself.
ThreadHandle startThread(ThreadProc proc, void* argument) {
  try {
    return ThreadHandle{new std::thread(proc, argument)};
  } catch (const std::exception&) {  // no memory, or no thread: the standard library's only way to say so
    tlsLastError = kErrorNotEnoughMemory;
    return ThreadHandle{};
  }
}

void joinThread(ThreadHandle handle) {
  auto* thread = static_cast<std::thread*>(handle.raw);
  if (thread != nullptr && thread->joinable()) thread->join();
}

// Closing a Windows thread handle leaves the thread running; detaching
// does the same here.
void closeThreadHandle(ThreadHandle handle) {
  auto* thread = static_cast<std::thread*>(handle.raw);
  if (thread == nullptr) return;
  if (thread->joinable()) thread->detach();
  delete thread;
}

}  // namespace plat
