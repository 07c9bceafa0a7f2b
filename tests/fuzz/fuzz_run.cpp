// Any bytes as "UpDate.lst": the loader ends cleanly, within its capacity,
// with commands and fields that the scan may produce; then the list goes through a
// whole run behind the test host, over a small installed game (loose files,
// a target archive, "Setup.log") and an update folder (loose sources and a
// source package). Every run must end the one way a run ends: one final
// message as the last box, one close request, the bar moving forward
// within 0-1000 and at 1000 only after a finished run, the final text
// agreeing with the changed-file count, and the target archive still
// readable unless a loose-file entry overwrote it.
//
// Lists that name a path outside the two folders (a "..", a drive or
// stream colon, a leading separator) are not run: the run is fuzzed, not
// the machine.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

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
  bool loaded = loadUpdateListFrom("UpDate.lst", &parsed), inside = true;
  require(loaded == (parsed.count > 0) && parsed.count <= kUpdateListCapacity);
  for (int i = 0; i < parsed.count; ++i) {
    std::string fields = parsed.paths[i] + parsed.sourceNames[i] + parsed.entryNames[i];
    require(parsed.commands[i] != 0 && std::strchr("CRIPEN", parsed.commands[i]) && !holdsListWhiteSpace(fields) &&
            fields.find('\0') == std::string::npos && parsed.paths[i].size() <= 255);
    inside &= staysInside(parsed.paths[i]) && staysInside(parsed.sourceNames[i]);
  }
  if (!inside) return 0;

  TempFolder game;
  require(writeFile(game / "a.txt", "old a") && writeFile(game / "b.txt", "new b, longer") &&
          writeFile(game / "Setup.log", "game.exe\r\n") &&
          writeArchiveFile((game / "game.qrv").c_str(), {{"a.txt", "old a"}, {"x", "old x"}}));
  // The named pause event stays from one run to the next, as in a process
  // that starts a second run.
  plat::EventHandle pause = runState.pauseEvent.load();
  resetRunState();
  runState.pauseEvent.store(pause);
  FakeHost host;
  host.installFolder = game.path();
  host.retries = 1;
  runState.dialog = &host;
  runState.dialogWindow = &host;
  uint32_t result = runUpdate(&runState.worker);

  std::vector<int> positions = host.positions();
  std::vector<HostCall> messages = host.messages();
  require((result == 0 || result == 1) && runState.running.load() == 0 && host.closeRequests() == 1 &&
          host.calls.back().kind == HostCall::RequestClose && !messages.empty() && messages.back().owner == &host);
  for (size_t i = 0; i < positions.size(); ++i) require(positions[i] <= 1000 && (i == 0 || positions[i] >= positions[i - 1]));
  for (size_t i = 0; i + 1 < messages.size(); ++i) require(messages[i].style == kStyleFileError);
  bool atTheEnd = !positions.empty() && positions.back() == 1000;
  const char* outcome = runState.changedFileCount != 0 ? kMessageUpdateDone : kMessageAllUpToDate;
  require(result == 1 ? atTheEnd && messages.back().text == outcome : !atTheEnd && messages.back().caption == kCaptionAborted);
  bool archiveOverwritten = false;
  for (int i = 0; i < updateList.count; ++i)
    archiveOverwritten |= std::strchr("CR", updateList.commands[i]) && archiveNamesEqual(updateList.paths[i].c_str(), "game.qrv");
  PackageArchive archive((game / "game.qrv").c_str());
  require(archiveOverwritten ||
          (archive.loadedEntryCount() >= 2 && archive.indexState() == PackageArchive::IndexState::Loaded));
  return 0;
}
