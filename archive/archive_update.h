// Puts one file into a target archive: replaces the content of the entry of
// that name, or adds a new entry, or does nothing when the bytes are equal.
#pragma once

#include <cstdint>

#include "archive/content.h"
#include "archive/package_archive.h"

// Where a source's content came from.
enum class SourceOrigin {
  None,        // neither the package nor a loose file has it
  Package,     // the package's entry of that name
  LooseFile,   // the loose file of that name
  Unreadable,  // it is there but could not be read whole
};

// The package's part of the rule for where a source comes from, the one
// rule of the verification and the apply pass: Package with its content
// when the package lists the name and delivers it; Unreadable when it lists
// the name but cannot deliver it; None when there is no package, it does
// not list the name, or its index cannot be read (a file that is no
// readable archive lists nothing), so that the loose file is next.
SourceOrigin readPackageSource(PackageArchive* package, const char* name, Content* content);

// A source of the run: readPackageSource, else the loose file of that
// name, relative to the current directory. A loose file that reads short is
// Unreadable too: other bytes than the ones chosen are never used.
SourceOrigin readSourceContent(PackageArchive* package, const char* name, Content* content);

// What the apply pass does with one entry of "C", "R" or "I", decided from
// what the target and the source hold before anything is written. The run
// then acts on it; the dry run shows it. Writing can still fail after a
// change was decided (a target that cannot be written, a full disk).
enum class EntryAction { Identical, Create, Replace, AddEntry, ReplaceEntry, Fails };

// Why an entry fails before anything is written.
enum class FailReason {
  None,
  TargetMissing,     // "R": the target does not open for reading
  TargetUnusable,    // its size cannot be had, or it is 4 GiB or more
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

// What an insertion finds in the target archive and the source.
struct InsertionFacts {
  PackageArchive::IndexState state = PackageArchive::IndexState::Unloaded;
  bool indexUnreadable = false;
  uint32_t loadError = 0;    // the last error after the entry's lookup
  bool entryHeld = false;    // listed, whether or not its content reads
  bool entryRead = false;    // listed and its content read whole
  bool layoutAllowsChanges = false;
  SourceOrigin source = SourceOrigin::None;
  uint32_t sourceError = 0;  // the last error after the source was sought
  uint32_t sourceSize = 0;
  bool sameContent = false;  // entryRead and the source holds the same bytes
};

// The rule for "I". NoIndex: when the archive opens for writing after all,
// `error` is what the prompt shows; the run probes that open first.
EntryDecision decideInsertion(const InsertionFacts& facts);

// The facts of one insertion, read from the target archive (its index
// loaded through `target`) and the source; *existing and *incoming receive
// the entry's old content and the new one. Writes nothing.
InsertionFacts gatherInsertionFacts(PackageArchive& target, PackageArchive* package, const char* sourceName,
                                    const char* entryName, Content* existing, Content* incoming);

// Whether an archive of `size` bytes may grow by `growth`: every position
// must stay within what the format can seek to (below 2 GiB).
bool archiveGrowthFits(uint64_t size, uint64_t growth);

// The bytes an added entry appends: its name with the NUL, its content and
// a new index of `records` + 1 records.
uint64_t addedEntryGrowth(size_t nameLength, uint32_t contentSize, int32_t records);

// The source is taken from runState.currentPackage when it holds that name,
// else from the loose file of that name. Adds 1 to
// runState.changedFileCount for every entry written.
//
// Every false result leaves a last error that says why. A failure after
// bytes were appended cuts the file back to its old size, so a failed
// insertion leaves the archive as it was wherever the file can still be
// written. An archive whose index cannot be read, or whose layout would let
// the change alter another entry, is refused before anything is written
// (kErrorInvalidData).
//
// The target's loaded index is kept for the next call on the same path and
// used again only when the file's size, header and index bytes are still
// exactly what this process's own last change left; otherwise, and after
// any failure, the index is loaded afresh.
bool insertIntoArchive(const char* targetPath, const char* sourceName, const char* entryName);

// Lets go of every kept target index: at the end of a run, on every abort,
// and whenever something other than insertIntoArchive may have rewritten a
// target.
void forgetTargetArchives();
