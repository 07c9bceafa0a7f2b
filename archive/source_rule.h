// Where an entry's source comes from (the selected package first, else the
// loose file of the update folder), and what the run decides for one entry
// of "C", "R" or "I" before it writes anything: the loose files of the run
// and the archive update both reach them from above.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "archive/content.h"

class HeldFolders;
class PackageArchive;

// Where a source's content came from.
enum class SourceOrigin {
  None,        // neither the package nor a loose file has it
  Package,     // the package's entry of that name
  LooseFile,   // the loose file of that name
  Unreadable,  // it is there but could not be read whole
};

// The package's part of the source rule: Package with its content when the
// package lists the name and delivers it; Unreadable when it lists the
// name but cannot deliver it; None when there is no package, it does not
// list the name, or its index cannot be read (a file that is no readable
// archive lists nothing), so that the loose file is next.
SourceOrigin readPackageSource(PackageArchive* package, const char* name, Content* content,
                               const ContentLimits& limits = ContentLimits());

// The source rule of the verification and the apply pass: readPackageSource,
// else the loose file of that name in the held update folder, reached
// through no link (one on the way or at the name leaves it missing, with
// kErrorCantAccessFile). A loose file that reads short is Unreadable too:
// other bytes than the ones chosen are never used. Contents are read under
// `limits`.
SourceOrigin readSourceContent(PackageArchive* package, HeldFolders& updateFolder, const char* name,
                               Content* content, const ContentLimits& limits);

// The source package `path` of the update folder, its file opened now for
// reading, never through a link: one that does not open (or is behind a
// link) lists nothing, so that the loose files are next. None only when
// memory runs out.
std::unique_ptr<PackageArchive> openSourcePackage(HeldFolders& updateFolder, const std::string& path);

// Writing can still fail after a change was decided (a target that cannot
// be written, a full disk).
enum class EntryAction { Identical, Create, Replace, AddEntry, ReplaceEntry, Fails };

// Why an entry fails before anything is written.
enum class FailReason {
  None,
  TargetMissing,     // "R": the target does not open for reading
  TargetUnusable,    // a link where the target is, or its size cannot be had
  SourceMissing,     // neither the package nor a loose file has it
  SourceUnreadable,  // it is there but cannot be read whole
  CompareFailed,     // reading the target to compare it failed
  IndexUnreadable,   // the target archive's index cannot be read
  NoIndex,           // the archive did not open, or is shorter than its header
  LayoutRefused,     // the change could alter another entry
};

struct EntryDecision {
  EntryAction action = EntryAction::Fails;
  FailReason reason = FailReason::None;
  uint32_t error = 0;  // on Fails: the last error the file-error prompt shows
};
