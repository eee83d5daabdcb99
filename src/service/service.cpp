#include "service/service.h"

#include <cassert>

#include "runtime/exceptions.h"
#include "runtime/scope_exit.h"
#include "runtime/synchronize.h"
#include "runtime/sys_error.h"
#include "runtime/text.h"
#include "runtime/thread.h"
#include "service/service_thread.h"
#include "service/status_sender.h"

namespace velotarn {

namespace {
// The previously reported state and the check-point counter, shared by every report of the
// process. Reports never overlap (see TService), so it needs no lock.
TCheckPointRule g_status_memory;
}  // namespace

TService::TService(TComponent* Owner)
    : TComponent(Owner),
      FEntryDone(std::make_shared<unique_handle>(CreateEventW(nullptr, TRUE, TRUE, nullptr))) {
  assert(IsMainThread());
  if (!*FEntryDone) RaiseLastOSError();
}

TService::~TService() {
  assert(IsMainThread());
  // The service-main thread may still be on its way out of ServiceEntry after its last report.
  WaitForSingleObject(FEntryDone->get(), INFINITE);
  assert(FServiceThread == nullptr);
}

DWORD TService::ServiceTypeCode() const noexcept {
  switch (FServiceType) {
    case stDevice:
      return SERVICE_KERNEL_DRIVER;
    case stFileSystem:
      return SERVICE_FILE_SYSTEM_DRIVER;
    case stWin32:
    default:
      return SERVICE_WIN32_OWN_PROCESS | (FInteractive ? SERVICE_INTERACTIVE_PROCESS : 0);
  }
}

// TStartType and TErrorSeverity list their values in the order of the Win32 codes.
DWORD TService::StartTypeCode() const noexcept { return static_cast<DWORD>(FStartType); }
DWORD TService::ErrorControlCode() const noexcept { return static_cast<DWORD>(FErrorSeverity); }

void TService::SetStatus(TCurrentStatus Value) {
  FStatus = Value;
  ReportStatus();
}

void TService::ReportStatus() {
  bool overlapping = FReporting.exchange(true);
  assert(!overlapping && "two status reports overlap");
  (void)overlapping;
  ScopeExit done([this] { FReporting.store(false); });

  SERVICE_STATUS status{};
  status.dwServiceType = ServiceTypeCode();
  status.dwCurrentState = ServiceStateCode(FStatus);
  if (FStatus != csStartPending) {
    status.dwControlsAccepted = SERVICE_ACCEPT_SHUTDOWN;
    if (FAllowStop) status.dwControlsAccepted |= SERVICE_ACCEPT_STOP;
    if (FAllowPause) status.dwControlsAccepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
  }
  status.dwWin32ExitCode = FWin32ErrorCode;
  status.dwServiceSpecificExitCode = FErrCode;
  status.dwCheckPoint = g_status_memory.Next(FStatus);
  status.dwWaitHint = static_cast<DWORD>(FWaitHint);
  if (!SendServiceStatus(FStatusHandle, &status)) LogMessage(SysErrorMessage(GetLastError()));
}

void TService::LogMessage(const std::wstring& Message, WORD EventType, WORD Category, DWORD Id) {
  TEventLogger* logger;
  {
    std::lock_guard<std::mutex> guard(FEventLoggerLock);
    if (!FEventLogger) FEventLogger = std::make_unique<TEventLogger>(Name());
    logger = FEventLogger.get();
  }
  logger->LogMessage(Message, EventType, Category, Id);
}

void TService::LogServiceFailure(const wchar_t* Action) noexcept {
  try {
    LogMessage(Format(L"Service failed on %ls: %ls", Action, CurrentExceptionMessage().c_str()));
  } catch (...) {
    // Nothing is left to report a failure of the log itself to.
  }
}

void TService::ServiceEntry(DWORD argc, LPWSTR* argv) {
  assert(!IsMainThread());
  std::shared_ptr<unique_handle> done = FEntryDone;  // outlives this object if need be
  ResetEvent(done->get());
  // Runs last; after it this object may be gone, so nothing below it touches members.
  ScopeExit leave([done] { SetEvent(done->get()); });

  for (DWORD i = 0; i < argc; ++i) FParams.emplace_back(argv[i] != nullptr ? argv[i] : L"");
  FStatusHandle = RegisterServiceCtrlHandlerW(Name().c_str(), GetServiceController());
  if (FStatusHandle == nullptr) {
    // No status is ever reported for this start; the SCM's own start timeout applies.
    LogMessage(SysErrorMessage(GetLastError()));
    return;
  }
  RunService();
}

void TService::RunService() {
  // Blocks until the service thread ends: never on the main thread, which must keep serving.
  assert(!IsMainThread());
  try {
    SetStatus(csStartPending);
    ScopeExit stopped([this] { ReportStopped(); });
    RunServiceThread();
  } catch (...) {
    LogServiceFailure(L"execute");
  }
}

void TService::ReportStopped() noexcept {
  try {
    SetStatus(csStopped);
  } catch (...) {
    LogServiceFailure(L"execute");
  }
}

void TService::RunServiceThread() {
  ThreadPtr<TServiceThread> thread(TThread::New<TServiceThread>(this).release());  // suspended
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    FServiceThread = thread.get();
  }
  // Detached before the thread object is freed, on every path.
  ScopeExit detach([this] {
    std::lock_guard<std::mutex> guard(FThreadLock);
    FServiceThread = nullptr;
    FControlQueueOpen = false;
  });
  thread->Resume();
  thread->WaitFor();
}

void TService::ControlQueueOpened() {
  std::lock_guard<std::mutex> guard(FThreadLock);
  FControlQueueOpen = true;
}

void TService::ControlQueueClosed() {
  std::lock_guard<std::mutex> guard(FThreadLock);
  FControlQueueOpen = false;
}

void TService::TerminateServiceThread() {
  std::lock_guard<std::mutex> guard(FThreadLock);
  if (FServiceThread != nullptr) FServiceThread->Terminate();
}

void TService::PostControlCode(DWORD Code) {
  std::lock_guard<std::mutex> guard(FThreadLock);
  // Before the service thread has its queue, and once it has stopped reading it, nobody would
  // handle the code: it is dropped. Nothing is lost, since the service thread reports every
  // state change itself. The thread is never frozen while paused (see HandlePause), so posting
  // is all it takes to wake it.
  if (FServiceThread == nullptr || !FControlQueueOpen) return;
  PostThreadMessageW(FServiceThread->ThreadID(), WM_SERVICE_CONTROL, Code, 0);
}

void TService::HandleStop() {
  SetStatus(csStopPending);
  TerminateServiceThread();
}

void TService::HandlePause() {
  SetStatus(csPausePending);
  SetStatus(csPaused);
  // The paused service thread handles nothing until the next control code, which is exactly
  // what its blocking wait for the next message gives. Freezing the thread instead would race
  // with the control handler: a code posted just before the freeze would find the thread not
  // yet frozen, skip the wake-up, and leave the service stuck with the code queued.
}

void TService::HandleContinue() {
  SetStatus(csContinuePending);
  SetStatus(csRunning);
}

void TService::HandleInterrogate() { ReportStatus(); }

void TService::HandleShutdown() {
  SetStatus(csStopPending);
  TerminateServiceThread();
}

void TService::HandleCustomControl(DWORD) {}

}  // namespace velotarn
