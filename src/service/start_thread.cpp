#include "service/start_thread.h"

#include <cassert>

#include "runtime/synchronize.h"
#include "service/service.h"
#include "service/service_application.h"

namespace velotarn {

TServiceStartThread::TServiceStartThread(const std::vector<TService*>& services,
                                         HWND quit_window)
    : TThread(false), FServiceStartTable(services.size() + 1), FQuitWindow(quit_window) {
  assert(IsMainThread());
  for (size_t i = 0; i < services.size(); ++i) {
    FServiceStartTable[i].lpServiceName = const_cast<LPWSTR>(services[i]->Name().c_str());
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

}  // namespace velotarn
