#pragma once
// TPipeLink: what a pipe component shares with the threads it has started. Threads post their
// notifications through it; the component detaches it when it is destroyed, after which posts
// fail (the poster keeps what it would have handed over) and the main-thread side reports the
// owner gone, so a thread that outlives its component never reaches the component, its window
// or a window that later gets the same handle value.
//
// A post that the system refuses (the main thread's message queue is full) is not dropped: a
// pipe thread tries again after a pause until the window takes it, so every message and every
// connection reaches the component, in the order each thread posted them.
//
// It also tells the threads whether the component wants to hear of completed writes: a
// notification nobody handles would cost the main thread a message per record.
//
// Threading: Post and ReportSends from any thread; PostOnce, Detach, Attached and
// SetReportSends on the main thread only.

#include <windows.h>

#include <atomic>
#include <mutex>

namespace velotarn {

class TPipeLink {
 public:
  // The pause after a refused post, doubled after each further refusal up to the maximum.
  static constexpr DWORD kFirstPostRetryMs = 5;
  static constexpr DWORD kMaxPostRetryMs = 200;

  explicit TPipeLink(HWND Window) noexcept : window_(Window) {}
  TPipeLink(const TPipeLink&) = delete;
  TPipeLink& operator=(const TPipeLink&) = delete;

  // Pipe threads: posts to the component's window, trying again after a refusal until the
  // window takes the message. False once detached, or when KillEvent is set while a refused
  // post waits for its next try: the message was not posted and is still the caller's.
  bool Post(UINT Msg, WPARAM WParam, LPARAM LParam, HANDLE KillEvent);
  // Main thread: one attempt (the main thread is the one that would empty the queue).
  bool PostOnce(UINT Msg, WPARAM WParam, LPARAM LParam);

  // The component is going away: no post reaches its window from now on.
  void Detach();
  bool Attached() const noexcept;

  // Whether the component has a handler for completed writes (WM_PIPE_SENT).
  void SetReportSends(bool Value) noexcept { report_sends_.store(Value); }
  bool ReportSends() const noexcept { return report_sends_.load(std::memory_order_relaxed); }

  // What posts a message; PostMessageW unless a test replaces it (null restores it) to make
  // the system's refusals happen at will.
  using TPostFunction = BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM);
  static void SetPostFunction(TPostFunction Function) noexcept;

 private:
  enum class TPostResult { Posted, Refused, Detached };
  TPostResult TryPost(UINT Msg, WPARAM WParam, LPARAM LParam);

  std::atomic<bool> report_sends_{false};
  mutable std::mutex lock_;  // held only around the post itself and Detach
  HWND window_;
};

}  // namespace velotarn
