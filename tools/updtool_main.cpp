// Entry point of updtool. On Windows the arguments are taken as UTF-16
// (wmain), so Japanese names arrive whole whatever the ANSI code page is;
// everywhere they go on as UTF-8.
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include "platform/win32/wide_text.h"
#else
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "tools/tool_common.h"

namespace {

bool standardErrorIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

// The folder of this program as CP932, or empty when it has no CP932 name.
std::string programFolder() {
  std::string path;
#ifdef _WIN32
  std::wstring wide(32768, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, &wide[0], static_cast<DWORD>(wide.size()));
  if (length == 0 || length >= wide.size()) return "";
  wide.resize(length);
  bool lossless = false;
  wideToCp932(wide.c_str(), &path, &lossless);
  if (!lossless) return "";
#else
  std::vector<char> buffer(4096);
  ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return "";
  if (!argumentPath(std::string(buffer.data(), static_cast<size_t>(length)), &path)) return "";
#endif
  std::string folder = parentFolder(path);
  return folder.empty() ? "" : asFolder(folder);
}

int runAndPrint(const std::vector<std::string>& arguments) {
  plat::useUtf8ConsoleOutput();
  ToolOutput output;
  output.programFolder = programFolder();
  if (standardErrorIsTerminal())
    output.progress = [](const std::string& text) {
      std::fwrite(text.data(), 1, text.size(), stderr);
      std::fflush(stderr);
    };
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
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    std::string argument;
    if (!wideToUtf8(argv[i], &argument)) {
      std::fprintf(stderr, "updtool: argument %d cannot be read as text\n", i);
      return kExitUsage;
    }
    arguments.push_back(argument);
  }
  return runAndPrint(arguments);
}
#else
int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return runAndPrint(arguments);
}
#endif
