// What both sides share above their file systems: the file system in use,
// and the File, Folder, FileView and FileSearch that reach it, with their
// positions and whole transfers.
#include "platform/platform.h"

namespace plat {

namespace {

FileSystem* gInUse = nullptr;

bool fail(uint32_t code) {
  setLastError(code);
  return false;
}

}  // namespace

FileSystem& files() { return gInUse != nullptr ? *gInUse : systemFiles(); }

FileSystemInUse::FileSystemInUse(FileSystem& fileSystem) : previous_(gInUse) { gInUse = &fileSystem; }
FileSystemInUse::~FileSystemInUse() { gInUse = previous_; }

bool File::fails() { return fail(kErrorInvalidHandle); }

bool File::open(const char* path, uint32_t access, uint32_t share, uint32_t disposition) {
  close();
  object_ = files().open(path, access, share, disposition);
  return object_ != nullptr;
}

bool File::openIn(const Folder& folder, const std::string& name, uint32_t access, uint32_t share,
                  uint32_t disposition) {
  close();
  if (!folder.isOpen()) return fails();
  object_ = files().openIn(folder.object(), name, access, share, disposition);
  return object_ != nullptr;
}

void File::close() {
  // Closing must not disturb the last error a caller is about to show.
  uint32_t saved = lastError();
  object_.reset();
  position_ = 0;
  setLastError(saved);
}

bool File::read(void* buffer, uint32_t count, uint32_t* transferred) {
  *transferred = 0;
  if (!object_) return fails();
  bool done = object_->readAt(position_, buffer, count, transferred);
  position_ += *transferred;
  return done;
}

bool File::write(const void* buffer, uint32_t count, uint32_t* transferred) {
  *transferred = 0;
  if (!object_) return fails();
  bool done = object_->writeAt(position_, buffer, count, transferred);
  position_ += *transferred;
  return done;
}

// A read that delivered fewer bytes than asked fails, never leaving stale
// buffer bytes to be taken for the file's.
bool File::readExactly(void* buffer, uint32_t count) {
  uint32_t got = 0;
  return read(buffer, count, &got) && (got == count || fail(kErrorHandleEof));
}

bool File::readExactlyAt(uint64_t offset, void* buffer, uint32_t count) {
  uint32_t got = 0;
  if (!object_) return fails();
  return object_->readAt(offset, buffer, count, &got) && (got == count || fail(kErrorHandleEof));
}

bool File::writeExactly(const void* buffer, uint32_t count) {
  const char* bytes = static_cast<const char*>(buffer);
  while (count > 0) {
    uint32_t put = 0;
    bool wrote = write(bytes, count, &put);
    if (!wrote && lastError() != 0) return false;
    // A failed call that left no code of its own, and a call that moved
    // nothing, still tell a failure.
    if (!wrote || put == 0) return fail(kErrorWriteFault);
    bytes += put;
    count -= put;
  }
  return true;
}

bool File::seek(int64_t distance, SeekOrigin origin, uint64_t* position) {
  if (!object_) return fails();
  uint64_t base = origin == SeekOrigin::Begin ? 0 : position_;
  if (origin == SeekOrigin::End && !object_->size(&base)) return false;
  if (distance < 0 && static_cast<uint64_t>(-distance) > base) return fail(kErrorNegativeSeek);
  position_ = base + static_cast<uint64_t>(distance);
  if (position != nullptr) *position = position_;
  return true;
}

bool File::size(uint64_t* bytes) { return object_ ? object_->size(bytes) : fails(); }
bool File::flush() { return object_ ? object_->flush() : fails(); }
bool File::truncateHere() { return object_ ? object_->setSize(position_) : fails(); }
bool File::describe(uint32_t* names, bool* readOnly) { return object_ ? object_->describe(names, readOnly) : fails(); }
bool File::clearReadOnly() { return object_ ? object_->clearReadOnly() : fails(); }
bool File::removeName() { return object_ ? object_->removeName() : fails(); }
bool File::traits(FileTraits* traits) { return object_ ? object_->traits(traits) : fails(); }
bool File::adoptTraits(const FileTraits& traits) { return object_ ? object_->adoptTraits(traits) : fails(); }

bool File::putInPlace(const Folder& folder, const std::string& name) {
  if (!object_ || !folder.isOpen()) return fails();
  return object_->putInPlace(folder.object(), name);
}

bool FileView::map(File& file, uint64_t offset, uint32_t length) {
  mapping_.reset();
  if (!file.object_) return file.fails();
  mapping_ = file.object_->map(offset, length);
  return mapping_ != nullptr;
}

bool Folder::openRoot(const char* path) {
  object_ = files().openRoot(path);
  return object_ != nullptr;
}

bool Folder::openCurrent() {
  object_ = files().openCurrent();
  return object_ != nullptr;
}

bool Folder::openChild(const Folder& parent, const std::string& name, bool create) {
  object_.reset();
  if (!parent.isOpen()) return fail(kErrorInvalidHandle);
  object_ = files().openChild(parent.object(), name, create);
  return object_ != nullptr;
}

const std::string& Folder::path() const {
  static const std::string none;
  return object_ ? object_->path : none;
}

bool FileSearch::first(const char* pattern, FoundFile* found) {
  found_.clear();
  next_ = 0;
  return files().search(pattern, &found_) && next(found);
}

bool FileSearch::next(FoundFile* found) {
  if (next_ >= found_.size()) return fail(kErrorNoMoreFiles);
  *found = found_[next_++];
  return true;
}

bool pathAttributes(const char* path, uint32_t* attributes) { return files().attributes(path, attributes); }
bool createFolder(const char* path) { return files().createFolder(path); }
bool deleteFile(const char* path) { return files().deleteFile(path); }

}  // namespace plat
