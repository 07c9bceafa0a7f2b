// Entry point of updtool. On Windows the arguments are taken as UTF-16
// (wmain), so Japanese names arrive whole whatever the ANSI code page is;
// everywhere they go on as UTF-8.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/tool_common.h"

namespace {

int runAndPrint(const std::vector<std::string>& arguments) {
  plat::useUtf8ConsoleOutput();
  ToolOutput output;
  int code = runTool(arguments, &output);
  std::fwrite(output.out.data(), 1, output.out.size(), stdout);
  std::fflush(stdout);
  std::fwrite(output.err.data(), 1, output.err.size(), stderr);
  std::fflush(stderr);
  plat::restoreConsoleOutput();
  return code;
}

}  // namespace

#ifdef _WIN32
namespace {

std::string utf8FromUtf16(const wchar_t* text) {
  std::string utf8;
  for (size_t i = 0; text[i] != 0; ++i) {
    uint32_t code = static_cast<uint16_t>(text[i]);
    if (code >= 0xD800 && code < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<uint16_t>(text[i + 1]) - 0xDC00);
      ++i;
    }
    if (code < 0x80) {
      utf8.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      utf8.push_back(static_cast<char>(0xC0 | (code >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      utf8.push_back(static_cast<char>(0xE0 | (code >> 12)));
      utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      utf8.push_back(static_cast<char>(0xF0 | (code >> 18)));
      utf8.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return utf8;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(utf8FromUtf16(argv[i]));
  return runAndPrint(arguments);
}
#else
int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return runAndPrint(arguments);
}
#endif
