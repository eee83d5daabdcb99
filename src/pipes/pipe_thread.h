#pragma once
// TPipeThread: the base of every thread of the pipe library (listener, server and client I/O
// threads). Each is created suspended, given its termination handler and FreeOnTerminate, and
// only then started, so that no pipe thread can end unnoticed; it frees itself after its
// termination handler has run on the main thread.
//
// Threading: as TThread.

#include <windows.h>

#include <vector>

#include "runtime/handles.h"
#include "runtime/thread.h"

namespace velotarn {

class TPipeThread : public TThread {
 protected:
  TPipeThread() : TThread(/*create_suspended=*/true) {}
};

// Pipe threads whose termination handler has run but which are still on their way out (freeing
// themselves). Their owner waits for them when it stops, so that nothing of theirs still runs
// when the stop returns, nor when the process ends right after.
//
// Threading: main thread only.
class TThreadExits {
 public:
  // From the thread's termination handler. Forgets threads that have already ended.
  void Add(TThread* Thread);
  // Waits until every thread added has ended, for at most TimeoutMs; true when they all have.
  // No main-thread work is needed: these threads make no more synchronous calls.
  bool WaitAll(DWORD TimeoutMs);

 private:
  std::vector<unique_handle> FHandles;
};

// On a pipe thread: runs Method on the main thread and waits for it. If it raises, the error
// is swallowed and Thread is terminated (its loop ends at the next check); returns false then.
bool GuardedSynchronize(TThread* Thread, const SyncCall& Method);

// A handle of this process's own to the same kernel object, not inheritable; raises EOSError.
unique_handle DuplicateOwnHandle(HANDLE Source);

// An unnamed, non-inheritable event; raises EOSError.
unique_handle NewEvent(bool ManualReset);

}  // namespace velotarn
