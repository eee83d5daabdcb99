#include "control/runner_end_wait.h"

#include <cassert>

#include "runtime/synchronize.h"

namespace velotarn {

void WaitForRunnerEnd(HANDLE event, DWORD timeout_ms) {
  assert(IsMainThread());
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  TSyncWait armed;
  HANDLE handles[2] = {event, armed.Signal()};
  for (;;) {
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) return;
    DWORD r = WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(deadline - now));
    if (r != WAIT_OBJECT_0 + 1) return;  // signalled, timed out, or nothing to wait on
    CheckSynchronize();
  }
}

}  // namespace velotarn
