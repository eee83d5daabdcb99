#pragma once
// Synchronous main-thread calls. Any thread may hand a call to the main thread and block until
// the main thread has run it; an error raised by the call comes back to the caller.
//
// The process keeps one list of pending calls, in the order they were made, under one lock.
// Adding a call wakes the main thread with at most one pending WM_NULL (posted to the
// application window, or to the main thread's queue when there is no application window yet),
// and sets the list's signal while a main-thread wait has armed it (TSyncWait). The main thread
// runs the list from its message loop step, from the application window's WM_NULL, and from
// waits that must not stall other threads (WaitFor).

#include <windows.h>

#include <functional>

#include "runtime/handles.h"

namespace velotarn {

using SyncCall = std::function<void()>;

// The thread that ran the program's static initialisation, i.e. the process's main thread.
DWORD MainThreadID() noexcept;
inline bool IsMainThread() noexcept { return GetCurrentThreadId() == MainThreadID(); }

// On the main thread: runs `call` at once. Elsewhere: queues it, wakes the main thread, waits
// until it has run, and rethrows whatever it raised.
void SynchronizeCall(const SyncCall& Call);

// A thread's own wait event for its synchronous calls, made when the thread is made: a call
// that uses it needs nothing more, so it cannot fail for want of an event when the thread is
// ending. One call at a time; auto-reset, so each finished call leaves it ready for the next.
//
// Threading: owned by one thread object; used by that object's own thread.
class TCallerSignal {
 public:
  TCallerSignal();  // raises EOSError when the event cannot be made
  TCallerSignal(const TCallerSignal&) = delete;
  TCallerSignal& operator=(const TCallerSignal&) = delete;
  HANDLE Get() const noexcept { return FEvent.get(); }

 private:
  unique_handle FEvent;
};

// As SynchronizeCall, waiting on `signal` instead of an event taken from the shared spares.
void SynchronizeCall(const SyncCall& Call, const TCallerSignal& Signal);

// Main thread only. Runs every pending call in order; returns false when none was pending.
bool CheckSynchronize();

// The list's signal: a manual-reset event, set while a call is pending and a TSyncWait exists,
// reset by CheckSynchronize. Main-thread waits include it so that a thread waited for can
// still complete its synchronous calls.
HANDLE SyncSignal() noexcept;

// Arms the list's signal for a main-thread wait: while one exists, a call added sets the signal,
// and a call already pending sets it at once. Without one the signal is left alone: setting
// it for nobody would cost a kernel call per call, twice per relayed line.
//
// Threading: made and destroyed on the main thread only, around the wait.
class TSyncWait {
 public:
  TSyncWait();
  ~TSyncWait();
  TSyncWait(const TSyncWait&) = delete;
  TSyncWait& operator=(const TSyncWait&) = delete;

  HANDLE Signal() const noexcept { return SyncSignal(); }
};

// The window that receives the WM_NULL wake-ups (the application window); null for none.
void SetWakeWindow(HWND Window) noexcept;

}  // namespace velotarn
