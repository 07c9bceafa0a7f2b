// A tree of folders held open: the install folder, whose files the run
// writes, and the update folder, whose files it reads. Each folder below
// the root is opened relative to its parent, never through a link, and is
// held while the run needs it, so that it cannot be renamed or replaced
// meanwhile. The folders reached are kept for the files that follow, which
// mostly lie in the same few places.
#pragma once

#include <map>
#include <string>

#include "platform/platform.h"

// A file's place: the folder that holds it, and its name there.
struct FileSpot {
  const plat::Folder* folder = nullptr;
  std::string name;
};

class HeldFolders {
 public:
  // The install folder text as the run reads it, used as it stands: its
  // last part, when the text does not end with a separator, begins the
  // first part of every path ("C:\Game" and "a.dat" name "C:\Gamea.dat").
  // The folder up to its last separator is the root, which is opened as
  // the player named it, on the first reach; release() lets it go.
  void reset(const std::string& folderText);
  // The process's current folder as the root: opened now, as it stands
  // (a link up to it included), and held until the next reset, whatever
  // release() lets go, so that every read of the run is of that folder.
  bool holdCurrentFolder();
  // The folders of `relative` (a path the list rule allows), opened from
  // the root down; with `create`, the missing ones are made, the outermost
  // first. False with the last error: kErrorPathNotFound for a missing
  // folder (or a file where one would be), kErrorAlreadyExists for a file
  // where one must be made, kErrorCantAccessFile for a link. The spot's
  // folder stays valid until the next call.
  bool reach(const std::string& relative, bool create, FileSpot* spot);
  // A file of the root itself (the setup log, the update list), without
  // letting go of any folder kept.
  bool reachInRoot(const std::string& name, FileSpot* spot);
  // Lets go of every held folder below the root, and of a root opened by
  // its path.
  void release();
  // Lets go of every folder, a root held for good included.
  void close();

 private:
  bool openRoot();

  std::string rootPath_;
  std::string namePrefix_;
  bool rootHeldForGood_ = false;
  plat::Folder root_;
  // Below the root, by their path from it; each was opened through the
  // one before it, which is kept as long as it is.
  std::map<std::string, plat::Folder> kept_;
};

// Whether the file at `relative` below the folders is there: a regular
// file, reached through no link. Opened without any access, so that what
// other programs share or refuse does not count.
bool heldFileExists(HeldFolders& folders, const std::string& relative);
