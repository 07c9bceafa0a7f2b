// Test helpers: a throw-away folder and whole-file reads and writes, all by
// CP932 path through the platform layer.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// "ソ表" in CP932: both characters end in the byte 0x5C, the backslash.
inline const std::string kSoHyou = "\x83\x5c\x95\x5c";

// CP932 text as UTF-8, the way a user types it on a terminal.
std::string utf8Of(const std::string& cp932);

// A fresh empty folder, removed with everything in it when the object goes.
// path() ends with a backslash, like an install folder.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + relative; }

 private:
  std::string path_;
};

// Makes the folder the process's current directory for the object's life.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::string& folder);
  ~CurrentDirectory();

 private:
  std::string previous_;
};

bool writeFile(const std::string& path, const std::string& bytes);
// As writeFile, making the missing folders of the path first.
bool readFile(const std::string& path, std::string* bytes);
bool writeFileAndFolders(const std::string& path, const std::string& bytes);
std::string readFileOrEmpty(const std::string& path);
bool fileIsPresent(const std::string& path);
bool makeFolder(const std::string& path);  // with any missing parents
bool removeTree(const std::string& path);  // a file, or a folder with all in it
// Every file below the folder (ending with a backslash): relative CP932
// path with backslashes -> content ("<N bytes>" beyond 64 MiB).
std::map<std::string, std::string> filesBelow(const std::string& folder);
// A modification stamp that changes on every write (nanoseconds where the
// file system has them).
int64_t modificationStamp(const std::string& path);
bool makeReadOnly(const std::string& path);
// Gives a file traits that a new file would not have: hidden and system on
// Windows, the owner's read and write bits alone on POSIX.
bool giveUnusualTraits(const std::string& path);
// Makes a file in a folder (CP932, ending with a backslash) under a name
// given in UTF-8, which may hold characters that CP932 cannot write.
bool writeFileNamedInUtf8(const std::string& folder, const std::string& utf8Name, const std::string& bytes);
// A symbolic link to a file or a folder, or a second name (hard link) of a
// file: `link` comes to stand for `target`. False where the platform
// cannot make one.
enum class LinkKind { File, Folder, SecondName };
bool makeLink(LinkKind kind, const std::string& link, const std::string& target);
// True where the read-only attribute really keeps writers out. Wine run as
// root maps it to Unix mode bits, which root ignores.
bool readOnlyAttributeHolds();

// Entries of a sample package archive, in index order: name (CP932,
// without its NUL) and content.
using ArchiveEntries = std::vector<std::pair<std::string, std::string>>;
// The archive as the archive writer makes it, written to `path`, or its bytes.
bool writeArchiveFile(const std::string& path, const ArchiveEntries& entries);
std::string archiveBytes(const ArchiveEntries& entries);
