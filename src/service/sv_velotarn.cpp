#include "service/sv_velotarn.h"

namespace velotarn {

TsvVelotarn* svVelotarn = nullptr;

TsvVelotarn::TsvVelotarn(TComponent* Owner) : TService(Owner) {
  SetName(L"svVelotarn");
  FDisplayName = L"Velotarn OpenVPN service";
}

TsvVelotarn::~TsvVelotarn() {
  if (svVelotarn == this) svVelotarn = nullptr;
}

LPHANDLER_FUNCTION TsvVelotarn::GetServiceController() { return &ServiceControlHandler; }

void WINAPI ServiceControlHandler(DWORD Code) {
  // Only while the dispatcher runs, which ends before the service object is destroyed.
  if (svVelotarn != nullptr) svVelotarn->PostControlCode(Code);
}

}  // namespace velotarn
