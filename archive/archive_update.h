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

// A source of the run: the package's entry of that name first, else the
// loose file of that name, relative to the current directory. A package
// that lists the name but cannot deliver it, or a loose file that reads
// short, is Unreadable: other bytes than the ones chosen are never used.
SourceOrigin readSourceContent(PackageArchive* package, const char* name, Content* content);

// The source is taken from runState.currentPackage when it holds that name,
// else from the loose file of that name. Adds 1 to
// runState.changedFileCount for every entry written.
//
// The target's loaded index is kept for the next call on the same path and
// used again only when the file's size and header are still exactly what
// this process's own last change left; otherwise, and after any failure,
// the index is loaded afresh.
bool insertIntoArchive(const char* targetPath, const char* sourceName, const char* entryName);

// Lets go of every kept target index: at the end of a run, on every abort,
// and whenever something other than insertIntoArchive may have rewritten a
// target.
void forgetTargetArchives();
