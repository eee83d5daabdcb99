#pragma once
// TPipeLink: what a pipe component shares with the threads it has started. Threads post their
// notifications through it, and reach the component itself only through Owner(), on the main
// thread, which hands out the component's TPipeOwner interface while it is attached. The
// component detaches the link when it is destroyed, after which posts fail (the poster keeps
// what it would have handed over) and Owner() is null, so a thread that outlives its component
// never reaches the component, its window or a window that later gets the same handle value.
//
// A post that the system refuses (the main thread's message queue is full) is not dropped: a
// pipe thread tries again after a pause until the window takes it, so every message and every
// connection reaches the component, in the order each thread posted them.
//
// It also tells the threads whether the component wants to hear of completed writes: a
// notification nobody handles would cost the main thread a message per record.
//
// Threading: Post and ReportSends from any thread; PostOnce, Detach, Owner and SetReportSends
// on the main thread only.

#include <windows.h>

#include <atomic>
#include <mutex>

#include "pipes/pipe_types.h"
#include "pipes/write_queue.h"
#include "runtime/handles.h"
#include "runtime/thread.h"

namespace velotarn {

class TPipeThread;
class TPipeIOThread;

// A connected instance taken over by the component on behalf of its listener.
struct TPipeHandOff {
  bool Pause = false;            // the listener is to pause (back-pressure)
  HPIPE Pipe = 0;                // the connection's name in every event
  TNewThread<TPipeThread> Worker{nullptr};  // not started yet; empty when it could not be made
};

// What a pipe component does for the threads it has started. Main thread only, reached through
// TPipeLink::Owner().
class TPipeOwner {
 public:
  // Appends the records waiting for Thread's connection, up to kMaxWriteBatchBytes (at least
  // one when any wait), to Batch: they are now the caller's.
  virtual void DequeueWrites(const TPipeIOThread& Thread, TWriteBatch& Batch) = 0;
  // Thread's termination step; it frees itself right after.
  virtual void ThreadTerminated(TPipeThread& Thread) = 0;
  // A listener's connected instance (only a server has a listener).
  virtual TPipeHandOff HandOff(unique_handle Pipe) = 0;

 protected:
  ~TPipeOwner() = default;
};

class TPipeLink {
 public:
  // The pause after a refused post, doubled after each further refusal up to the maximum.
  static constexpr DWORD kFirstPostRetryMs = 5;
  static constexpr DWORD kMaxPostRetryMs = 200;

  TPipeLink(HWND Window, TPipeOwner* Owner) noexcept : FWindow(Window), FOwner(Owner) {}
  TPipeLink(const TPipeLink&) = delete;
  TPipeLink& operator=(const TPipeLink&) = delete;

  // Pipe threads: posts to the component's window, trying again after a refusal until the
  // window takes the message. False once detached, or when KillEvent is set while a refused
  // post waits for its next try: the message was not posted and is still the caller's.
  bool Post(UINT Msg, WPARAM WParam, LPARAM LParam, HANDLE KillEvent);
  // Main thread: one attempt (the main thread is the one that would empty the queue).
  bool PostOnce(UINT Msg, WPARAM WParam, LPARAM LParam);

  // The component is going away: no post reaches its window from now on, and Owner() is null.
  void Detach();
  TPipeOwner* Owner() const noexcept;

  // Whether the component has a handler for completed writes (WM_PIPE_SENT).
  void SetReportSends(bool Value) noexcept { FReportSends.store(Value); }
  bool ReportSends() const noexcept { return FReportSends.load(std::memory_order_relaxed); }

  // What posts a message; PostMessageW unless a test replaces it (null restores it) to make
  // the system's refusals happen at will.
  using TPostFunction = BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM);
  static void SetPostFunction(TPostFunction Function) noexcept;

 private:
  enum class TPostResult { Posted, Refused, Detached };
  TPostResult TryPost(UINT Msg, WPARAM WParam, LPARAM LParam);

  std::atomic<bool> FReportSends{false};
  mutable std::mutex FLock;  // held only around the post itself and Detach
  HWND FWindow;
  TPipeOwner* FOwner;  // main thread only
};

}  // namespace velotarn
