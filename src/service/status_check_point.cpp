#include "service/status_check_point.h"

namespace velotarn {

bool IsPendingStatus(TCurrentStatus Status) noexcept {
  return Status == csStartPending || Status == csStopPending || Status == csContinuePending ||
         Status == csPausePending;
}

uint32_t ServiceStateCode(TCurrentStatus Status) noexcept {
  return static_cast<uint32_t>(Status) + 1;
}

uint32_t TCheckPointRule::Next(TCurrentStatus Status) noexcept {
  uint32_t value = IsPendingStatus(Status) && Status == FPrevious ? FCounter + 1 : 0;
  FCounter = value;
  FPrevious = Status;
  return value;
}

}  // namespace velotarn
