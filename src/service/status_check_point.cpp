#include "service/status_check_point.h"

namespace velotarn {

bool IsPendingStatus(TCurrentStatus status) noexcept {
  return status == csStartPending || status == csStopPending || status == csContinuePending ||
         status == csPausePending;
}

uint32_t ServiceStateCode(TCurrentStatus status) noexcept {
  return static_cast<uint32_t>(status) + 1;
}

uint32_t TCheckPointRule::Next(TCurrentStatus status) noexcept {
  uint32_t value = IsPendingStatus(status) && status == previous_ ? counter_ + 1 : 0;
  counter_ = value;
  previous_ = status;
  return value;
}

}  // namespace velotarn
