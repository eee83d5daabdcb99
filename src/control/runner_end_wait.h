#pragma once
// The control module's last wait for a runner's end (a handle signalled once it has ended).
// The main thread keeps running synchronous calls meanwhile: a runner caught in a delivery when
// destruction began then still gets through its end steps, instead of holding the wait to its
// bound.

#include <windows.h>

namespace velotarn {

// Main thread only. Returns when `event` is signalled, the bound has passed, or the event
// cannot be waited on (no handle); the outcome is not reported.
void WaitForRunnerEnd(HANDLE event, DWORD timeout_ms);

}  // namespace velotarn
