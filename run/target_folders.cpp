#include "run/target_folders.h"

#include <vector>

#include "platform/cp932.h"

namespace {

// Enough for the folders an update writes in; past it, all are let go.
constexpr size_t kKeptFolders = 64;

}  // namespace

void TargetFolders::reset(const std::string& installFolder) {
  release();
  std::vector<std::string> parts = cp932PathParts(installFolder);
  namePrefix_ = parts.back();
  rootPath_ = installFolder.substr(0, installFolder.size() - namePrefix_.size());
  // A text without any separator lies in the current folder.
  if (rootPath_.empty()) rootPath_ = ".\\";
}

void TargetFolders::release() {
  kept_.clear();
  root_.close();
}

bool TargetFolders::reach(const std::string& relative, bool create, TargetSpot* spot) {
  std::vector<std::string> parts = cp932PathParts(namePrefix_ + relative);
  spot->name = parts.back();
  parts.pop_back();
  if (!root_.isOpen() && !root_.openRoot(rootPath_.c_str())) return false;
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

bool TargetFolders::reachInRoot(const std::string& name, TargetSpot* spot) {
  if (!root_.isOpen() && !root_.openRoot(rootPath_.c_str())) return false;
  spot->folder = &root_;
  spot->name = namePrefix_ + name;
  return true;
}
