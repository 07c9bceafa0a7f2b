// Puts one file into a target archive: replaces the content of the entry of
// that name, or adds a new entry, or does nothing when the bytes are equal.
#pragma once

// The source is taken from runState.currentPackage when it holds that name,
// else from the loose file of that name. Adds 1 to
// runState.changedFileCount for every entry written.
bool insertIntoArchive(const char* targetPath, const char* sourceName, const char* entryName);
