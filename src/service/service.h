#pragma once
// TService: one service of the process as the SCM sees it: its settings, the status it reports
// and what each control code does. The service object does no work of its own; the work lives
// in the components that the application object owns and runs on the main thread whatever the
// service reports.
//
// Threading:
// - created and destroyed on the main thread (its owner is the service application object);
// - ServiceEntry and RunService run on the service-main thread that the SCM's dispatcher
//   starts, once per start;
// - Status, ReportStatus and the Handle* operations run on the service thread between the first
//   and the last report; the service-main thread reports only before the service thread starts
//   and after it has ended, so no two reports overlap (asserted);
// - PostControlCode runs on the dispatcher thread (the SCM's control handler); it shares only
//   the reference to the service thread with the others, under FThreadLock.
// The destructor waits until no ServiceEntry call is left on the service-main thread: the SCM
// may let the process end as soon as STOPPED has been reported, before ServiceEntry returns.

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/component.h"
#include "runtime/handles.h"
#include "service/event_logger.h"
#include "service/status_check_point.h"

namespace velotarn {

// The thread message that carries one control code (wParam) to the service thread.
constexpr UINT WM_SERVICE_CONTROL = WM_USER + 1;

enum TErrorSeverity { esIgnore, esNormal, esSevere, esCritical };
enum TServiceType { stWin32, stDevice, stFileSystem };
enum TStartType { stBoot, stSystem, stAuto, stManual, stDisabled };

class TServiceThread;

class TService : public TComponent {
 public:
  // Sets the defaults; a derived class then applies its own settings.
  explicit TService(TComponent* Owner);
  ~TService() override;

  // Settings, fixed by the class.
  std::wstring DisplayName() const { return FDisplayName.empty() ? Name() : FDisplayName; }
  bool AllowStop() const noexcept { return FAllowStop; }
  bool AllowPause() const noexcept { return FAllowPause; }
  const std::vector<std::wstring>& Dependencies() const noexcept { return FDependencies; }
  const std::wstring& LoadGroup() const noexcept { return FLoadGroup; }
  const std::wstring& Password() const noexcept { return FPassword; }
  const std::wstring& ServiceStartName() const noexcept { return FServiceStartName; }
  DWORD WaitHint() const noexcept { return static_cast<DWORD>(FWaitHint); }
  // The Win32 codes of the settings, as registered and reported.
  DWORD ServiceTypeCode() const noexcept;
  DWORD StartTypeCode() const noexcept;
  DWORD ErrorControlCode() const noexcept;

  TCurrentStatus Status() const noexcept { return FStatus; }
  // Stores the state and reports it.
  void SetStatus(TCurrentStatus Value);
  const std::vector<std::wstring>& Params() const noexcept { return FParams; }

  // The service-main thread's work for this service: registers the control handler, then runs
  // the service until it has stopped.
  void ServiceEntry(DWORD argc, LPWSTR* argv);
  // Hands one control code to the service thread; never waits, never reports.
  void PostControlCode(DWORD Code);
  // The one place where status reports are made.
  void ReportStatus();
  // Writes through the service's own event log writer (source: the service's name).
  void LogMessage(const std::wstring& Message, WORD EventType = EVENTLOG_ERROR_TYPE,
                  WORD Category = 0, DWORD Id = 0);

  // The start: reports start-pending, runs the service thread until it ends, reports stopped.
  virtual void RunService();
  // One operation per control code, run on the service thread.
  virtual void HandleStop();
  virtual void HandlePause();
  virtual void HandleContinue();
  virtual void HandleInterrogate();
  virtual void HandleShutdown();
  virtual void HandleCustomControl(DWORD Code);
  // The control handler that the SCM calls for this service.
  virtual LPHANDLER_FUNCTION GetServiceController() = 0;

 protected:
  bool FAllowStop = true;
  bool FAllowPause = true;
  std::vector<std::wstring> FDependencies;
  std::wstring FDisplayName;
  DWORD FErrCode = 0;
  TErrorSeverity FErrorSeverity = esNormal;
  bool FInteractive = false;
  std::wstring FLoadGroup;
  std::wstring FPassword;
  std::wstring FServiceStartName;
  TServiceType FServiceType = stWin32;
  TStartType FStartType = stAuto;
  DWORD FTagID = 0;
  int FWaitHint = 5000;
  DWORD FWin32ErrorCode = 0;

 private:
  friend class TServiceThread;

  void RunServiceThread();
  // The service thread's queue exists / is no longer read: control codes go to it only between.
  void ControlQueueOpened();
  void ControlQueueClosed();
  void TerminateServiceThread();
  // Inside a catch block: "Service failed on <action>: <message>".
  void LogServiceFailure(const wchar_t* Action) noexcept;
  void ReportStopped() noexcept;

  std::unique_ptr<TEventLogger> FEventLogger;  // created at the first LogMessage
  std::mutex FEventLoggerLock;
  std::vector<std::wstring> FParams;
  TCurrentStatus FStatus = csStopped;
  SERVICE_STATUS_HANDLE FStatusHandle = nullptr;

  std::mutex FThreadLock;
  TServiceThread* FServiceThread = nullptr;  // guarded by FThreadLock
  bool FControlQueueOpen = false;            // guarded by FThreadLock

  std::atomic<bool> FReporting{false};
  // Manual-reset, set while no ServiceEntry call runs; co-owned by each running call.
  std::shared_ptr<unique_handle> FEntryDone;
};

}  // namespace velotarn
