#pragma once
// TServiceThread: the service thread. It reports start-pending and running, then serves the
// control codes that the control handler posts to its queue until a stop or shutdown sets its
// Terminated flag; its creator (TService::RunService) reports stopped after it has ended.
//
// Threading: created suspended and freed by TService::RunService on the service-main thread
// (never FreeOnTerminate); Execute and ProcessRequests run on the thread itself. Other threads
// reach it only through PostThreadMessageW (TService::PostControlCode) and Terminate.

#include <windows.h>

#include "runtime/thread.h"

namespace velotarn {

class TService;

class TServiceThread : public TThread {
 public:
  explicit TServiceThread(TService* Service) : TThread(true), FService(Service) {}

  // Serves control codes. With `wait_for_message` it blocks for each message and ends when
  // Terminated is set (result true) or on WM_QUIT; without, it handles what is queued and ends
  // when the queue is empty. Returns whether it ended on the Terminated flag.
  bool ProcessRequests(bool WaitForMessage);

 protected:
  void Execute() override;

 private:
  void HandleControlCode(DWORD Code);

  TService* const FService;
};

}  // namespace velotarn
