// Puts one file into a target archive: replaces the content of the entry of
// that name, or adds a new entry, or does nothing when the bytes are equal.
#pragma once

#include <cstdint>

#include <string>

#include "archive/content.h"
#include "archive/package_archive.h"
#include "archive/source_rule.h"

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
// loaded through `target`) and the source under `limits` (the package,
// else the loose file of the update folder); *existing and *incoming
// receive the entry's old content and the new one. Writes nothing.
InsertionFacts gatherInsertionFacts(PackageArchive& target, PackageArchive* package, HeldFolders& updateFolder,
                                    const char* sourceName, const char* entryName, const ContentLimits& limits,
                                    Content* existing, Content* incoming);

// Puts the source into the entry of the target archive at `relativePath`
// below the run's install folder (runState.targetFolders), reached without
// links. The source is taken from runState.currentPackage when it holds
// that name, else from the loose file of that name in the update folder
// (runState.updateFolder). Adds 1 to
// runState.changedFileCount for every entry written.
//
// The target is opened for reading and writing with writers shut out, and
// held so until the run moves on to another target (releaseTargetArchive):
// its index, read once, stays the file's own. One with a record past its
// end is judged afresh at every insertion, as the bytes appended may come
// under that record. One that cannot be opened so is read alone, and
// refused with that open's code when it needs a change; so is one with a
// second name (kErrorCantAccessFile), which a change in place would change
// too.
//
// Every false result leaves a last error that says why. A failure after
// bytes were appended cuts the file back to its old size, so a failed
// insertion leaves the archive as it was wherever the file can still be
// written. An archive whose index cannot be read, or whose layout would let
// the change alter another entry, is refused before anything is written
// (kErrorInvalidData).
bool insertIntoArchive(const char* relativePath, const char* sourceName, const char* entryName);

// Lets go of the held target archive: when the run moves on to another
// target, after a failed insertion, at the end of a run and on every abort.
void releaseTargetArchive();
