#include "tools/plan_update.h"

#include <map>
#include <set>
#include <memory>

#include "archive/content.h"
#include "archive/archive_update.h"
#include "archive/package_archive.h"
#include "list/update_list.h"
#include "platform/platform.h"
#include "run/loose_file.h"
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

// An archive as earlier entries of the same run left it: the dry run
// writes nothing, so later entries must see what those would have written.
struct KnownArchive {
  int32_t records = 0;
  uint64_t size = 0;
  std::vector<std::pair<std::string, std::string>> written;  // entry name, content
};

// The run's loose-file probe, except that a target an earlier entry would
// have written holds those bytes.
class PlannedLooseProbe : public LooseEntryProbe {
 public:
  PlannedLooseProbe(const TargetSpot& spot, PackageArchive* package, const char* sourceName, const std::string* written)
      : LooseEntryProbe(spot, package, sourceName, kContentsHeldWhole), written_(written) {}
  TargetState readTarget() override {
    state_ = written_ ? TargetState::Present : LooseEntryProbe::readTarget();
    return state_;
  }
  uint64_t targetSize() const override { return written_ ? written_->size() : LooseEntryProbe::targetSize(); }
  Comparison compare() override {
    if (!written_) return LooseEntryProbe::compare();
    return *written_ == std::string(source().bytes ? source().bytes.get() : "", source().size) ? Comparison::Identical
                                                                                              : Comparison::Different;
  }
  TargetState state() const { return state_; }

 private:
  const std::string* written_;
  TargetState state_ = TargetState::Absent;
};

class ApplySimulation {
 public:
  ApplySimulation(const UpdateList& list, const std::string& installFolder, bool haveInstall)
      : list_(list), install_(installFolder), haveInstall_(haveInstall) {
    folders_.reset(install_);
  }

  PlanStep step(int index);
  int changes() const { return changes_; }

 private:
  enum class Source { Found, Missing, Unreadable };
  Source source(const std::string& name, std::string* bytes, std::string* from);
  bool targetPath(PlanStep* step, const std::string& sourceName, const std::string& path,
                  char (&joined)[kRunPathSize]);
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
  bool missingFolders(PlanStep* step, const std::string& path);
  std::unique_ptr<PackageArchive> package_;
  TargetFolders folders_;
  std::set<std::string> madeFolders_;              // by folded path, as earlier entries would make them
  std::map<std::string, std::string> looseFiles_;  // by folded target path
  std::map<std::string, KnownArchive> archives_;  // by folded archive path
  int changes_ = 0;
};

ApplySimulation::Source ApplySimulation::source(const std::string& name, std::string* bytes, std::string* from) {
  // The run's own rule for where a source comes from.
  Content content;
  SourceOrigin origin = readSourceContent(package_.get(), name.c_str(), &content, kContentsHeldWhole);
  bool fromPackage = origin == SourceOrigin::Package || (origin == SourceOrigin::Unreadable && package_ &&
                                                         package_->holdsEntry(name.c_str()));
  *from = fromPackage ? "package" : "loose";
  if (origin == SourceOrigin::None) return Source::Missing;
  if (origin == SourceOrigin::Unreadable) return Source::Unreadable;
  bytes->assign(content.bytes.get(), content.size);
  return Source::Found;
}

std::string bytesText(int64_t count) { return std::to_string(count) + (count == 1 ? " byte" : " bytes"); }

// The joined target path, after the source alone when no install folder
// was given. False when the step ends there.
bool ApplySimulation::targetPath(PlanStep* step, const std::string& sourceName, const std::string& path,
                                 char (&joined)[kRunPathSize]) {
  if (!haveInstall_) {
    std::string bytes;
    Source found = source(sourceName, &bytes, &step->from);
    if (found == Source::Found) step->sourceBytes = static_cast<int64_t>(bytes.size());
    step->action = "source-only";
    if (found != Source::Found) failStep(step, "the source is missing");
    return false;
  }
  if (!joinTargetPath(install_.c_str(), path.c_str(), joined)) {
    failStep(step, "the target path is longer than 255 bytes");
    return false;
  }
  step->target = joined;
  return true;
}

// Why the decision fails the entry, with the code the prompt would show.
std::string failureText(const EntryDecision& decision, bool fromPackage, PackageArchive::IndexState state) {
  std::string why;
  switch (decision.reason) {
    case FailReason::TargetMissing: why = "the target does not exist or cannot be read"; break;
    case FailReason::TargetUnusable: why = "the target is a link, which the updater never writes through"; break;
    case FailReason::SourceMissing: why = "the source is missing"; break;
    case FailReason::SourceUnreadable:
      why = fromPackage ? "the package lists the source but cannot deliver it"
                        : "the source cannot be read whole (a loose file must be under 4 GiB)";
      break;
    case FailReason::CompareFailed: why = "the target cannot be read"; break;
    case FailReason::IndexUnreadable: why = "the target archive's index cannot be read"; break;
    case FailReason::NoIndex:
      why = state == PackageArchive::IndexState::NoHeader ? "the target is shorter than an archive header"
                                                            : "the target archive cannot be opened";
      break;
    case FailReason::LayoutRefused:
      why = "the archive's layout would let the change alter another entry, so the updater refuses it";
      break;
    case FailReason::None: break;
  }
  plat::setLastError(decision.error);
  return why + " (" + lastErrorText() + ")";
}

// The folders of a new file's path that the run would make, outermost
// first, said in the step's note; false when a file stands where one must
// be (the prompt follows).
bool ApplySimulation::missingFolders(PlanStep* step, const std::string& path) {
  std::vector<std::string> parts = cp932PathParts(path);
  parts.pop_back();
  std::string folder, made;
  for (const std::string& part : parts) {
    folder += (folder.empty() ? "" : "\\") + part;
    if (madeFolders_.count(windowsFoldedName(folder))) continue;
    PathKind kind = pathKind(install_ + folder);
    if (kind == PathKind::Folder) continue;
    if (kind == PathKind::File) {
      plat::setLastError(plat::kErrorAlreadyExists);
      failStep(step, "the file \"" + shown(install_ + folder) + "\" stands where the folder must be made (" + lastErrorText() +
                         ") (file-error prompt \"Copy File Access Error\")");
      return false;
    }
    madeFolders_.insert(windowsFoldedName(folder));
    made += (made.empty() ? "" : ", ") + std::string("\"") + shown(folder) + "\"";
  }
  if (!made.empty()) step->note = "makes the folder" + std::string(made.find(',') == std::string::npos ? " " : "s ") + made;
  return true;
}

void ApplySimulation::loose(PlanStep* step, const UpdateEntry& entry) {
  char joined[kRunPathSize];
  if (!targetPath(step, entry.path, entry.path, joined)) return;
  const char* prompt = " (file-error prompt \"Copy File Access Error\")";
  TargetSpot spot;
  if (!folders_.reach(entry.path, false, &spot)) {
    if (plat::lastError() != plat::kErrorPathNotFound) {
      failStep(step, std::string("a folder on the way is a link, which the updater never writes through (") +
                         lastErrorText() + ")" + prompt);
      return;
    }
    spot.folder = nullptr;
  }
  auto known = looseFiles_.find(archiveFoldedName(joined));
  PlannedLooseProbe probe(spot, package_.get(), entry.path.c_str(), known == looseFiles_.end() ? nullptr : &known->second);
  // The run's own decision, from the same reads.
  EntryDecision decision = decideLooseEntry(entry.command == 'R', probe);
  bool present = probe.state() == LooseEntryProbe::TargetState::Present;
  if (present) step->targetBytes = static_cast<int64_t>(probe.targetSize());
  SourceOrigin origin = probe.origin();
  bool fromPackage = origin == SourceOrigin::Package ||
                     (origin == SourceOrigin::Unreadable && package_ && package_->holdsEntry(entry.path.c_str()));
  if (origin != SourceOrigin::None) step->from = fromPackage ? "package" : "loose";
  if (origin == SourceOrigin::Package || origin == SourceOrigin::LooseFile) step->sourceBytes = probe.source().size;
  if (decision.action == EntryAction::Fails) {
    failStep(step, failureText(decision, fromPackage, PackageArchive::IndexState::Unloaded) + prompt);
    return;
  }
  if (decision.action == EntryAction::Identical) {
    step->action = "identical";
    if (!present) step->note = "an empty source for a missing target creates nothing";
    return;
  }
  // What writing would meet after the decision.
  if (present && isReadOnlyFile(joined)) {
    failStep(step, std::string("the target is read-only") + prompt);
    return;
  }
  if (!present && !missingFolders(step, entry.path)) return;
  step->action = decision.action == EntryAction::Replace ? "replace" : "create";
  step->growth = step->sourceBytes - (present ? step->targetBytes : 0);
  if (!present && pathKind(install_ + kSetupLogName) == PathKind::File)
    step->note += std::string(step->note.empty() ? "" : "; ") + "recorded in Setup.log";
  looseFiles_[archiveFoldedName(joined)].assign(probe.source().bytes ? probe.source().bytes.get() : "",
                                                probe.source().size);
  ++changes_;
}

// The size of the file at `path`, 0 when it cannot be had.
uint64_t fileSizeOf(const char* path) {
  plat::File file;
  uint64_t size = 0;
  if (!file.open(path, plat::kGenericRead, plat::kShareRead, plat::kOpenExisting) || !file.size(&size)) return 0;
  return size;
}

void ApplySimulation::insert(PlanStep* step, const UpdateEntry& entry) {
  char joined[kRunPathSize];
  if (!targetPath(step, entry.sourceName, entry.path, joined)) return;
  const char* prompt = " (file-error prompt \"Update File Access Error\")";
  // The updater reaches the archive without links, and changes only a file
  // with one name.
  TargetSpot spot;
  plat::File reached;
  uint32_t names = 1;
  bool readOnly = false;
  if ((!folders_.reach(entry.path, false, &spot) ||
       !reached.openIn(*spot.folder, spot.name, plat::kGenericRead, plat::kShareRead | plat::kShareWrite,
                       plat::kOpenExisting)) &&
      plat::lastError() == plat::kErrorCantAccessFile) {
    failStep(step, "a link stands on the way to the target archive, and the updater never writes through one (" +
                       lastErrorText() + ")" + prompt);
    return;
  }
  if (reached.isOpen()) reached.describe(&names, &readOnly);
  reached.close();
  PackageArchive target(joined);
  Content existing, incoming;
  InsertionFacts facts = gatherInsertionFacts(target, package_.get(), entry.sourceName.c_str(), entry.entryName.c_str(),
                                              kContentsHeldWhole, &existing, &incoming);
  std::string incomingBytes(incoming.bytes ? incoming.bytes.get() : "", incoming.size);
  std::string existingBytes(existing.bytes ? existing.bytes.get() : "", existing.size);
  KnownArchive* known = nullptr;
  if (facts.state == PackageArchive::IndexState::Loaded) {
    known = &archives_.emplace(archiveFoldedName(joined), KnownArchive{target.loadedEntryCount(), fileSizeOf(joined), {}})
                 .first->second;
    // What earlier entries would have written into this archive.
    for (const auto& written : known->written)
      if (archiveNamesEqual(written.first.c_str(), entry.entryName.c_str())) {
        facts.entryHeld = facts.entryRead = true;
        existingBytes = written.second;
        facts.sameContent = existingBytes == incomingBytes;
      }
  }
  bool fromPackage = facts.source == SourceOrigin::Package ||
                     (facts.source == SourceOrigin::Unreadable && package_ && package_->holdsEntry(entry.sourceName.c_str()));
  if (facts.source != SourceOrigin::None) step->from = fromPackage ? "package" : "loose";
  if (facts.source == SourceOrigin::Package || facts.source == SourceOrigin::LooseFile) step->sourceBytes = incoming.size;
  if (facts.entryHeld) step->targetBytes = static_cast<int64_t>(existingBytes.size());

  // The run's own decision, from the same reads.
  EntryDecision decision = decideInsertion(facts);
  if (decision.action == EntryAction::Fails) {
    failStep(step, failureText(decision, fromPackage, facts.state) + prompt);
    return;
  }
  if (decision.action == EntryAction::Identical) {
    step->action = "identical";
    if (!facts.entryHeld) step->note = "an empty or missing source adds no entry";
    return;
  }
  if (names != 1) {
    plat::setLastError(plat::kErrorCantAccessFile);
    failStep(step, "the target archive has a second name (a hard link), whose file a change in place would change too (" +
                       lastErrorText() + ")" + prompt);
    return;
  }
  bool replacing = decision.action == EntryAction::ReplaceEntry;
  uint64_t growth = replacing ? incoming.size : addedEntryGrowth(entry.entryName.size(), incoming.size, known->records);
  // What writing would meet after the decision, in the run's order.
  if (isReadOnlyFile(joined)) {
    failStep(step, std::string("the target archive is read-only") + prompt);
    return;
  }
  if (!archiveGrowthFits(known->size, growth)) {
    plat::setLastError(plat::kErrorFileTooLarge);
    failStep(step, "the archive would reach 2 GiB, which the updater refuses (" + lastErrorText() + ")" + prompt);
    return;
  }
  step->growth = static_cast<int64_t>(growth);
  if (replacing) {
    step->action = "replace-entry";
    step->note = "the old content stays in the file, unreferenced";
  } else {
    step->action = "add-entry";
    step->note = "a new index of " + std::to_string(known->records + 1) + " records is written at the end";
    ++known->records;
  }
  known->size += growth;
  known->written.emplace_back(entry.entryName, incomingBytes);
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
    // A list the updater refuses as a whole says why, at its first such line.
    for (const Finding& finding : report.findings)
      if (finding.code == "path-refused" || finding.code == "over-capacity") {
        stopText = "the list is refused at line " + std::to_string(finding.number) + ": " + finding.message;
        stopLine = finding.number;
        break;
      }
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
