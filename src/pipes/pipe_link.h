#pragma once
// TPipeLink: what a pipe component shares with the threads it has started. Threads post their
// notifications through it; the component detaches it when it is destroyed, after which posts
// fail (the poster keeps what it would have handed over) and the main-thread side reports the
// owner gone, so a thread that outlives its component never reaches the component, its window
// or a window that later gets the same handle value.
//
// It also tells the threads whether the component wants to hear of completed writes: a
// notification nobody handles would cost the main thread a message per record.
//
// Threading: Post and ReportSends from any thread; Detach, Attached and SetReportSends on the
// main thread only.

#include <windows.h>

#include <atomic>
#include <mutex>

namespace velotarn {

class TPipeLink {
 public:
  explicit TPipeLink(HWND Window) noexcept : window_(Window) {}
  TPipeLink(const TPipeLink&) = delete;
  TPipeLink& operator=(const TPipeLink&) = delete;

  // Posts to the component's window; false once detached or when posting failed.
  bool Post(UINT Msg, WPARAM WParam, LPARAM LParam);

  // The component is going away: no post reaches its window from now on.
  void Detach();
  bool Attached() const noexcept;

  // Whether the component has a handler for completed writes (WM_PIPE_SENT).
  void SetReportSends(bool Value) noexcept { report_sends_.store(Value); }
  bool ReportSends() const noexcept { return report_sends_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> report_sends_{false};
  mutable std::mutex lock_;  // held only around PostMessageW and Detach
  HWND window_;
};

}  // namespace velotarn
