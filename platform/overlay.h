// A file system over another one that keeps every change aside: writes,
// new files and folders, renames and removals stay in the overlay, and
// reads fall through to the real files where nothing was written. Nothing
// of the real folders changes; files that must be written are opened as
// asked (so that the system refuses what it would refuse), but never
// written through. What the overlay keeps lies in memory up to a bound and
// beyond it in a scratch file. It maps no views, so that readers read.
//
// A dry run is the real run over an overlay: what it changed is read back
// from the overlay.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace plat {

class OverlayFiles : public FileSystem {
 public:
  // `scratchFile`: where bytes beyond `memoryBound` go (a path outside the
  // folders overlaid); made when first needed and removed with the overlay.
  OverlayFiles(FileSystem& under, std::string scratchFile, uint64_t memoryBound);
  ~OverlayFiles() override;
  OverlayFiles(const OverlayFiles&) = delete;
  OverlayFiles& operator=(const OverlayFiles&) = delete;

  // The paths changed since the last mark, in the order of their first
  // change: files written, made, cut, renamed from or to, removed, their
  // attributes set; folders made (ending with a backslash).
  void mark() { changed_.clear(), changedSet_.clear(); }
  const std::vector<std::string>& changedSinceMark() const { return changed_; }
  // What the overlay holds in its scratch file.
  uint64_t bytesInScratch() const;

  std::unique_ptr<OpenFile> open(const char* path, uint32_t access, uint32_t share, uint32_t disposition) override;
  std::unique_ptr<OpenFile> openIn(const OpenFolder& folder, const std::string& name, uint32_t access, uint32_t share,
                                   uint32_t disposition) override;
  std::unique_ptr<OpenFolder> openRoot(const char* path) override;
  std::unique_ptr<OpenFolder> openCurrent() override;
  std::unique_ptr<OpenFolder> openChild(const OpenFolder& parent, const std::string& name, bool create) override;
  bool attributes(const char* path, uint32_t* attributes) override;
  bool createFolder(const char* path) override;
  bool deleteFile(const char* path) override;
  // The real folder's matches as the overlay shows the folder: without what
  // it removed, with what it made.
  bool search(const char* pattern, std::vector<FoundFile>* found) override;

 private:
  friend class OverlayFile;
  struct Store;
  struct FileData;
  struct Node {
    enum Kind { Folder, File, Gone } kind;
    std::shared_ptr<FileData> data;
    std::string path;  // as first named
  };
  const Node* find(const std::string& path) const;
  void set(const std::string& path, Node::Kind kind, std::shared_ptr<FileData> data);
  void changed(const std::string& path);
  std::unique_ptr<OpenFile> handle(const std::string& path, std::shared_ptr<FileData> data,
                                   std::unique_ptr<OpenFile> real);

  FileSystem& under_;
  std::unique_ptr<Store> store_;
  std::map<std::string, Node> nodes_;  // by folded path
  std::vector<std::string> changed_;
  std::set<std::string> changedSet_;
};

}  // namespace plat
