// The update list "UpDate.lst": one command per line, a letter and up to
// three white-space separated fields, read in pieces of at most 255 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "list/list_path.h"

class HeldFolders;

// The list's name in the update folder.
constexpr char kUpdateListName[] = "UpDate.lst";
constexpr int kUpdateListCapacity = 512;
constexpr size_t kListLineBufferSize = 256;  // a piece holds at most 255 bytes
constexpr size_t kListFieldBufferSize = 256;

struct UpdateList {
  unsigned char commands[kUpdateListCapacity] = {};
  std::string paths[kUpdateListCapacity];
  std::string sourceNames[kUpdateListCapacity];
  std::string entryNames[kUpdateListCapacity];
  int32_t count = 0;
};

// The process-wide list that a run loads and reads.
extern UpdateList updateList;

// The view of one index of a list.
struct UpdateEntry {
  char command;
  const std::string& path;
  const std::string& sourceName;
  const std::string& entryName;
};
UpdateEntry updateEntry(const UpdateList& list, int index);

// The result of scanning one piece with "%c\t%s\t%s\t%s\n": itemCount is the
// number of conversions (the letter counts as one; 0 for an empty piece).
struct ScannedLine {
  int itemCount = 0;
  char letter = 0;
  char fields[3][kListFieldBufferSize] = {};
};
void scanListLine(const char* piece, ScannedLine* scanned);

// What the loader did with one piece, for tools that explain a list.
enum class PieceOutcome { Stored, UnknownLetter, TooFewFields, OverCapacity, PathRefused };

struct ListPiece {
  int lineNumber;       // 1-based physical line of the file
  bool continuation;    // a later piece of a line longer than 255 bytes
  bool lineGoesOn;      // the line did not end within this piece
  const char* bytes;    // the piece as read (may hold NUL bytes)
  size_t length;
  const ScannedLine& scanned;
  PieceOutcome outcome;
  int entryIndex;       // index stored at, or -1
};

class ListObserver {
 public:
  virtual ~ListObserver() = default;
  virtual void onPiece(const ListPiece& piece) = 0;
};

// Reads a list file into `list`. True exactly when at least one entry was
// stored. A list with more than 512 accepted lines is refused as a whole
// (count 0, false): applying only its first 512 entries would report a
// partial update as a success. So is a list with a path that breaks the
// path rule (PathRefused): nothing of it may run. A file that cannot be
// opened leaves the list as it was.
bool loadUpdateListFrom(const char* fileName, UpdateList* list, ListObserver* observer = nullptr);

// Reads "UpDate.lst" of the held update folder into `updateList`; one
// behind a link cannot be opened.
bool loadUpdateList(HeldFolders& updateFolder);

bool isListWhiteSpace(unsigned char byte);
// True when any byte of the text is list white space: no field can hold it.
bool holdsListWhiteSpace(const std::string& text);

// The fields a command letter needs for its line to be stored (C and R a
// path, I an archive, a source and an entry name; E, N and P none), and the
// fields that a stored line keeps (P keeps its package when it has one).
int listFieldsNeeded(char letter);

// The first path of a stored entry that breaks the path rule: C and R
// name their target and source with `path`, I its archive with `path` and
// its source with `sourceName`, P its package with `path` (none for a bare
// P). *field receives 0 for `path`, 1 for `sourceName`.
ListPathCheck checkEntryPaths(const UpdateList& list, int index, int* field = nullptr);
int listFieldsKept(const ScannedLine& scanned);
