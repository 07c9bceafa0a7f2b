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
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace plat {

namespace {

thread_local uint32_t tlsLastError = 0;

uint32_t windowsErrorFromErrno(int error) {
  switch (error) {
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return kErrorAccessDenied;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EEXIST: return kErrorFileExists;
    case EINVAL: return kErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case ENAMETOOLONG: return kErrorFilenameTooLong;
    case EIO: return kErrorIoDevice;
    default: return kErrorGenFailure;
  }
}

void failWithErrno() { tlsLastError = windowsErrorFromErrno(errno); }

// Windows tells a missing file (2) from a missing folder on the way (3).
void failOpenWithErrno(const std::string& native) {
  int error = errno;
  tlsLastError = windowsErrorFromErrno(error);
  if (error != ENOENT) return;
  size_t slash = native.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  struct stat st;
  if (::stat(native.substr(0, slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) tlsLastError = kErrorPathNotFound;
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
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  // Back to the initial state, as a freshly opened descriptor is.
  iconv_t reset() {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    return cd_;
  }

 private:
  iconv_t cd_;
};

enum class Conversion { Cp932ToUtf8, Utf8ToCp932 };

bool convert(Conversion conversion, const std::string& in, std::string* out) {
  thread_local Converter toUtf8("CP932", "UTF-8");
  thread_local Converter toCp932("UTF-8", "CP932");
  // Both encodings write ASCII as ASCII, and most paths are nothing else.
  if (std::all_of(in.begin(), in.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    *out = in;
    return true;
  }
  Converter& converter = conversion == Conversion::Cp932ToUtf8 ? toUtf8 : toCp932;
  if (!converter.valid()) return false;
  iconv_t cd = converter.reset();
  std::string result;
  result.resize(in.size() * 4 + 4);
  char* inPtr = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  char* outPtr = &result[0];
  size_t outLeft = result.size();
  size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  if (rc == static_cast<size_t>(-1) || inLeft != 0) return false;
  result.resize(result.size() - outLeft);
  *out = result;
  return true;
}

bool cp932FromUtf8(const std::string& utf8, std::string* cp932) { return convert(Conversion::Utf8ToCp932, utf8, cp932); }

// Characters that one CP932 code converts back to although another
// character converts to that code too: U+301C WAVE DASH and U+FF5E both
// become 0x8160, which reads back as U+FF5E. A file named with the other
// character (as Linux and macOS input methods type it) is found only by
// looking through its folder.
bool holdsSharedCode(const std::string& utf8) {
  static const char* const kShared[] = {"\xEF\xBD\x9E", "\xEF\xBC\x8D", "\xE2\x88\xA5", "\xEF\xBF\xA0",
                                        "\xEF\xBF\xA1", "\xEF\xBF\xA2", "\xE2\x80\x95"};
  for (const char* shared : kShared)
    if (utf8.find(shared) != std::string::npos) return true;
  return false;
}

// The name a folder holds for one part (UTF-8): the part itself, or, where
// it is missing and holds a character that shares its CP932 code, the
// entry of the folder with the same CP932 form. `dirFd` is the folder
// (AT_FDCWD and `folder` "." for the current one, else `folder` its path).
std::string nameOnDisk(int dirFd, const std::string& folder, const std::string& part) {
  struct stat st;
  std::string wanted;
  if (!holdsSharedCode(part) || ::fstatat(dirFd, (folder + part).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ||
      !cp932FromUtf8(part, &wanted))
    return part;
  // A description of its own: a duplicate would share the folder's position.
  int listed = ::openat(dirFd, folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
  if (dir == nullptr) {
    if (listed >= 0) ::close(listed);
    return part;
  }
  std::string found = part;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string form;
    if (cp932FromUtf8(entry->d_name, &form) && form == wanted) {
      found = entry->d_name;
      break;
    }
  }
  ::closedir(dir);
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
  if (path == nullptr || *path == '\0') {
    tlsLastError = kErrorPathNotFound;
    return false;
  }
  std::string utf8;
  if (!cp932ToUtf8(path, &utf8)) {
    tlsLastError = kErrorInvalidName;
    return false;
  }
  for (char& c : utf8)
    if (c == '\\') c = '/';
  *out = pathOnDisk(utf8);
  return true;
}

// Share modes: every open of this process is recorded by file identity, and
// a new open is refused with the sharing-violation code when it conflicts,
// exactly as Windows checks access against share mode both ways.
struct OpenRecord {
  uint64_t id;
  dev_t device;
  ino_t inode;
  uint32_t access;
  uint32_t share;
};
std::mutex gShareMutex;
std::vector<OpenRecord> gOpenRecords;
uint64_t gNextOpenId = 1;

bool conflicts(const OpenRecord& held, uint32_t access, uint32_t share) {
  if ((access & kGenericRead) && !(held.share & kShareRead)) return true;
  if ((access & kGenericWrite) && !(held.share & kShareWrite)) return true;
  if ((access & kDeleteAccess) && !(held.share & kShareDelete)) return true;
  if ((held.access & kGenericRead) && !(share & kShareRead)) return true;
  if ((held.access & kGenericWrite) && !(share & kShareWrite)) return true;
  if ((held.access & kDeleteAccess) && !(share & kShareDelete)) return true;
  return false;
}

// Returns the record id, or 0 on a sharing violation.
uint64_t registerOpen(const struct stat& st, uint32_t access, uint32_t share) {
  std::lock_guard<std::mutex> lock(gShareMutex);
  for (const OpenRecord& held : gOpenRecords)
    if (held.device == st.st_dev && held.inode == st.st_ino && conflicts(held, access, share))
      return 0;
  uint64_t id = gNextOpenId++;
  gOpenRecords.push_back({id, st.st_dev, st.st_ino, access, share});
  return id;
}

void unregisterOpen(uint64_t id) {
  std::lock_guard<std::mutex> lock(gShareMutex);
  for (size_t i = 0; i < gOpenRecords.size(); ++i)
    if (gOpenRecords[i].id == id) {
      gOpenRecords.erase(gOpenRecords.begin() + static_cast<long>(i));
      return;
    }
}

}  // namespace

bool cp932ToUtf8(const std::string& cp932, std::string* utf8) {
  return convert(Conversion::Cp932ToUtf8, cp932, utf8);
}

bool utf8ToCp932(const std::string& utf8, std::string* cp932) {
  return convert(Conversion::Utf8ToCp932, utf8, cp932);
}

namespace {

// The one open of this side: `native` relative to `dirFd` (AT_FDCWD for a
// path), with the emulation's read-only attribute and share modes; with
// `noFollow`, a symbolic link at the name is refused as Windows refuses a
// link where none may be.
int openAt(int dirFd, const std::string& native, uint32_t access, uint32_t share, uint32_t disposition, bool noFollow,
           uint64_t* lockId) {
  int flags = O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0);
  if ((access & kGenericRead) && (access & kGenericWrite))
    flags |= O_RDWR;
  else if (access & kGenericWrite)
    flags |= O_WRONLY;
  else
    flags |= O_RDONLY;
  if (disposition == kCreateAlways || disposition == kOpenAlways) flags |= O_CREAT;
  if (disposition == kCreateNew) flags |= O_CREAT | O_EXCL;

  // A file without any write bit stands for the read-only attribute, which
  // refuses writers even to an administrator (root ignores the mode bits).
  // A reader of an existing file needs no look first: the open itself
  // tells a missing file, and the check after it a folder.
  bool readsExisting = !(access & kGenericWrite) && disposition == kOpenExisting && !noFollow;
  struct stat before;
  bool existed = !readsExisting && ::fstatat(dirFd, native.c_str(), &before, noFollow ? AT_SYMLINK_NOFOLLOW : 0) == 0;
  if (existed && noFollow && S_ISLNK(before.st_mode)) {
    tlsLastError = disposition == kCreateNew ? kErrorFileExists : kErrorCantAccessFile;
    return -1;
  }
  if (existed && disposition == kCreateNew) {
    tlsLastError = kErrorFileExists;
    return -1;
  }
  if (existed && S_ISDIR(before.st_mode)) {
    tlsLastError = kErrorAccessDenied;
    return -1;
  }
  if (existed && (access & kGenericWrite) && (before.st_mode & 0222) == 0) {
    tlsLastError = kErrorAccessDenied;
    return -1;
  }

  int fd = ::openat(dirFd, native.c_str(), flags, 0666);
  if (fd < 0) {
    if (errno == ELOOP && noFollow) {
      tlsLastError = kErrorCantAccessFile;
    } else if (dirFd == AT_FDCWD) {
      failOpenWithErrno(native);
    } else {
      failWithErrno();
    }
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    tlsLastError = kErrorAccessDenied;
    return -1;
  }
  uint64_t id = registerOpen(st, access, share);
  if (id == 0) {
    ::close(fd);
    tlsLastError = kErrorSharingViolation;
    return -1;
  }
  // CREATE_ALWAYS truncates, but only once the share check has passed.
  if (disposition == kCreateAlways && ::ftruncate(fd, 0) != 0) {
    failWithErrno();
    unregisterOpen(id);
    ::close(fd);
    return -1;
  }
  *lockId = id;
  // As on Windows, opening an existing file with CREATE_ALWAYS or
  // OPEN_ALWAYS reports ERROR_ALREADY_EXISTS; a fresh open reports success.
  tlsLastError = (existed && (disposition == kCreateAlways || disposition == kOpenAlways)) ? kErrorAlreadyExists : 0;
  return fd;
}

// One part of a path as the folder holds it.
bool nativeName(int dirFd, const std::string& cp932, std::string* native) {
  std::string utf8;
  if (!cp932ToUtf8(cp932, &utf8)) {
    tlsLastError = kErrorInvalidName;
    return false;
  }
  *native = nameOnDisk(dirFd, "", utf8);
  return true;
}

// The status of an open descriptor.
bool statOpen(int fd, struct stat* st) {
  if (::fstat(fd, st) == 0) return true;
  failWithErrno();
  return false;
}

// Whether this process holds the file open: a rename onto its name is
// then refused, as Windows refuses to replace an open file.
bool heldOpen(const struct stat& st) {
  std::lock_guard<std::mutex> lock(gShareMutex);
  for (const OpenRecord& held : gOpenRecords)
    if (held.device == st.st_dev && held.inode == st.st_ino) return true;
  return false;
}

// A folder of this side is held by a descriptor; the emulation does not
// keep others from renaming it, but every open below it goes through the
// descriptor, wherever the folder has gone.
class PosixFolder : public OpenFolder {
 public:
  explicit PosixFolder(int fd) : fd(fd) {}
  ~PosixFolder() override { ::close(fd); }
  int fd;
};

int folderFd(const OpenFolder& folder) { return static_cast<const PosixFolder&>(folder).fd; }

int openFolderAt(int dirFd, const std::string& native, bool noFollow) {
  return ::openat(dirFd, native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0));
}

class PosixMapping : public MappedBytes {
 public:
  ~PosixMapping() override { ::munmap(base, mapped); }
  void* base = nullptr;
  size_t mapped = 0;
};

class PosixFile : public OpenFile {
 public:
  // `folderFd` and `name`, for a file opened with kDeleteAccess: where its
  // name lies, so that it can go or change.
  PosixFile(int fd, uint64_t lockId, int folderFd, std::string name)
      : fd_(fd), lockId_(lockId), folderFd_(folderFd), name_(std::move(name)) {}
  ~PosixFile() override {
    if (folderFd_ >= 0) ::close(folderFd_);
    ::close(fd_);
    unregisterOpen(lockId_);
  }

  // Reads until `count` bytes or the end of the file.
  bool readAt(uint64_t offset, void* buffer, uint32_t count, uint32_t* transferred) override {
    char* out = static_cast<char*>(buffer);
    uint32_t done = 0;
    while (done < count) {
      ssize_t n = ::pread(fd_, out + done, count - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        failWithErrno();
        *transferred = done;
        return false;
      }
      if (n == 0) break;
      done += static_cast<uint32_t>(n);
    }
    *transferred = done;
    return true;
  }

  bool writeAt(uint64_t offset, const void* buffer, uint32_t count, uint32_t* transferred) override {
    const char* in = static_cast<const char*>(buffer);
    uint32_t done = 0;
    while (done < count) {
      ssize_t n = ::pwrite(fd_, in + done, count - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        failWithErrno();
        *transferred = done;
        return false;
      }
      done += static_cast<uint32_t>(n);
    }
    *transferred = done;
    return true;
  }

  bool size(uint64_t* bytes) override {
    struct stat st;
    if (!statOpen(fd_, &st)) return false;
    *bytes = static_cast<uint64_t>(st.st_size);
    return true;
  }

  bool setSize(uint64_t bytes) override {
    if (::ftruncate(fd_, static_cast<off_t>(bytes)) == 0) return true;
    failWithErrno();
    return false;
  }

  bool flush() override {
    if (::fsync(fd_) == 0) return true;
    failWithErrno();
    return false;
  }

  bool describe(uint32_t* names, bool* readOnly) override {
    struct stat st;
    if (!statOpen(fd_, &st)) return false;
    *names = static_cast<uint32_t>(st.st_nlink);
    *readOnly = (st.st_mode & 0222) == 0;
    return true;
  }

  bool clearReadOnly() override {
    struct stat st;
    if (!statOpen(fd_, &st)) return false;
    return changeMode((st.st_mode & 07777) | 0200);
  }

  bool traits(FileTraits* traits) override {
    struct stat st;
    if (!statOpen(fd_, &st)) return false;
    traits->attributes = static_cast<uint32_t>(st.st_mode & 07777);
    traits->created = 0;
    return true;
  }

  // The mode bits stand for the attributes; the creation time has no
  // counterpart here.
  bool adoptTraits(const FileTraits& traits) override { return changeMode(static_cast<mode_t>(traits.attributes)); }

  // The name goes only while it still names this very file: a name that
  // someone has pointed elsewhere meanwhile is left alone.
  bool removeName() override {
    struct stat mine, named;
    if (folderFd_ < 0 || !statOpen(fd_, &mine)) {
      tlsLastError = kErrorAccessDenied;
      return false;
    }
    if (::fstatat(folderFd_, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != mine.st_dev ||
        named.st_ino != mine.st_ino) {
      tlsLastError = kErrorFileNotFound;
      return false;
    }
    if (::unlinkat(folderFd_, name_.c_str(), 0) != 0) {
      failWithErrno();
      return false;
    }
    return true;
  }

  bool putInPlace(const OpenFolder& folder, const std::string& name) override {
    std::string native;
    if (folderFd_ < 0) {
      tlsLastError = kErrorAccessDenied;  // not opened for its name to change
      return false;
    }
    int to = folderFd(folder);
    if (!nativeName(to, name, &native)) return false;
    // What Windows keeps at the name: a folder, a read-only file, an open
    // one. A link is replaced, as the rename never follows it.
    struct stat there;
    if (::fstatat(to, native.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(there.st_mode) &&
        (S_ISDIR(there.st_mode) || (there.st_mode & 0222) == 0 || heldOpen(there))) {
      tlsLastError = kErrorAccessDenied;
      return false;
    }
    if (::renameat(folderFd_, name_.c_str(), to, native.c_str()) != 0) {
      failWithErrno();
      return false;
    }
    int newFolderFd = ::fcntl(to, F_DUPFD_CLOEXEC, 0);
    ::close(folderFd_);
    folderFd_ = newFolderFd;
    name_ = native;
    tlsLastError = 0;
    return true;
  }

  std::unique_ptr<MappedBytes> map(uint64_t offset, uint32_t length) override {
    uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    uint64_t start = offset / page * page;
    size_t span = static_cast<size_t>(offset - start) + length;
    void* base = ::mmap(nullptr, span, PROT_READ, MAP_SHARED, fd_, static_cast<off_t>(start));
    if (base == MAP_FAILED) {
      failWithErrno();
      return nullptr;
    }
    auto view = std::make_unique<PosixMapping>();
    view->base = base;
    view->mapped = span;
    view->bytes = static_cast<const char*>(base) + (offset - start);
    return view;
  }

 private:
  bool changeMode(mode_t mode) {
    if (::fchmod(fd_, mode) == 0) return true;
    failWithErrno();
    return false;
  }

  int fd_;
  uint64_t lockId_;
  int folderFd_;
  std::string name_;
};

uint32_t attributesOf(const struct stat& st) {
  uint32_t attributes = S_ISDIR(st.st_mode) ? kAttributeDirectory : kAttributeNormal;
  if (!S_ISDIR(st.st_mode) && (st.st_mode & 0222) == 0) attributes |= kAttributeReadOnly;
  return attributes;
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
    uint64_t lockId = 0;
    int fd = nativePath(path, &native) ? openAt(AT_FDCWD, native, access, share, disposition, false, &lockId) : -1;
    if (fd < 0) return nullptr;
    return std::make_unique<PosixFile>(fd, lockId, -1, std::string());
  }

  std::unique_ptr<OpenFile> openIn(const OpenFolder& folder, const std::string& name, uint32_t access, uint32_t share,
                                   uint32_t disposition) override {
    std::string native;
    if (name.empty() || !nativeName(folderFd(folder), name, &native)) {
      if (name.empty()) tlsLastError = kErrorInvalidName;
      return nullptr;
    }
    uint64_t lockId = 0;
    int fd = openAt(folderFd(folder), native, access, share, disposition, true, &lockId);
    if (fd < 0) return nullptr;
    uint32_t opened = tlsLastError;
    int nameFolder = access & kDeleteAccess ? ::fcntl(folderFd(folder), F_DUPFD_CLOEXEC, 0) : -1;
    tlsLastError = opened;
    return std::make_unique<PosixFile>(fd, lockId, nameFolder, access & kDeleteAccess ? native : std::string());
  }

  std::unique_ptr<OpenFolder> openRoot(const char* path) override {
    std::string native;
    if (!nativePath(path, &native)) return nullptr;
    int fd = openFolderAt(AT_FDCWD, native, false);
    if (fd < 0) {
      tlsLastError = errno == ENOTDIR ? kErrorPathNotFound : windowsErrorFromErrno(errno);
      if (tlsLastError == kErrorFileNotFound) tlsLastError = kErrorPathNotFound;
      return nullptr;
    }
    auto folder = std::make_unique<PosixFolder>(fd);
    folder->path = path;
    if (folder->path.empty() || (folder->path.back() != '\\' && folder->path.back() != '/')) folder->path += '\\';
    return folder;
  }

  std::unique_ptr<OpenFolder> openCurrent() override {
    int fd = openFolderAt(AT_FDCWD, ".", false);
    if (fd < 0) {
      failWithErrno();
      return nullptr;
    }
    return std::make_unique<PosixFolder>(fd);
  }

  std::unique_ptr<OpenFolder> openChild(const OpenFolder& parent, const std::string& name, bool create) override {
    std::string native;
    int parentFd = folderFd(parent);
    if (name.empty() || !nativeName(parentFd, name, &native)) {
      if (name.empty()) tlsLastError = kErrorInvalidName;
      return nullptr;
    }
    struct stat st;
    bool exists = ::fstatat(parentFd, native.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISLNK(st.st_mode)) {
      tlsLastError = kErrorCantAccessFile;
      return nullptr;
    }
    if (exists && !S_ISDIR(st.st_mode)) {
      tlsLastError = create ? kErrorAlreadyExists : kErrorPathNotFound;
      return nullptr;
    }
    if (!exists) {
      if (!create) {
        tlsLastError = kErrorPathNotFound;
        return nullptr;
      }
      // One that another made meanwhile is opened as it stands.
      if (::mkdirat(parentFd, native.c_str(), 0777) != 0 && errno != EEXIST) {
        failWithErrno();
        return nullptr;
      }
    }
    int fd = openFolderAt(parentFd, native, true);
    if (fd < 0) {
      tlsLastError = errno == ELOOP ? kErrorCantAccessFile : errno == ENOTDIR ? kErrorPathNotFound
                                                                               : windowsErrorFromErrno(errno);
      return nullptr;
    }
    auto folder = std::make_unique<PosixFolder>(fd);
    folder->path = parent.path + name + "\\";
    return folder;
  }

  bool attributes(const char* path, uint32_t* attributes) override {
    std::string native;
    struct stat st;
    if (!nativePath(path, &native)) return false;
    if (::stat(native.c_str(), &st) != 0) {
      failOpenWithErrno(native);
      return false;
    }
    *attributes = attributesOf(st);
    return true;
  }

  bool createFolder(const char* path) override {
    std::string native;
    if (!nativePath(path, &native)) return false;
    if (::mkdir(native.c_str(), 0777) == 0) return true;
    tlsLastError = errno == EEXIST ? kErrorAlreadyExists : windowsErrorFromErrno(errno);
    return false;
  }

  bool deleteFile(const char* path) override {
    std::string native;
    if (!nativePath(path, &native)) return false;
    if (::unlink(native.c_str()) == 0) return true;
    failWithErrno();
    return false;
  }

  bool search(const char* pattern, std::vector<FoundFile>* found) override {
    found->clear();
    std::string native;
    if (!nativePath(pattern, &native)) return false;
    size_t slash = native.rfind('/');
    std::string folder = slash == std::string::npos ? "." : native.substr(0, slash == 0 ? 1 : slash);
    std::string leaf = slash == std::string::npos ? native : native.substr(slash + 1);
    if (leaf.empty()) {
      tlsLastError = kErrorFileNotFound;
      return false;
    }
    struct stat st;
    if (leaf.find_first_of("*?") == std::string::npos) {
      if (::stat(native.c_str(), &st) == 0) addMatch(leaf, st, found);
    } else {
      DIR* dir = ::opendir(folder.c_str());
      if (dir == nullptr) {
        failOpenWithErrno(native);
        return false;
      }
      while (struct dirent* entry = ::readdir(dir)) {
        // Names are case-sensitive on this side, as the file system is.
        if (::fnmatch(leaf.c_str(), entry->d_name, 0) == 0 && ::stat((folder + "/" + entry->d_name).c_str(), &st) == 0)
          addMatch(entry->d_name, st, found);
      }
      ::closedir(dir);
    }
    if (!found->empty()) return true;
    errno = ENOENT;
    failOpenWithErrno(native);
    return false;
  }
};

}  // namespace

FileSystem& systemFiles() {
  static PosixFileSystem system;
  return system;
}

bool currentFolder(std::string* path) {
  std::vector<char> buffer(4096);
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    failWithErrno();
    return false;
  }
  std::string cp932;
  if (!utf8ToCp932(buffer.data(), &cp932)) {
    tlsLastError = kErrorInvalidName;
    return false;
  }
  for (char& c : cp932)
    if (c == '/') c = '\\';  // 0x2F is never a CP932 trail byte
  *path = cp932;
  return true;
}

bool temporaryFolder(std::string* path) {
  const char* folder = ::getenv("TMPDIR");
  if (folder == nullptr || *folder == '\0') folder = "/tmp";
  if (!utf8ToCp932(folder, path)) {
    tlsLastError = kErrorInvalidName;
    return false;
  }
  for (char& c : *path)
    if (c == '/') c = '\\';  // 0x2F is never a CP932 trail byte
  return true;
}

bool setCurrentFolder(const char* path) {
  std::string native;
  if (!nativePath(path, &native)) return false;
  if (::chdir(native.c_str()) != 0) {
    failWithErrno();
    return false;
  }
  return true;
}

void useUtf8ConsoleOutput() {}
void restoreConsoleOutput() {}

uint32_t lastError() { return tlsLastError; }
void setLastError(uint32_t code) { tlsLastError = code; }

bool systemMessage(uint32_t code, std::string* text) {
  // The Windows codes the program shows, each with the errno that means the
  // same, so a prompt carries a real system text on this side too.
  static const struct {
    uint32_t code;
    int error;
  } kTexts[] = {
      {0, 0},
      {kErrorFileNotFound, ENOENT},
      {kErrorPathNotFound, ENOTDIR},
      {kErrorTooManyOpenFiles, EMFILE},
      {kErrorAccessDenied, EACCES},
      {kErrorInvalidHandle, EBADF},
      {kErrorNotEnoughMemory, ENOMEM},
      {kErrorWriteFault, EIO},
      {kErrorReadFault, EIO},
      {kErrorSharingViolation, ETXTBSY},
      {kErrorFileExists, EEXIST},
      {kErrorInvalidParameter, EINVAL},
      {kErrorDiskFull, ENOSPC},
      {kErrorInvalidName, EILSEQ},
      {kErrorFilenameTooLong, ENAMETOOLONG},
      {kErrorIoDevice, EIO},
  };
  for (const auto& entry : kTexts) {
    if (entry.code != code) continue;
    std::string utf8 = entry.code == 0 ? "Success" : entry.code == kErrorSharingViolation
                                                         ? "The file is in use by another opener"
                                                         : ::strerror(entry.error);
    std::string cp932;
    if (!utf8ToCp932(utf8 + ".\r\n", &cp932)) return false;
    *text = cp932;
    return true;
  }
  return false;
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

}  // namespace

// Events live as long as the process: closing one lets go of nothing.
void closeEvent(EventHandle) {}

EventHandle createManualResetEvent(const char* name, bool initiallySignalled) {
  std::lock_guard<std::mutex> lock(gEventNamesMutex);
  if (name != nullptr) {
    auto found = gNamedEvents.find(name);
    if (found != gNamedEvents.end()) {
      tlsLastError = kErrorAlreadyExists;
      return EventHandle{found->second};
    }
  }
  gAllEvents.push_back(std::make_unique<PosixEvent>());
  PosixEvent* event = gAllEvents.back().get();
  event->signalled = initiallySignalled;
  if (name != nullptr) gNamedEvents[name] = event;
  tlsLastError = 0;
  return EventHandle{event};
}

bool setEvent(EventHandle handle) {
  auto* event = static_cast<PosixEvent*>(handle.raw);
  if (event == nullptr) return false;
  {
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signalled = true;
  }
  event->changed.notify_all();
  return true;
}

bool resetEvent(EventHandle handle) {
  auto* event = static_cast<PosixEvent*>(handle.raw);
  if (event == nullptr) return false;
  std::lock_guard<std::mutex> lock(event->mutex);
  event->signalled = false;
  return true;
}

void waitForever(EventHandle handle) {
  auto* event = static_cast<PosixEvent*>(handle.raw);
  if (event == nullptr) return;
  std::unique_lock<std::mutex> lock(event->mutex);
  event->changed.wait(lock, [event] { return event->signalled; });
}

namespace {
std::atomic<uint32_t> gNextThreadId{1};
}  // namespace

// A thread handle is the std::thread itself.
ThreadHandle startThread(ThreadProc proc, void* argument, uint32_t* threadId) {
  auto* thread = new (std::nothrow) std::thread;
  if (thread == nullptr) {
    tlsLastError = kErrorNotEnoughMemory;
    return ThreadHandle{};
  }
  try {
    *thread = std::thread(proc, argument);
  } catch (const std::system_error&) {  // the standard library's only way to say so
    delete thread;
    tlsLastError = kErrorNotEnoughMemory;
    return ThreadHandle{};
  }
  if (threadId != nullptr) *threadId = gNextThreadId++;
  return ThreadHandle{thread};
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
