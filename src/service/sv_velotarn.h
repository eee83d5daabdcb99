#pragma once
// TsvVelotarn: the program's one service, "svVelotarn", displayed as "Velotarn OpenVPN service".
// Every other setting keeps the TService default: own process, automatic start, normal error
// control, LocalSystem, stop and pause accepted, wait hint 5000 ms.
//
// Threading: as TService. The global reference is set on the main thread by CreateForm before
// the dispatcher thread exists, and read by the control handler on the dispatcher thread.

#include <windows.h>

#include "service/service.h"

namespace velotarn {

class TsvVelotarn : public TService {
 public:
  explicit TsvVelotarn(TComponent* Owner);
  ~TsvVelotarn() override;

  LPHANDLER_FUNCTION GetServiceController() override;
};

extern TsvVelotarn* svVelotarn;

// The SCM's control handler for svVelotarn: hands the code to the service thread.
void WINAPI ServiceControlHandler(DWORD Code);

}  // namespace velotarn
