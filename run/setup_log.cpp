#include "run/setup_log.h"

#include <string>

#include "platform/text_stream.h"

namespace {

// The log's last line, with its line feed when it has one.
std::string lastLine(plat::TextReader& log) {
  std::string last, current;
  char piece[512];
  while (size_t length = log.readLine(piece, sizeof piece)) {
    if (current.empty() || current.back() == '\n') current.clear();
    current.append(piece, length);
    last = current;
  }
  return last;
}

}  // namespace

bool registerCreatedFile(const char* createdPath, const char* installFolder) {
  std::string logPath = std::string(installFolder) + kSetupLogName;
  std::string line = std::string("F\t") + createdPath + "\n";
  {
    // The log is only ever extended, never created: probe it first. A file
    // is logged before it appears under its name, so a run stopped between
    // the two logs it again on the next run: the same line at the end of
    // the log is not written twice.
    plat::TextReader probe;
    if (!probe.open(logPath.c_str())) return false;
    if (lastLine(probe) == line) return true;
  }
  plat::appendText(logPath.c_str(), line.data(), line.size());
  return true;
}
