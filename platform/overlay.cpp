#include "platform/overlay.h"

#include <algorithm>
#include <cstring>

#include "platform/cp932.h"

namespace plat {

namespace {

constexpr uint32_t kBlockSize = 1u << 20;
constexpr uint32_t kMutating = kGenericWrite | kDeleteAccess | kWriteAttributes;
constexpr uint32_t kShareAll = kShareRead | kShareWrite | kShareDelete;

// Paths compare as the file system compares names: on Windows, letters
// fold across case (single-byte ones; a trail byte is no letter).
std::string folded(const std::string& path) {
  std::string key = path;
#ifdef _WIN32
  for (size_t i = 0; i < key.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(key[i]);
    if (isCp932LeadByte(byte))
      ++i;
    else if (byte >= 'A' && byte <= 'Z')
      key[i] = static_cast<char>(byte + 0x20);
  }
#endif
  return key;
}

// A run searches a folder for all its names (`*`) or for one name, which
// compares as paths do.
bool matches(const std::string& pattern, const std::string& name) {
  return pattern == "*" || folded(pattern) == folded(name);
}

bool fail(uint32_t code) {
  setLastError(code);
  return false;
}

class OverlayFolder : public OpenFolder {
 public:
  std::unique_ptr<OpenFolder> real;  // none for a folder the overlay made
};

const OverlayFolder& overlayFolder(const OpenFolder& folder) { return static_cast<const OverlayFolder&>(folder); }

std::unique_ptr<OpenFolder> wrapFolder(std::unique_ptr<OpenFolder> real, const std::string& path) {
  auto folder = std::make_unique<OverlayFolder>();
  folder->real = std::move(real);
  folder->path = path;
  return folder;
}

// A root or the current folder, shown by the path it was reached by.
std::unique_ptr<OpenFolder> wrapReal(std::unique_ptr<OpenFolder> real) {
  if (!real) return nullptr;
  std::string path = real->path;
  return wrapFolder(std::move(real), path);
}

}  // namespace

// The bytes kept aside: blocks of memory up to the bound, then a scratch
// file. A reference is a position in memory, or past the bound one in the
// file.
struct OverlayFiles::Store {
  Store(FileSystem& under, std::string path, uint64_t bound) : under(under), path(std::move(path)), bound(bound) {}
  ~Store() {
    if (!file) return;
    file.reset();
    under.deleteFile(path.c_str());
  }

  bool put(const void* bytes, uint32_t count, uint64_t* reference) {
    const char* from = static_cast<const char*>(bytes);
    if (inMemory + count <= bound) {
      *reference = inMemory;
      for (uint32_t done = 0; done < count;) {
        size_t block = static_cast<size_t>(inMemory / kBlockSize);
        uint32_t at = static_cast<uint32_t>(inMemory % kBlockSize);
        if (block == blocks.size()) blocks.emplace_back(new char[kBlockSize]);
        uint32_t step = std::min(count - done, kBlockSize - at);
        std::memcpy(blocks[block].get() + at, from + done, step);
        done += step;
        inMemory += step;
      }
      return true;
    }
    if (!file && !(file = under.open(path.c_str(), kGenericRead | kGenericWrite, kShareNone, kCreateAlways))) return false;
    uint32_t written = 0;
    if (!file->writeAt(inFile, from, count, &written)) return false;
    if (written != count) return fail(kErrorWriteFault);
    *reference = bound + inFile;
    inFile += count;
    return true;
  }

  bool get(uint64_t reference, void* bytes, uint32_t count) {
    char* to = static_cast<char*>(bytes);
    if (reference >= bound) {
      uint32_t got = 0;
      return file && file->readAt(reference - bound, to, count, &got) && (got == count || fail(kErrorReadFault));
    }
    for (uint32_t done = 0; done < count;) {
      uint64_t at = reference + done;
      uint32_t step = std::min(count - done, kBlockSize - static_cast<uint32_t>(at % kBlockSize));
      std::memcpy(to + done, blocks[static_cast<size_t>(at / kBlockSize)].get() + at % kBlockSize, step);
      done += step;
    }
    return true;
  }

  FileSystem& under;
  std::string path;
  uint64_t bound;
  std::vector<std::unique_ptr<char[]>> blocks;
  uint64_t inMemory = 0, inFile = 0;
  std::unique_ptr<OpenFile> file;
};

// A file as the overlay holds it: the real file's bytes (`base`, read
// through a handle of the overlay's own) under the written extents.
struct OverlayFiles::FileData {
  struct Extent {
    uint64_t length;
    uint64_t reference;
  };

  bool read(Store& store, uint64_t offset, char* out, uint32_t count, uint32_t* transferred) {
    *transferred = 0;
    if (offset >= size) return true;
    count = static_cast<uint32_t>(std::min<uint64_t>(count, size - offset));
    for (uint32_t done = 0; done < count;) {
      uint64_t at = offset + done;
      auto next = extents.upper_bound(at);
      if (next != extents.begin()) {
        auto covering = std::prev(next);
        if (covering->first + covering->second.length > at) {
          uint64_t into = at - covering->first;
          uint32_t step = static_cast<uint32_t>(std::min<uint64_t>(count - done, covering->second.length - into));
          if (!store.get(covering->second.reference + into, out + done, step)) return false;
          done += step;
          continue;
        }
      }
      uint64_t gapEnd = next == extents.end() ? offset + count : std::min<uint64_t>(next->first, offset + count);
      uint32_t step = static_cast<uint32_t>(gapEnd - at);
      uint32_t fromBase = at < baseSize ? static_cast<uint32_t>(std::min<uint64_t>(step, baseSize - at)) : 0;
      uint32_t got = 0;
      if (fromBase > 0 && !base->readAt(at, out + done, fromBase, &got)) return false;
      // What the real file no longer holds, and the space past its end
      // that a write beyond it left, read as zeros.
      std::memset(out + done + got, 0, step - got);
      done += step;
    }
    *transferred = count;
    return true;
  }

  bool write(Store& store, uint64_t offset, const char* bytes, uint32_t count) {
    uint64_t reference = 0;
    if (count == 0) return true;
    if (!store.put(bytes, count, &reference)) return false;
    cut(offset, offset + count);
    extents[offset] = Extent{count, reference};
    size = std::max(size, offset + count);
    return true;
  }

  // No extent keeps bytes of [from, to).
  void cut(uint64_t from, uint64_t to) {
    auto it = extents.lower_bound(from);
    if (it != extents.begin()) {
      auto before = std::prev(it);
      uint64_t end = before->first + before->second.length;
      if (end > from) {
        before->second.length = from - before->first;
        if (end > to) extents[to] = Extent{end - to, before->second.reference + (to - before->first)};
      }
    }
    while (it != extents.end() && it->first < to) {
      uint64_t end = it->first + it->second.length;
      if (end > to) extents[to] = Extent{end - to, it->second.reference + (to - it->first)};
      it = extents.erase(it);
    }
  }

  // What the overlay holds of a real file about to be written: its facts,
  // and a reading handle of its own on its bytes.
  bool holdReal(std::unique_ptr<OpenFile> reader, OpenFile& asked) {
    if (!reader || !reader->size(&baseSize) || !asked.describe(&names, &readOnly) || !asked.traits(&traits))
      return false;
    size = baseSize;
    base = std::move(reader);
    return true;
  }

  // As a search or a look at the path reports the file.
  uint32_t attributes() const { return kAttributeNormal | (readOnly ? kAttributeReadOnly : 0); }

  void resize(uint64_t bytes) {
    cut(bytes, UINT64_MAX);
    baseSize = std::min(baseSize, bytes);
    size = bytes;
  }

  std::unique_ptr<OpenFile> base;  // none for a file the overlay made
  uint64_t baseSize = 0;
  uint64_t size = 0;
  std::map<uint64_t, Extent> extents;
  uint32_t names = 1;
  bool readOnly = false;
  FileTraits traits;
  bool changed = false;
};

// One open file of the overlay: the real file as it was opened, while
// nothing of it is kept aside, else what the overlay holds of it.
class OverlayFile : public OpenFile {
 public:
  OverlayFile(OverlayFiles& owner, std::string path, std::shared_ptr<OverlayFiles::FileData> data,
              std::unique_ptr<OpenFile> real)
      : owner_(owner), path_(std::move(path)), data_(std::move(data)), real_(std::move(real)) {}
  ~OverlayFile() override {
    // A real file that was only looked at is the real one again.
    const OverlayFiles::Node* node = owner_.find(path_);
    if (data_ && !data_->changed && data_.use_count() == 2 && node != nullptr && node->data == data_)
      owner_.nodes_.erase(folded(path_));
  }

  bool readAt(uint64_t offset, void* buffer, uint32_t count, uint32_t* transferred) override {
    if (!data_) return real_->readAt(offset, buffer, count, transferred);
    return data_->read(*owner_.store_, offset, static_cast<char*>(buffer), count, transferred);
  }

  bool writeAt(uint64_t offset, const void* buffer, uint32_t count, uint32_t* transferred) override {
    *transferred = 0;
    if (!writable()) return false;
    if (!data_->write(*owner_.store_, offset, static_cast<const char*>(buffer), count)) return false;
    *transferred = count;
    return changed();
  }

  bool size(uint64_t* bytes) override {
    if (!data_) return real_->size(bytes);
    *bytes = data_->size;
    return true;
  }

  bool setSize(uint64_t bytes) override {
    if (!writable()) return false;
    data_->resize(bytes);
    return changed();
  }

  bool flush() override { return true; }

  // A handle that was opened to read only changes nothing.
  bool writable() const { return data_ != nullptr || fail(kErrorAccessDenied); }

  bool describe(uint32_t* names, bool* readOnly) override {
    if (!data_) return real_->describe(names, readOnly);
    *names = data_->names;
    *readOnly = data_->readOnly;
    return true;
  }

  bool clearReadOnly() override {
    if (!writable()) return false;
    data_->readOnly = false;
    return changed();
  }

  bool traits(FileTraits* traits) override {
    if (!data_) return real_->traits(traits);
    *traits = data_->traits;
    return true;
  }

  bool adoptTraits(const FileTraits& traits) override {
    if (!writable()) return false;
    data_->traits = traits;
    return changed();
  }

  bool removeName() override {
    if (!writable()) return false;
    owner_.set(path_, OverlayFiles::Node::Gone, nullptr);
    return changed();
  }

  // What holds the name stays where the system would refuse: a folder, a
  // read-only file.
  bool putInPlace(const OpenFolder& folder, const std::string& name) override {
    if (!writable()) return false;
    std::string target = folder.path + name;
    const OverlayFiles::Node* there = owner_.find(target);
    uint32_t attributes = 0;
    bool refused = there != nullptr ? there->kind == OverlayFiles::Node::Folder ||
                                          (there->kind == OverlayFiles::Node::File && there->data->readOnly)
                                    : owner_.under_.attributes(target.c_str(), &attributes) &&
                                          (attributes & (kAttributeDirectory | kAttributeReadOnly));
    if (refused) return fail(kErrorAccessDenied);
    owner_.set(path_, OverlayFiles::Node::Gone, nullptr);
    changed();
    path_ = target;
    owner_.set(path_, OverlayFiles::Node::File, data_);
    return changed();
  }

  std::unique_ptr<MappedBytes> map(uint64_t, uint32_t) override { return fail(kErrorNotSupported), nullptr; }

 private:
  bool changed() {
    data_->changed = true;
    owner_.changed(path_);
    setLastError(0);
    return true;
  }

  OverlayFiles& owner_;
  std::string path_;
  std::shared_ptr<OverlayFiles::FileData> data_;
  std::unique_ptr<OpenFile> real_;
};

OverlayFiles::OverlayFiles(FileSystem& under, std::string scratchFile, uint64_t memoryBound)
    : under_(under), store_(std::make_unique<Store>(under, std::move(scratchFile), memoryBound)) {}

OverlayFiles::~OverlayFiles() = default;

uint64_t OverlayFiles::bytesInScratch() const { return store_->inFile; }

const OverlayFiles::Node* OverlayFiles::find(const std::string& path) const {
  auto found = nodes_.find(folded(path));
  return found == nodes_.end() ? nullptr : &found->second;
}

void OverlayFiles::set(const std::string& path, Node::Kind kind, std::shared_ptr<FileData> data) {
  nodes_[folded(path)] = Node{kind, std::move(data), path};
}

void OverlayFiles::changed(const std::string& path) {
  if (changedSet_.insert(folded(path)).second) changed_.push_back(path);
}

std::unique_ptr<OpenFile> OverlayFiles::handle(const std::string& path, std::shared_ptr<FileData> data,
                                               std::unique_ptr<OpenFile> real) {
  setLastError(0);
  return std::make_unique<OverlayFile>(*this, path, std::move(data), std::move(real));
}

std::unique_ptr<OpenFile> OverlayFiles::openIn(const OpenFolder& folder, const std::string& name, uint32_t access,
                                               uint32_t share, uint32_t disposition) {
  std::string path = folder.path + name;
  const OpenFolder* real = overlayFolder(folder).real.get();
  if (const Node* node = find(path)) {
    if (node->kind == Node::File && disposition == kCreateNew) return fail(kErrorFileExists), nullptr;
    if (node->kind == Node::File) return handle(path, node->data, nullptr);
    if (node->kind == Node::Folder) return fail(kErrorAccessDenied), nullptr;
    real = nullptr;  // gone: as if nothing were there
  }
  if (disposition == kCreateNew) {
    // A name the real folder holds is taken, a link's included.
    std::unique_ptr<OpenFile> probe = real ? under_.openIn(*real, name, 0, kShareAll, kOpenExisting) : nullptr;
    if (probe || (real && lastError() == kErrorCantAccessFile)) return fail(kErrorFileExists), nullptr;
    if (real && lastError() != kErrorFileNotFound) return nullptr;
    auto data = std::make_shared<FileData>();
    set(path, Node::File, data);
    changed(path);
    return handle(path, data, nullptr);
  }
  if (real == nullptr) return fail(kErrorFileNotFound), nullptr;
  // Opened as asked, so that the system refuses what it would refuse.
  std::unique_ptr<OpenFile> opened = under_.openIn(*real, name, access, share, kOpenExisting);
  if (!opened) return nullptr;
  if (!(access & kMutating)) return handle(path, nullptr, std::move(opened));
  auto data = std::make_shared<FileData>();
  if (!data->holdReal(under_.openIn(*real, name, kGenericRead, kShareAll, kOpenExisting), *opened)) return nullptr;
  set(path, Node::File, data);
  return handle(path, data, std::move(opened));
}

std::unique_ptr<OpenFile> OverlayFiles::open(const char* path, uint32_t access, uint32_t share, uint32_t disposition) {
  if (const Node* node = find(path)) {
    if (node->kind == Node::File && disposition == kOpenExisting) return handle(path, node->data, nullptr);
    return fail(node->kind == Node::Gone ? kErrorFileNotFound : kErrorAccessDenied), nullptr;
  }
  // A run opens by path only to read.
  if ((access & kMutating) || disposition != kOpenExisting) return fail(kErrorAccessDenied), nullptr;
  std::unique_ptr<OpenFile> opened = under_.open(path, access, share, disposition);
  return opened ? handle(path, nullptr, std::move(opened)) : nullptr;
}

std::unique_ptr<OpenFolder> OverlayFiles::openRoot(const char* path) { return wrapReal(under_.openRoot(path)); }
std::unique_ptr<OpenFolder> OverlayFiles::openCurrent() { return wrapReal(under_.openCurrent()); }

std::unique_ptr<OpenFolder> OverlayFiles::openChild(const OpenFolder& parent, const std::string& name, bool create) {
  std::string path = parent.path + name + "\\";
  const OpenFolder* real = overlayFolder(parent).real.get();
  if (find(path) != nullptr) return wrapFolder(nullptr, path);
  // A file where the folder would be: the real one, or one the overlay holds.
  const Node* file = find(parent.path + name);
  if (file != nullptr && file->kind == Node::File) return fail(create ? kErrorAlreadyExists : kErrorPathNotFound), nullptr;
  if (real != nullptr && (file == nullptr || file->kind != Node::Gone)) {
    std::unique_ptr<OpenFolder> child = under_.openChild(*real, name, false);
    if (child) return wrapFolder(std::move(child), path);
    if (lastError() != kErrorPathNotFound || !create) return nullptr;
    if (under_.openIn(*real, name, 0, kShareAll, kOpenExisting) || lastError() == kErrorCantAccessFile)
      return fail(kErrorAlreadyExists), nullptr;
  }
  if (!create) return fail(kErrorPathNotFound), nullptr;
  set(path, Node::Folder, nullptr);
  changed(path);
  setLastError(0);
  return wrapFolder(nullptr, path);
}

bool OverlayFiles::attributes(const char* path, uint32_t* attributes) {
  const Node* folder = find(std::string(path) + "\\");
  if (folder != nullptr && folder->kind == Node::Folder) {
    *attributes = kAttributeDirectory;
    return true;
  }
  if (const Node* node = find(path)) {
    if (node->kind != Node::File) return fail(kErrorFileNotFound);
    *attributes = node->data->attributes();
    return true;
  }
  return under_.attributes(path, attributes);
}

// A run makes folders and removes files through its held folders only.
bool OverlayFiles::createFolder(const char*) { return fail(kErrorNotSupported); }
bool OverlayFiles::deleteFile(const char*) { return fail(kErrorNotSupported); }

bool OverlayFiles::search(const char* pattern, std::vector<FoundFile>* found) {
  found->clear();
  std::string leaf = cp932PathParts(pattern).back();
  std::string folder(pattern, std::strlen(pattern) - leaf.size());
  std::vector<FoundFile> real;
  under_.search(pattern, &real);
  for (const FoundFile& file : real) {
    // What the overlay holds of the name is listed below.
    if (!file.nameable || find(folder + file.name + (file.attributes & kAttributeDirectory ? "\\" : "")) == nullptr)
      found->push_back(file);
  }
  std::string key = folded(folder);
  for (auto node = nodes_.lower_bound(key); node != nodes_.end() && node->first.compare(0, key.size(), key) == 0;
       ++node) {
    std::string rest = node->second.path.substr(folder.size());
    bool isFolder = !rest.empty() && rest.back() == '\\';
    if (isFolder) rest.pop_back();
    if (rest.empty() || cp932PathParts(rest).size() != 1 || node->second.kind == Node::Gone || !matches(leaf, rest))
      continue;
    FoundFile file;
    file.name = rest;
    file.attributes = isFolder ? kAttributeDirectory : node->second.data->attributes();
    if (!cp932ToUtf8(rest, &file.utf8Name)) file.utf8Name.clear();
    found->push_back(file);
  }
  return !found->empty() || fail(kErrorFileNotFound);
}

}  // namespace plat
