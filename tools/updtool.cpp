// The command line of updtool: global options, sub-commands, help.
#include <string>
#include <vector>

#include "tools/apply_update.h"
#include "tools/archive_commands.h"
#include "tools/list_check.h"
#include "tools/make_update.h"
#include "tools/plan_update.h"
#include "tools/tool_common.h"

namespace {

const char kHelp[] =
    "updtool: build, inspect, check and dry-run an update for the Sorelune updater\n"
    "\n"
    "usage: updtool [--json] COMMAND ...\n"
    "\n"
    "  archive create [--skip-unnameable] OUT DIR\n"
    "                             write a package archive of the files below DIR\n"
    "  archive list FILE          entries with offsets and sizes, unreferenced bytes\n"
    "  archive extract FILE DIR   write below DIR every entry Windows can hold as a file\n"
    "  archive verify FILE        magic, records in bounds, duplicate names, unreferenced bytes\n"
    "  list check [UpDate.lst]    every line the updater skips or reads otherwise than it looks,\n"
    "                             and every path it refuses (also: lint [UpDate.lst])\n"
    "  plan [--install DIR] [UPDATE_DIR]\n"
    "                             dry run: where the updater would stop, what each entry\n"
    "                             would do, and the message it would end with\n"
    "  make [--package NAME] [--updater PATH] [--skip-unnameable] OLD_DIR NEW_DIR OUT_DIR\n"
    "                             an update folder, ready to ship, that brings OLD_DIR\n"
    "                             to NEW_DIR; the updater comes from PATH or beside updtool\n"
    "\n"
    "  --skip-unnameable          leave out files whose names code page 932 cannot write\n"
    "                             (without it they stop the command)\n"
    "  --json                     machine-readable output\n"
    "  --help                     this text\n"
    "\n"
    "Exit codes: 0 fine, 1 problems found, 2 usage or I/O error (under --json also\n"
    "given on standard output as {\"error\":...,\"exit\":2}).\n"
    "Names are shown as UTF-8; the files keep CP932.\n";

}  // namespace

namespace {

int runCommand(const std::vector<std::string>& arguments, ToolOutput* output) {
  std::vector<std::string> rest;
  bool help = false;
  bool optionsEnded = false;
  for (const std::string& argument : arguments) {
    if (!optionsEnded && argument == "--json") output->json = true;
    else if (!optionsEnded && (argument == "--help" || argument == "-h")) help = true;
    else if (!optionsEnded && argument == "--") optionsEnded = true;
    else rest.push_back(argument);
  }
  if (help) {
    output->out += kHelp;
    return kExitFine;
  }
  if (rest.empty()) {
    output->err += std::string("updtool: no command given\n\n") + kHelp;
    return kExitUsage;
  }
  std::string command = rest[0];
  std::vector<std::string> operands(rest.begin() + 1, rest.end());
  if (command == "archive") return runArchiveCommand(operands, output);
  if (command == "list") {
    if (operands.empty() || operands[0] != "check") {
      output->err += "usage: updtool list check [UpDate.lst]\n";
      return kExitUsage;
    }
    return runListCheck(std::vector<std::string>(operands.begin() + 1, operands.end()), output);
  }
  if (command == "lint") return runListCheck(operands, output);
  if (command == "plan") return runPlan(operands, output);
  if (command == "make") return runMake(operands, output);
  if (command == "apply") return runApply(operands, output);
  output->err += "updtool: unknown command \"" + command + "\"\n\n" + kHelp;
  return kExitUsage;
}

}  // namespace

int runTool(const std::vector<std::string>& arguments, ToolOutput* output) {
  int code = runCommand(arguments, output);
  // A script that asked for JSON reads standard output: it gets the error
  // there too, as the first line of what was written to standard error.
  if (output->json && code == kExitUsage) {
    std::string error = output->err.substr(0, output->err.find('\n'));
    const std::string prefix = "updtool: ";
    if (error.compare(0, prefix.size(), prefix) == 0) error.erase(0, prefix.size());
    output->out.clear();
    JsonWriter(&output->out).object().text("error", error).number("exit", code).end();
  }
  return code;
}
