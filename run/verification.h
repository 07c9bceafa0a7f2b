// The three verification passes that precede every apply pass.
#pragma once

#include <cstddef>
#include <string>

#include "list/update_list.h"
#include "run/run_state.h"

class HeldFolders;
class PackageArchive;

// A source is the entry of that name in the package when there is one and
// it lists the name (then it must be readable), otherwise the loose file of
// that name in the update folder, reached through no link;
// readPackageSource decides. A package whose index cannot be read lists
// nothing.
bool sourceExists(PackageArchive* package, HeldFolders& updateFolder, const char* name);

enum class VerificationStop {
  None,
  SourceMissing,      // pass 1, message S
  TargetMissing,      // pass 2, message T
  TargetDamaged,      // pass 3, message M: no archive magic
  SourcePathTooLong,  // pass 1, refused with message S
  TargetPathTooLong,  // pass 2, refused with message T
};

struct VerificationResult {
  VerificationStop stop = VerificationStop::None;
  int pass = 0;         // 1, 2 or 3; 0 when nothing stopped the run
  int entryIndex = -1;  // the failing entry, or -1
  std::string path;     // the path it failed on (CP932): source, joined target or archive
};

// Passes 1 to 3 over the whole list, in order, against the disk: the
// install folder and the held update folder. Reads only; writes nothing.
//  1: every source of C, R and I exists (P selects the package for the rest
//     of the pass); over-long source or package paths are refused.
//  2: every joined target of C, R and I fits kRunPathSize; with target
//     checking on (E on, N off, on at the start), I and R targets exist.
//  3: with target checking on again, every I target begins with "QRV001".
VerificationResult verifyUpdateList(const UpdateList& list, const char* installFolder, HeldFolders& updateFolder);

// The abort message for a stop, or null for None.
const char* verificationMessage(VerificationStop stop);
