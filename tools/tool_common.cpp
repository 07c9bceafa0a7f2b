#include "tools/tool_common.h"

#include "list/list_path.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/run_host.h"
#include "run/run_messages.h"
#include "run/run_state.h"

namespace {

// The code point at *at of well-formed UTF-8 (as the converters give),
// stepping past it.
uint32_t nextCodePoint(const std::string& utf8, size_t* at) {
  unsigned char lead = static_cast<unsigned char>(utf8[*at]);
  size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  length = std::min(length, utf8.size() - *at);
  uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(utf8[*at + k]) & 0x3F);
  *at += length;
  return code;
}

// The simple lower-case mappings of the letters CP932 holds in both cases.
uint32_t foldedCodePoint(uint32_t code) {
  if (code >= 'A' && code <= 'Z') return code + 0x20;
  if (code >= 0xFF21 && code <= 0xFF3A) return code + 0x20;  // full-width Latin
  if (code >= 0x0391 && code <= 0x03A9) return code + 0x20;  // Greek
  if (code >= 0x0410 && code <= 0x042F) return code + 0x20;  // Cyrillic
  if (code == 0x0401) return 0x0451;                         // Ё
  if (code >= 0x2160 && code <= 0x216F) return code + 0x10;  // Roman numerals
  return code;
}

struct Collected {
  std::vector<std::string>* files;
  std::vector<OddName>* unnameable;
  std::vector<OddName>* reshaped;
};

bool collectFiles(const std::string& folder, const std::string& prefix, const std::string& shownPrefix, Collected* into,
                  int depth) {
  if (depth > 64) return false;  // a link loop, not a game tree
  plat::FileSearch search;
  plat::FoundFile found;
  std::string pattern = folder + "*";
  if (!search.first(pattern.c_str(), &found)) return plat::lastError() == plat::kErrorFileNotFound;
  std::vector<plat::FoundFile> entries;
  do {
    if (found.nameable && (found.name == "." || found.name == "..")) continue;
    entries.push_back(found);
  } while (search.next(&found));
  search.close();
  for (const plat::FoundFile& entry : entries) {
    bool isFolder = (entry.attributes & plat::kAttributeDirectory) != 0;
    std::string shownPath = shownPrefix + entry.utf8Name + (isFolder ? "\\" : "");
    if (!entry.nameable) {
      if (into->unnameable) into->unnameable->push_back(OddName{"", shownPath});
      continue;
    }
    std::string readBack;
    if (into->reshaped && (!plat::cp932ToUtf8(entry.name, &readBack) || readBack != entry.utf8Name) && !isFolder)
      into->reshaped->push_back(OddName{prefix + entry.name, shownPath});
    if (isFolder) {
      if (!collectFiles(folder + entry.name + "\\", prefix + entry.name + "\\", shownPath, into, depth + 1)) return false;
    } else {
      into->files->push_back(prefix + entry.name);
    }
  }
  return true;
}

}  // namespace

std::string shown(const std::string& cp932) {
  std::string utf8;
  if (cp932.find('\0') == std::string::npos && plat::cp932ToUtf8(cp932, &utf8)) return utf8;
  // Character by character, so that one bad byte does not hide the rest.
  std::string result;
  char escaped[8];
  for (size_t i = 0; i < cp932.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(cp932[i]);
    if (byte >= 0x20 && byte < 0x7F) {
      result.push_back(static_cast<char>(byte));
      continue;
    }
    if (isCp932LeadByte(byte) && i + 1 < cp932.size()) {
      std::string pair = cp932.substr(i, 2);
      std::string converted;
      if (plat::cp932ToUtf8(pair, &converted)) {
        result += converted;
        ++i;
        continue;
      }
    } else if (byte >= 0xA1 && byte <= 0xDF) {
      std::string converted;
      if (plat::cp932ToUtf8(std::string(1, static_cast<char>(byte)), &converted)) {
        result += converted;
        continue;
      }
    }
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    result += escaped;
  }
  return result;
}

std::string jsonText(const std::string& utf8) {
  std::string result = "\"";
  char escaped[8];
  for (unsigned char byte : utf8) {
    switch (byte) {
      case '"': result += "\\\""; break;
      case '\\': result += "\\\\"; break;
      case '\n': result += "\\n"; break;
      case '\r': result += "\\r"; break;
      case '\t': result += "\\t"; break;
      default:
        if (byte < 0x20) {
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          result += escaped;
        } else {
          result.push_back(static_cast<char>(byte));
        }
    }
  }
  return result + "\"";
}

std::string quoted(const std::string& cp932) { return "\"" + shown(cp932) + "\""; }

void JsonWriter::member(const char* key) {
  if (!empty_.empty()) {
    if (!empty_.back()) out_->push_back(',');
    empty_.back() = false;
  }
  if (key != nullptr) *out_ += jsonText(key) + ":";
}

JsonWriter& JsonWriter::open(const char* key, char opener, char closer) {
  member(key);
  out_->push_back(opener);
  closers_.push_back(closer);
  empty_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::end() {
  if (closers_.empty()) return *this;
  out_->push_back(closers_.back());
  closers_.pop_back();
  empty_.pop_back();
  if (closers_.empty()) out_->push_back('\n');
  return *this;
}

JsonWriter& JsonWriter::raw(const char* key, const std::string& json) {
  member(key);
  *out_ += json;
  return *this;
}

JsonWriter& JsonWriter::text(const char* key, const std::string& utf8) { return raw(key, jsonText(utf8)); }

JsonWriter& JsonWriter::name(const char* key, const std::string& cp932) { return text(key, shown(cp932)); }

JsonWriter& JsonWriter::number(const char* key, int64_t value) { return raw(key, std::to_string(value)); }

JsonWriter& JsonWriter::flag(const char* key, bool value) { return raw(key, value ? "true" : "false"); }

JsonWriter& JsonWriter::null(const char* key) { return raw(key, "null"); }

JsonWriter& JsonWriter::textOrNull(const char* key, const std::string& utf8) {
  return utf8.empty() ? null(key) : text(key, utf8);
}

JsonWriter& JsonWriter::texts(const char* key, const std::vector<std::string>& utf8) {
  array(key);
  for (const std::string& item : utf8) text(nullptr, item);
  return end();
}

int problemCount(const std::vector<Finding>& findings) {
  int count = 0;
  for (const Finding& finding : findings) count += finding.problem ? 1 : 0;
  return count;
}

int printFindings(JsonWriter& json, const std::string& file, const char* unit, const std::vector<Finding>& findings,
                  const std::string& summary, ToolOutput* output) {
  bool lines = std::string(unit) == "line";
  if (output->json) json.number("problems", problemCount(findings)).array("findings");
  for (const Finding& finding : findings) {
    if (output->json) {
      json.object()
          .number(unit, finding.number)
          .text("code", finding.code)
          .text("severity", finding.problem ? "problem" : "note")
          .text("message", finding.message)
          .end();
      continue;
    }
    std::string number = std::to_string(finding.number);
    std::string where = finding.number == 0 ? ": " : lines ? ":" + number + ": " : ": entry " + number + ": ";
    output->out += file + where + (finding.problem ? "" : "note: ") + finding.message + " [" + finding.code + "]\n";
  }
  if (output->json) json.end().end();
  else output->out += summary;
  return problemCount(findings) > 0 ? kExitProblems : kExitFine;
}

std::string counted(int64_t count, const char* what) { return std::to_string(count) + " " + what + (count == 1 ? "" : "s"); }

bool argumentPath(const std::string& utf8, std::string* cp932) {
  if (!plat::utf8ToCp932(utf8, cp932)) return false;
  for (char& c : *cp932)
    if (c == '/') c = '\\';  // 0x2F is never a CP932 trail byte
  return true;
}

bool newPathOperand(const char* role, const std::string& utf8, std::string* cp932, ToolOutput* output) {
  if (argumentPath(utf8, cp932) && !cp932->empty()) return true;
  output->err += std::string("updtool: ") + role + " \"" + utf8 + "\" " +
                 (utf8.empty() ? "is empty" : "has no CP932 form, which every name of an update needs") + "\n";
  return false;
}

bool existingOperand(const char* role, const std::string& utf8, PathKind wanted, std::string* cp932, ToolOutput* output) {
  if (!newPathOperand(role, utf8, cp932, output)) return false;
  PathKind kind = pathKind(*cp932);
  if (kind == wanted) return true;
  std::string what = kind == PathKind::Missing ? "does not exist"
                     : kind == PathKind::File  ? "is a file, not a folder"
                                               : "is a folder, not a file";
  output->err += std::string("updtool: ") + role + " \"" + utf8 + "\" " + what + "\n";
  return false;
}

bool readRunOperands(const std::vector<std::string>& arguments, const char* usage, bool apply, RunOperands* run,
                     ToolOutput* output) {
  std::string installText;
  bool haveFolder = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--install" && i + 1 < arguments.size()) {
      installText = arguments[++i];
    } else if (apply && argument == "--retries" && i + 1 < arguments.size()) {
      const std::string& count = arguments[++i];
      char* end = nullptr;
      run->retries = static_cast<int>(std::strtol(count.c_str(), &end, 10));
      if (count.empty() || *end != '\0' || run->retries < 0) {
        output->err += usage;
        return false;
      }
    } else if (!haveFolder && argument.rfind("--", 0) != 0) {
      run->folderText = argument;
      haveFolder = true;
    } else {
      output->err += usage;
      return false;
    }
  }
  if (apply && installText.empty()) {
    output->err += usage;
    return false;
  }
  if ((!installText.empty() && !existingOperand("--install", installText, PathKind::Folder, &run->install, output)) ||
      !existingOperand("UPDATE_DIR", run->folderText, PathKind::Folder, &run->folder, output))
    return false;
  if (!run->install.empty() && !absolutePath(run->install, &run->install)) return cannot(output, "find the current folder");
  if (!run->install.empty()) run->install = asFolder(run->install);
  return true;
}

bool enterUpdateFolder(const RunOperands& run, FolderVisit* visit, ToolOutput* output) {
  return visit->enter(run.folder) || cannot(output, "enter UPDATE_DIR \"" + run.folderText + "\"");
}

std::string asFolder(const std::string& path) {
  if (path.empty()) return path;
  std::vector<std::string> parts = cp932PathParts(path);
  // A trailing 0x5C may be the trail byte of a character: only a separator
  // leaves an empty last part.
  if (!parts.empty() && parts.back().empty()) return path;
  return path + "\\";
}

bool absolutePath(const std::string& path, std::string* absolute) {
  // From the root of the drive, or with a drive.
  if ((!path.empty() && path[0] == '\\') || (path.size() >= 2 && path[1] == ':')) {
    *absolute = path;
    return true;
  }
  std::string current;
  if (!plat::currentFolder(&current)) return false;
  *absolute = asFolder(current) + path;
  return true;
}

std::string parentFolder(const std::string& relative) {
  std::vector<std::string> parts = cp932PathParts(relative);
  std::string parent;
  for (size_t i = 0; i + 1 < parts.size(); ++i) parent += (i ? "\\" : "") + parts[i];
  return parent;
}

std::string listPathProblem(const std::string& path) {
  ListPathCheck check = checkListPath(path);
  std::string part = "\"" + shown(check.part) + "\"";
  switch (check.fault) {
    case ListPathFault::None: return "";
    case ListPathFault::LeadingSeparator: return "it begins with a backslash, the root of the drive";
    case ListPathFault::EmptyPart: return "it has an empty part (two backslashes in a row, or one at the end)";
    case ListPathFault::ParentFolder: return "it goes up with \"..\"";
    case ListPathFault::Colon: return "it names a drive or a stream (\":\")";
    case ListPathFault::DeviceName: return part + " names a Windows device, not a file";
    case ListPathFault::TrailingDotOrSpace:
      return part + " ends with " + (check.part.back() == '.' ? "a dot" : "a space") +
             ", which Windows drops from a file name";
    case ListPathFault::Wildcard: return part + " holds a wildcard (\"*\" or \"?\")";
    case ListPathFault::ReservedByte:
      return part + " holds a character no Windows file name may hold (a control character, <, >, \" or |)";
  }
  return "";
}

std::string windowsFoldedName(const std::string& relative) {
  std::string folded;
  if (!plat::cp932ToUtf8(relative, &folded)) return archiveFoldedName(relative);
  // Each letter folds to one of the same UTF-8 length: written in place.
  for (size_t i = 0; i < folded.size();) {
    size_t start = i;
    uint32_t code = nextCodePoint(folded, &i);
    uint32_t fold = foldedCodePoint(code);
    if (fold == code) continue;
    for (size_t k = i - 1; k > start; --k, fold >>= 6) folded[k] = static_cast<char>(0x80 | (fold & 0x3F));
    folded[start] = static_cast<char>((i - start == 1 ? 0 : i - start == 2 ? 0xC0 : 0xE0) | fold);
  }
  return folded;
}

PathKind pathKind(const std::string& path) {
  std::string probe = path;
  for (;;) {  // a search does not take a trailing backslash
    std::vector<std::string> parts = cp932PathParts(probe);
    if (probe.size() <= 1 || parts.size() < 2 || !parts.back().empty()) break;
    probe.pop_back();
  }
  if (probe.find_first_of("*?") != std::string::npos) return PathKind::Missing;
  plat::FileSearch search;
  plat::FoundFile found;
  if (!search.first(probe.c_str(), &found)) return PathKind::Missing;
  return (found.attributes & plat::kAttributeDirectory) ? PathKind::Folder : PathKind::File;
}

bool listFilesBelow(const std::string& folder, std::vector<std::string>* files, std::vector<OddName>* unnameable,
                    std::vector<OddName>* reshaped) {
  files->clear();
  if (unnameable) unnameable->clear();
  if (reshaped) reshaped->clear();
  if (pathKind(folder) != PathKind::Folder) {
    plat::setLastError(plat::kErrorPathNotFound);
    return false;
  }
  Collected into{files, unnameable, reshaped};
  if (!collectFiles(asFolder(folder), "", "", &into, 0)) return false;
  std::sort(files->begin(), files->end());
  return true;
}

std::string reshapedCharacters(const OddName& name) {
  std::string readBack;
  if (!plat::cp932ToUtf8(name.path, &readBack)) return "";
  // Both sides step character by character: each CP932 character is one.
  std::string changes;
  char text[48];
  for (size_t a = 0, b = 0; a < name.utf8.size() && b < readBack.size();) {
    uint32_t real = nextCodePoint(name.utf8, &a), shownAs = nextCodePoint(readBack, &b);
    if (real == shownAs) continue;
    std::snprintf(text, sizeof text, "%sU+%04X becomes U+%04X", changes.empty() ? "" : ", ", real, shownAs);
    changes += text;
  }
  return changes;
}

bool makeFolders(const std::string& folder) {
  std::vector<std::string> parts = cp932PathParts(folder);
  std::string partial;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) partial += "\\";
    partial += parts[i];
    // Skip the root, a drive and the empty part after a trailing backslash.
    if (parts[i].empty() || (i == 0 && parts[i].size() == 2 && parts[i][1] == ':')) continue;
    if (pathKind(partial) == PathKind::Folder) continue;
    if (!plat::createFolder(partial.c_str()) && pathKind(partial) != PathKind::Folder) return false;
  }
  return true;
}

bool writeWholeFile(const std::string& path, const char* bytes, uint32_t size) {
  plat::File file;
  if (!file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways)) return false;
  return size == 0 || file.writeExactly(bytes, size);
}

bool writeContentFile(const std::string& path, const Content& content, const ContentProgress& progress,
                      bool* readFailed) {
  *readFailed = false;
  plat::File file;
  return file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways) &&
         writeContent(file, content, progress, readFailed);
}

bool fileSizeOf(const std::string& path, uint64_t* size) {
  plat::File file;
  return file.open(path.c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting) && file.size(size);
}

std::string lastErrorText() {
  uint32_t code = plat::lastError();
  std::string text;
  char number[32];
  std::snprintf(number, sizeof number, "error %u", code);
  if (plat::systemMessage(code, &text)) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return std::string(number) + ": " + shown(text);
  }
  return number;
}

bool ioError(ToolOutput* output, const std::string& doing, const std::string& cp932Path) {
  std::string error = lastErrorText();  // before shown(), whose conversions may set another
  output->err += "updtool: cannot " + doing + " " + quoted(cp932Path) + ": " + error + "\n";
  return false;
}

bool cannot(ToolOutput* output, const std::string& what) {
  output->err += "updtool: cannot " + what + ": " + lastErrorText() + "\n";
  return false;
}

bool overlayScratchPath(const char* use, std::string* path) {
  if (!plat::temporaryFolder(path)) return false;
  std::random_device random;
  *path = asFolder(*path) + "updtool-" + use + "-" + std::to_string(random()) + ".tmp";
  return true;
}

bool FolderVisit::enter(const std::string& folder) {
  if (!plat::currentFolder(&previous_)) return false;
  entered_ = plat::setCurrentFolder(folder.c_str());
  return entered_;
}

FolderVisit::~FolderVisit() {
  if (entered_) plat::setCurrentFolder(previous_.c_str());
}

void RecordingHost::readInstallFolder(char* buffer, int size) {
  std::snprintf(buffer, static_cast<size_t>(size), "%s", install_.c_str());
}

void RecordingHost::setProgressPosition(int) {
  promptsInARow_ = 0;
  barMoved(moves_++ - 1);
}

int RecordingHost::showMessage(void*, const char* text, const char* caption, uint32_t style) {
  if (style != kStyleFileError) {
    message = text;
    this->caption = caption;
    return kIdOk;
  }
  prompts.push_back({caption, text, promptsInARow_++ < retries_});
  prompted(prompts.back());
  return prompts.back().retried ? kIdRetry : kIdCancel;
}

int runTheUpdater(RunHost& host) {
  // A tool keeps less of a compared content for the write that follows.
  runState.contentLimits = ContentLimits{kContentPieceSize, 4u << 20};
  runState.running.store(0);
  runState.changedFileCount = 0;
  runState.currentPackage.reset();
  runState.worker.cancelRequested.store(0);
  runState.dialog = &host;
  runState.dialogWindow = &host;
  runUpdate(&runState.worker);
  runState.dialog = nullptr;
  runState.dialogWindow = nullptr;
  return runState.changedFileCount;
}
