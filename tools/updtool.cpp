// The command line of updtool: global options, sub-commands, help.
#include <string>
#include <vector>

#include "tools/apply_update.h"
#include "tools/archive_commands.h"
#include "tools/compare_trees.h"
#include "tools/list_check.h"
#include "tools/make_update.h"
#include "tools/plan_update.h"
#include "tools/tool_common.h"

namespace {

// "list check": the one verb of list ("lint" is the same without it).
int runList(const std::vector<std::string>& operands, ToolOutput* output) {
  if (operands.empty() || operands[0] != "check") {
    output->err += "usage: updtool list check [UpDate.lst]\n";
    return kExitUsage;
  }
  return runListCheck(std::vector<std::string>(operands.begin() + 1, operands.end()), output);
}

// Each sub-command: what runs it, and what `updtool help COMMAND` and
// `updtool COMMAND --help` show.
struct Command {
  const char* name;
  int (*run)(const std::vector<std::string>& operands, ToolOutput* output);
  const char* usage;
  const char* text;
};

const Command kCommands[] = {
    {"make", runMake,
     "make [--package NAME] [--updater PATH] [--skip-unnameable] [--whole-archives | --entries-only]\n"
     "       OLD_DIR... NEW_DIR OUT_DIR",
     "An update folder, ready to ship, that brings each OLD_DIR to NEW_DIR: UpDate.lst,\n"
     "a source package (each distinct content once), loose files and the updater\n"
     "(from PATH, or beside updtool). A file that differs in any old tree is an R line\n"
     "where every old tree has it, a C line where one lacks it. An archive that every\n"
     "old tree holds gets I lines for its entries that differ in any of them, or goes\n"
     "whole: entries when what the player downloads for them and what the archive\n"
     "grows by on the player's disk (on the old tree it grows most on) come to less\n"
     "than the archive whole; --whole-archives and --entries-only force either way.\n"
     "Archives go whole, most entries first, until the list fits 512 entries.\n"
     "What the updater cannot do (remove a file or an entry, create an empty file,\n"
     "name a path with white space) is reported for each old tree and left out.\n"
     "After writing, the updater's own run over an overlay of each old tree proves\n"
     "the folder: the tree must end equal to NEW_DIR but for what was reported.\n"
     "Exit codes: 0 written, every old tree ends equal to NEW_DIR; 1 nothing written\n"
     "(problems); 2 usage or I/O error; 3 written without what was reported; 4 a proof\n"
     "found a difference that no limit of the updater explains (a fault of make).\n"},
    {"plan", runPlan, "plan [--install DIR] [UPDATE_DIR]",
     "A dry run: the updater's own run over an overlay of both folders, which\n"
     "changes nothing on disk. Tells where the run would stop, what each entry\n"
     "does, and the message it ends with; every file-error prompt is answered\n"
     "with Cancel. Without --install only the sources are looked at.\n"
     "Exit codes: 0 the run ends well, 1 it stops or a prompt comes, 2 usage or I/O error.\n"},
    {"apply", runApply, "apply [--retries N] --install DIR [UPDATE_DIR]",
     "The updater's own run on the real disk: there is no confirmation (the command\n"
     "is one), each file-error prompt is printed and answered with Retry N times\n"
     "(0 unless given), then with Cancel. On Windows a folder that the tool may not\n"
     "write shows the prompt's code 5: writing below Program Files needs a prompt\n"
     "run as administrator.\n"
     "Exit codes: 0 the run ends with its message of success or of nothing to do,\n"
     "1 it stops, 2 usage or I/O error.\n"},
    {"compare", runCompare, "compare [--with-setup-log] DIR REFERENCE_DIR",
     "What DIR lacks, has more of or holds otherwise than REFERENCE_DIR, as the\n"
     "updater sees them: loose files byte for byte, archives entry by entry (the\n"
     "first record of each name, by the archive's name rule), names matched in\n"
     "code page 932. Setup.log is left out unless --with-setup-log.\n"
     "Exit codes: 0 equal, 1 a difference, 2 usage or I/O error.\n"},
    {"list", runList, "list check [UpDate.lst]   (also: lint [UpDate.lst])",
     "Every line that the updater skips or reads otherwise than it looks, and every\n"
     "path it refuses, each with its line and a stable code.\n"
     "Exit codes: 0 no problem, 1 problems found, 2 usage or I/O error.\n"},
    {"archive", runArchiveCommand, "archive create [--skip-unnameable] OUT DIR | list FILE | extract FILE DIR | verify FILE",
     "create: a package archive of the files below DIR (names: relative paths with\n"
     "backslashes). list: entries with offsets and sizes, the index, unreferenced\n"
     "bytes. extract: every entry that Windows can hold as a file, below DIR.\n"
     "verify: magic, records in bounds, duplicate names, unreferenced bytes.\n"
     "Exit codes: 0 fine, 1 problems found, 2 usage or I/O error.\n"},
};

const char kOverview[] =
    "updtool: build, inspect, check, dry-run and apply an update for the Sorelune updater\n"
    "\n"
    "usage: updtool [--json] COMMAND ...     updtool help COMMAND     updtool --version\n"
    "\n";

const char kOptions[] =
    "\n"
    "  --json                     machine-readable output\n"
    "  --help                     this text, or with a command that command's\n"
    "\n"
    "Exit codes: 0 fine, 1 problems found, 2 usage or I/O error (under --json also\n"
    "given on standard output as {\"error\":...,\"exit\":2}).\n"
    "Names are shown as UTF-8; the files keep CP932.\n";

std::string overview() {
  std::string text = kOverview;
  for (const Command& command : kCommands) text += "  " + std::string(command.usage) + "\n";
  return text + kOptions;
}

// The command of that name; "lint" has the help of list.
const Command* namedCommand(const std::string& name) {
  for (const Command& command : kCommands)
    if (name == command.name || (name == "lint" && std::string(command.name) == "list")) return &command;
  return nullptr;
}

int unknownCommand(const std::string& name, ToolOutput* output) {
  output->err += "updtool: unknown command \"" + name + "\"\n\n" + overview();
  return kExitUsage;
}

int showHelp(const std::string& name, ToolOutput* output) {
  const Command* command = namedCommand(name);
  if (command == nullptr) return unknownCommand(name, output);
  output->out += "usage: updtool " + std::string(command->usage) + "\n\n" + command->text;
  return kExitFine;
}

int runCommand(const std::vector<std::string>& arguments, ToolOutput* output) {
  std::vector<std::string> rest;
  bool help = false, optionsEnded = false;
  for (const std::string& argument : arguments) {
    if (!optionsEnded && argument == "--json") output->json = true;
    else if (!optionsEnded && (argument == "--help" || argument == "-h")) help = true;
    else if (!optionsEnded && argument == "--") optionsEnded = true;
    else rest.push_back(argument);
  }
  if (rest.size() == 1 && rest[0] == "--version") {
    output->out += "updtool " UPDATER_VERSION "\n";
    return kExitFine;
  }
  if (!rest.empty() && rest[0] == "help") rest.erase(rest.begin()), help = true;
  if (help) {
    if (!rest.empty()) return showHelp(rest[0], output);
    output->out += overview();
    return kExitFine;
  }
  if (rest.empty()) {
    output->err += "updtool: no command given\n\n" + overview();
    return kExitUsage;
  }
  std::vector<std::string> operands(rest.begin() + 1, rest.end());
  if (rest[0] == "lint") return runListCheck(operands, output);
  const Command* command = namedCommand(rest[0]);
  if (command == nullptr) return unknownCommand(rest[0], output);
  return command->run(operands, output);
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
