#include "platform/held_folders.h"

#include <vector>

#include "platform/cp932.h"

// Enough for the folders an update reads or writes in; past it, all are
// let go.
constexpr size_t kKeptFolders = 64;

void HeldFolders::reset(const std::string& folderText) {
  close();
  rootHeldForGood_ = false;
  namePrefix_ = cp932PathParts(folderText).back();
  rootPath_ = folderText.substr(0, folderText.size() - namePrefix_.size());
  // A text without any separator lies in the current folder.
  if (rootPath_.empty()) rootPath_ = ".\\";
}

bool HeldFolders::holdCurrentFolder() {
  kept_.clear();
  namePrefix_.clear();
  rootPath_.clear();
  rootHeldForGood_ = true;
  return root_.openCurrent();
}

void HeldFolders::release() {
  kept_.clear();
  if (!rootHeldForGood_) root_.close();
}

void HeldFolders::close() {
  kept_.clear();
  root_.close();
}

bool HeldFolders::openRoot() {
  if (root_.isOpen()) return true;
  if (rootHeldForGood_) {
    // A current folder that could not be held has nothing below it.
    plat::setLastError(plat::kErrorPathNotFound);
    return false;
  }
  return root_.openRoot(rootPath_.c_str());
}

bool HeldFolders::reach(const std::string& relative, bool create, FileSpot* spot) {
  std::vector<std::string> parts = cp932PathParts(namePrefix_ + relative);
  spot->name = parts.back();
  parts.pop_back();
  if (!openRoot()) return false;
  if (kept_.size() + parts.size() > kKeptFolders) kept_.clear();
  const plat::Folder* folder = &root_;
  std::string path;
  for (const std::string& part : parts) {
    path += part + "\\";
    auto kept = kept_.find(path);
    if (kept == kept_.end()) {
      plat::Folder child;
      if (!child.openChild(*folder, part, create)) return false;
      kept = kept_.emplace(path, std::move(child)).first;
    }
    folder = &kept->second;
  }
  spot->folder = folder;
  return true;
}

bool HeldFolders::reachInRoot(const std::string& name, FileSpot* spot) {
  if (!openRoot()) return false;
  spot->folder = &root_;
  spot->name = namePrefix_ + name;
  return true;
}

bool heldFileExists(HeldFolders& folders, const std::string& relative) {
  FileSpot spot;
  plat::File file;
  return folders.reach(relative, false, &spot) &&
         file.openIn(*spot.folder, spot.name, 0, plat::kShareRead | plat::kShareWrite | plat::kShareDelete,
                     plat::kOpenExisting);
}
