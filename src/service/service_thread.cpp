#include "service/service_thread.h"

#include <cassert>

#include "runtime/exceptions.h"
#include "runtime/scope_exit.h"
#include "runtime/text.h"
#include "service/service.h"

namespace velotarn {

namespace {
// The action words of the log text for control codes 1 to 5.
const wchar_t* ActionWord(DWORD Code) {
  switch (Code) {
    case SERVICE_CONTROL_STOP:
      return L"stop";
    case SERVICE_CONTROL_PAUSE:
      return L"pause";
    case SERVICE_CONTROL_CONTINUE:
      return L"continue";
    case SERVICE_CONTROL_INTERROGATE:
      return L"interrogate";
    case SERVICE_CONTROL_SHUTDOWN:
      return L"shutdown";
    default:
      return nullptr;
  }
}
}  // namespace

void TServiceThread::Execute() {
  MSG msg;
  // Gives the thread its message queue before any control code can be posted to it.
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  FService->ControlQueueOpened();
  ScopeExit closed([this] { FService->ControlQueueClosed(); });

  const wchar_t* step = L"start";
  try {
    FService->SetStatus(csStartPending);
    step = L"execute";
    FService->SetStatus(csRunning);
    ProcessRequests(true);
    ProcessRequests(false);
  } catch (...) {
    FService->LogServiceFailure(step);
  }
}

bool TServiceThread::ProcessRequests(bool WaitForMessage) {
  assert(GetCurrentThreadId() == ThreadID());
  for (;;) {
    if (WaitForMessage && Terminated()) return true;
    MSG msg;
    bool got = WaitForMessage ? GetMessageW(&msg, nullptr, 0, 0) > 0
                              : PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE) != FALSE;
    if (!got) return false;
    if (msg.hwnd != nullptr || msg.message != WM_SERVICE_CONTROL) {
      DispatchMessageW(&msg);
      continue;
    }
    HandleControlCode(static_cast<DWORD>(msg.wParam));
  }
}

void TServiceThread::HandleControlCode(DWORD Code) {
  TCurrentStatus remembered = FService->Status();
  try {
    switch (Code) {
      case SERVICE_CONTROL_STOP:
        FService->HandleStop();
        break;
      case SERVICE_CONTROL_PAUSE:
        FService->HandlePause();
        break;
      case SERVICE_CONTROL_CONTINUE:
        FService->HandleContinue();
        break;
      case SERVICE_CONTROL_INTERROGATE:
        FService->HandleInterrogate();
        break;
      case SERVICE_CONTROL_SHUTDOWN:
        FService->HandleShutdown();
        break;
      default:
        FService->HandleCustomControl(Code);
        break;
    }
  } catch (...) {
    std::wstring message = CurrentExceptionMessage();
    // A failed shutdown keeps whatever it reported: the system is going down regardless.
    if (Code != SERVICE_CONTROL_SHUTDOWN) FService->SetStatus(remembered);
    if (const wchar_t* action = ActionWord(Code))
      FService->LogMessage(Format(L"Service failed on %ls: %ls", action, message.c_str()));
    else
      FService->LogMessage(Format(L"Service failed in custom message(%d): %ls",
                                  static_cast<int>(Code), message.c_str()));
  }
}

}  // namespace velotarn
