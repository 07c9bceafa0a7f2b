// One fault plan for every test: a file system over the one in use that
// counts the calls of the kinds it watches and spoils the k-th of them, or
// that one and every later one. It is the file system in use for its life;
// files it opened pass their calls on untouched once it is gone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

class FaultPlan : public plat::FileSystem {
 public:
  // The calls watched; combine them. A write counts once as kWrites and,
  // when it lengthens its file, once more as kGrowingWrites. kChanges: an
  // open that may create a file, the creation of a folder, a write, a cut,
  // a rename, a deletion, a change of attributes. kRenames: the system's
  // rename of a file put in place, which a spoiled one stands in for: the
  // action runs, and the rename fails with error() and changes nothing.
  // kQueries: a question about an open file (its size, names or traits).
  // kAllocations: the program's allocations that may fail (nothrow ones),
  // on any thread; a spoiled one gets no memory.
  enum Calls : unsigned {
    kReads = 1, kWrites = 2, kOpens = 4, kGrowingWrites = 8, kChanges = 16, kRenames = 32, kQueries = 64,
    kAllocations = 128
  };
  enum class Spoil {
    Count,     // nothing: the calls are only counted
    Fail,      // the call fails: a read or write moves nothing, an open
               // or a question fails with error(), a growing write adds
               // nothing and fails with error()
    Half,      // a read or write moves half its bytes
    OneShort,  // a read or write moves one byte fewer
    DiskFull,  // a growing write puts half its new bytes the first time
               // and returns short; every later one puts none and fails
               // with error()
    Exit,      // the process ends at once with kKilled, as a kill leaves it
    Act,       // only the action runs, then the call goes on
  };
  static constexpr int kKilled = 77;

  // k = 0 spoils nothing.
  FaultPlan(unsigned calls, int k, Spoil spoil, bool fromThenOn = false);
  ~FaultPlan() override;
  FaultPlan(const FaultPlan&) = delete;
  FaultPlan& operator=(const FaultPlan&) = delete;

  // Only opens of paths that hold `part`, and with `writing` only opens
  // for writing, are counted.
  FaultPlan& onlyOpens(std::string part, bool writing = false);
  // The error a failed open or growing write reports (access denied and a
  // full disk unless set).
  FaultPlan& withError(uint32_t error);
  // Runs at every spoiled call, before the spoil (which may be Act alone).
  FaultPlan& withAction(std::function<void()> action);
  // Files are read as on a volume that is never mapped.
  FaultPlan& withoutViews();

  int calls() const;
  bool reached() const;

  std::unique_ptr<plat::OpenFile> open(const char* path, uint32_t access, uint32_t share, uint32_t disposition) override;
  std::unique_ptr<plat::OpenFile> openIn(const plat::OpenFolder& folder, const std::string& name, uint32_t access,
                                         uint32_t share, uint32_t disposition) override;
  std::unique_ptr<plat::OpenFolder> openRoot(const char* path) override { return inner_.openRoot(path); }
  std::unique_ptr<plat::OpenFolder> openCurrent() override { return inner_.openCurrent(); }
  std::unique_ptr<plat::OpenFolder> openChild(const plat::OpenFolder& parent, const std::string& name,
                                              bool create) override;
  bool attributes(const char* path, uint32_t* attributes) override { return inner_.attributes(path, attributes); }
  bool createFolder(const char* path) override;
  bool deleteFile(const char* path) override;
  bool search(const char* pattern, std::vector<plat::FoundFile>* found) override { return inner_.search(pattern, found); }

  struct Rules;

 private:
  std::shared_ptr<Rules> rules_;
  plat::FileSystem& inner_;
  plat::FileSystemInUse inUse_;
};
