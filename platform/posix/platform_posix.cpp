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
#include <pthread.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
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

// The path as the file system holds it: a part that is missing as converted
// takes the name in its folder that has the same CP932 form.
std::string pathOnDisk(const std::string& utf8) {
  struct stat st;
  if (!holdsSharedCode(utf8) || ::lstat(utf8.c_str(), &st) == 0) return utf8;
  std::string resolved;
  size_t start = 0;
  for (;;) {
    size_t slash = utf8.find('/', start);
    std::string part = utf8.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    std::string wanted;
    if (holdsSharedCode(part) && ::lstat((resolved + part).c_str(), &st) != 0 && cp932FromUtf8(part, &wanted)) {
      if (DIR* dir = ::opendir(resolved.empty() ? "." : resolved.c_str())) {
        while (struct dirent* entry = ::readdir(dir)) {
          std::string form;
          if (cp932FromUtf8(entry->d_name, &form) && form == wanted) {
            part = entry->d_name;
            break;
          }
        }
        ::closedir(dir);
      }
    }
    resolved += part;
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
  if ((held.access & kGenericRead) && !(share & kShareRead)) return true;
  if ((held.access & kGenericWrite) && !(share & kShareWrite)) return true;
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

File::File(File&& other) noexcept : fd_(other.fd_), lockId_(other.lockId_) {
  other.fd_ = -1;
  other.lockId_ = 0;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    lockId_ = other.lockId_;
    other.fd_ = -1;
    other.lockId_ = 0;
  }
  return *this;
}

bool File::open(const char* path, uint32_t access, uint32_t share, uint32_t disposition) {
  close();
  uint32_t refused = 0;
  if (gFaultHook && !gFaultHook->beforeOpen(path, access, disposition, &refused)) {
    tlsLastError = refused;
    return false;
  }
  std::string native;
  if (!nativePath(path, &native)) return false;
  int flags = O_CLOEXEC;
  if ((access & kGenericRead) && (access & kGenericWrite))
    flags |= O_RDWR;
  else if (access & kGenericWrite)
    flags |= O_WRONLY;
  else
    flags |= O_RDONLY;
  if (disposition == kCreateAlways || disposition == kOpenAlways) flags |= O_CREAT;

  // A file without any write bit stands for the read-only attribute, which
  // refuses writers even to an administrator (root ignores the mode bits).
  // A reader of an existing file needs no look first: the open itself
  // tells a missing file, and the check after it a folder.
  bool readsExisting = !(access & kGenericWrite) && disposition == kOpenExisting;
  struct stat before;
  bool existed = !readsExisting && ::stat(native.c_str(), &before) == 0;
  if (existed && S_ISDIR(before.st_mode)) {
    tlsLastError = kErrorAccessDenied;
    return false;
  }
  if (existed && (access & kGenericWrite) && (before.st_mode & 0222) == 0) {
    tlsLastError = kErrorAccessDenied;
    return false;
  }

  if (gFaultHook && (disposition == kCreateAlways || (disposition == kOpenAlways && !existed)))
    gFaultHook->beforeChange(FileChange::Create);
  int fd = ::open(native.c_str(), flags, 0666);
  if (fd < 0) {
    failOpenWithErrno(native);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    tlsLastError = kErrorAccessDenied;
    return false;
  }
  uint64_t id = registerOpen(st, access, share);
  if (id == 0) {
    ::close(fd);
    tlsLastError = kErrorSharingViolation;
    return false;
  }
  // CREATE_ALWAYS truncates, but only once the share check has passed.
  if (disposition == kCreateAlways && ::ftruncate(fd, 0) != 0) {
    failWithErrno();
    unregisterOpen(id);
    ::close(fd);
    return false;
  }
  fd_ = fd;
  lockId_ = id;
  // As on Windows, opening an existing file with CREATE_ALWAYS or
  // OPEN_ALWAYS reports ERROR_ALREADY_EXISTS; a fresh open reports success.
  tlsLastError = (existed && disposition != kOpenExisting) ? kErrorAlreadyExists : 0;
  return true;
}

bool File::isOpen() const { return fd_ >= 0; }

void File::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    unregisterOpen(lockId_);
    fd_ = -1;
    lockId_ = 0;
  }
}

bool File::read(void* buffer, uint32_t count, uint32_t* transferred) {
  *transferred = 0;
  if (fd_ < 0) {
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
    ssize_t n = ::read(fd_, out + done, count - done);
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
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
    tlsLastError = kErrorInvalidHandle;
    return false;
  }
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

bool copyFile(const char* from, const char* to, bool failIfExists) {
  File source;
  if (!source.open(from, kGenericRead, kShareRead, kOpenExisting)) return false;
  if (failIfExists) {
    File probe;
    if (probe.open(to, kGenericRead, kShareRead | kShareWrite, kOpenExisting)) {
      tlsLastError = kErrorFileExists;
      return false;
    }
  }
  File target;
  if (!target.open(to, kGenericWrite, kShareNone, kCreateAlways)) return false;
  std::vector<char> chunk(1 << 20);
  for (;;) {
    uint32_t got = 0;
    if (!source.read(chunk.data(), static_cast<uint32_t>(chunk.size()), &got)) return false;
    if (got == 0) break;
    if (!target.writeExactly(chunk.data(), got)) return false;
  }
  tlsLastError = 0;
  return true;
}

namespace {

// Whether this process holds the file open; the program never shares
// deletion, so any open refuses a rename over the file, as on Windows.
bool heldOpen(const struct stat& st) {
  std::lock_guard<std::mutex> lock(gShareMutex);
  for (const OpenRecord& held : gOpenRecords)
    if (held.device == st.st_dev && held.inode == st.st_ino) return true;
  return false;
}

// A rename reaches the disk with the folder that holds the name.
void flushFolderOf(const std::string& native) {
  size_t slash = native.rfind('/');
  std::string folder = slash == std::string::npos ? "." : native.substr(0, slash == 0 ? 1 : slash);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool replaceFile(const char* target, const char* replacement) {
  std::string nativeTarget, nativeReplacement;
  if (!nativePath(target, &nativeTarget) || !nativePath(replacement, &nativeReplacement)) return false;
  struct stat from;
  if (::stat(nativeReplacement.c_str(), &from) != 0) {
    failOpenWithErrno(nativeReplacement);
    return false;
  }
  if (S_ISDIR(from.st_mode)) {
    tlsLastError = kErrorAccessDenied;
    return false;
  }
  if (heldOpen(from)) {
    tlsLastError = kErrorSharingViolation;
    return false;
  }
  struct stat to;
  bool targetExists = ::stat(nativeTarget.c_str(), &to) == 0;
  if (targetExists) {
    // Replacing opens the target for writing and deletion first.
    if (S_ISDIR(to.st_mode) || (to.st_mode & 0222) == 0) {
      tlsLastError = kErrorAccessDenied;
      return false;
    }
    if (heldOpen(to)) {
      tlsLastError = kErrorSharingViolation;
      return false;
    }
    // The target's attributes stay with the name.
    if (::chmod(nativeReplacement.c_str(), to.st_mode & 07777) != 0) {
      failWithErrno();
      return false;
    }
  }
  if (gFaultHook) gFaultHook->beforeChange(FileChange::Replace);
  if (::rename(nativeReplacement.c_str(), nativeTarget.c_str()) != 0) {
    failOpenWithErrno(nativeTarget);
    return false;
  }
  flushFolderOf(nativeTarget);
  tlsLastError = 0;
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

struct PosixThread {
  pthread_t thread;
  ThreadProc proc;
  void* argument;
  bool joined = false;
};

void* threadTrampoline(void* raw) {
  auto* thread = static_cast<PosixThread*>(raw);
  thread->proc(thread->argument);
  return nullptr;
}

std::mutex gThreadIdMutex;
uint32_t gNextThreadId = 1;

}  // namespace

ThreadHandle startThread(ThreadProc proc, void* argument, uint32_t* threadId) {
  auto* thread = new PosixThread{};
  thread->proc = proc;
  thread->argument = argument;
  if (::pthread_create(&thread->thread, nullptr, threadTrampoline, thread) != 0) {
    delete thread;
    tlsLastError = kErrorNotEnoughMemory;
    return ThreadHandle{};
  }
  if (threadId != nullptr) {
    std::lock_guard<std::mutex> lock(gThreadIdMutex);
    *threadId = gNextThreadId++;
  }
  return ThreadHandle{thread};
}

void joinThread(ThreadHandle handle) {
  auto* thread = static_cast<PosixThread*>(handle.raw);
  if (thread == nullptr || thread->joined) return;
  ::pthread_join(thread->thread, nullptr);
  thread->joined = true;
}

void closeThreadHandle(ThreadHandle handle) {
  auto* thread = static_cast<PosixThread*>(handle.raw);
  if (thread == nullptr) return;
  if (!thread->joined) {
    // Closing a Windows thread handle leaves the thread running; detaching
    // does the same here. The record stays for the trampoline to read.
    ::pthread_detach(thread->thread);
    return;
  }
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
