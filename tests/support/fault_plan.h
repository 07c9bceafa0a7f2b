// One fault plan for every test: it counts the platform calls of the kinds
// it watches and spoils the k-th of them, or that one and every later one.
// It installs itself as the fault hook for its life.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/platform.h"

class FaultPlan : public plat::IoFaultHook {
 public:
  // The calls watched; combine them. A write counts once as kWrites and,
  // when it lengthens its file, once more as kGrowingWrites.
  // kRenames: the system's rename of a file put in place, which a spoiled
  // one stands in for: the action runs, and the rename fails with error()
  // and changes nothing.
  enum Calls : unsigned { kReads = 1, kWrites = 2, kOpens = 4, kGrowingWrites = 8, kChanges = 16, kRenames = 32 };
  enum class Spoil {
    Count,     // nothing: the calls are only counted
    Fail,      // the call fails: a read or write moves nothing, an open
               // fails with error(), a growing write adds nothing and fails
               // with error()
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

  int calls() const { return calls_; }
  bool reached() const { return k_ > 0 && calls_ >= k_; }

  bool beforeRead(uint32_t* count) override;
  bool allowsViews() override { return viewsAllowed_; }
  bool beforeWrite(uint32_t* count) override;
  bool beforeOpen(const char* path, uint32_t access, uint32_t disposition, uint32_t* error) override;
  void beforeChange(plat::FileChange change) override;
  uint32_t failWrite(uint64_t growth, uint32_t* count) override;
  bool standInForRename(uint32_t* code) override;

 private:
  bool hit(unsigned kind);  // counts a call of that kind; true if it is spoiled
  bool spoilTransfer(uint32_t* count);

  unsigned watched_;
  int k_;
  Spoil spoil_;
  bool fromThenOn_;
  int calls_ = 0;
  std::string pathPart_;
  bool writingOnly_ = false;
  uint32_t error_ = 0;
  std::function<void()> action_;
  bool viewsAllowed_ = true;
  plat::IoFaultHook* previous_;
};
