#pragma once
// TPipeThread: the base of every thread of the pipe library (listener, server and client I/O
// threads). Each is created suspended, given its termination handler and FreeOnTerminate, and
// only then started, so that no pipe thread can end unnoticed; it frees itself after its
// termination handler has run on the main thread.
//
// Threading: as TThread.

#include <windows.h>

#include "runtime/handles.h"
#include "runtime/thread.h"

namespace velotarn {

class TPipeThread : public TThread {
 protected:
  TPipeThread() : TThread(/*create_suspended=*/true) {}
};

// On a pipe thread: runs Method on the main thread and waits for it. If it raises, the error
// is swallowed and Thread is terminated (its loop ends at the next check); returns false then.
bool GuardedSynchronize(TThread* Thread, const SyncCall& Method);

// A handle of this process's own to the same kernel object, not inheritable; raises EOSError.
unique_handle DuplicateOwnHandle(HANDLE Source);

// An unnamed, non-inheritable event; raises EOSError.
unique_handle NewEvent(bool ManualReset);

}  // namespace velotarn
