#include "service/service_config.h"

namespace velotarn {

void ConfigureRegistration(SC_HANDLE Service, TChangeServiceConfig2 Change) {
  SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kServiceDescription)};
  Change(Service, SERVICE_CONFIG_DESCRIPTION, &description);

  // A crashed service's children are already ended by its child job: a restart gives the
  // desktop program its service back.
  SC_ACTION actions[3] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000},
                          {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSW recovery{};
  recovery.dwResetPeriod = 24 * 60 * 60;  // seconds
  recovery.cActions = 3;
  recovery.lpsaActions = actions;
  Change(Service, SERVICE_CONFIG_FAILURE_ACTIONS, &recovery);
}

}  // namespace velotarn
