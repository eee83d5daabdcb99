#include "service/service_application.h"

#include <cassert>
#include <vector>

#include "runtime/exceptions.h"
#include "runtime/synchronize.h"
#include "runtime/sys_error.h"
#include "runtime/text.h"
#include "runtime/thread.h"
#include "service/installation.h"
#include "service/service.h"

namespace velotarn {

namespace {

// TServiceStartThread: the dispatcher thread. Its body connects the process to the SCM with
// StartServiceCtrlDispatcherW, which returns only when every service of the process has
// stopped (at once, with 1063, when the SCM did not start the process). Afterwards it posts
// WM_QUIT to the application window, which ends the main thread's loop.
//
// Threading: created by TServiceApplication::Run on the main thread, which frees it after the
// loop (never FreeOnTerminate). While the dispatcher call runs, the SCM calls the services'
// control handlers on this thread. The dispatch table and the service names it points to stay
// alive and unchanged for the thread's whole life.
class TServiceStartThread : public TThread {
 public:
  TServiceStartThread(const std::vector<TService*>& Services, HWND QuitWindow);

 protected:
  void Execute() override;
  void DoTerminate() override;

 private:
  // One entry per service (its name and ServiceMainProc), then one entry of two nulls.
  std::vector<SERVICE_TABLE_ENTRYW> FServiceStartTable;
  const HWND FQuitWindow;
};

TServiceStartThread::TServiceStartThread(const std::vector<TService*>& Services, HWND QuitWindow)
    : TThread(false), FServiceStartTable(Services.size() + 1), FQuitWindow(QuitWindow) {
  assert(IsMainThread());
  for (size_t i = 0; i < Services.size(); ++i) {
    FServiceStartTable[i].lpServiceName = const_cast<LPWSTR>(Services[i]->Name().c_str());
    FServiceStartTable[i].lpServiceProc = &ServiceMainProc;
  }
}

void TServiceStartThread::Execute() {
  BOOL ok = StartServiceCtrlDispatcherW(FServiceStartTable.data());
  SetReturnValue(ok ? 0 : static_cast<int>(GetLastError()));
}

void TServiceStartThread::DoTerminate() {
  TThread::DoTerminate();
  PostMessageW(FQuitWindow, WM_QUIT, 0, 0);
}

}  // namespace

TServiceApplication* ServiceApplication = nullptr;

TServiceApplication::TServiceApplication()
    : TComponent(nullptr),
      FEventLogger(std::make_unique<TEventLogger>(ExtractFileName(ModuleFileName()))) {
  assert(IsMainThread());
  assert(Application != nullptr && ServiceApplication == nullptr);
  Application->HookMainWindow(this);
  ServiceApplication = this;
}

TServiceApplication::~TServiceApplication() {
  assert(IsMainThread());
  FEventLogger.reset();
  if (Application != nullptr) {
    Application->OnException = nullptr;
    Application->OnInformation = nullptr;
    Application->UnhookMainWindow(this);
  }
  ServiceApplication = nullptr;
}

std::vector<TService*> TServiceApplication::Services() const {
  std::vector<TService*> services;
  for (int i = 0; i < ComponentCount(); ++i)
    if (auto* service = dynamic_cast<TService*>(Components(i))) services.push_back(service);
  return services;
}

bool TServiceApplication::IsRegistrationRun() {
  return HasSwitch(L"INSTALL") || HasSwitch(L"UNINSTALL");
}

bool TServiceApplication::HookMessage(TMessage& Message) {
  if (Message.Msg != WM_ENDSESSION) return false;
  Message.Result = 0;
  return true;
}

void TServiceApplication::LogExceptionsFromNowOn() {
  Application->OnException = [this](TObject*, const Exception& error) {
    FEventLogger->LogMessage(error.Message());
  };
  Application->OnInformation = [this](TObject*, const std::wstring& text) {
    FEventLogger->LogMessage(text, EVENTLOG_INFORMATION_TYPE);
  };
}

void TServiceApplication::Initialize() {
  assert(IsMainThread());
  if (FInitialized) return;
  FInitialized = true;
  Application->ShowMainForm = false;
  // Started by the SCM, nobody could see or close the application's error box, and the entry
  // would wait for it before the service ever connects. Only install and uninstall runs have a
  // user in front of them; every other run logs what it would have shown.
  if (!IsRegistrationRun()) LogExceptionsFromNowOn();
}

void TServiceApplication::Run() {
  assert(IsMainThread());
  if (HasSwitch(L"INSTALL"))
    UpdateRegistration(true, HasSwitch(L"SILENT"));
  else if (HasSwitch(L"UNINSTALL"))
    UpdateRegistration(false, HasSwitch(L"SILENT"));
  else
    RunServiceMode();
}

void TServiceApplication::RunServiceMode() {
  LogExceptionsFromNowOn();
  ThreadPtr<TServiceStartThread> start(
      TThread::New<TServiceStartThread>(Services(), Application->Handle()).release());
  // The dispatcher thread's WM_QUIT ends the loop once every service has stopped.
  while (!Application->Terminated()) {
    try {
      Application->HandleMessage();
    } catch (...) {
      Application->HandleException(this);
    }
  }
  start->WaitFor();
  if (start->ReturnValue() != 0)
    FEventLogger->LogMessage(SysErrorMessage(static_cast<DWORD>(start->ReturnValue())));
}

void WINAPI ServiceMainProc(DWORD argc, LPWSTR* argv) {
  TServiceApplication* owner = ServiceApplication;
  if (owner == nullptr || argc == 0 || argv == nullptr || argv[0] == nullptr) return;
  for (TService* service : owner->Services()) {
    if (CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, service->Name().c_str(), -1,
                       argv[0], -1) == CSTR_EQUAL) {
      service->ServiceEntry(argc, argv);
      return;  // the service object may be gone once its entry has returned
    }
  }
}

}  // namespace velotarn
