#pragma once
// TServiceStartThread: the dispatcher thread. Its body connects the process to the SCM with
// StartServiceCtrlDispatcherW, which returns only when every service of the process has
// stopped (at once, with 1063, when the SCM did not start the process). Afterwards it posts
// WM_QUIT to the application window, which ends the main thread's loop.
//
// Threading: created by TServiceApplication::Run on the main thread, which frees it after the
// loop (never FreeOnTerminate). While the dispatcher call runs, the SCM calls the services'
// control handlers on this thread. The dispatch table and the service names it points to stay
// alive and unchanged for the thread's whole life.

#include <windows.h>

#include <vector>

#include "runtime/thread.h"

namespace velotarn {

class TService;

class TServiceStartThread : public TThread {
 public:
  TServiceStartThread(const std::vector<TService*>& services, HWND quit_window);

 protected:
  void Execute() override;
  void DoTerminate() override;

 private:
  // One entry per service (its name and ServiceMainProc), then one entry of two nulls.
  std::vector<SERVICE_TABLE_ENTRYW> FServiceStartTable;
  const HWND FQuitWindow;
};

}  // namespace velotarn
