#pragma once
// TPipeThread: the base of every thread of the pipe library (the listener and the connections'
// I/O threads). Each is made by NewPipeThread: suspended, freeing itself, with a termination
// handler that reaches its component through the link while the component exists; it is
// started only then, so that no pipe thread can end unnoticed.
//
// Threading: as TThread. Link() may be used from the thread itself and the main thread.

#include <windows.h>

#include <memory>
#include <utility>
#include <vector>

#include "pipes/pipe_link.h"
#include "runtime/handles.h"
#include "runtime/thread.h"

namespace velotarn {

class TPipeThread : public TThread {
 public:
  TPipeLink& Link() const noexcept { return *FLink; }

 protected:
  explicit TPipeThread(std::shared_ptr<TPipeLink> Link)
      : TThread(/*create_suspended=*/true), FLink(std::move(Link)) {}

 private:
  const std::shared_ptr<TPipeLink> FLink;
};

// Makes a pipe thread of class T (constructed from the link and `args`), suspended, freeing
// itself after its termination step, which reaches the component as
// TPipeOwner::ThreadTerminated while the link is attached.
template <class T, class... Args>
TNewThread<T> NewPipeThread(const std::shared_ptr<TPipeLink>& Link, Args&&... args) {
  TNewThread<T> thread = TThread::New<T>(Link, std::forward<Args>(args)...);
  thread->SetFreeOnTerminate(true);
  thread->OnTerminate = [Link](TThread* Sender) {
    if (TPipeOwner* owner = Link->Owner()) owner->ThreadTerminated(*static_cast<T*>(Sender));
  };
  return thread;
}

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
