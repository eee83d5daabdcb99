#pragma once
// TPipeLink: what a pipe component shares with the threads it has started. Threads post their
// notifications through it; the component detaches it when it is destroyed, after which posts
// fail (the poster keeps what it would have handed over) and the main-thread side reports the
// owner gone, so a thread that outlives its component never reaches the component, its window
// or a window that later gets the same handle value.
//
// Threading: Post from any thread; Detach and Attached on the main thread only.

#include <windows.h>

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

 private:
  mutable std::mutex lock_;  // held only around PostMessageW and Detach
  HWND window_;
};

}  // namespace velotarn
