// The status check-point rule over arbitrary sequences of reports, checked against what it
// must mean rather than against a copy of its steps: taking the history as one start-pending
// report before the first, the check-point of a report is the number of identical reports
// directly before it when it is a pending state, else 0. The state codes are the SCM's
// (SERVICE_STOPPED 1 ... SERVICE_PAUSED 7), pending exactly for 2, 3, 5 and 6.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "service/status_check_point.h"

using namespace velotarn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TCheckPointRule rule;
  std::vector<TCurrentStatus> history{csStartPending};
  for (size_t i = 0; i < size; ++i) {
    auto status = static_cast<TCurrentStatus>(data[i] % 7);
    const uint32_t code = ServiceStateCode(status);
    if (code != static_cast<uint32_t>(status) + 1) __builtin_trap();
    if (IsPendingStatus(status) != (code == 2 || code == 3 || code == 5 || code == 6))
      __builtin_trap();
    uint32_t same_before = 0;
    for (size_t k = history.size(); k > 0 && history[k - 1] == status; --k) ++same_before;
    const uint32_t want = IsPendingStatus(status) ? same_before : 0;
    if (rule.Next(status) != want) __builtin_trap();
    history.push_back(status);
  }
  return 0;
}
