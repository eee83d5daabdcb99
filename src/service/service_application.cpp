#include "service/service_application.h"

#include <cassert>

#include "runtime/exceptions.h"
#include "runtime/synchronize.h"
#include "runtime/sys_error.h"
#include "runtime/text.h"
#include "runtime/thread.h"
#include "service/installation.h"
#include "service/start_thread.h"

namespace velotarn {

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

bool TServiceApplication::HookMessage(TMessage& message) {
  if (message.Msg != WM_ENDSESSION) return false;
  message.Result = 0;
  return true;
}

void TServiceApplication::LogExceptionsFromNowOn() {
  Application->OnException = [this](TObject*, const Exception& error) {
    FEventLogger->LogMessage(error.Message());
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
