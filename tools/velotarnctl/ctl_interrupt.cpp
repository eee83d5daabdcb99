#include "velotarnctl/ctl_interrupt.h"

#include <atomic>
#include <cassert>

#include "runtime/synchronize.h"

namespace velotarn {

namespace {

std::atomic<int> g_interrupts{0};
std::atomic<HWND> g_wake_window{nullptr};

BOOL WINAPI InterruptHandler(DWORD CtrlType) {
  if (CtrlType != CTRL_C_EVENT && CtrlType != CTRL_BREAK_EVENT) return FALSE;
  g_interrupts.fetch_add(1);
  // A posted message wakes the main loop's WaitMessage, however long it has been idle.
  PostMessageW(g_wake_window.load(), WM_NULL, 0, 0);
  return TRUE;
}

}  // namespace

TCtlInterrupt::TCtlInterrupt(HWND WakeWindow) {
  assert(IsMainThread() && g_wake_window.load() == nullptr);
  g_interrupts.store(0);
  g_wake_window.store(WakeWindow);
  SetConsoleCtrlHandler(InterruptHandler, TRUE);
}

TCtlInterrupt::~TCtlInterrupt() {
  SetConsoleCtrlHandler(InterruptHandler, FALSE);
  g_wake_window.store(nullptr);
}

int TCtlInterrupt::Count() const noexcept { return g_interrupts.load(); }

}  // namespace velotarn
