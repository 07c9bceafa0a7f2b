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
bool insertIntoArchive(const char* targetPath, const char* sourceName, const char* entryName);
