#pragma once
// The service states and the check-point rule of status reports, without any Windows header
// (built natively for fuzzing).
//
// Check-point rule: a report of a pending state that repeats the previously reported state
// carries the previous check-point plus 1; every other report carries 0. The value sent
// becomes the new counter and the state becomes the previously reported one. The memory
// starts as "start pending, 0", so the first two start-pending reports carry 1 and 2.
//
// Threading: TCheckPointRule is a plain value; its user keeps reports from overlapping.

#include <cstdint>

namespace velotarn {

enum TCurrentStatus : int {
  csStopped,
  csStartPending,
  csStopPending,
  csRunning,
  csContinuePending,
  csPausePending,
  csPaused,
};

bool IsPendingStatus(TCurrentStatus Status) noexcept;

// The SCM state code for `status`: SERVICE_STOPPED (1) to SERVICE_PAUSED (7).
uint32_t ServiceStateCode(TCurrentStatus Status) noexcept;

class TCheckPointRule {
 public:
  // The check-point for a report of `status`; remembers it for the next report.
  uint32_t Next(TCurrentStatus Status) noexcept;

 private:
  TCurrentStatus FPrevious = csStartPending;
  uint32_t FCounter = 0;
};

}  // namespace velotarn
