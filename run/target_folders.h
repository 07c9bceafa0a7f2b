// The folders the run writes in: below the install folder, each held open
// while the run needs it, and reached through folders that are not links.
// The folders reached are kept for the targets that follow, which mostly
// lie in the same few places.
#pragma once

#include <map>
#include <string>

#include "platform/platform.h"

// A file's place: the folder that holds it, and its name there.
struct TargetSpot {
  const plat::Folder* folder = nullptr;
  std::string name;
};

class TargetFolders {
 public:
  // The install folder text as the run reads it, used as it stands: its
  // last part, when the text does not end with a separator, begins the
  // first part of every target ("C:\Game" and "a.dat" name "C:\Gamea.dat").
  // The folder up to its last separator is the root, which is opened as the
  // player named it; everything below it is reached without links.
  void reset(const std::string& installFolder);
  // The folders of `relative` (a path the list rule allows), opened from
  // the root down; with `create`, the missing ones are made, the outermost
  // first. False with the last error: kErrorPathNotFound for a missing
  // folder (or a file where one would be), kErrorAlreadyExists for a file
  // where one must be made, kErrorCantAccessFile for a link. The spot's
  // folder stays valid until the next call.
  bool reach(const std::string& relative, bool create, TargetSpot* spot);
  // A file of the install folder itself (the setup log), without letting
  // go of any folder kept.
  bool reachInRoot(const std::string& name, TargetSpot* spot);
  // Lets go of every held folder.
  void release();

 private:
  std::string rootPath_;
  std::string namePrefix_;
  plat::Folder root_;
  // Below the root, by their path from it; each was opened through the
  // one before it, which is kept as long as it is.
  std::map<std::string, plat::Folder> kept_;
};
