#pragma once
// Ctrl+C and Ctrl+Break while "connect" runs. The system calls the console control handler on
// a thread of its own, so the handler touches nothing of the session: it counts the interrupt
// and posts WM_NULL to the wake window, and the main loop, woken by it, reads the count and
// acts (the first interrupt sends "disconnect", a second one leaves).
//
// Threading: at most one instance, made and destroyed on the main thread, which alone reads
// Count(). The handler's thread touches only the count and the window handle, both atomic.

#include <windows.h>

namespace velotarn {

class TCtlInterrupt {
 public:
  // Installs the handler; other control events (closing the console, log-off) keep the
  // system's default handling.
  explicit TCtlInterrupt(HWND WakeWindow);
  ~TCtlInterrupt();  // removes the handler
  TCtlInterrupt(const TCtlInterrupt&) = delete;
  TCtlInterrupt& operator=(const TCtlInterrupt&) = delete;

  // Ctrl+C and Ctrl+Break taken since construction.
  int Count() const noexcept;
};

}  // namespace velotarn
