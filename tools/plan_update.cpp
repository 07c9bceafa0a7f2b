#include "tools/plan_update.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "archive/archive_format.h"
#include "archive/content.h"
#include "archive/package_archive.h"
#include "list/update_list.h"
#include "platform/held_folders.h"
#include "platform/overlay.h"
#include "platform/platform.h"
#include "archive/source_rule.h"
#include "run/run_host.h"
#include "run/run_messages.h"
#include "run/run_state.h"
#include "run/setup_log.h"
#include "run/verification.h"
#include "tools/list_check.h"

namespace {

// What one entry of the apply pass did, as the overlay shows it.
struct PlanStep {
  int index = 0;
  int line = 0;
  std::string entry;   // letter and fields, UTF-8
  std::string action;  // create, replace, identical, add-entry, replace-entry, select-package, fails, ...
  std::string target;  // CP932: joined target, archive or package path
  std::string from;    // "package" or "loose" for the source
  int64_t sourceBytes = -1;
  int64_t targetBytes = -1;
  int64_t growth = 0;  // bytes the target file grows by
  bool problem = false;
  std::string note;    // UTF-8
};

// A target as the overlay shows it at one moment: a file and its size; for
// an archive its records and the entry's content size (-1: no such entry).
struct TargetFacts {
  bool present = false;
  uint64_t size = 0;
  int32_t records = 0;
  int64_t entryBytes = -1;
};

// The size of the file at `path` as the overlay shows it.
TargetFacts fileFacts(const std::string& path) {
  TargetFacts facts;
  plat::File file;
  facts.present = file.open(path.c_str(), plat::kGenericRead, plat::kShareRead | plat::kShareWrite, plat::kOpenExisting) &&
                  file.size(&facts.size);
  return facts;
}

// What a prompt's code mostly means to a publisher.
std::string promptHint(uint32_t code) {
  switch (code) {
    case plat::kErrorFileNotFound: return "the target does not exist, or the source is missing";
    case plat::kErrorPathNotFound: return "a folder on the way does not exist";
    case plat::kErrorAccessDenied: return "the file refuses writing: it is read-only, or a folder, or the rights lack";
    case plat::kErrorSharingViolation: return "another program holds the file";
    case plat::kErrorAlreadyExists: return "a file stands where the folder must be made";
    case plat::kErrorDiskFull: return "the disk is full";
    case plat::kErrorFileTooLarge: return "the file would pass what the updater can hold (a loose source under 4 GiB, an archive under 2 GiB)";
    case plat::kErrorCantAccessFile:
      return "a link stands on the way, or the file has a second name, and the updater never writes through either";
    case kErrorInvalidData:
      return "the archive's index cannot be read, or its layout would let the change alter another entry";
    default: return "the updater cannot update the file";
  }
}

// The run's dialog in a plan: it hands out the install folder, answers
// every file-error prompt with Cancel, as a player who cannot mend its
// cause would, and at each move of the bar reads from the overlay what the
// entry just ended changed.
class PlanHost : public RecordingHost {
 public:
  PlanHost(plat::OverlayFiles& overlay, const std::string& install, const std::vector<int>& lines)
      : RecordingHost(install, 0), overlay_(overlay), lines_(lines) {}

 protected:
  void barMoved(int ended) override {
    if (ended >= 0 && ended < updateList.count) describe(ended);
    overlay_.mark();
    if (ended + 1 < updateList.count) before_ = factsOf(ended + 1);
  }

  // A prompt ends the entry it comes in: its Cancel ends the run.
  void prompted(const Prompt& prompt) override {
    PlanStep step = begin(static_cast<int>(steps.size()));
    step.action = "fails";
    step.problem = true;
    const char* code = std::strstr(prompt.text.c_str(), "\nerrorcode:");
    plat::setLastError(code ? static_cast<uint32_t>(std::strtoul(code + 11, nullptr, 16)) : 0);
    step.note = promptHint(plat::lastError()) + " (" + lastErrorText() + ") (file-error prompt \"" + prompt.caption + "\")";
    steps.push_back(step);
  }

 public:
  std::vector<PlanStep> steps;

 private:
  std::string targetOf(int index) const {
    UpdateEntry entry = updateEntry(updateList, index);
    return entry.command == 'C' || entry.command == 'R' || entry.command == 'I' ? installFolder() + entry.path : "";
  }
  // An archive as the plan follows it: its index as first read, and what
  // the run wrote into it since, so that it is read once, not per entry.
  struct KnownArchive {
    std::unique_ptr<PackageArchive> index;
    std::map<std::string, int64_t> written;  // folded entry name: content size
    int32_t added = 0;
  };
  KnownArchive& known(const std::string& path) {
    KnownArchive& archive = archives_[windowsFoldedName(path)];
    if (!archive.index) archive.index.reset(new PackageArchive(path.c_str()));
    return archive;
  }

  TargetFacts factsOf(int index) {
    std::string target = targetOf(index);
    UpdateEntry entry = updateEntry(updateList, index);
    if (target.empty()) return TargetFacts();
    TargetFacts facts = fileFacts(target);
    if (entry.command != 'I' || !facts.present) return facts;
    KnownArchive& archive = known(target);
    facts.records = archive.index->loadedEntryCount() + archive.added;
    auto written = archive.written.find(archiveFoldedName(entry.entryName));
    int32_t record = archive.index->findLoadedEntry(entry.entryName.c_str());
    if (written != archive.written.end()) facts.entryBytes = written->second;
    else if (record >= 0) facts.entryBytes = archive.index->loadedEntry(record)->dataSize;
    return facts;
  }

  PlanStep begin(int index) const {
    PlanStep step;
    step.index = index;
    step.line = static_cast<size_t>(index) < lines_.size() ? lines_[index] : 0;
    step.entry = describeEntry(updateList, index);
    step.target = targetOf(index);
    UpdateEntry entry = updateEntry(updateList, index);
    const std::string& source = entry.command == 'I' ? entry.sourceName : entry.path;
    if (!step.target.empty())
      step.from = runState.currentPackage && runState.currentPackage->holdsEntry(source.c_str()) ? "package" : "loose";
    return step;
  }

  // The folders made and the log line, from the paths the entry changed.
  std::string madeAndLogged(bool* changedTarget, const std::string& target) const {
    std::string made, note;
    int folders = 0;
    for (const std::string& path : overlay_.changedSinceMark()) {
      if (path.size() > installFolder().size() && path.back() == '\\') {
        made += std::string(folders++ ? ", " : "") + quoted(path.substr(installFolder().size(), path.size() - installFolder().size() - 1));
      } else if (path == installFolder() + kSetupLogName) {
        note = "recorded in Setup.log";
      } else if (windowsFoldedName(path) == windowsFoldedName(target)) {
        *changedTarget = true;
      }
    }
    if (folders > 0) note = "makes the folder" + std::string(folders > 1 ? "s " : " ") + made + (note.empty() ? "" : "; " + note);
    return note;
  }

  void describe(int index) {
    PlanStep step = begin(index);
    UpdateEntry entry = updateEntry(updateList, index);
    TargetFacts after = step.target.empty() ? TargetFacts() : fileFacts(step.target);
    bool changedTarget = false;
    std::string note = step.target.empty() ? "" : madeAndLogged(&changedTarget, step.target);
    switch (entry.command) {
      case 'C':
      case 'R':
        step.sourceBytes = static_cast<int64_t>(after.size);
        if (before_.present) step.targetBytes = static_cast<int64_t>(before_.size);
        // An archive written whole is read afresh by a later entry.
        if (changedTarget) archives_.erase(windowsFoldedName(step.target));
        if (!changedTarget) {
          step.action = "identical";
          if (!before_.present) step.note = "an empty source for a missing target creates nothing";
          break;
        }
        step.action = before_.present ? "replace" : "create";
        step.growth = static_cast<int64_t>(after.size) - static_cast<int64_t>(before_.size);
        step.note = note;
        break;
      case 'I':
        step.targetBytes = before_.entryBytes;
        if (!changedTarget) {
          step.action = "identical";
          step.sourceBytes = before_.entryBytes;
          if (before_.entryBytes < 0) step.note = "an empty or missing source adds no entry";
          break;
        }
        // The growth is the content for a replacement; for an addition the
        // name with its NUL, the content and the new index besides.
        step.growth = static_cast<int64_t>(after.size) - static_cast<int64_t>(before_.size);
        if (before_.entryBytes < 0) {
          step.action = "add-entry";
          step.sourceBytes = step.growth - static_cast<int64_t>(entry.entryName.size() + 1) -
                             (before_.records + 1) * static_cast<int64_t>(kArchiveRecordSize);
          step.note = "a new index of " + std::to_string(before_.records + 1) + " records is written at the end";
          ++known(step.target).added;
        } else {
          step.action = "replace-entry";
          step.sourceBytes = step.growth;
          step.note = "the old content stays in the file, unreferenced";
        }
        known(step.target).written[archiveFoldedName(entry.entryName)] = step.sourceBytes;
        break;
      case 'P':
        if (entry.path.empty()) {
          step.action = "end-package";
          step.note = "later sources are loose files";
          break;
        }
        step.action = "select-package";
        step.target = entry.path;
        if (runState.currentPackage && runState.currentPackage->loadedEntryCount() >= 0 &&
            runState.currentPackage->indexState() == PackageArchive::IndexState::Loaded)
          step.note = std::to_string(runState.currentPackage->loadedEntryCount()) + " entries";
        else
          step.note = "names no readable archive: later sources are loose files";
        break;
      case 'E': step.action = "checking-on"; break;
      case 'N': step.action = "checking-off"; break;
      default: step.action = "nothing"; break;
    }
    steps.push_back(step);
  }

  plat::OverlayFiles& overlay_;
  const std::vector<int>& lines_;
  TargetFacts before_;
  std::map<std::string, KnownArchive> archives_;  // by folded path
};

std::string stopReason(const VerificationResult& result) {
  std::string path = "\"" + shown(result.path) + "\"";
  switch (result.stop) {
    case VerificationStop::SourceMissing:
      return "the source " + path + " is neither in the selected package nor a loose file (one behind a link counts as missing)";
    case VerificationStop::SourcePathTooLong: return "the source path " + path + " is longer than 255 bytes";
    case VerificationStop::TargetMissing: return "the target " + path + " does not exist";
    case VerificationStop::TargetPathTooLong: return "the target path " + path + " is longer than 255 bytes";
    case VerificationStop::TargetDamaged: return "the target archive " + path + " does not begin with \"QRV001\"";
    case VerificationStop::None: break;
  }
  return "";
}

std::string stepDetail(const PlanStep& step) {
  const std::string& action = step.action;
  std::string source = counted(step.sourceBytes, "byte");
  std::string change = counted(step.targetBytes, "byte") + " -> " + source;
  std::string growth = "; the archive grows by " + counted(step.growth, "byte");
  std::string text = action;
  if (action == "create" || (action == "identical" && step.sourceBytes >= 0)) text += ": " + source;
  if (action == "replace") text += ": " + change;
  if (action == "replace-entry") text += ": " + change + growth;
  if (action == "add-entry") text += ": " + source + growth;
  if (!step.from.empty() && step.sourceBytes >= 0) text += step.from == "package" ? " (from the package)" : " (loose file)";
  if (!step.note.empty()) text += action == "fails" ? ": " + step.note : "; " + step.note;
  return text;
}

constexpr uint64_t kOverlayMemoryBound = 32u << 20;

const char kPlanUsage[] = "usage: updtool plan [--install DIR] [UPDATE_DIR]\n";
const char kOutcomeNeedsInstall[] = "the outcome needs an install folder: give it with --install DIR";

// Everything a plan found, gathered before anything is printed.
struct PlanOutcome : RunOperands {
  ListReport report;
  VerificationResult verification;
  std::string stopText;  // UTF-8: why the run stops before its apply pass, or why the list is refused
  int stopLine = 0;
  std::vector<PlanStep> steps;
  int changes = 0;
  std::string message;  // CP932: the run's final message; empty when unknown
  const char* caption = "";
  int problems = 0;
};

// The updater's own run from the current folder, over an overlay of every
// folder, so that it changes nothing on disk; without an install folder,
// the first verification pass alone (the one that checks the sources).
void runOverOverlay(PlanOutcome* plan, const std::string& scratch) {
  plat::OverlayFiles overlay(plat::files(), scratch, kOverlayMemoryBound);
  plat::FileSystemInUse inUse(overlay);
  PlanHost host(overlay, plan->install, plan->report.entryLines);
  if (!plan->install.empty()) {
    plan->changes = runTheUpdater(host);
    plan->steps = host.steps;
    plan->message = host.message;
    return;
  }
  updateList.count = 0;
  HeldFolders updateFolder;
  if (!updateFolder.holdCurrentFolder() || !loadUpdateList(updateFolder)) {
    plan->message = kMessageListUnreadable;
    return;
  }
  plan->verification = verifyUpdateList(updateList, "", updateFolder);
  if (plan->verification.pass > 1) plan->verification = VerificationResult();
  if (plan->verification.stop != VerificationStop::None) plan->message = verificationMessage(plan->verification.stop);
}

// Why the run ends before its apply pass, if it does, and at which line.
void explainStop(PlanOutcome* plan) {
  const std::string& message = plan->message;
  if (message == kMessageListUnreadable) {
    plan->stopText = "no entry could be read from UpDate.lst (one that is a link cannot be opened)";
    // A list the updater refuses as a whole says why, at its first such line.
    for (const Finding& finding : plan->report.findings)
      if (finding.code == "path-refused" || finding.code == "over-capacity") {
        plan->stopText = "the list is refused at line " + std::to_string(finding.number) + ": " + finding.message;
        plan->stopLine = finding.number;
        break;
      }
    ++plan->problems;
    return;
  }
  if (message != kMessageSourceMissing && message != kMessageTargetMissing && message != kMessageTargetDamaged) return;
  // Where the run stopped: the same passes, which change nothing.
  VerificationResult& verification = plan->verification;
  if (verification.stop == VerificationStop::None) {
    HeldFolders updateFolder;
    updateFolder.holdCurrentFolder();
    verification = verifyUpdateList(updateList, plan->install.c_str(), updateFolder);
  }
  const std::vector<int>& lines = plan->report.entryLines;
  plan->stopLine = verification.entryIndex >= 0 && static_cast<size_t>(verification.entryIndex) < lines.size()
                       ? lines[verification.entryIndex]
                       : 0;
  plan->stopText = "pass " + std::to_string(verification.pass) + " stops at line " + std::to_string(plan->stopLine) +
                   " (entry " + std::to_string(verification.entryIndex + 1) + ", " +
                   describeEntry(updateList, verification.entryIndex) + "): " + stopReason(verification);
  ++plan->problems;
}

void printPlanJson(const PlanOutcome& plan, std::string* out) {
  JsonWriter json(out);
  json.object().text("updateFolder", plan.folderText);
  json.textOrNull("installFolder", shown(plan.install));
  json.number("entries", updateList.count).number("listProblems", plan.report.problemCount());
  json.flag("targetsChecked", !plan.install.empty()).object("verification");
  if (plan.stopText.empty()) {
    json.flag("passed", true);
  } else {
    const VerificationResult& verification = plan.verification;
    json.flag("passed", false).number("pass", verification.pass).number("entry", verification.entryIndex + 1);
    json.number("line", plan.stopLine).name("path", verification.path).text("reason", plan.stopText);
  }
  json.end().array("steps");
  for (const PlanStep& step : plan.steps)
    json.object()
        .number("entry", step.index + 1)
        .number("line", step.line)
        .text("command", step.entry)
        .text("action", step.action)
        .name("target", step.target)
        .text("from", step.from)
        .number("sourceBytes", step.sourceBytes)
        .number("targetBytes", step.targetBytes)
        .number("growth", step.growth)
        .flag("problem", step.problem)
        .text("note", step.note)
        .end();
  json.end();
  if (!plan.message.empty()) json.number("changes", plan.changes).name("caption", plan.caption).name("message", plan.message);
  else json.null("changes").null("caption").null("message").text("outcome", kOutcomeNeedsInstall);
  json.number("problems", plan.problems).end();
}

void printPlanText(const PlanOutcome& plan, std::string* out) {
  bool haveInstall = !plan.install.empty();
  *out += "update folder " + plan.folderText + ", install folder " +
          (haveInstall ? shown(plan.install) : "not given: targets not checked") + "\n";
  *out += "UpDate.lst: " + std::to_string(updateList.count) + " entries";
  if (plan.report.problemCount() > 0)
    *out += "; list check finds " + std::to_string(plan.report.problemCount()) + " problems (see updtool list check)";
  *out += "\nverification: " +
          (plan.stopText.empty() ? std::string(haveInstall ? "passes 1 to 3 succeed" : "pass 1 succeeds") : plan.stopText) +
          "\n";
  if (!plan.stopText.empty()) *out += "apply pass: not reached; the updater changes nothing\n";
  if (!plan.steps.empty()) *out += "apply pass:\n";
  for (const PlanStep& step : plan.steps) {
    char head[32];
    std::snprintf(head, sizeof head, "  line %-4d ", step.line);
    *out += head + step.entry + "\n      " + stepDetail(step) + "\n";
  }
  std::string problemText = counted(plan.problems, "problem") + "\n";
  if (plan.message.empty()) {
    *out += std::string(kOutcomeNeedsInstall) + "\n" + problemText;
    return;
  }
  *out += "the updater would end with \"" + shown(plan.message) + "\" (" + shown(plan.caption) + ")\n";
  *out += counted(plan.changes, "change") + ", " + problemText;
}

}  // namespace

int runPlan(const std::vector<std::string>& arguments, ToolOutput* output) {
  PlanOutcome plan;
  std::string scratch;
  if (!readRunOperands(arguments, kPlanUsage, false, &plan, output)) return kExitUsage;
  if (!overlayScratchPath("plan", &scratch)) {
    output->err += "updtool: cannot find a folder for temporary files: " + lastErrorText() + "\n";
    return kExitUsage;
  }
  FolderVisit visit;
  if (!enterUpdateFolder(plan, &visit, output)) return kExitUsage;
  // The list as list check reads it, for its findings and line numbers.
  checkUpdateList(kUpdateListName, &plan.report);
  runOverOverlay(&plan, scratch);
  plan.caption =
      plan.message == kMessageUpdateDone || plan.message == kMessageAllUpToDate ? kCaptionFinished : kCaptionAborted;
  plan.problems = plan.report.problemCount();
  explainStop(&plan);
  for (const PlanStep& step : plan.steps) plan.problems += step.problem ? 1 : 0;
  if (output->json) printPlanJson(plan, &output->out);
  else printPlanText(plan, &output->out);
  return plan.problems > 0 ? kExitProblems : kExitFine;
}
