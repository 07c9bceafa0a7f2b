#include "tests/support/fault_plan.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

struct FaultPlan::Rules {
  Rules(unsigned watchedCalls, int spoiled, Spoil how, bool andLater)
      : watched(watchedCalls), k(spoiled), spoil(how), fromThenOn(andLater) {}
  unsigned watched;
  int k;
  Spoil spoil;
  bool fromThenOn;
  int calls = 0;
  std::string pathPart;
  bool writingOnly = false;
  uint32_t error = 0;
  std::function<void()> action;
  bool viewsAllowed = true;
  bool active = true;  // false once the plan is gone

  // Counts a call of that kind; true if it is spoiled.
  bool hit(unsigned kind) {
    if (!active || !(watched & kind)) return false;
    ++calls;
    if (k <= 0 || calls < k || (calls > k && !fromThenOn)) return false;
    if (spoil == Spoil::Exit) std::_Exit(kKilled);
    if (action) action();
    return true;
  }

  bool spoilTransfer(uint32_t* count) {
    switch (spoil) {
      case Spoil::Fail: return false;
      case Spoil::Half: *count /= 2; return true;
      case Spoil::OneShort:
        if (*count > 0) --*count;
        return true;
      default: return true;
    }
  }

  bool beforeRead(uint32_t* count) { return !hit(kReads) || spoilTransfer(count); }
  bool beforeWrite(uint32_t* count) { return !hit(kWrites) || spoilTransfer(count); }
  void change() { hit(kChanges); }

  // Whether an open goes on; when it does not, the last error says why.
  bool allowsOpen(const std::string& path, uint32_t access) {
    if (!pathPart.empty() && path.find(pathPart) == std::string::npos) return true;
    if (writingOnly && !(access & plat::kGenericWrite)) return true;
    if (!hit(kOpens) || spoil != Spoil::Fail) return true;
    plat::setLastError(error ? error : plat::kErrorAccessDenied);
    return false;
  }

  // A code for a write that lengthens its file by `growth` bytes, which
  // then puts only *count bytes; 0 lets it through.
  uint32_t failWrite(uint64_t growth, uint32_t* count) {
    if (growth == 0 || !hit(kGrowingWrites)) return 0;
    if (spoil != Spoil::Fail && spoil != Spoil::DiskFull) return 0;
    uint32_t inPlace = static_cast<uint32_t>(*count - growth);
    // A write that crosses the end of the free space returns short there,
    // without a code; the next one fails.
    if (spoil == Spoil::DiskFull && calls == k && growth / 2 > 0) {
      *count = inPlace + static_cast<uint32_t>(growth / 2);
      return 0;
    }
    *count = inPlace;
    return error ? error : plat::kErrorDiskFull;
  }
};

namespace {

class FaultyFile : public plat::OpenFile {
 public:
  FaultyFile(std::unique_ptr<plat::OpenFile> inner, std::shared_ptr<FaultPlan::Rules> rules)
      : inner_(std::move(inner)), rules_(std::move(rules)) {}

  bool readAt(uint64_t offset, void* buffer, uint32_t count, uint32_t* transferred) override {
    *transferred = 0;
    if (!rules_->beforeRead(&count)) return failWith(plat::kErrorReadFault);
    return inner_->readAt(offset, buffer, count, transferred);
  }

  bool writeAt(uint64_t offset, const void* buffer, uint32_t count, uint32_t* transferred) override {
    *transferred = 0;
    if (!rules_->beforeWrite(&count)) return failWith(plat::kErrorWriteFault);
    uint32_t failure = 0;
    if (rules_->active) {
      uint64_t length = 0;
      inner_->size(&length);
      uint64_t reach = offset + count;
      failure = rules_->failWrite(reach > length ? reach - length : 0, &count);
      rules_->change();
    }
    bool written = inner_->writeAt(offset, buffer, count, transferred);
    return written && failure != 0 ? failWith(failure) : written;
  }

  bool size(uint64_t* bytes) override { return !refusesQuery() && inner_->size(bytes); }
  bool setSize(uint64_t bytes) override { return rules_->change(), inner_->setSize(bytes); }
  bool flush() override { return inner_->flush(); }
  bool describe(uint32_t* names, bool* readOnly) override {
    return !refusesQuery() && inner_->describe(names, readOnly);
  }
  bool clearReadOnly() override { return rules_->change(), inner_->clearReadOnly(); }
  bool traits(plat::FileTraits* traits) override { return !refusesQuery() && inner_->traits(traits); }
  bool adoptTraits(const plat::FileTraits& traits) override { return rules_->change(), inner_->adoptTraits(traits); }
  bool removeName() override { return rules_->change(), inner_->removeName(); }

  bool putInPlace(const plat::OpenFolder& folder, const std::string& name) override {
    if (rules_->hit(FaultPlan::kRenames)) return failWith(rules_->error);
    rules_->change();
    return inner_->putInPlace(folder, name);
  }

  // A mapping counts as one read, and is refused whole.
  std::unique_ptr<plat::MappedBytes> map(uint64_t offset, uint32_t length) override {
    uint32_t count = length;
    if (!rules_->beforeRead(&count) || count != length) return failWith(plat::kErrorReadFault), nullptr;
    if (rules_->active && !rules_->viewsAllowed) return failWith(plat::kErrorNotSupported), nullptr;
    return inner_->map(offset, length);
  }

 private:
  bool refusesQuery() {
    return rules_->hit(FaultPlan::kQueries) && !failWith(rules_->error ? rules_->error : plat::kErrorAccessDenied);
  }
  static bool failWith(uint32_t code) {
    plat::setLastError(code);
    return false;
  }
  std::unique_ptr<plat::OpenFile> inner_;
  std::shared_ptr<FaultPlan::Rules> rules_;
};

// The plan that watches allocations, while one does.
std::atomic<FaultPlan::Rules*> allocationRules{nullptr};

bool refusesAllocation() {
  FaultPlan::Rules* rules = allocationRules.load();
  return rules != nullptr && rules->hit(FaultPlan::kAllocations);
}

void* allocateUnlessRefused(void* (*allocate)(std::size_t), std::size_t size) noexcept {
  if (refusesAllocation()) return nullptr;
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

// The program asks for memory that may fail this way alone; the memory
// itself comes from the ordinary allocation, so that it is freed as usual.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocateUnlessRefused(::operator new, size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocateUnlessRefused(::operator new[], size);
}

FaultPlan::FaultPlan(unsigned calls, int k, Spoil spoil, bool fromThenOn)
    : rules_(std::make_shared<Rules>(calls, k, spoil, fromThenOn)), inner_(plat::files()), inUse_(*this) {
  if (calls & kAllocations) allocationRules.store(rules_.get());
}

FaultPlan::~FaultPlan() {
  rules_->active = false;
  if (allocationRules.load() == rules_.get()) allocationRules.store(nullptr);
}

FaultPlan& FaultPlan::onlyOpens(std::string part, bool writing) {
  rules_->pathPart = std::move(part);
  rules_->writingOnly = writing;
  return *this;
}

FaultPlan& FaultPlan::withError(uint32_t error) {
  rules_->error = error;
  return *this;
}

FaultPlan& FaultPlan::withoutViews() {
  rules_->viewsAllowed = false;
  return *this;
}

FaultPlan& FaultPlan::withAction(std::function<void()> action) {
  rules_->action = std::move(action);
  return *this;
}

int FaultPlan::calls() const { return rules_->calls; }
bool FaultPlan::reached() const { return rules_->k > 0 && rules_->calls >= rules_->k; }

namespace {

std::unique_ptr<plat::OpenFile> wrapped(std::unique_ptr<plat::OpenFile> file,
                                        const std::shared_ptr<FaultPlan::Rules>& rules) {
  if (!file) return nullptr;
  return std::make_unique<FaultyFile>(std::move(file), rules);
}

}  // namespace

std::unique_ptr<plat::OpenFile> FaultPlan::open(const char* path, uint32_t access, uint32_t share,
                                                uint32_t disposition) {
  if (!rules_->allowsOpen(path, access)) return nullptr;
  uint32_t attributes = 0;
  if (disposition == plat::kCreateAlways || (disposition == plat::kOpenAlways && !inner_.attributes(path, &attributes)))
    rules_->change();
  return wrapped(inner_.open(path, access, share, disposition), rules_);
}

std::unique_ptr<plat::OpenFile> FaultPlan::openIn(const plat::OpenFolder& folder, const std::string& name,
                                                  uint32_t access, uint32_t share, uint32_t disposition) {
  if (!rules_->allowsOpen(folder.path + name, access)) return nullptr;
  if (disposition == plat::kCreateNew) rules_->change();
  return wrapped(inner_.openIn(folder, name, access, share, disposition), rules_);
}

std::unique_ptr<plat::OpenFolder> FaultPlan::openChild(const plat::OpenFolder& parent, const std::string& name,
                                                       bool create) {
  std::string path = parent.path + name;
  if (!rules_->allowsOpen(path, 0)) return nullptr;
  uint32_t attributes = 0;
  if (create && !inner_.attributes(path.c_str(), &attributes)) rules_->change();
  return inner_.openChild(parent, name, create);
}

bool FaultPlan::createFolder(const char* path) {
  rules_->change();
  return inner_.createFolder(path);
}

bool FaultPlan::deleteFile(const char* path) {
  rules_->change();
  return inner_.deleteFile(path);
}
