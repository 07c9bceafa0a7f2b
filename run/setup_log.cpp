#include "run/setup_log.h"

#include <string>

#include "platform/text_stream.h"

bool registerCreatedFile(const char* createdPath, const char* installFolder) {
  std::string logPath = std::string(installFolder) + kSetupLogName;
  {
    // The log is only ever extended, never created: probe it first.
    plat::TextReader probe;
    if (!probe.open(logPath.c_str())) return false;
  }
  std::string line = std::string("F\t") + createdPath + "\n";
  plat::appendText(logPath.c_str(), line.data(), line.size());
  return true;
}
