// The dialog of a benchmark's run: it hands out the install folder and
// answers every box the same way, keeping the last text shown.
#pragma once

#include <cstdio>
#include <string>

#include "run/run_host.h"

class AnsweringHost : public RunHost {
 public:
  std::string installFolder;
  std::string lastMessage;
  int answer = kIdOk;  // to the retry prompts too
  void readInstallFolder(char* buffer, int size) override {
    std::snprintf(buffer, static_cast<size_t>(size), "%s", installFolder.c_str());
  }
  void setProgressRange(int, int) override {}
  void setProgressPosition(int) override {}
  int showMessage(void*, const char* text, const char*, uint32_t) override {
    lastMessage = text;
    return answer;
  }
  void requestClose() override {}
};
