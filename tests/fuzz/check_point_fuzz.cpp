// The status check-point rule against a model over arbitrary sequences of reports: a pending
// state repeated carries the previous check-point plus 1, anything else 0.
#include <cstddef>
#include <cstdint>

#include "service/status_check_point.h"

using namespace velotarn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TCheckPointRule rule;
  TCurrentStatus previous = csStartPending;
  uint32_t counter = 0;
  for (size_t i = 0; i < size; ++i) {
    auto status = static_cast<TCurrentStatus>(data[i] % 7);
    bool pending = status == csStartPending || status == csStopPending ||
                   status == csContinuePending || status == csPausePending;
    if (IsPendingStatus(status) != pending) __builtin_trap();
    if (ServiceStateCode(status) < 1 || ServiceStateCode(status) > 7) __builtin_trap();
    uint32_t want = pending && status == previous ? counter + 1 : 0;
    if (rule.Next(status) != want) __builtin_trap();
    counter = want;
    previous = status;
  }
  return 0;
}
