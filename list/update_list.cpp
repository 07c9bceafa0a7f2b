#include "list/update_list.h"

#include <cstring>

#include "platform/held_folders.h"
#include "platform/text_stream.h"

UpdateList updateList;

UpdateEntry updateEntry(const UpdateList& list, int index) {
  return UpdateEntry{static_cast<char>(list.commands[index]), list.paths[index], list.sourceNames[index],
                     list.entryNames[index]};
}

bool isListWhiteSpace(unsigned char byte) {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' || byte == '\r';
}

// The scan of "%c\t%s\t%s\t%s\n": "%c" takes the first byte whatever it is,
// each white-space directive skips any run of white space (none included),
// and each "%s" skips white space and takes the longest non-white run. The
// scan ends at the first NUL, as a C string scan does.
void scanListLine(const char* piece, ScannedLine* scanned) {
  *scanned = ScannedLine{};
  const unsigned char* at = reinterpret_cast<const unsigned char*>(piece);
  if (*at == '\0') return;
  scanned->letter = static_cast<char>(*at++);
  scanned->itemCount = 1;
  for (int field = 0; field < 3; ++field) {
    while (*at != '\0' && isListWhiteSpace(*at)) ++at;
    if (*at == '\0') return;
    size_t length = 0;
    while (*at != '\0' && !isListWhiteSpace(*at) && length + 1 < kListFieldBufferSize)
      scanned->fields[field][length++] = static_cast<char>(*at++);
    scanned->fields[field][length] = '\0';
    ++scanned->itemCount;
  }
}

bool holdsListWhiteSpace(const std::string& text) {
  for (unsigned char byte : text)
    if (isListWhiteSpace(byte)) return true;
  return false;
}

int listFieldsNeeded(char letter) {
  switch (letter) {
    case 'C':
    case 'R': return 1;
    case 'I': return 3;
    default: return 0;
  }
}

int listFieldsKept(const ScannedLine& scanned) {
  switch (scanned.letter) {
    case 'C':
    case 'R': return 1;
    case 'P': return scanned.itemCount >= 2 ? 1 : 0;
    case 'I': return 3;
    default: return 0;
  }
}

namespace {

bool isCommandLetter(char letter) { return letter != '\0' && std::strchr("CRIPEN", letter) != nullptr; }

PieceOutcome decide(const ScannedLine& scanned) {
  if (!isCommandLetter(scanned.letter)) return PieceOutcome::UnknownLetter;
  // The letter is the first item the scan converts; each field one more.
  return scanned.itemCount >= 1 + listFieldsNeeded(scanned.letter) ? PieceOutcome::Stored : PieceOutcome::TooFewFields;
}

void store(const ScannedLine& scanned, UpdateList* list) {
  int index = list->count;
  list->commands[index] = static_cast<unsigned char>(scanned.letter);
  int kept = listFieldsKept(scanned);
  if (kept >= 1) list->paths[index] = scanned.fields[0];
  if (kept == 3) {
    list->sourceNames[index] = scanned.fields[1];
    list->entryNames[index] = scanned.fields[2];
  }
  list->count = index + 1;
}

}  // namespace

namespace {

bool readUpdateList(plat::TextReader& reader, UpdateList* list, ListObserver* observer) {
  list->count = 0;
  char piece[kListLineBufferSize];
  int lineNumber = 1;
  bool continuation = false;
  bool overCapacity = false;
  bool pathRefused = false;
  for (;;) {
    size_t length = reader.readLine(piece, sizeof piece);
    if (length == 0) break;
    bool lineGoesOn = piece[length - 1] != '\n';
    ScannedLine scanned;
    scanListLine(piece, &scanned);
    PieceOutcome outcome = decide(scanned);
    int entryIndex = -1;
    if (outcome == PieceOutcome::Stored && (overCapacity || list->count >= kUpdateListCapacity)) {
      overCapacity = true;  // read on only to tell an observer about the rest
      outcome = PieceOutcome::OverCapacity;
    } else if (outcome == PieceOutcome::Stored) {
      int index = list->count;
      list->paths[index].clear();
      list->sourceNames[index].clear();
      list->entryNames[index].clear();
      store(scanned, list);
      entryIndex = index;
      if (!checkEntryPaths(*list, index).ok()) {
        pathRefused = true;
        outcome = PieceOutcome::PathRefused;
      }
    }
    if (observer != nullptr)
      observer->onPiece(ListPiece{lineNumber, continuation, lineGoesOn, piece, length, scanned, outcome, entryIndex});
    continuation = lineGoesOn;
    if (!lineGoesOn) ++lineNumber;
    if ((overCapacity || pathRefused) && observer == nullptr) break;
  }
  bool refused = overCapacity || pathRefused;
  if (refused) list->count = 0;
  return list->count > 0;
}

}  // namespace

bool loadUpdateListFrom(const char* fileName, UpdateList* list, ListObserver* observer) {
  plat::TextReader reader;
  return reader.open(fileName) && readUpdateList(reader, list, observer);
}

ListPathCheck checkEntryPaths(const UpdateList& list, int index, int* field) {
  char letter = static_cast<char>(list.commands[index]);
  const std::string* paths[2] = {nullptr, nullptr};
  if (letter == 'C' || letter == 'R' || letter == 'I' || (letter == 'P' && !list.paths[index].empty()))
    paths[0] = &list.paths[index];
  if (letter == 'I') paths[1] = &list.sourceNames[index];
  for (int i = 0; i < 2; ++i) {
    if (paths[i] == nullptr) continue;
    ListPathCheck check = checkListPath(*paths[i]);
    if (check.ok()) continue;
    if (field != nullptr) *field = i;
    return check;
  }
  return ListPathCheck();
}

bool loadUpdateList(HeldFolders& updateFolder) {
  FileSpot spot;
  plat::TextReader reader;
  return updateFolder.reachInRoot(kUpdateListName, &spot) && reader.openIn(*spot.folder, spot.name) &&
         readUpdateList(reader, &updateList, nullptr);
}
