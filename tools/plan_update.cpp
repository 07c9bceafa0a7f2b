#include "tools/plan_update.h"

#include <map>
#include <memory>

#include "archive/content.h"
#include "archive/archive_update.h"
#include "archive/package_archive.h"
#include "list/update_list.h"
#include "platform/platform.h"
#include "run/run_messages.h"
#include "run/setup_log.h"
#include "run/verification.h"
#include "tools/list_check.h"

namespace {

// What the apply pass would do with one entry.
struct PlanStep {
  int index = 0;
  int line = 0;
  std::string entry;   // letter and fields, UTF-8
  std::string action;  // create, replace, identical, add-entry, replace-entry, select-package, ...
  std::string target;  // CP932: joined target, archive or package path
  std::string from;    // "package" or "loose" for the source
  int64_t sourceBytes = -1;
  int64_t targetBytes = -1;
  int64_t growth = 0;  // bytes the target file grows by
  bool problem = false;
  std::string note;    // UTF-8
};

// Restores the current folder when the plan is done.
class FolderVisit {
 public:
  bool enter(const std::string& folder) {
    if (!plat::currentFolder(&previous_)) return false;
    entered_ = plat::setCurrentFolder(folder.c_str());
    return entered_;
  }
  ~FolderVisit() {
    if (entered_) plat::setCurrentFolder(previous_.c_str());
  }

 private:
  std::string previous_;
  bool entered_ = false;
};

// A loose file or an archive entry as earlier entries of the same run left
// it: the dry run writes nothing, so later entries must see these.
struct KnownFile {
  bool present = false;
  std::string bytes;
};

struct KnownArchive {
  int32_t records = 0;
  std::vector<std::pair<std::string, std::string>> written;  // entry name, content
};

class ApplySimulation {
 public:
  ApplySimulation(const UpdateList& list, const std::string& installFolder, bool haveInstall)
      : list_(list), install_(installFolder), haveInstall_(haveInstall) {}

  PlanStep step(int index);
  int changes() const { return changes_; }

 private:
  enum class Source { Found, Missing, Unreadable };
  Source source(const std::string& name, std::string* bytes, std::string* from);
  bool sourceAndTarget(PlanStep* step, const std::string& sourceName, const std::string& path, std::string* bytes,
                       Source* found, char (&joined)[kRunPathSize]);
  KnownFile looseTarget(const std::string& path);
  void failStep(PlanStep* step, const std::string& note) {
    step->action = "fails";
    step->problem = true;
    step->note = note;
  }
  void loose(PlanStep* step, const UpdateEntry& entry);
  void insert(PlanStep* step, const UpdateEntry& entry);

  const UpdateList& list_;
  std::string install_;
  bool haveInstall_;
  std::unique_ptr<PackageArchive> package_;
  std::map<std::string, KnownFile> looseFiles_;   // by folded target path
  std::map<std::string, KnownArchive> archives_;  // by folded archive path
  int changes_ = 0;
};

ApplySimulation::Source ApplySimulation::source(const std::string& name, std::string* bytes, std::string* from) {
  // The run's own rule for where a source comes from.
  Content content;
  SourceOrigin origin = readSourceContent(package_.get(), name.c_str(), &content);
  bool fromPackage = origin == SourceOrigin::Package || (origin == SourceOrigin::Unreadable && package_ &&
                                                         package_->holdsEntry(name.c_str()));
  *from = fromPackage ? "package" : "loose";
  if (origin == SourceOrigin::None) return Source::Missing;
  if (origin == SourceOrigin::Unreadable) return Source::Unreadable;
  bytes->assign(content.bytes.get(), content.size);
  return Source::Found;
}

KnownFile ApplySimulation::looseTarget(const std::string& path) {
  auto known = looseFiles_.find(archiveFoldedName(path));
  if (known != looseFiles_.end()) return known->second;
  KnownFile file;
  Content content;
  if (readWholeFile(path.c_str(), &content)) {
    file.present = true;
    file.bytes.assign(content.bytes.get(), content.size);
  }
  return file;
}

std::string bytesText(int64_t count) { return std::to_string(count) + (count == 1 ? " byte" : " bytes"); }

// The first steps of every entry that has a source and a target: the
// source, then the joined target path. False when the step ends there.
bool ApplySimulation::sourceAndTarget(PlanStep* step, const std::string& sourceName, const std::string& path,
                                      std::string* bytes, Source* found, char (&joined)[kRunPathSize]) {
  *found = source(sourceName, bytes, &step->from);
  if (*found == Source::Found) step->sourceBytes = static_cast<int64_t>(bytes->size());
  if (!haveInstall_) {
    step->action = "source-only";
    if (*found != Source::Found) failStep(step, "the source is missing");
    return false;
  }
  if (!joinTargetPath(install_.c_str(), path.c_str(), joined)) {
    failStep(step, "the target path is longer than 255 bytes");
    return false;
  }
  step->target = joined;
  return true;
}

void ApplySimulation::loose(PlanStep* step, const UpdateEntry& entry) {
  std::string bytes;
  Source found;
  char joined[kRunPathSize];
  if (!sourceAndTarget(step, entry.path, entry.path, &bytes, &found, joined)) return;
  KnownFile target = looseTarget(joined);
  if (target.present) step->targetBytes = static_cast<int64_t>(target.bytes.size());
  const char* prompt = " (file-error prompt \"Copy File Access Error\")";
  if (entry.command == 'R' && !target.present) {
    failStep(step, std::string("the target does not exist or cannot be read") + prompt);
    return;
  }
  if (found != Source::Found) {
    failStep(step, std::string("the source is missing") + prompt);
    return;
  }
  if (bytes == target.bytes) {
    step->action = "identical";
    if (!target.present) step->note = "an empty source for a missing target creates nothing";
    return;
  }
  if (target.present && isReadOnlyFile(joined)) {
    failStep(step, std::string("the target is read-only") + prompt);
    return;
  }
  if (!target.present) {
    std::string folder = parentFolder(entry.path);
    if (!folder.empty() && pathKind(install_ + folder) != PathKind::Folder) {
      failStep(step, "the folder \"" + shown(install_ + folder) + "\" does not exist and the updater makes no folders" + prompt);
      return;
    }
  }
  step->action = target.present ? "replace" : "create";
  step->growth = static_cast<int64_t>(bytes.size()) - step->targetBytes * (target.present ? 1 : 0);
  if (!target.present && pathKind(install_ + kSetupLogName) == PathKind::File)
    step->note = "recorded in Setup.log";
  looseFiles_[archiveFoldedName(joined)] = KnownFile{true, bytes};
  ++changes_;
}

void ApplySimulation::insert(PlanStep* step, const UpdateEntry& entry) {
  std::string bytes;
  Source found;
  char joined[kRunPathSize];
  if (!sourceAndTarget(step, entry.sourceName, entry.path, &bytes, &found, joined)) return;
  const char* prompt = " (file-error prompt \"Update File Access Error\")";
  PackageArchive target(joined);
  int32_t records = target.loadedEntryCount();
  PackageArchive::IndexState state = target.indexState();
  if (state == PackageArchive::IndexState::NotOpened) {
    failStep(step, std::string("the target archive cannot be opened") + prompt);
    return;
  }
  if (target.indexUnreadable()) {
    failStep(step, std::string("the target archive's index cannot be read") + prompt);
    return;
  }
  KnownArchive& known = archives_.emplace(archiveFoldedName(joined), KnownArchive{records, {}}).first->second;
  bool held = false;
  std::string existing;
  for (const auto& written : known.written)
    if (archiveNamesEqual(written.first.c_str(), entry.entryName.c_str())) {
      held = true;
      existing = written.second;
    }
  if (!held) {
    Content content;
    if (target.readEntry(entry.entryName.c_str(), &content)) {
      held = true;
      existing.assign(content.bytes.get(), content.size);
    } else {
      held = target.holdsEntry(entry.entryName.c_str());
    }
  }
  if (held) step->targetBytes = static_cast<int64_t>(existing.size());
  if (found == Source::Unreadable) {
    failStep(step, std::string("the package lists the source but cannot deliver it") + prompt);
    return;
  }
  if (held && found == Source::Found && bytes == existing) {
    step->action = "identical";
    return;
  }
  if (held && found == Source::Missing) {
    failStep(step, std::string("the source is missing") + prompt);
    return;
  }
  if (!held && bytes.empty()) {
    step->action = "identical";
    step->note = "an empty or missing source adds no entry";
    return;
  }
  if (state == PackageArchive::IndexState::NoHeader) {
    failStep(step, std::string("the target is shorter than an archive header") + prompt);
    return;
  }
  if (isReadOnlyFile(joined)) {
    failStep(step, std::string("the target archive is read-only") + prompt);
    return;
  }
  if (held) {
    step->action = "replace-entry";
    step->growth = static_cast<int64_t>(bytes.size());
    step->note = "the old content stays in the file, unreferenced";
  } else {
    step->action = "add-entry";
    step->growth = static_cast<int64_t>(entry.entryName.size() + 1 + bytes.size()) +
                   static_cast<int64_t>(known.records + 1) * static_cast<int64_t>(kArchiveRecordSize);
    step->note = "a new index of " + std::to_string(known.records + 1) + " records is written at the end";
    ++known.records;
  }
  known.written.emplace_back(entry.entryName, bytes);
  ++changes_;
}

PlanStep ApplySimulation::step(int index) {
  PlanStep step;
  step.index = index;
  step.entry = describeEntry(list_, index);
  UpdateEntry entry = updateEntry(list_, index);
  switch (entry.command) {
    case 'C':
    case 'R': loose(&step, entry); break;
    case 'I': insert(&step, entry); break;
    case 'P':
      package_.reset();
      if (entry.path.empty()) {
        step.action = "end-package";
        step.note = "later sources are loose files";
        break;
      }
      package_ = std::make_unique<PackageArchive>(entry.path.c_str());
      step.action = "select-package";
      step.target = entry.path;
      if (package_->indexState() == PackageArchive::IndexState::Unloaded) package_->loadedEntryCount();
      if (package_->indexState() == PackageArchive::IndexState::Loaded) {
        step.note = std::to_string(package_->loadedEntryCount()) + " entries";
      } else {
        step.note = "names no readable archive: later sources are loose files";
      }
      break;
    case 'E': step.action = "checking-on"; break;
    case 'N': step.action = "checking-off"; break;
    default: step.action = "nothing"; break;
  }
  return step;
}

std::string stopReason(const VerificationResult& result) {
  std::string path = "\"" + shown(result.path) + "\"";
  switch (result.stop) {
    case VerificationStop::SourceMissing: return "the source " + path + " is neither in the selected package nor a loose file";
    case VerificationStop::SourcePathTooLong: return "the source path " + path + " is longer than 255 bytes";
    case VerificationStop::TargetMissing: return "the target " + path + " does not exist";
    case VerificationStop::TargetPathTooLong: return "the target path " + path + " is longer than 255 bytes";
    case VerificationStop::TargetDamaged: return "the target archive " + path + " does not begin with \"QRV001\"";
    case VerificationStop::None: break;
  }
  return "";
}

std::string stepDetail(const PlanStep& step) {
  std::string text = step.action;
  if (step.action == "create") text += ": " + bytesText(step.sourceBytes);
  if (step.action == "replace") text += ": " + bytesText(step.targetBytes) + " -> " + bytesText(step.sourceBytes);
  if (step.action == "replace-entry")
    text += ": " + bytesText(step.targetBytes) + " -> " + bytesText(step.sourceBytes) + "; the archive grows by " + bytesText(step.growth);
  if (step.action == "add-entry") text += ": " + bytesText(step.sourceBytes) + "; the archive grows by " + bytesText(step.growth);
  if (step.action == "identical" && step.sourceBytes >= 0) text += ": " + bytesText(step.sourceBytes);
  if (step.action == "source-only" && step.sourceBytes >= 0) text += ": " + bytesText(step.sourceBytes);
  if (!step.from.empty() && step.sourceBytes >= 0) text += step.from == "package" ? " (from the package)" : " (loose file)";
  if (!step.note.empty()) text += step.action == "fails" ? ": " + step.note : "; " + step.note;
  return text;
}

const char kPlanUsage[] = "usage: updtool plan [--install DIR] [UPDATE_DIR]\n";

}  // namespace

int runPlan(const std::vector<std::string>& arguments, ToolOutput* output) {
  std::string installText, folderText = ".";
  bool haveFolder = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "--install" && i + 1 < arguments.size()) {
      installText = arguments[++i];
    } else if (!haveFolder && arguments[i].rfind("--", 0) != 0) {
      folderText = arguments[i];
      haveFolder = true;
    } else {
      output->err += kPlanUsage;
      return kExitUsage;
    }
  }
  std::string install, folder;
  bool haveInstall = !installText.empty();
  if ((haveInstall && !folderOperand("--install", installText, &install, output)) ||
      !folderOperand("UPDATE_DIR", folderText, &folder, output))
    return kExitUsage;
  if (haveInstall) {
    if (!absolutePath(install, &install)) {
      output->err += "updtool: cannot find the current folder: " + lastErrorText() + "\n";
      return kExitUsage;
    }
    install = asFolder(install);  // the updater's folder text ends with a backslash
  }
  FolderVisit visit;
  if (!visit.enter(folder)) {
    output->err += "updtool: cannot enter UPDATE_DIR \"" + folderText + "\": " + lastErrorText() + "\n";
    return kExitUsage;
  }

  ListReport report;
  bool listOpened = checkUpdateList("UpDate.lst", &report);
  const UpdateList& list = *report.list;
  int problems = report.problemCount();
  VerificationResult verification;
  std::vector<PlanStep> steps;
  const char* message = nullptr;
  const char* caption = kCaptionAborted;
  std::string stopText;
  int stopLine = 0;
  bool targetsChecked = haveInstall;
  int changes = 0;
  if (!listOpened || !report.loaded) {
    message = kMessageListUnreadable;
    stopText = listOpened ? "no entry could be read from UpDate.lst" : "UpDate.lst cannot be opened: " + lastErrorText();
    ++problems;
  } else {
    verification = verifyUpdateList(list, haveInstall ? install.c_str() : "");
    // Without an install folder only the sources can be checked.
    if (!haveInstall && verification.pass > 1) verification = VerificationResult();
    if (verification.stop != VerificationStop::None) {
      message = verificationMessage(verification.stop);
      stopLine = verification.entryIndex >= 0 && static_cast<size_t>(verification.entryIndex) < report.entryLines.size()
                     ? report.entryLines[verification.entryIndex]
                     : 0;
      stopText = "pass " + std::to_string(verification.pass) + " stops at line " + std::to_string(stopLine) + " (entry " +
                 std::to_string(verification.entryIndex + 1) + ", " + describeEntry(list, verification.entryIndex) + "): " +
                 stopReason(verification);
      ++problems;
    }
    // After a stop the updater applies nothing: no step is predicted.
    if (message == nullptr) {
      ApplySimulation simulation(list, install, haveInstall);
      for (int i = 0; i < list.count; ++i) {
        PlanStep step = simulation.step(i);
        step.line = static_cast<size_t>(i) < report.entryLines.size() ? report.entryLines[i] : 0;
        if (step.problem) ++problems;
        steps.push_back(step);
      }
      changes = simulation.changes();
      bool prompts = false;
      for (const PlanStep& step : steps) prompts = prompts || step.problem;
      if (!haveInstall) {
        // What the targets hold decides the outcome; without them it is not known.
      } else if (prompts) {
        message = kMessageUpdateFailed;  // once the user cancels the prompt
      } else {
        message = changes > 0 ? kMessageUpdateDone : kMessageAllUpToDate;
        caption = kCaptionFinished;
      }
    }
  }
  bool outcomeKnown = message != nullptr;
  const char* kOutcomeNeedsInstall = "the outcome needs an install folder: give it with --install DIR";

  std::string& out = output->out;
  if (output->json) {
    JsonWriter json(&out);
    json.object().text("updateFolder", folderText);
    if (haveInstall) json.name("installFolder", install);
    else json.null("installFolder");
    json.number("entries", list.count).number("listProblems", report.problemCount()).flag("targetsChecked", targetsChecked);
    json.object("verification");
    if (verification.stop == VerificationStop::None && message != kMessageListUnreadable) {
      json.flag("passed", true);
    } else {
      json.flag("passed", false).number("pass", verification.pass).number("entry", verification.entryIndex + 1);
      json.number("line", stopLine).name("path", verification.path).text("reason", stopText);
    }
    json.end().array("steps");
    for (const PlanStep& step : steps)
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
    if (outcomeKnown) {
      json.number("changes", changes).name("caption", caption).name("message", message);
    } else {
      json.null("changes").null("caption").null("message").text("outcome", kOutcomeNeedsInstall);
    }
    json.number("problems", problems).end();
  } else {
    out += "update folder " + folderText + ", install folder " + (haveInstall ? shown(install) : "not given: targets not checked") + "\n";
    out += "UpDate.lst: " + std::to_string(list.count) + " entries";
    if (report.problemCount() > 0)
      out += "; list check finds " + std::to_string(report.problemCount()) + " problems (see updtool list check)";
    out += "\n";
    out += "verification: " + (stopText.empty() ? std::string(haveInstall ? "passes 1 to 3 succeed" : "pass 1 succeeds") : stopText) + "\n";
    if (!stopText.empty()) out += "apply pass: not reached; the updater changes nothing\n";
    if (!steps.empty()) out += "apply pass:\n";
    for (const PlanStep& step : steps) {
      char head[32];
      std::snprintf(head, sizeof head, "  line %-4d ", step.line);
      out += head + step.entry + "\n      " + stepDetail(step) + "\n";
    }
    std::string problemText = std::to_string(problems) + (problems == 1 ? " problem\n" : " problems\n");
    if (outcomeKnown) {
      out += "the updater would end with \"" + shown(message) + "\" (" + shown(caption) + ")\n";
      out += std::to_string(changes) + (changes == 1 ? " change, " : " changes, ") + problemText;
    } else {
      out += std::string(kOutcomeNeedsInstall) + "\n" + problemText;
    }
  }
  return problems > 0 ? kExitProblems : kExitFine;
}
