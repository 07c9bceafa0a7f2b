#include "run/target_folders.h"

#include "platform/cp932.h"

void TargetFolders::reset(const std::string& installFolder) {
  release();
  std::vector<std::string> parts = cp932PathParts(installFolder);
  namePrefix_ = parts.back();
  rootPath_ = installFolder.substr(0, installFolder.size() - namePrefix_.size());
  // A text without any separator lies in the current folder.
  if (rootPath_.empty()) rootPath_ = ".\\";
}

void TargetFolders::release() {
  chain_.clear();
  names_.clear();
  root_.close();
}

bool TargetFolders::reach(const std::string& relative, bool create, TargetSpot* spot) {
  std::vector<std::string> parts = cp932PathParts(namePrefix_ + relative);
  spot->name = parts.back();
  parts.pop_back();
  if (!root_.isOpen() && !root_.openRoot(rootPath_.c_str())) return false;
  // What the last target needed and this one shares stays held.
  size_t kept = 0;
  while (kept < chain_.size() && kept < parts.size() && names_[kept] == parts[kept]) ++kept;
  chain_.resize(kept);
  names_.resize(kept);
  for (size_t i = kept; i < parts.size(); ++i) {
    plat::Folder folder;
    if (!folder.openChild(i == 0 ? root_ : chain_.back(), parts[i], create)) return false;
    chain_.push_back(std::move(folder));
    names_.push_back(parts[i]);
  }
  spot->folder = chain_.empty() ? &root_ : &chain_.back();
  return true;
}

bool TargetFolders::reachInRoot(const std::string& name, TargetSpot* spot) {
  if (!root_.isOpen() && !root_.openRoot(rootPath_.c_str())) return false;
  spot->folder = &root_;
  spot->name = namePrefix_ + name;
  return true;
}
