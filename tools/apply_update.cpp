#include "tools/apply_update.h"

#include "tools/progress.h"
#include "list/update_list.h"
#include "run/run_host.h"
#include "run/run_messages.h"

namespace {

// The updater's dialog as a console: progress while a terminal shows it.
class ConsoleHost : public RecordingHost {
 public:
  ConsoleHost(const std::string& install, int retries, ToolOutput* output)
      : RecordingHost(install, retries), progress_(output) {}
  ~ConsoleHost() override { progress_.finish(); }
  void setProgressRange(int, int) override { progress_.start("apply", static_cast<uint64_t>(updateList.count), 0); }

 protected:
  void barMoved(int ended) override {
    if (ended + 1 < updateList.count) progress_.nextFile(updateList.paths[ended + 1]);
  }

 private:
  Progress progress_;
};

const char kApplyUsage[] = "usage: updtool apply [--retries N] --install DIR [UPDATE_DIR]\n";

}  // namespace

int exitForMessage(const std::string& message) {
  return message == kMessageUpdateDone || message == kMessageAllUpToDate ? kExitFine : kExitProblems;
}

int runApply(const std::vector<std::string>& arguments, ToolOutput* output) {
  RunOperands run;
  FolderVisit visit;
  if (!readRunOperands(arguments, kApplyUsage, true, &run, output) || !enterUpdateFolder(run, &visit, output))
    return kExitUsage;
  ConsoleHost host(run.install, run.retries, output);
  int changes = runTheUpdater(host);
  int exit = exitForMessage(host.message);

  std::string& out = output->out;
  if (output->json) {
    JsonWriter json(&out);
    json.object().text("updateFolder", run.folderText).name("installFolder", run.install).array("prompts");
    for (const RecordingHost::Prompt& prompt : host.prompts)
      json.object().name("caption", prompt.caption).name("text", prompt.text).text("answer", prompt.retried ? "retry" : "cancel").end();
    json.end().number("changes", changes).name("caption", host.caption).name("message", host.message).number("exit", exit).end();
    return exit;
  }
  for (const RecordingHost::Prompt& prompt : host.prompts) {
    // Each line of the prompt's text on a line of its own, indented.
    std::string text = shown(prompt.text);
    for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 3) text.replace(at, 1, "\n  ");
    out += "prompt \"" + shown(prompt.caption) + "\":\n  " + text + "\n  answered " +
           (prompt.retried ? "Retry" : "Cancel") + "\n";
  }
  out += "the updater ended with \"" + shown(host.message) + "\" (" + shown(host.caption) + "); " + counted(changes, "change") + "\n";
  return exit;
}
