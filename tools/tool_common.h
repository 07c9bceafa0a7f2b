// Shared pieces of the publisher tool: where its output goes, how CP932
// names are shown, and the few file-tree walks that its commands need.
#pragma once

#include "platform/cp932.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/content.h"
#include "list/update_list.h"
#include "run/run_host.h"

// Exit codes a script can rely on.
constexpr int kExitFine = 0;
constexpr int kExitProblems = 1;
constexpr int kExitUsage = 2;

// Everything a command prints: `out` for its report, `err` for usage and
// I/O errors. The entry point writes both; tests read them. `progress`,
// set by the entry point only while standard error is a terminal, shows a
// line of progress as it goes (never under --json).
struct ToolOutput {
  bool json = false;
  std::string out;
  std::string err;
  std::function<void(const std::string& utf8)> progress;
  // The folder the tool's program lies in (CP932, ending with a
  // backslash; empty when unknown): make takes the updater from beside it.
  std::string programFolder;
};

// The tool's whole command line, without the program name, as UTF-8.
int runTool(const std::vector<std::string>& arguments, ToolOutput* output);

// A CP932 name as UTF-8 for the terminal; bytes that are not CP932 are
// shown as \xNN so that nothing is hidden.
std::string shown(const std::string& cp932);
// A UTF-8 text as a quoted JSON string.
std::string jsonText(const std::string& utf8);
// A CP932 name in quotes for a report line, through shown().
std::string quoted(const std::string& cp932);

// The one JSON writer of every command: compact objects and arrays with
// the separators kept right. A key is given inside an object and left out
// (nullptr) inside an array. Closing the outermost value ends the line.
class JsonWriter {
 public:
  explicit JsonWriter(std::string* out) : out_(out) {}

  JsonWriter& object(const char* key = nullptr) { return open(key, '{', '}'); }
  JsonWriter& array(const char* key = nullptr) { return open(key, '[', ']'); }
  JsonWriter& end();  // of the innermost open object or array

  JsonWriter& text(const char* key, const std::string& utf8);
  JsonWriter& name(const char* key, const std::string& cp932);
  JsonWriter& number(const char* key, int64_t value);
  JsonWriter& flag(const char* key, bool value);
  JsonWriter& null(const char* key);
  JsonWriter& textOrNull(const char* key, const std::string& utf8);  // null when empty
  // A text list, each element UTF-8.
  JsonWriter& texts(const char* key, const std::vector<std::string>& utf8);

 private:
  void member(const char* key);
  JsonWriter& raw(const char* key, const std::string& json);  // already in JSON form
  JsonWriter& open(const char* key, char opener, char closer);

  std::string* out_;
  std::string closers_;      // what each open level ends with
  std::vector<bool> empty_;  // whether each open level has no member yet
};

// One thing a check found in a file: a problem, or a note.
struct Finding {
  int number = 0;        // the line or entry it is about, 1-based; 0 for the file as a whole
  std::string code;      // stable, for scripts
  bool problem = true;   // false: a note
  std::string message;   // UTF-8
};
int problemCount(const std::vector<Finding>& findings);
// A check's report of its findings, each about a "line" or an "entry"
// (`unit`): under --json the problem count and the array "findings",
// closing the object that `json` holds open with the check's own members;
// else each as a line of text ("FILE:3: ..." or "FILE: entry 3: ...") and
// then `summary`. The exit code for the problems found.
int printFindings(JsonWriter& json, const std::string& file, const char* unit, const std::vector<Finding>& findings,
                  const std::string& summary, ToolOutput* output);
// "1 problem", "2 problems".
std::string counted(int64_t count, const char* what);

// The operands of plan and apply: [--install DIR] [UPDATE_DIR], and for
// apply [--retries N] with --install required. The install folder comes
// absolute and ending with a backslash, as the updater's folder text does
// (empty when not given); the update folder as typed and as CP932.
struct RunOperands {
  std::string install, folderText = ".", folder;
  int retries = 0;
};
// False after a usage or an I/O error is written (`usage` for the first).
bool readRunOperands(const std::vector<std::string>& arguments, const char* usage, bool apply, RunOperands* run,
                     ToolOutput* output);
class FolderVisit;
// The update folder made the current one; false after the error is written.
bool enterUpdateFolder(const RunOperands& run, FolderVisit* visit, ToolOutput* output);

enum class PathKind { Missing, File, Folder };

// A path typed on the command line (UTF-8, either slash) as the CP932 path
// with backslashes that the platform layer takes. False when the text has
// no CP932 form.
bool argumentPath(const std::string& utf8, std::string* cp932);
// An operand that must name an existing folder or file (`wanted`):
// converted as argumentPath does, and checked, so that an error names the
// operand by its role ("NEW_DIR game-1.1 does not exist") instead of a bare
// system code. False after writing the error to output->err.
bool existingOperand(const char* role, const std::string& utf8, PathKind wanted, std::string* cp932, ToolOutput* output);
// An operand that is only converted (a file or folder still to be made).
bool newPathOperand(const char* role, const std::string& utf8, std::string* cp932, ToolOutput* output);

// The path with exactly one backslash at its end.
std::string asFolder(const std::string& path);
// An absolute form of a path, against the current folder.
bool absolutePath(const std::string& path, std::string* absolute);

// The folder part of a relative CP932 path ("" when it has none), found
// without mistaking a 0x5C trail byte for a separator.
std::string parentFolder(const std::string& relative);
// Why a path breaks the updater's path rule for every path a list names
// (checkListPath), in words; empty when it keeps the rule. The same rule
// decides what archive extract writes, so the tool's output never depends
// on where it runs.
std::string listPathProblem(const std::string& path);
// The path as Windows compares file names: case folded for every letter
// that has a case in CP932 (Latin, full-width Latin, Greek, Cyrillic,
// Roman numerals), so that two names that open one file fold alike.
std::string windowsFoldedName(const std::string& relative);

PathKind pathKind(const std::string& path);

// A file or folder found under a name that needs a word to the publisher.
struct OddName {
  std::string path;  // CP932 relative path; empty when CP932 cannot write it
  std::string utf8;  // the relative path as the file system holds it
};

// Every file below `folder` (which ends with a backslash), as relative
// CP932 paths with backslashes, sorted by bytes. Files and folders whose
// names CP932 cannot write (no list line, archive entry or path of the
// updater can name them) go to *unnameable; files whose CP932 name reads
// back as other characters (U+301C WAVE DASH becomes U+FF5E) are listed
// and also go to *reshaped. False when the folder cannot be searched.
bool listFilesBelow(const std::string& folder, std::vector<std::string>* files,
                    std::vector<OddName>* unnameable = nullptr, std::vector<OddName>* reshaped = nullptr);
// What Windows shows for a reshaped name: "U+301C becomes U+FF5E" for each
// character that differs.
std::string reshapedCharacters(const OddName& name);
// Creates the folder and any missing parents.
bool makeFolders(const std::string& folder);
bool writeWholeFile(const std::string& path, const char* bytes, uint32_t size);
// Creates or replaces the file with the content, written piece by piece;
// *readFailed tells a content that could not be read from a file that
// could not be written.
bool writeContentFile(const std::string& path, const Content& content, const ContentProgress& progress,
                      bool* readFailed);
// The size of a file, or false (the last error says why).
bool fileSizeOf(const std::string& path, uint64_t* size);
// The platform's text for the last error, for I/O error reports.
std::string lastErrorText();
// An I/O error on output->err with the last error's text: "updtool: cannot
// DOING "PATH": error 2: ..." (the CP932 path shown), or with `what` as
// written ("read DIR \"game\"", an operand as typed). False, so that a
// command returns it.
bool ioError(ToolOutput* output, const std::string& doing, const std::string& cp932Path);
bool cannot(ToolOutput* output, const std::string& what);

// A scratch file for what an overlay keeps beyond its memory bound, among
// the system's temporary files: never in a folder that the run looks at.
bool overlayScratchPath(const char* use, std::string* path);

// Makes a folder the current one for the object's life (an update folder,
// which the updater reads from as its current folder).
class FolderVisit {
 public:
  bool enter(const std::string& folder);
  ~FolderVisit();

 private:
  std::string previous_;
  bool entered_ = false;
};

// The updater's dialog for a tool's run: it hands out the install folder,
// answers every file-error prompt with Retry `retries` times in a row and
// then with Cancel, and keeps each prompt and the final message. Tools that
// follow the run entry by entry hear of each entry as it ends.
class RecordingHost : public RunHost {
 public:
  struct Prompt {
    std::string caption, text;  // CP932
    bool retried;
  };
  RecordingHost(const std::string& installFolder, int retries) : install_(installFolder), retries_(retries) {}

  void readInstallFolder(char* buffer, int size) override;
  void setProgressRange(int, int) override {}
  void setProgressPosition(int) override;
  int showMessage(void* owner, const char* text, const char* caption, uint32_t style) override;
  void requestClose() override {}

  std::vector<Prompt> prompts;
  std::string message, caption;  // CP932: the run's last box

 protected:
  // The bar's first move comes before the verification (`ended` -1); then
  // one move after each entry (`ended`, 0-based), and the last one at the
  // end (`ended` the count).
  virtual void barMoved(int ended) {}
  virtual void prompted(const Prompt& prompt) {}
  const std::string& installFolder() const { return install_; }

 private:
  std::string install_;
  int retries_;
  int moves_ = 0;
  int promptsInARow_ = 0;
};

// The updater's own run, in this process and on this thread, behind
// `host`, from the current folder: the run state set up as a new program
// has it, and let go of afterwards. The changed-file count.
int runTheUpdater(RunHost& host);
