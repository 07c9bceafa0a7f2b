#include "tests/support/fault_plan.h"

#include <cstdlib>
#include <cstring>
#include <utility>

FaultPlan::FaultPlan(unsigned calls, int k, Spoil spoil, bool fromThenOn)
    : watched_(calls), k_(k), spoil_(spoil), fromThenOn_(fromThenOn), previous_(plat::ioFaultHook()) {
  plat::setIoFaultHook(this);
}

FaultPlan::~FaultPlan() { plat::setIoFaultHook(previous_); }

FaultPlan& FaultPlan::onlyOpens(std::string part, bool writing) {
  pathPart_ = std::move(part);
  writingOnly_ = writing;
  return *this;
}

FaultPlan& FaultPlan::withError(uint32_t error) {
  error_ = error;
  return *this;
}

FaultPlan& FaultPlan::withoutViews() {
  viewsAllowed_ = false;
  return *this;
}

FaultPlan& FaultPlan::withAction(std::function<void()> action) {
  action_ = std::move(action);
  return *this;
}

bool FaultPlan::hit(unsigned kind) {
  if (!(watched_ & kind)) return false;
  ++calls_;
  if (k_ <= 0 || calls_ < k_ || (calls_ > k_ && !fromThenOn_)) return false;
  if (spoil_ == Spoil::Exit) std::_Exit(kKilled);
  if (action_) action_();
  return true;
}

bool FaultPlan::spoilTransfer(uint32_t* count) {
  switch (spoil_) {
    case Spoil::Fail:
      return false;
    case Spoil::Half:
      *count /= 2;
      return true;
    case Spoil::OneShort:
      if (*count > 0) --*count;
      return true;
    default:
      return true;
  }
}

bool FaultPlan::beforeRead(uint32_t* count) { return !hit(kReads) || spoilTransfer(count); }

bool FaultPlan::beforeWrite(uint32_t* count) { return !hit(kWrites) || spoilTransfer(count); }

bool FaultPlan::beforeOpen(const char* path, uint32_t access, uint32_t, uint32_t* error) {
  if (!pathPart_.empty() && !std::strstr(path, pathPart_.c_str())) return true;
  if (writingOnly_ && !(access & plat::kGenericWrite)) return true;
  if (!hit(kOpens) || spoil_ != Spoil::Fail) return true;
  *error = error_ ? error_ : plat::kErrorAccessDenied;
  return false;
}

void FaultPlan::beforeChange(plat::FileChange) { hit(kChanges); }

uint32_t FaultPlan::failWrite(uint64_t growth, uint32_t* count) {
  if (growth == 0 || !hit(kGrowingWrites)) return 0;
  if (spoil_ != Spoil::Fail && spoil_ != Spoil::DiskFull) return 0;
  uint32_t inPlace = static_cast<uint32_t>(*count - growth);
  // A write that crosses the end of the free space returns short there,
  // without a code; the next one fails.
  if (spoil_ == Spoil::DiskFull && calls_ == k_ && growth / 2 > 0) {
    *count = inPlace + static_cast<uint32_t>(growth / 2);
    return 0;
  }
  *count = inPlace;
  return error_ ? error_ : plat::kErrorDiskFull;
}

bool FaultPlan::standInForRename(uint32_t* code) {
  if (!hit(kRenames)) return false;
  *code = error_;
  return true;
}
