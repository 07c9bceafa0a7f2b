// Any bytes as "UpDate.lst", through a whole run behind the test host, over
// a small installed game (loose files, a target archive, "Setup.log") and
// an update folder (loose sources and a source package). Every run must end
// the one way a run ends: one final message as the last box, one close
// request, the bar moving forward within 0-1000 and at 1000 only after a
// finished run, the final text agreeing with the changed-file count, and
// the target archive still readable unless a loose-file entry overwrote it.
//
// Lists that name a path outside the two folders (a "..", a drive or
// stream colon, a leading separator) are skipped: the run is fuzzed, not
// the machine.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/archive_builder.h"
#include "archive/package_archive.h"
#include "list/update_list.h"
#include "run/run_messages.h"
#include "run/run_state.h"
#include "tests/support/fake_host.h"
#include "tests/support/run_reset.h"
#include "tests/support/test_files.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool staysInside(const std::string& path) {
  return path.find("..") == std::string::npos && path.find(':') == std::string::npos &&
         (path.empty() || (path[0] != '\\' && path[0] != '/'));
}

// The named pause event stays from one run to the next, as in a process
// that starts a second run.
void resetKeepingThePauseEvent() {
  plat::EventHandle pause = runState.pauseEvent.load();
  resetRunState();
  runState.pauseEvent.store(pause);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  static TempFolder update;
  static CurrentDirectory inUpdate(update.path());
  static bool delivered = writeFile(update / "a.txt", "new a") && writeFile(update / "b.txt", "new b, longer") &&
                          writeFile(update / "e", "") && writeFile(update / "not.qrv", "a text file of 24 bytes or more") &&
                          writeArchiveFile((update / "p.qrv").c_str(), {{"a.txt", "packed a"}, {"x", "packed x"}, {"E", ""}});
  require(delivered && writeFile(update / "UpDate.lst", std::string(reinterpret_cast<const char*>(data), size)));
  static UpdateList parsed;
  if (loadUpdateListFrom("UpDate.lst", &parsed))
    for (int i = 0; i < parsed.count; ++i)
      if (!staysInside(parsed.paths[i]) || !staysInside(parsed.sourceNames[i])) return 0;

  TempFolder game;
  require(writeFile(game / "a.txt", "old a") && writeFile(game / "b.txt", "new b, longer") &&
          writeFile(game / "Setup.log", "game.exe\r\n") &&
          writeArchiveFile((game / "game.qrv").c_str(), {{"a.txt", "old a"}, {"x", "old x"}}));
  resetKeepingThePauseEvent();
  FakeHost host;
  host.installFolder = game.path();
  host.retryPrompts(1);
  runState.dialog = &host;
  runState.dialogWindow = &host;
  uint32_t result = runUpdate(&runState.worker);

  require((result == 0 || result == 1) && runState.running.load() == 0);
  require(host.closeRequests() == 1 && host.calls.back().kind == HostCall::RequestClose);
  int last = 0;
  for (int position : host.positions()) {
    require(position >= last && position <= 1000);
    last = position;
  }
  std::vector<HostCall> messages = host.messages();
  require(!messages.empty() && messages.back().owner == &host);
  for (size_t i = 0; i + 1 < messages.size(); ++i) require(messages[i].style == kStyleFileError);
  if (result == 1)
    require(last == 1000 &&
            messages.back().text == (runState.changedFileCount != 0 ? kMessageUpdateDone : kMessageAllUpToDate));
  else
    require(messages.back().caption == kCaptionAborted && last < 1000);
  bool archiveOverwritten = false;
  for (int i = 0; i < updateList.count; ++i)
    archiveOverwritten |= (updateList.commands[i] == 'C' || updateList.commands[i] == 'R') &&
                          archiveNamesEqual(updateList.paths[i].c_str(), "game.qrv");
  PackageArchive archive((game / "game.qrv").c_str());
  require(archiveOverwritten ||
          (archive.loadedEntryCount() >= 2 && archive.indexState() == PackageArchive::IndexState::Loaded));
  resetKeepingThePauseEvent();
  return 0;
}
