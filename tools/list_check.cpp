#include "tools/list_check.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "archive/content.h"
#include "platform/platform.h"

namespace {

struct PieceCopy {
  int lineNumber;
  bool continuation;
  std::string bytes;
  ScannedLine scanned;
  PieceOutcome outcome;
  int entryIndex;
};

class PieceCollector : public ListObserver {
 public:
  void onPiece(const ListPiece& piece) override {
    lines[piece.lineNumber].push_back(PieceCopy{piece.lineNumber, piece.continuation, std::string(piece.bytes, piece.length),
                                                piece.scanned, piece.outcome, piece.entryIndex});
  }
  std::map<int, std::vector<PieceCopy>> lines;  // the pieces of each line, by its number
};

std::string letterText(char letter) {
  unsigned char byte = static_cast<unsigned char>(letter);
  if (byte >= 0x21 && byte < 0x7F) return std::string("'") + letter + "'";
  char text[16];
  std::snprintf(text, sizeof text, "byte 0x%02X", byte);
  return text;
}

// The first byte from `at` on that is no list white space (or the end).
size_t pastWhiteSpace(const std::string& bytes, size_t at) {
  while (at < bytes.size() && isListWhiteSpace(static_cast<unsigned char>(bytes[at]))) ++at;
  return at;
}

bool onlyWhiteSpace(const std::string& bytes) { return pastWhiteSpace(bytes, 0) == bytes.size(); }

// What follows the fields that the entry keeps, trimmed; the scanner's own
// field lengths say where they end.
std::string ignoredRest(const PieceCopy& piece) {
  const std::string& bytes = piece.bytes;
  size_t at = 1;
  int kept = listFieldsKept(piece.scanned);
  for (int field = 0; field < kept; ++field) at = pastWhiteSpace(bytes, at) + std::strlen(piece.scanned.fields[field]);
  size_t end = std::min(bytes.find('\0'), bytes.size());
  if (at >= end) return "";
  std::string rest = bytes.substr(at, end - at);
  size_t first = pastWhiteSpace(rest, 0);
  size_t last = rest.size();
  while (last > first && isListWhiteSpace(static_cast<unsigned char>(rest[last - 1]))) --last;
  return rest.substr(first, last - first);
}

std::string commandMeaning(char letter) {
  switch (letter) {
    case 'E': return "an 'E' entry (target checking on for the entries that follow)";
    case 'N': return "an 'N' entry (target checking off for the entries that follow)";
    case 'P': case 'C': return std::string("a '") + letter + "' entry";
    case 'R': case 'I': return std::string("an '") + letter + "' entry";
    default: return "an entry";
  }
}

// How the updater takes one piece, in words.
std::string pieceOutcomeText(const PieceCopy& piece, const UpdateList& list) {
  switch (piece.outcome) {
    case PieceOutcome::Stored:
    case PieceOutcome::PathRefused:
      return "read as entry " + std::to_string(piece.entryIndex + 1) + ": " + describeEntry(list, piece.entryIndex) +
             (piece.outcome == PieceOutcome::PathRefused ? ", a path the updater refuses" : "");
    case PieceOutcome::OverCapacity: return "an entry beyond the 512th";
    case PieceOutcome::TooFewFields: return "skipped (too few fields)";
    case PieceOutcome::UnknownLetter:
      return onlyWhiteSpace(piece.bytes) ? "skipped (only white space)" : "skipped (" + letterText(piece.scanned.letter) + " is no command)";
  }
  return "";
}

bool looksLikeComment(const std::string& bytes) {
  return !bytes.empty() && (bytes[0] == ';' || bytes[0] == '#' || (bytes[0] == '/' && bytes.size() > 1 && bytes[1] == '/'));
}

// The first byte that is not CP932, or npos.
size_t firstInvalidCp932(const std::string& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(bytes[i]);
    if (byte < 0x80) continue;
    bool kana = byte >= 0xA1 && byte <= 0xDF;  // the one non-ASCII single byte
    size_t length = kana ? 1 : 2;
    std::string converted;
    if ((!kana && !isCp932LeadByte(byte)) || i + length > bytes.size() ||
        !plat::cp932ToUtf8(bytes.substr(i, length), &converted))
      return i;
    i += length - 1;
  }
  return std::string::npos;
}

// True when the text has non-ASCII bytes and every one of them belongs to
// a well-formed UTF-8 character: a list saved by an editor as UTF-8, whose
// names the updater would read as other CP932 characters. Real CP932 text
// with kanji or kana is almost never well-formed UTF-8.
bool looksLikeUtf8(const std::string& bytes, size_t* firstNonAscii) {
  bool any = false;
  size_t length = 1;
  for (size_t i = 0; i < bytes.size(); i += length) {
    unsigned char lead = static_cast<unsigned char>(bytes[i]);
    length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 1) continue;  // ASCII
    if (!any) *firstNonAscii = i;
    any = true;
    if (length == 0 || i + length > bytes.size()) return false;
    uint32_t code = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF))
      return false;
  }
  return any;
}

// The 1-based line that holds byte `at` of the text.
int lineOf(const std::string& text, size_t at) {
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + at, '\n'));
}

void add(ListReport* report, int line, const char* code, const std::string& message, bool problem = true) {
  report->findings.push_back(Finding{line, code, problem, message});
}

void checkPiece(const PieceCopy& piece, ListReport* report, bool* capacityReported) {
  const ScannedLine& scanned = piece.scanned;
  const UpdateList& list = *report->list;
  int line = piece.lineNumber;
  size_t nul = piece.bytes.find('\0');
  if (nul != std::string::npos && nul > 0 && !onlyWhiteSpace(piece.bytes.substr(nul + 1)))
    add(report, line, "nul-byte", "a NUL byte at byte " + std::to_string(nul + 1) + " ends the line for the updater: the bytes after it are ignored");
  switch (piece.outcome) {
    case PieceOutcome::UnknownLetter: {
      if (piece.continuation || onlyWhiteSpace(piece.bytes)) return;  // split lines are reported whole
      unsigned char letter = static_cast<unsigned char>(scanned.letter);
      if (scanned.itemCount == 0) {
        add(report, line, "nul-byte", "the line begins with a NUL byte: skipped");
      } else if (isListWhiteSpace(letter)) {
        add(report, line, "leading-white-space", "the line begins with white space, so its first byte is no command letter: skipped");
      } else if (std::strchr("cerinp", letter) != nullptr) {
        add(report, line, "lower-case-letter",
            letterText(scanned.letter) + " is a lower-case letter; commands are upper-case ('" +
                static_cast<char>(letter - 0x20) + "'): skipped");
      } else if (looksLikeComment(piece.bytes)) {
        add(report, line, "comment", "comment line: skipped", false);
      } else {
        add(report, line, "unknown-letter", letterText(scanned.letter) + " is no command letter (C, R, I, P, E, N): skipped");
      }
      return;
    }
    case PieceOutcome::TooFewFields: {
      int needed = listFieldsNeeded(scanned.letter);
      int found = scanned.itemCount - 1;
      std::string what = scanned.letter == 'I' ? "a target archive, a source and an entry name" : "a path";
      add(report, line, "too-few-fields",
          letterText(scanned.letter) + " needs " + what + " (" + counted(needed, "field") + "); the line has " +
              std::to_string(found) + ": skipped");
      return;
    }
    case PieceOutcome::OverCapacity:
      if (!*capacityReported) {
        *capacityReported = true;
        add(report, line, "over-capacity",
            "this would be entry 513: the updater refuses a list of more than 512 entries as a whole and stops with message L");
      }
      return;
    case PieceOutcome::Stored:
    case PieceOutcome::PathRefused: break;
  }
  if (piece.continuation) return;  // reported with its line
  int index = piece.entryIndex;
  char letter = scanned.letter;
  bool joined = piece.bytes.size() > 1 && piece.bytes[1] != '\0' && !isListWhiteSpace(static_cast<unsigned char>(piece.bytes[1]));
  std::string rest = ignoredRest(piece);
  if (letter == 'E' || letter == 'N') {
    if (scanned.itemCount >= 2)
      add(report, line, "comment-entry", "the line is read as " + commandMeaning(letter) + "; the rest, " + quoted(rest) + ", is ignored");
    return;
  }
  if (joined) {
    add(report, line, letter == 'P' ? "comment-entry" : "no-separator",
        "no white space after the letter: the line is read as " + commandMeaning(letter) + " for " + quoted(list.paths[index]) +
            (rest.empty() ? "" : ", and " + quoted(rest) + " is ignored"));
  } else if (!rest.empty()) {
    const std::string& kept = letter == 'I' ? list.entryNames[index] : list.paths[index];
    add(report, line, "field-cut", "a field is cut at white space: the updater takes " + quoted(kept) + " and ignores " + quoted(rest));
  }
  int field = 0;
  if (!checkEntryPaths(list, index, &field).ok()) {
    const std::string& path = field == 0 ? list.paths[index] : list.sourceNames[index];
    const char* role = letter == 'P' ? "the package " : letter != 'I' ? "the path " : field == 0 ? "the target archive " : "the source ";
    add(report, line, "path-refused",
        role + quoted(path) + " breaks the rule for paths: " + listPathProblem(path) +
            "; the updater refuses the whole list and stops with message L");
  }
}

}  // namespace

std::string describeEntry(const UpdateList& list, int index) {
  UpdateEntry entry = updateEntry(list, index);
  std::string text(1, entry.command);
  if (!entry.path.empty()) text += " " + shown(entry.path);
  if (entry.command == 'I') text += " " + shown(entry.sourceName) + " " + shown(entry.entryName);
  return text;
}

bool checkUpdateList(const char* fileName, ListReport* report) {
  PieceCollector collector;
  Content raw;
  if (!readFileContent(fileName, &raw, kContentsHeldWhole)) return false;
  loadUpdateListFrom(fileName, report->list.get(), &collector);
  const UpdateList& list = *report->list;

  bool capacityReported = false;
  for (const auto& [number, pieces] : collector.lines) {
    report->lineCount = number;
    std::string whole;
    for (const PieceCopy& piece : pieces) {
      whole += piece.bytes;
      // The loader stores entries one index after the other.
      if (piece.entryIndex >= 0) report->entryLines.push_back(number);
    }
    while (!whole.empty() && (whole.back() == '\n' || whole.back() == '\r')) whole.pop_back();
    if (pieces.size() > 1) {
      std::string message = "the line is " + std::to_string(whole.size()) +
                            " bytes long; the updater reads it in pieces of at most 255 bytes, each as a line of its own:";
      size_t offset = 0;
      for (const PieceCopy& piece : pieces) {
        message += " from byte " + std::to_string(offset + 1) + ", " + pieceOutcomeText(piece, list) + ";";
        offset += piece.bytes.size();
      }
      message.pop_back();
      add(report, number, "split-line", message);
    }
    if (whole.find('\0') == std::string::npos) {
      size_t bad = firstInvalidCp932(whole);
      if (bad != std::string::npos)
        add(report, number, "invalid-cp932", "byte " + std::to_string(bad + 1) + " of the line is not valid CP932");
    }
    for (const PieceCopy& piece : pieces) checkPiece(piece, report, &capacityReported);
  }

  const std::string whole(raw.heldBytes(), raw.size);
  size_t firstNonAscii = 0;
  if (looksLikeUtf8(whole, &firstNonAscii)) {
    size_t start = whole.rfind('\n', firstNonAscii) + 1;  // npos + 1: the first line starts at 0
    // Up to the end of the line, or of the text (npos).
    std::string text = whole.substr(start, whole.find_first_of("\r\n", firstNonAscii) - start);
    add(report, lineOf(whole, firstNonAscii), "utf8-text",
        "the list looks like UTF-8 (every non-ASCII byte is part of a UTF-8 character): the updater reads code page 932, "
        "so this line means " + quoted(text) + " to it, not \"" + text + "\"; save the list as code page 932 (Shift-JIS)");
  }

  // A 0x1A ends the text for the updater's text-mode reading.
  size_t mark = whole.find('\x1A');
  if (mark != std::string::npos && !onlyWhiteSpace(whole.substr(mark + 1)))
    add(report, lineOf(whole, mark), "end-of-text-mark",
        "byte 0x1A ends the list as text: the " + std::to_string(whole.size() - mark - 1) + " bytes after it are never read");
  bool refusedWhole = capacityReported;
  for (const Finding& finding : report->findings) refusedWhole = refusedWhole || finding.code == "path-refused";
  if (list.count == 0 && !refusedWhole)
    add(report, 0, "no-entries", "no line is read as an entry: the updater stops with message L");
  return true;
}

int runListCheck(const std::vector<std::string>& arguments, ToolOutput* output) {
  if (arguments.size() > 1) {
    output->err += "usage: updtool list check [UpDate.lst]\n";
    return kExitUsage;
  }
  std::string name = arguments.empty() ? "UpDate.lst" : arguments[0];
  std::string path;
  if (!existingOperand("the list", name, PathKind::File, &path, output)) return kExitUsage;
  ListReport report;
  if (!checkUpdateList(path.c_str(), &report)) {
    output->err += "updtool: cannot read the list \"" + name + "\": " + lastErrorText() + "\n";
    return kExitUsage;
  }
  int problems = problemCount(report.findings);
  int notes = static_cast<int>(report.findings.size()) - problems;
  JsonWriter json(&output->out);
  if (output->json) json.object().text("file", name).number("lines", report.lineCount).number("entries", report.list->count);
  return printFindings(json, name, "line", report.findings,
                       name + ": " + std::to_string(report.list->count) + " entries from " +
                           std::to_string(report.lineCount) + " lines; " + counted(problems, "problem") +
                           (notes > 0 ? ", " + counted(notes, "note") : "") + "\n",
                       output);
}
