// Where the program may load DLLs from. It runs as administrator from a
// download folder that others may write to: a DLL planted there must never
// load.
#pragma once

// Lets every later load search the system folder alone
// (SetDefaultDllDirectories with LOAD_LIBRARY_SEARCH_SYSTEM32). A Windows 7
// without its update lacks that call; there the current folder at least
// leaves the search (SetDllDirectoryW with an empty text). The first
// statement of the program.
void loadDllsFromTheSystemFolderOnly();
