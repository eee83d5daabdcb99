#pragma once
// TServiceApplication: the service application object. It owns the service objects, keeps the
// event log writer named after the program file ("velotarnsvc.exe"), chooses the mode of the
// run (install, uninstall or service mode), and in service mode runs the main thread's loop
// until the services have stopped, logging every error that escapes a step of it.
//
// Its window hook answers WM_ENDSESSION itself, so that the end of a user's session never ends
// the service process.
//
// Threading: one instance, created, used and destroyed on the main thread, after the
// application object and before it. ServiceMainProc reads its list of services on the
// service-main thread; that list is fixed before the dispatcher thread starts.

#include <windows.h>

#include <memory>
#include <type_traits>
#include <vector>

#include "runtime/application.h"
#include "service/event_logger.h"
#include "service/service.h"

namespace velotarn {

class TServiceApplication : public TComponent, private TWindowHook {
 public:
  TServiceApplication();
  ~TServiceApplication() override;

  // A service class is created with this object as its owner; any other class is handed to
  // the application object, which then owns it.
  template <class T>
  void CreateForm(T*& Reference) {
    if constexpr (std::is_base_of_v<TService, T>)
      TApplication::CreateOwned(Reference, this);
    else
      Application->CreateForm(Reference);
  }

  virtual void Initialize();
  virtual void Run();

  TEventLogger& EventLogger() noexcept { return *FEventLogger; }
  // The services among the owned components, in component order.
  std::vector<TService*> Services() const;
  // True when the command line asks to install or uninstall: the runs that show boxes.
  static bool IsRegistrationRun();

 private:
  bool HookMessage(TMessage& Message) override;
  // From now on errors and information entries handed to the application object go to the
  // program-file log.
  void LogExceptionsFromNowOn();
  void RunServiceMode();

  std::unique_ptr<TEventLogger> FEventLogger;
  bool FInitialized = false;
};

// The service application object, while it exists.
extern TServiceApplication* ServiceApplication;

// The service-main function of the dispatch table; runs on a thread of the SCM's dispatcher.
void WINAPI ServiceMainProc(DWORD argc, LPWSTR* argv);

}  // namespace velotarn
