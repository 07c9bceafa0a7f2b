// Puts one file into a target archive: replaces the content of the entry of
// that name, or adds a new entry, or does nothing when the bytes are equal.
#pragma once

#include "archive/content.h"

class PackageArchive;

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
