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
#include <time.h>
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
IoFaultHook* gFaultHook = nullptr;

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

void setIoFaultHook(IoFaultHook* hook) { gFaultHook = hook; }
IoFaultHook* ioFaultHook() { return gFaultHook; }

File::File(File&& other) noexcept
    : fd_(other.fd_), lockId_(other.lockId_), folderFd_(other.folderFd_), name_(std::move(other.name_)) {
  other.fd_ = -1;
  other.lockId_ = 0;
  other.folderFd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    lockId_ = other.lockId_;
    folderFd_ = other.folderFd_;
    name_ = std::move(other.name_);
    other.fd_ = -1;
    other.lockId_ = 0;
    other.folderFd_ = -1;
  }
  return *this;
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

  if (gFaultHook && (disposition == kCreateAlways || disposition == kCreateNew ||
                     (disposition == kOpenAlways && !existed)))
    gFaultHook->beforeChange(FileChange::Create);
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

}  // namespace

bool File::open(const char* path, uint32_t access, uint32_t share, uint32_t disposition) {
  close();
  if (!hookAllowsOpen(path, access, disposition)) return false;
  std::string native;
  if (!nativePath(path, &native)) return false;
  fd_ = openAt(AT_FDCWD, native, access, share, disposition, false, &lockId_);
  return fd_ >= 0;
}

bool File::openIn(const Folder& folder, const std::string& name, uint32_t access, uint32_t share, uint32_t disposition) {
  close();
  std::string path = folder.path() + name;
  if (!hookAllowsOpen(path, access, disposition)) return false;
  std::string native;
  if (name.empty() || !nativeName(folder.fd_, name, &native)) {
    if (name.empty()) tlsLastError = kErrorInvalidName;
    return false;
  }
  fd_ = openAt(folder.fd_, native, access, share, disposition, true, &lockId_);
  if (fd_ < 0) return false;
  if (access & kDeleteAccess) {
    folderFd_ = ::fcntl(folder.fd_, F_DUPFD_CLOEXEC, 0);
    name_ = native;
  }
  return true;
}

namespace {

// The status of an open descriptor; a closed one is an invalid handle.
bool statOpen(int fd, struct stat* st) {
  if (fd >= 0 && ::fstat(fd, st) == 0) return true;
  tlsLastError = kErrorInvalidHandle;
  return false;
}

}  // namespace

bool File::describe(uint32_t* names, bool* readOnly) {
  struct stat st;
  if (!statOpen(fd_, &st)) return false;
  *names = static_cast<uint32_t>(st.st_nlink);
  *readOnly = (st.st_mode & 0222) == 0;
  return true;
}

bool File::clearReadOnly() {
  struct stat st;
  if (!statOpen(fd_, &st)) return false;
  if (gFaultHook) gFaultHook->beforeChange(FileChange::Attributes);
  if (::fchmod(fd_, (st.st_mode & 07777) | 0200) != 0) {
    failWithErrno();
    return false;
  }
  return true;
}

// The name goes only while it still names this very file: a name that
// someone has pointed elsewhere meanwhile is left alone.
bool File::removeName() {
  struct stat mine, named;
  if (fd_ < 0 || folderFd_ < 0 || ::fstat(fd_, &mine) != 0) {
    tlsLastError = kErrorAccessDenied;
    return false;
  }
  if (::fstatat(folderFd_, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != mine.st_dev ||
      named.st_ino != mine.st_ino) {
    tlsLastError = kErrorFileNotFound;
    return false;
  }
  if (gFaultHook) gFaultHook->beforeChange(FileChange::Delete);
  if (::unlinkat(folderFd_, name_.c_str(), 0) != 0) {
    failWithErrno();
    return false;
  }
  return true;
}

bool File::isOpen() const { return fd_ >= 0; }

void File::close() {
  if (folderFd_ >= 0) ::close(folderFd_);
  folderFd_ = -1;
  name_.clear();
  if (fd_ >= 0) {
    ::close(fd_);
    unregisterOpen(lockId_);
    fd_ = -1;
    lockId_ = 0;
  }
}

namespace {

// Reads until `count` bytes or the end of the file, at the file's position
// or, with `offset`, at that one (pread).
bool readFrom(int fd, const uint64_t* offset, void* buffer, uint32_t count, uint32_t* transferred) {
  *transferred = 0;
  if (fd < 0) {
    tlsLastError = kErrorInvalidHandle;
    return false;
  }
  if (gFaultHook && !gFaultHook->beforeRead(&count)) {
    tlsLastError = kErrorReadFault;
    return false;
  }
  char* out = static_cast<char*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = offset ? ::pread(fd, out + done, count - done, static_cast<off_t>(*offset + done))
                       : ::read(fd, out + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
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

}  // namespace

bool File::read(void* buffer, uint32_t count, uint32_t* transferred) {
  return readFrom(fd_, nullptr, buffer, count, transferred);
}

bool File::readAt(uint64_t offset, void* buffer, uint32_t count, uint32_t* transferred) {
  return readFrom(fd_, &offset, buffer, count, transferred);
}

bool FileView::map(File& file, uint64_t offset, uint32_t length) {
  unmap();
  uint32_t count = length;
  if (gFaultHook && (!gFaultHook->beforeRead(&count) || count != length)) {
    tlsLastError = kErrorReadFault;
    return false;
  }
  if (gFaultHook && !gFaultHook->allowsViews()) {
    tlsLastError = kErrorNotSupported;
    return false;
  }
  uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  uint64_t start = offset / page * page;
  size_t span = static_cast<size_t>(offset - start) + length;
  void* base = ::mmap(nullptr, span, PROT_READ, MAP_SHARED, file.fd_, static_cast<off_t>(start));
  if (base == MAP_FAILED) {
    failWithErrno();
    return false;
  }
  base_ = base;
  mapped_ = span;
  bytes_ = static_cast<const char*>(base) + (offset - start);
  return true;
}

void FileView::unmap() {
  if (base_ != nullptr) ::munmap(base_, mapped_);
  base_ = nullptr;
  mapped_ = 0;
  bytes_ = nullptr;
}

bool File::write(const void* buffer, uint32_t count, uint32_t* transferred) {
  *transferred = 0;
  if (fd_ < 0) {
    tlsLastError = kErrorInvalidHandle;
    return false;
  }
  if (gFaultHook && !gFaultHook->beforeWrite(&count)) {
    tlsLastError = kErrorWriteFault;
    return false;
  }
  uint32_t failure = 0;
  if (gFaultHook) {
    struct stat st;
    off_t here = ::lseek(fd_, 0, SEEK_CUR);
    uint64_t end = here >= 0 && ::fstat(fd_, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    uint64_t reach = static_cast<uint64_t>(here < 0 ? 0 : here) + count;
    failure = gFaultHook->failWrite(reach > end ? reach - end : 0, &count);
    gFaultHook->beforeChange(FileChange::Write);
  }
  const char* in = static_cast<const char*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd_, in + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      failWithErrno();
      *transferred = done;
      return false;
    }
    done += static_cast<uint32_t>(n);
  }
  *transferred = done;
  if (failure != 0) {
    tlsLastError = failure;
    return false;
  }
  return true;
}

bool File::seek(int64_t distance, SeekOrigin origin, uint64_t* position) {
  if (fd_ < 0) {
    tlsLastError = kErrorInvalidHandle;
    return false;
  }
  int whence = origin == SeekOrigin::Begin ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
  off_t result = ::lseek(fd_, static_cast<off_t>(distance), whence);
  if (result < 0) {
    tlsLastError = errno == EINVAL ? kErrorNegativeSeek : windowsErrorFromErrno(errno);
    return false;
  }
  if (position != nullptr) *position = static_cast<uint64_t>(result);
  return true;
}

bool File::size(uint64_t* bytes) {
  struct stat st;
  if (!statOpen(fd_, &st)) return false;
  *bytes = static_cast<uint64_t>(st.st_size);
  return true;
}

bool File::flush() {
  if (fd_ < 0) {
    tlsLastError = kErrorInvalidHandle;
    return false;
  }
  if (::fsync(fd_) != 0) {
    failWithErrno();
    return false;
  }
  return true;
}

bool File::truncateHere() {
  if (fd_ < 0) {
    tlsLastError = kErrorInvalidHandle;
    return false;
  }
  off_t here = ::lseek(fd_, 0, SEEK_CUR);
  if (here < 0) {
    failWithErrno();
    return false;
  }
  if (gFaultHook) gFaultHook->beforeChange(FileChange::Truncate);
  if (::ftruncate(fd_, here) != 0) {
    failWithErrno();
    return false;
  }
  return true;
}

namespace {

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
int openFolderAt(int dirFd, const std::string& native, bool noFollow) {
  return ::openat(dirFd, native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0));
}

}  // namespace

Folder::Folder(Folder&& other) noexcept : path_(std::move(other.path_)), fd_(other.fd_) { other.fd_ = -1; }

Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    close();
    path_ = std::move(other.path_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool Folder::isOpen() const { return fd_ >= 0; }

void Folder::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_.clear();
}

bool Folder::openRoot(const char* path) {
  close();
  std::string native;
  if (!nativePath(path, &native)) return false;
  fd_ = openFolderAt(AT_FDCWD, native, false);
  if (fd_ < 0) {
    tlsLastError = errno == ENOTDIR ? kErrorPathNotFound : windowsErrorFromErrno(errno);
    if (tlsLastError == kErrorFileNotFound) tlsLastError = kErrorPathNotFound;
    return false;
  }
  path_ = path;
  if (path_.empty() || (path_.back() != '\\' && path_.back() != '/')) path_ += '\\';
  return true;
}

bool Folder::openCurrent() {
  close();
  fd_ = openFolderAt(AT_FDCWD, ".", false);
  if (fd_ < 0) {
    failWithErrno();
    return false;
  }
  return true;
}

bool Folder::openChild(const Folder& parent, const std::string& name, bool create) {
  close();
  if (!hookAllowsOpen(parent.path_ + name, 0, create ? kOpenAlways : kOpenExisting)) return false;
  std::string native;
  if (name.empty() || !nativeName(parent.fd_, name, &native)) {
    if (name.empty()) tlsLastError = kErrorInvalidName;
    return false;
  }
  struct stat st;
  bool exists = ::fstatat(parent.fd_, native.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && S_ISLNK(st.st_mode)) {
    tlsLastError = kErrorCantAccessFile;
    return false;
  }
  if (exists && !S_ISDIR(st.st_mode)) {
    tlsLastError = create ? kErrorAlreadyExists : kErrorPathNotFound;
    return false;
  }
  if (!exists) {
    if (!create) {
      tlsLastError = kErrorPathNotFound;
      return false;
    }
    if (gFaultHook) gFaultHook->beforeChange(FileChange::Create);
    // One that another made meanwhile is opened as it stands.
    if (::mkdirat(parent.fd_, native.c_str(), 0777) != 0 && errno != EEXIST) {
      failWithErrno();
      return false;
    }
  }
  fd_ = openFolderAt(parent.fd_, native, true);
  if (fd_ < 0) {
    tlsLastError = errno == ELOOP ? kErrorCantAccessFile : errno == ENOTDIR ? kErrorPathNotFound
                                                                             : windowsErrorFromErrno(errno);
    return false;
  }
  path_ = parent.path_ + name + "\\";
  return true;
}

bool File::putInPlace(const Folder& folder, const std::string& name) {
  std::string native;
  if (fd_ < 0 || folderFd_ < 0) {
    tlsLastError = kErrorAccessDenied;  // not opened for its name to change
    return false;
  }
  if (!nativeName(folder.fd_, name, &native) || hookStandsInForRename()) return false;
  // What Windows keeps at the name: a folder, a read-only file, an open
  // one. A link is replaced, as the rename never follows it.
  struct stat there;
  if (::fstatat(folder.fd_, native.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(there.st_mode) &&
      (S_ISDIR(there.st_mode) || (there.st_mode & 0222) == 0 || heldOpen(there))) {
    tlsLastError = kErrorAccessDenied;
    return false;
  }
  if (gFaultHook) gFaultHook->beforeChange(FileChange::Rename);
  if (::renameat(folderFd_, name_.c_str(), folder.fd_, native.c_str()) != 0) {
    failWithErrno();
    return false;
  }
  int newFolderFd = ::fcntl(folder.fd_, F_DUPFD_CLOEXEC, 0);
  ::close(folderFd_);
  folderFd_ = newFolderFd;
  name_ = native;
  tlsLastError = 0;
  return true;
}

bool File::traits(FileTraits* traits) {
  struct stat st;
  if (!statOpen(fd_, &st)) return false;
  traits->attributes = static_cast<uint32_t>(st.st_mode & 07777);
  traits->created = 0;
  return true;
}

// The mode bits stand for the attributes; the creation time has no
// counterpart here.
bool File::adoptTraits(const FileTraits& traits) {
  if (fd_ < 0) {
    tlsLastError = kErrorInvalidHandle;
    return false;
  }
  if (gFaultHook) gFaultHook->beforeChange(FileChange::Attributes);
  if (::fchmod(fd_, static_cast<mode_t>(traits.attributes)) != 0) {
    failWithErrno();
    return false;
  }
  return true;
}

struct FileSearch::State {
  std::vector<FoundFile> matches;
  size_t nextIndex = 0;
};

bool FileSearch::first(const char* pattern, FoundFile* found) {
  close();
  std::string native;
  if (!nativePath(pattern, &native)) return false;
  size_t slash = native.rfind('/');
  std::string folder = slash == std::string::npos ? "." : native.substr(0, slash == 0 ? 1 : slash);
  std::string leaf = slash == std::string::npos ? native : native.substr(slash + 1);
  if (leaf.empty()) {
    tlsLastError = kErrorFileNotFound;
    return false;
  }
  auto state = std::make_unique<State>();
  auto addMatch = [&](const std::string& name, const struct stat& st) {
    FoundFile file;
    file.utf8Name = name;
    file.nameable = utf8ToCp932(name, &file.name);
    if (!file.nameable) file.name.clear();
    file.attributes = S_ISDIR(st.st_mode) ? kAttributeDirectory : kAttributeNormal;
    if (!S_ISDIR(st.st_mode) && (st.st_mode & 0222) == 0) file.attributes |= kAttributeReadOnly;
    state->matches.push_back(file);
  };
  if (leaf.find_first_of("*?") == std::string::npos) {
    struct stat st;
    if (::stat(native.c_str(), &st) == 0) addMatch(leaf, st);
  } else {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
      failOpenWithErrno(native);
      return false;
    }
    while (struct dirent* entry = ::readdir(dir)) {
      // Names are case-sensitive on this side, as the file system is.
      if (::fnmatch(leaf.c_str(), entry->d_name, 0) != 0) continue;
      struct stat st;
      std::string full = folder + "/" + entry->d_name;
      if (::stat(full.c_str(), &st) == 0) addMatch(entry->d_name, st);
    }
    ::closedir(dir);
  }
  if (state->matches.empty()) {
    errno = ENOENT;
    failOpenWithErrno(native);
    return false;
  }
  *found = state->matches[0];
  state->nextIndex = 1;
  state_ = state.release();
  return true;
}

bool FileSearch::next(FoundFile* found) {
  if (state_ == nullptr || state_->nextIndex >= state_->matches.size()) {
    tlsLastError = kErrorNoMoreFiles;
    return false;
  }
  *found = state_->matches[state_->nextIndex++];
  return true;
}

void FileSearch::close() {
  delete state_;
  state_ = nullptr;
}

bool pathAttributes(const char* path, uint32_t* attributes) {
  std::string native;
  struct stat st;
  if (!nativePath(path, &native)) return false;
  if (::stat(native.c_str(), &st) != 0) {
    failOpenWithErrno(native);
    return false;
  }
  *attributes = S_ISDIR(st.st_mode) ? kAttributeDirectory : kAttributeNormal;
  if (!S_ISDIR(st.st_mode) && (st.st_mode & 0222) == 0) *attributes |= kAttributeReadOnly;
  return true;
}

bool createFolder(const char* path) {
  std::string native;
  if (!nativePath(path, &native)) return false;
  if (gFaultHook) gFaultHook->beforeChange(FileChange::Create);
  if (::mkdir(native.c_str(), 0777) != 0) {
    tlsLastError = errno == EEXIST ? kErrorAlreadyExists : windowsErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool deleteFile(const char* path) {
  std::string native;
  if (!nativePath(path, &native)) return false;
  if (gFaultHook) gFaultHook->beforeChange(FileChange::Delete);
  if (::unlink(native.c_str()) != 0) {
    failWithErrno();
    return false;
  }
  return true;
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

void sleepMilliseconds(uint32_t milliseconds) {
  struct timespec delay;
  delay.tv_sec = milliseconds / 1000;
  delay.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (::nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

}  // namespace plat
