// The thin operating-system layer: the file, search, error, event and thread
// services the updater needs, with the Windows flag values. The Win32 side
// calls the real API; the POSIX side emulates it for tests and tools. Files
// are reached through one file system interface, which other
// implementations may wrap.
//
// Every path and text handed across this layer is a NUL-terminated
// code-page-932 byte string; each side converts it explicitly. File names
// follow the file system's own case rule: Windows ignores case, the POSIX
// side does not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plat {

// Desired access (GENERIC_READ, GENERIC_WRITE; DELETE, so that the file's
// name can go or change through the handle; FILE_WRITE_ATTRIBUTES, for its
// attributes). An open with none of them only tells that the file is there
// and what it is: it takes no part in sharing.
constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kDeleteAccess = 0x00010000u;
constexpr uint32_t kWriteAttributes = 0x00000100u;

// Share mode (FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE).
constexpr uint32_t kShareNone = 0;
constexpr uint32_t kShareRead = 0x1;
constexpr uint32_t kShareWrite = 0x2;
constexpr uint32_t kShareDelete = 0x4;

// Creation disposition.
constexpr uint32_t kCreateNew = 1;
constexpr uint32_t kCreateAlways = 2;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kOpenAlways = 4;

// Seek origins (FILE_BEGIN, FILE_CURRENT, FILE_END).
enum class SeekOrigin : uint32_t { Begin = 0, Current = 1, End = 2 };

// File attributes reported by a search.
constexpr uint32_t kAttributeReadOnly = 0x1;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeNormal = 0x80;

// Windows error codes the program meets; the POSIX side maps errno onto them.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorNoMoreFiles = 18;
constexpr uint32_t kErrorWriteFault = 29;
constexpr uint32_t kErrorReadFault = 30;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorHandleEof = 38;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorNegativeSeek = 131;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorFilenameTooLong = 206;
constexpr uint32_t kErrorFileTooLarge = 223;
constexpr uint32_t kErrorNotSameDevice = 17;
constexpr uint32_t kErrorIoDevice = 1117;
// ERROR_CANT_ACCESS_FILE: what the opens below a folder refuse, a link
// (symbolic link, junction) on the way or at the name; and what a caller
// that writes a file in place says of a file with a second name.
constexpr uint32_t kErrorCantAccessFile = 1920;

class Folder;

// What a file that takes another's place takes over from it, so that the
// player sees the same file with new bytes: its attributes (hidden,
// system, archive; on the POSIX side its mode bits) and its creation time.
struct FileTraits {
  uint32_t attributes = 0;
  uint64_t created = 0;
};

// A found name that code page 932 cannot write is reported, never skipped
// and never written with look-alike characters: `nameable` is false, `name`
// is empty (no path through this layer reaches the file) and `utf8Name`
// holds the name for display.
struct FoundFile {
  uint32_t attributes = 0;
  std::string name;      // the found name, CP932
  bool nameable = true;  // whether `name` holds it
  std::string utf8Name;  // the found name as UTF-8, for display
};

// ---------------------------------------------------------------------------
// The file system: a small table of operations that everything above this
// layer reaches files through, by way of File, Folder, FileView and the
// functions below. The Windows side and the POSIX side each implement it
// over the system; other implementations wrap another one (a fault plan
// for the tests, a call counter, an overlay that keeps every change aside).
// Each object is handed back only to the file system that made it. Every
// failure leaves the last error with a Windows code.

// Bytes of a file mapped for reading; unmapped when the object goes.
class MappedBytes {
 public:
  virtual ~MappedBytes() = default;
  const char* bytes = nullptr;
};

class OpenFolder {
 public:
  virtual ~OpenFolder() = default;
  // The path the folder was reached by, ending with a backslash (empty for
  // the current folder, whose files are then named as relative paths).
  std::string path;
};

class OpenFile {
 public:
  virtual ~OpenFile() = default;
  // One synchronous call at a position (ReadFile / WriteFile with an
  // offset; pread / pwrite): *transferred may fall short of `count` (the
  // end of the file, a full disk).
  virtual bool readAt(uint64_t offset, void* buffer, uint32_t count, uint32_t* transferred) = 0;
  virtual bool writeAt(uint64_t offset, const void* buffer, uint32_t count, uint32_t* transferred) = 0;
  virtual bool size(uint64_t* bytes) = 0;
  virtual bool setSize(uint64_t bytes) = 0;
  virtual bool flush() = 0;
  // How many names (hard links) the file has, and whether it carries the
  // read-only attribute.
  virtual bool describe(uint32_t* names, bool* readOnly) = 0;
  virtual bool clearReadOnly() = 0;
  virtual bool traits(FileTraits* traits) = 0;
  virtual bool adoptTraits(const FileTraits& traits) = 0;
  virtual bool removeName() = 0;
  virtual bool putInPlace(const OpenFolder& folder, const std::string& name) = 0;
  // A view of a part of the file, or none (kErrorNotSupported where reads
  // must be reads: a medium whose failure would be an exception inside a
  // view, or a file system that keeps no such bytes).
  virtual std::unique_ptr<MappedBytes> map(uint64_t offset, uint32_t length) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // None on failure, with the last error. What each does is told with the
  // File and Folder operations that call it.
  virtual std::unique_ptr<OpenFile> open(const char* path, uint32_t access, uint32_t share, uint32_t disposition) = 0;
  virtual std::unique_ptr<OpenFile> openIn(const OpenFolder& folder, const std::string& name, uint32_t access,
                                           uint32_t share, uint32_t disposition) = 0;
  virtual std::unique_ptr<OpenFolder> openRoot(const char* path) = 0;
  virtual std::unique_ptr<OpenFolder> openCurrent() = 0;
  virtual std::unique_ptr<OpenFolder> openChild(const OpenFolder& parent, const std::string& name, bool create) = 0;
  // By path, for the publisher tool and the tests.
  virtual bool attributes(const char* path, uint32_t* attributes) = 0;
  virtual bool createFolder(const char* path) = 0;
  virtual bool deleteFile(const char* path) = 0;
  // Every match of a pattern (FindFirstFile / FindNextFile); false when
  // there is none (kErrorFileNotFound) or the folder cannot be read.
  virtual bool search(const char* pattern, std::vector<FoundFile>* found) = 0;
};

// The system's own file system, and the one in use (the system's unless a
// FileSystemInUse says otherwise).
FileSystem& systemFiles();
FileSystem& files();

// Puts a file system in use for its life, and the one before back after.
// Files and folders opened meanwhile keep the objects they were opened
// with. One thread at a time changes this.
class FileSystemInUse {
 public:
  explicit FileSystemInUse(FileSystem& fileSystem);
  ~FileSystemInUse();
  FileSystemInUse(const FileSystemInUse&) = delete;
  FileSystemInUse& operator=(const FileSystemInUse&) = delete;

 private:
  FileSystem* previous_;
};

// ---------------------------------------------------------------------------

// One open file, with a position of its own for the reads and writes that
// take none (CreateFile / ReadFile / WriteFile / SetFilePointerEx /
// GetFileSizeEx / FlushFileBuffers / CloseHandle). Closed when the object
// goes away.
class File {
 public:
  File() = default;
  ~File() = default;
  File(File&& other) noexcept = default;
  File& operator=(File&& other) noexcept = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens with FILE_ATTRIBUTE_NORMAL, no security attributes, no template.
  // On failure isOpen() is false and the last error says why.
  bool open(const char* path, uint32_t access, uint32_t share, uint32_t disposition);
  // Opens the file `name` of a held folder, relative to the folder itself
  // wherever the platform allows, and never through a link at the name: a
  // link there is refused with kErrorCantAccessFile. Dispositions:
  // kOpenExisting and kCreateNew (which never takes an existing name, a
  // link's included: kErrorFileExists).
  bool openIn(const Folder& folder, const std::string& name, uint32_t access, uint32_t share, uint32_t disposition);
  bool isOpen() const { return object_ != nullptr; }
  void close();

  // One synchronous call each at the position, which moves by what was
  // transferred; *transferred may fall short of the count asked for (the
  // end of the file, a full disk).
  bool read(void* buffer, uint32_t count, uint32_t* transferred);
  bool write(const void* buffer, uint32_t count, uint32_t* transferred);

  // The whole count or a failure: a read that ends early fails with
  // kErrorHandleEof. A write that falls short goes on with the rest until
  // all is written or the system gives its own code (a disk that fills up
  // midway gives kErrorDiskFull); kErrorWriteFault is left for a write that
  // moves nothing and says nothing. What a failed call moved is not
  // reported.
  bool readExactly(void* buffer, uint32_t count);
  bool writeExactly(const void* buffer, uint32_t count);
  // readExactly at a position, in one call; the position stays.
  bool readExactlyAt(uint64_t offset, void* buffer, uint32_t count);

  // 64-bit positions and sizes. *position, when given, receives the new
  // position; one before the start is refused (kErrorNegativeSeek).
  bool seek(int64_t distance, SeekOrigin origin, uint64_t* position = nullptr);
  bool size(uint64_t* bytes);

  // Hands everything written so far to the disk (FlushFileBuffers).
  bool flush();

  // Sets the end of the file at the position (SetEndOfFile).
  bool truncateHere();

  // How many names (hard links) the open file has, and whether it carries
  // the read-only attribute (GetFileInformationByHandle).
  bool describe(uint32_t* names, bool* readOnly);
  // Clears the read-only attribute through the handle (kWriteAttributes).
  bool clearReadOnly();
  // Removes the name that openIn opened the file by: the file itself, never
  // what a link points to (kDeleteAccess; FileDispositionInfo). The file
  // goes when the handle closes.
  bool removeName();
  // Gives the file opened with kDeleteAccess (by openIn) the name `name`
  // in `folder`, in one step, through the handle and the held folder
  // (FileRenameInformation with the folder as its root, replacing what
  // holds the name; renameat): the name shows the old file or this one,
  // never neither. A link at the name is replaced, never followed. What
  // holds the name stays where the system refuses: a folder, a read-only
  // file, a file that is open (kErrorAccessDenied). Afterwards the handle
  // is the file under its new name.
  bool putInPlace(const Folder& folder, const std::string& name);
  // The traits a replacement takes over, and taking them over.
  bool traits(FileTraits* traits);
  bool adoptTraits(const FileTraits& traits);

 private:
  friend class FileView;
  bool fails();  // false with kErrorInvalidHandle: not open
  std::unique_ptr<OpenFile> object_;
  uint64_t position_ = 0;
};

// A part of an open file mapped for reading (CreateFileMapping and
// MapViewOfFile; mmap): many small reads spread over a region cost no call
// each, and no byte between them is copied. The part must lie within the
// file, and the file must keep its length while the view lives.
//
// A read that fails inside a view is an exception, not a code: `map`
// refuses with kErrorNotSupported where a read may fail for reasons of the
// medium (a removable or optical volume, a network share; on Windows as
// the volume of the handle says, NtQueryVolumeInformationFile), and the
// caller reads instead.
class FileView {
 public:
  bool map(File& file, uint64_t offset, uint32_t length);
  const char* bytes() const { return mapping_ ? mapping_->bytes : nullptr; }

 private:
  std::unique_ptr<MappedBytes> mapping_;
};

// A folder held open, so that it cannot be renamed, removed or replaced
// while it is held (no delete sharing), and so that the files and folders
// below it are opened relative to it. A root is opened by its path, links
// included: where the player's folder lies is the player's choice. Every
// folder below it is reached through its parent and is never a link.
class Folder {
 public:
  bool openRoot(const char* path);
  // The process's current folder, as a root whose path() is empty: files
  // below it are named as relative paths.
  bool openCurrent();
  // The folder `name` (one part) of `parent`. A link there is refused
  // (kErrorCantAccessFile); a missing one is kErrorPathNotFound unless
  // `create` makes it, and a file where it would be is kErrorPathNotFound,
  // or kErrorAlreadyExists when asked to create.
  bool openChild(const Folder& parent, const std::string& name, bool create);
  bool isOpen() const { return object_ != nullptr; }
  void close() { object_.reset(); }
  // The path the folder was reached by, ending with a backslash.
  const std::string& path() const;
  const OpenFolder& object() const { return *object_; }

 private:
  std::unique_ptr<OpenFolder> object_;
};

// A file search (FindFirstFile / FindNextFile / FindClose).
class FileSearch {
 public:
  bool first(const char* pattern, FoundFile* found);
  bool next(FoundFile* found);
  void close() { found_.clear(); }

 private:
  std::vector<FoundFile> found_;
  size_t next_ = 0;
};

// The attributes of the file or folder at a path, without opening it
// (GetFileAttributes): kAttributeDirectory, kAttributeReadOnly. False when
// nothing is there.
bool pathAttributes(const char* path, uint32_t* attributes);

// Creates a folder (CreateDirectory); removes a file (DeleteFile).
bool createFolder(const char* path);
bool deleteFile(const char* path);

// The process's current directory (GetCurrentDirectory / SetCurrentDirectory):
// CP932 with backslashes, no trailing backslash. For the publisher tool,
// which acts from an update folder as the updater does.
bool currentFolder(std::string* path);
// The folder for temporary files (GetTempPath; $TMPDIR, else /tmp), CP932
// with backslashes. False when CP932 cannot write it.
bool temporaryFolder(std::string* path);
bool setCurrentFolder(const char* path);

// Lets a console show the UTF-8 text that the tools print
// (SetConsoleOutputCP), and gives the console its own code page back before
// the tool exits; nothing to do on POSIX terminals.
void useUtf8ConsoleOutput();
void restoreConsoleOutput();

// The thread's last-error value (GetLastError / SetLastError).
uint32_t lastError();
void setLastError(uint32_t code);

// The system's message text for an error code (FormatMessage with
// FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, language
// 0x400), converted to CP932. False when the system has no text for it.
bool systemMessage(uint32_t code, std::string* text);

// A manual-reset event. The handle lives until the process ends: it is never
// closed, since the worker may still be waiting on it while the process exits.
struct EventHandle {
  void* raw = nullptr;
  explicit operator bool() const { return raw != nullptr; }
};
// A name that another process created first gives that process's event and
// the last error kErrorAlreadyExists.
EventHandle createManualResetEvent(const char* name, bool initiallySignalled);
void closeEvent(EventHandle event);
bool setEvent(EventHandle event);
bool resetEvent(EventHandle event);
void waitForever(EventHandle event);

// A thread (CreateThread with default security and stack size, not suspended).
using ThreadProc = uint32_t (*)(void* argument);
struct ThreadHandle {
  void* raw = nullptr;
  explicit operator bool() const { return raw != nullptr; }
};
ThreadHandle startThread(ThreadProc proc, void* argument);
// Waits for the thread to end; tests and tools only (the program never joins).
void joinThread(ThreadHandle thread);
void closeThreadHandle(ThreadHandle thread);

// CP932 <-> UTF-8 for what tools print and read; false on bytes that are not
// valid in the source encoding.
bool cp932ToUtf8(const std::string& cp932, std::string* utf8);
bool utf8ToCp932(const std::string& utf8, std::string* cp932);

}  // namespace plat
